#include "cli/event_notes.h"

#include <iostream>

namespace velquor::cli {
namespace {

constexpr size_t kListedSkips = 20;

std::string counted(size_t count, const char* one, const char* many) {
  return std::to_string(count) + " " + (count == 1 ? one : many);
}

}  // namespace

OptionSpec skip_bad_events_option() {
  return {"--skip-bad-events", 0, "",
          "leave out event files that cannot be read or parsed, listing them on stderr"};
}

void report_left_out_events(const fs::path& dir, const brevalt::EventReport& report) {
  for (size_t i = 0; i < report.skipped.size() && i < kListedSkips; ++i)
    std::cerr << "velquor: skipped " << report.skipped[i].second << "\n";
  if (report.skipped.size() > kListedSkips)
    std::cerr << "velquor: skipped " << report.skipped.size() - kListedSkips
              << " more unreadable event files\n";
  if (report.unselected > 0)
    std::cerr << "velquor: warning: "
              << counted(report.unselected, "event belongs", "events belong")
              << " to no known family (source_family, or source_type git) and "
              << (report.unselected == 1 ? "has" : "have") << " no baseline\n";
  if (report.undated > 0)
    std::cerr << "velquor: warning: " << counted(report.undated, "event has", "events have")
              << " no usable time (observed_at missing or not an ISO-8601 time) and cannot be "
                 "placed in time\n";
  const size_t irregular = report.irregular;
  if (irregular > 0)
    std::cerr << "velquor: warning: " << counted(irregular, "entry", "entries") << " of "
              << (dir / "events").string()
              << " named *.json " << (irregular == 1 ? "is" : "are")
              << " not a regular file (a folder, a pipe or a broken link) and "
              << (irregular == 1 ? "was" : "were") << " passed over\n";
}

}  // namespace velquor::cli
