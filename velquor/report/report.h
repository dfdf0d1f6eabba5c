// The report: one self-contained HTML page that shows the advisory's
// changes and the sustained shifts of a data directory against what is
// normal for each metric.
//
// The page needs nothing but itself: charts are inline SVG drawn here,
// styles are inline, and it reads completely without JavaScript (a few lines
// of it only add a copy button to the investigation prompt). It is
// well-formed XML, so tools can read it as readily as browsers, and it
// follows the reader's light or dark colour scheme.
//
// Contents, top to bottom:
//   - the header: scope, period (or the window drawn), the changes counted by
//     risk level, the advisory's status line;
//   - one panel per significant change, in the advisory's order, then one per
//     sustained shift of phase5/shifts.json when that file exists: the
//     metric's values over event time, the baseline median each signal
//     carries inside a band of +-1.5 robust deviations, the flagged points
//     marked by risk level, the trigger commit in the caption and on hover,
//     and for a shift the step from the level before to the level after
//     (see chart.h for how points are thinned and when the axis is
//     logarithmic);
//   - the matched patterns, the accepted deviations, the evidence (commits,
//     files, failing tests, dependencies) as tables, and the investigation
//     prompt in a block ready to copy.
// Every text that comes from the inputs is escaped.
//
// Inputs: phase5/advisory.json (required: a missing file is FileNotFound
// naming it), the signal files of phase2/ for the metrics drawn, the event
// files for their times, and, when present, phase5/shifts.json (as
// `velquor shifts` wrote it: finding shifts costs more than drawing the whole
// page, so the report does not), phase5/investigation_prompt.txt and
// accepted_deviations.json. Signal files are read with the fast record
// scanner while, on a second thread, event files are only skimmed for their
// id and time. Errors are the system's typed exceptions naming the file.
//
// A window (ReportOptions::in_window) keeps the events it contains: points of
// other events are not drawn, and shifts that began outside it are left out.
#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

namespace velquor::report {

namespace fs = std::filesystem;

struct ReportOptions {
  // Where the page goes; empty: `vel_dir`/phase5/report.html.
  fs::path output;
  // A window of the history: only the events it contains are drawn. Empty:
  // the whole history.
  std::function<bool(std::string_view event_id)> in_window;
  // How the header names the window ("Last 30 days (...)").
  std::string window_description;
};

struct ReportResult {
  fs::path path;
  size_t panels = 0;
  size_t bytes = 0;
};

// Writes the page atomically and tells where and how large it is.
ReportResult write_report(const fs::path& vel_dir, const ReportOptions& options = {});

}  // namespace velquor::report
