// velquor report DIR: the advisory and the shifts drawn on one HTML page.

#include <iostream>

#include "cli/commands.h"
#include "cli/window_options.h"
#include "cli/writer.h"
#include "velquor/report/report.h"

namespace velquor::cli {
namespace {

int run_report_command(const Args& args) {
  const std::optional<window::Request> request = window_request(args);
  const fs::path dir = existing_data_dir(args.positional(0));
  DirectoryWriter writer(args, dir);
  report::ReportOptions options;
  if (auto output = args.value("--output")) options.output = *output;
  Stopwatch stopwatch;
  const std::optional<window::Window> window = resolve_window(dir, request);
  if (window) {
    if (window->empty()) std::cout << window->empty_notice() << "\n";
    options.in_window = [&](std::string_view event) { return window->contains(event); };
    options.window_description = window->description();
  }
  const report::ReportResult result = report::write_report(dir, options);
  std::cout << "wrote " << result.path.string() << " (" << result.panels << " panel"
            << (result.panels == 1 ? "" : "s") << ", " << (result.bytes + 1023) / 1024 << " KB, "
            << stopwatch.elapsed() << ")\n";
  return kExitOk;
}

std::vector<OptionSpec> report_options() {
  std::vector<OptionSpec> options = window_options();
  options.push_back(wait_option());
  options.push_back({"--output", 'o', "FILE", "where to write the page (default DIR/phase5/report.html)"});
  return options;
}

}  // namespace

const Command kReportCommand = {
    "report",
    {"DIR"},
    report_options(),
    "draw the advisory's changes and the shifts on one HTML page",
    "Writes one self-contained HTML page (inline SVG and CSS, nothing fetched)\n"
    "showing each significant change of DIR/phase5/advisory.json, and each\n"
    "sustained shift of DIR/phase5/shifts.json when present, as the metric's\n"
    "values over time against its normal band, with the flagged points marked\n"
    "by risk level; then the matched patterns, accepted deviations, evidence\n"
    "and the investigation prompt. Run 'velquor advise' (or 'run') first.\n"
    "The shifts are those 'velquor shifts DIR' last wrote; run it first to\n"
    "see them.\n"
    "\n"
    "With --since, --last or --new only the window's events are drawn, and\n"
    "only the shifts that began inside it.",
    run_report_command,
};

}  // namespace velquor::cli
