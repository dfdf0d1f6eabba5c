// Shifts written for programs (shifts.json) and for people (one line each).

#include <algorithm>
#include <cmath>
#include <map>
#include <utility>

#include "shared/errors.h"
#include "shared/file_io.h"
#include "shared/numbers.h"
#include "velquor/esperlin/esperlin.h"
#include "velquor/shifts/shifts.h"

namespace velquor::shifts {
namespace {

struct Wording {
  const char* family;
  const char* events;  // what one event of the family is called
};

constexpr Wording kEventNouns[] = {
    {"git", "commits"},        {"ci", "runs"},
    {"testing", "test runs"},  {"coverage", "reports"},
    {"dependency", "snapshots"}, {"schema", "schema versions"},
    {"deployment", "releases"}, {"config", "changes"},
    {"security", "scans"},     {"error_tracking", "reports"},
};

// Units of the metrics that have one; the rest are counts or shares.
constexpr std::pair<const char*, const char*> kUnits[] = {
    {"run_duration", " s"}, {"suite_duration", " s"}, {"release_cadence_hours", " h"}};

std::string events_noun(const std::string& family) {
  for (const Wording& wording : kEventNouns)
    if (family == wording.family) return wording.events;
  return "events";
}

std::string unit_of(const std::string& metric) {
  for (const auto& [name, unit] : kUnits)
    if (metric == name) return unit;
  return "";
}

// A level in the advisory's number forms: a whole number stays whole.
std::string level_text(const std::string& metric, double level) {
  const bool whole = std::fabs(level) < 1e15 && level == std::trunc(level);
  const Json value = whole ? Json(static_cast<int64_t>(level)) : Json(level);
  return esperlin::format_metric_value(metric, value) + unit_of(metric);
}

// "412 s → 865 s". Small shares that the advisory's two decimals would show
// alike ("0.00 → 0.00") get three significant digits instead.
std::string levels_text(const std::string& metric, double before, double after) {
  std::string from = level_text(metric, before), to = level_text(metric, after);
  if (from == to && before != after) {
    from = format_general(before, 3) + unit_of(metric);
    to = format_general(after, 3) + unit_of(metric);
  }
  return from + " → " + to;
}

std::string subject(const Shift& shift) {
  return esperlin::family_label(shift.family) + " / " + esperlin::metric_label(shift.metric);
}

// "rose 2.1x", "rose 35%", "fell 40%", "rose from zero".
std::string movement(const ChangePoint& change) {
  if (!change.relative_change) return "rose from zero";
  const double relative = *change.relative_change;
  if (relative >= 1) return "rose " + format_fixed(1 + relative, 1) + "x";
  return (relative > 0 ? "rose " : "fell ") + format_fixed(std::fabs(relative) * 100, 0) + "%";
}

// "commit 45866932 on 2020-03-10", or the event when no commit is known.
std::string origin(const Shift& shift) {
  std::string text = shift.start_commit.empty() ? "event " + shift.start_event
                                                : "commit " + shift.start_commit.substr(0, 8);
  if (!shift.start_time.empty()) text += " on " + shift.start_time.substr(0, 10);
  return text;
}

bool rises(const Shift& shift) {
  return !shift.change.relative_change || *shift.change.relative_change > 0;
}

Json level_json(const LevelSummary& level) {
  return {{"count", level.count}, {"median", level.median}, {"mad", level.mad}};
}

// "API / Schema / API Fields growing since commit 1a2b3c4d on 2024-02-01
// (300 → 420 in 4 steps)": `steps` runs newest first.
std::string growth_line(const std::vector<const Shift*>& steps) {
  const Shift& oldest = *steps.back();
  const Shift& newest = *steps.front();
  return subject(oldest) + (rises(oldest) ? " growing " : " shrinking ") + "since " +
         origin(oldest) + " (" + levels_text(oldest.metric, oldest.change.level_before, newest.change.level_after) + " in " +
         std::to_string(steps.size()) + " steps)";
}

constexpr size_t kSteadyGrowthSteps = 3;

}  // namespace

Json shifts_json(const std::vector<Shift>& shifts) {
  Json list = Json::array();
  for (const Shift& shift : shifts) {
    const ChangePoint& change = shift.change;
    list.push_back({{"family", shift.family},
                    {"metric", shift.metric},
                    {"start_event", shift.start_event},
                    {"start_commit", shift.start_commit},
                    {"start_time", shift.start_time},
                    {"before", level_json(change.before)},
                    {"after", level_json(change.after)},
                    {"relative_change", change.relative_change
                                            ? Json(round_half_even(*change.relative_change, 4))
                                            : Json(nullptr)},
                    {"significance", change.significance}});
  }
  return {{"shifts", std::move(list)}};
}

fs::path write_shifts(const fs::path& vel_dir, const std::vector<Shift>& shifts) {
  const fs::path dir = vel_dir / "phase5";
  std::error_code ec;
  fs::create_directories(dir, ec);
  if (ec) throw IoError(dir.string() + ": cannot be created (" + ec.message() + ")");
  const fs::path path = dir / "shifts.json";
  write_json_file(path, shifts_json(shifts));
  return path;
}

std::string shift_line(const Shift& shift) {
  const ChangePoint& change = shift.change;
  return subject(shift) + " " + movement(change) + " (" + (change.levels_are_means ? "mean " : "") +
         levels_text(shift.metric, change.level_before, change.level_after) + ") from " + origin(shift) +
         ", holding for " + std::to_string(change.after.count) + " " + events_noun(shift.family);
}

std::vector<std::string> shift_lines(const std::vector<Shift>& shifts, size_t limit) {
  std::map<std::pair<std::string, std::string>, std::vector<const Shift*>> by_metric;
  for (const Shift& shift : shifts) by_metric[{shift.family, shift.metric}].push_back(&shift);
  std::vector<std::string> lines;
  for (const Shift& shift : shifts) {
    if (lines.size() >= limit) break;
    const std::vector<const Shift*>& steps = by_metric[{shift.family, shift.metric}];
    const bool steady = steps.size() >= kSteadyGrowthSteps &&
                        std::all_of(steps.begin(), steps.end(),
                                    [&](const Shift* step) { return rises(*step) == rises(shift); });
    if (!steady) lines.push_back(shift_line(shift));
    else if (steps.front() == &shift) lines.push_back(growth_line(steps));
  }
  return lines;
}

}  // namespace velquor::shifts
