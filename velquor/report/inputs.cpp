#include "velquor/report/inputs.h"

#include <future>
#include <map>

#include "shared/errors.h"
#include "shared/file_io.h"
#include "shared/json_access.h"
#include "velquor/esperlin/esperlin.h"
#include "velquor/esperlin/values.h"
#include "velquor/morvic/morvic.h"
#include "velquor/report/event_times.h"
#include "velquor/report/signal_reader.h"

namespace velquor::report {
namespace {

std::string text_member(const Json& record, std::string_view key, const std::string& where) {
  return esperlin::text_of(require_member(record, key, where));
}

std::vector<PanelSource> panel_sources(const Json& advisory, const Json& shifts) {
  std::vector<PanelSource> panels;
  const std::string where = "phase5/advisory.json changes";
  for (const Json& change : esperlin::list_or_empty(advisory, "changes", "phase5/advisory.json")) {
    esperlin::expect_map(change, where);
    panels.push_back({PanelSource::Kind::kChange, &change, text_member(change, "family", where),
                      text_member(change, "metric", where)});
  }
  for (const Json& shift : shifts) {
    esperlin::expect_map(shift, "phase5/shifts.json shifts");
    panels.push_back({PanelSource::Kind::kShift, &shift,
                      text_member(shift, "family", "phase5/shifts.json shifts"),
                      text_member(shift, "metric", "phase5/shifts.json shifts")});
  }
  return panels;
}

// The series the panels need, read family by family.
std::vector<SignalSeries> read_series(const fs::path& vel_dir, const std::vector<PanelSource>& panels) {
  std::map<std::string, std::vector<std::string>> metrics_of;
  for (const PanelSource& panel : panels) {
    auto& metrics = metrics_of[panel.family];
    if (std::find(metrics.begin(), metrics.end(), panel.metric) == metrics.end())
      metrics.push_back(panel.metric);
  }
  std::vector<SignalSeries> all;
  for (const auto& [family, metrics] : metrics_of) {
    std::string file_name = family + "_signals.json";
    for (const auto& [name, file] : esperlin::SIGNAL_FILES)
      if (name == family) file_name = file;
    for (SignalSeries& series : read_signal_series(vel_dir / "phase2" / file_name, family, metrics))
      all.push_back(std::move(series));
  }
  return all;
}

void keep_window(SignalSeries& series, const ReportOptions& options) {
  if (!options.in_window) return;
  size_t kept = 0;
  for (size_t i = 0; i < series.points.size(); ++i) {
    if (!options.in_window(series.event_refs[i])) continue;
    series.points[kept] = series.points[i];
    series.event_refs[kept++] = series.event_refs[i];
  }
  series.points.resize(kept);
  series.event_refs.resize(kept);
}

// The shifts of phase5/shifts.json as `velquor shifts` last wrote them
// (none without the file: finding them costs more than the whole page), only
// those that began inside the window.
Json read_shifts(const fs::path& file, const ReportOptions& options) {
  std::error_code ec;
  if (!fs::exists(file, ec)) return Json::array();
  Json data = read_json_file(file);
  esperlin::expect_map(data, file.string());
  Json found = esperlin::list_or_empty(data, "shifts", file.string());
  if (!options.in_window) return found;
  Json inside = Json::array();
  for (Json& shift : found)
    if (shift.is_object() && options.in_window(esperlin::text_of(esperlin::get_or(shift, "start_event", ""))))
      inside.push_back(std::move(shift));
  return inside;
}

}  // namespace

const SignalSeries* ReportInputs::series_of(const std::string& family, const std::string& metric) const {
  for (const SignalSeries& s : series)
    if (s.family == family && s.metric == metric) return &s;
  return nullptr;
}

void place_in_time(SignalSeries& series, const EventTimes& times) {
  std::optional<double> last;
  size_t undated_before = 0;
  for (size_t i = 0; i < series.points.size(); ++i) {
    auto found = times.find(series.event_refs[i]);
    if (found != times.end()) last = found->second;
    if (!last) {
      ++undated_before;
      continue;
    }
    series.points[i].time = *last;
  }
  series.dated = last.has_value();
  for (size_t i = 0; i < series.points.size(); ++i) {
    if (!series.dated) series.points[i].time = static_cast<double>(i);
    else if (i < undated_before) series.points[i].time = series.points[undated_before].time;
  }
}

ReportInputs read_inputs(const fs::path& vel_dir, const ReportOptions& options) {
  // The event files are many and small, the signal files few and large:
  // reading both at once keeps one core on each.
  auto times = std::async(std::launch::async, read_event_times, vel_dir / "events");
  ReportInputs inputs;
  const fs::path advisory_file = vel_dir / "phase5" / "advisory.json";
  std::error_code ec;
  if (!fs::exists(advisory_file, ec))
    throw FileNotFound(advisory_file.string() + ": no advisory; run 'velquor advise' first");
  inputs.advisory = read_json_file(advisory_file);
  esperlin::expect_map(inputs.advisory, advisory_file.string());
  inputs.has_shifts_file = fs::exists(vel_dir / "phase5" / "shifts.json", ec);
  inputs.shifts = read_shifts(vel_dir / "phase5" / "shifts.json", options);
  inputs.accepted = morvic::AcceptedDeviations(vel_dir).list();
  const fs::path prompt_file = vel_dir / "phase5" / "investigation_prompt.txt";
  if (fs::exists(prompt_file, ec)) inputs.prompt = read_file(prompt_file);
  inputs.panels = panel_sources(inputs.advisory, inputs.shifts);
  inputs.series = read_series(vel_dir, inputs.panels);
  const auto event_times = times.get();
  for (SignalSeries& series : inputs.series) {
    keep_window(series, options);
    place_in_time(series, event_times);
  }
  return inputs;
}

}  // namespace velquor::report
