#include "velquor/report/report.h"

#include "shared/file_io.h"
#include "velquor/esperlin/values.h"
#include "velquor/report/inputs.h"
#include "velquor/report/page.h"

namespace velquor::report {

ReportResult write_report(const fs::path& vel_dir, const ReportOptions& options) {
  ReportInputs inputs = read_inputs(vel_dir, options);
  Page page = render_page(inputs, options);
  ReportResult result;
  result.path = options.output.empty() ? vel_dir / "phase5" / "report.html" : options.output;
  if (result.path.has_parent_path()) esperlin::ensure_directory(result.path.parent_path());
  write_file_atomic(result.path, page.html);
  result.panels = page.panels;
  result.bytes = page.html.size();
  return result;
}

}  // namespace velquor::report
