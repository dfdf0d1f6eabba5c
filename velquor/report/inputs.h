// Everything one report is drawn from, read from a data directory.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "shared/json.h"
#include "velquor/report/event_times.h"
#include "velquor/report/report.h"
#include "velquor/report/series.h"

namespace velquor::report {

// A panel to draw: a change of the advisory or a sustained shift.
struct PanelSource {
  enum class Kind { kChange, kShift } kind = Kind::kChange;
  const Json* record = nullptr;  // the change or shift record
  std::string family;
  std::string metric;
};

struct ReportInputs {
  Json advisory;                     // phase5/advisory.json
  Json shifts = Json::array();       // the "shifts" of phase5/shifts.json
  bool has_shifts_file = false;
  Json accepted = Json::array();     // accepted_deviations.json
  std::string prompt;                // phase5/investigation_prompt.txt
  std::vector<PanelSource> panels;   // changes in advisory order, then shifts
  std::vector<SignalSeries> series;  // one per family and metric drawn
  const SignalSeries* series_of(const std::string& family, const std::string& metric) const;
};

// Reads the inputs; the signal files and the event files are read on two
// threads at once. Points outside the options' window are left out.
ReportInputs read_inputs(const fs::path& vel_dir, const ReportOptions& options);

// Gives every point the time of its event; a point whose event has no known
// time takes the time of the point before it (the first dated point's for
// the points before that). A series none of whose events has a time is
// drawn in event order.
void place_in_time(SignalSeries& series, const EventTimes& times);

}  // namespace velquor::report
