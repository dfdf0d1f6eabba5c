// Assembling the page from the report's inputs.
#pragma once

#include <string>

#include "velquor/report/inputs.h"
#include "velquor/report/report.h"

namespace velquor::report {

struct Page {
  std::string html;
  size_t panels = 0;
};

Page render_page(const ReportInputs& inputs, const ReportOptions& options);

// --- The parts, each appended to `out` (sections.cpp, style.cpp) ---

// The matched patterns, the accepted deviations, the evidence tables and the
// investigation prompt.
void append_patterns(std::string& out, const Json& advisory);
void append_accepted(std::string& out, const Json& accepted);
void append_evidence(std::string& out, const Json& advisory);
void append_prompt(std::string& out, const std::string& prompt);

// The style sheet, the marker shapes shared by every chart, the legend that
// names them, and the script of the copy button.
extern const char* const kStyle;
extern const char* const kMarkerDefinitions;
extern const char* const kLegend;
extern const char* const kScript;

}  // namespace velquor::report
