// Sustained shifts: levels that move and stay, with the commit where each
// new level began.
//
// A single extreme value says little about where a project is heading; a
// metric that settles at a new level does. This module takes, for every
// family and metric, the series of observed values in event order from the
// signal files of stage 2 (`vel_dir`/phase2/<family>_signals.json, so it
// works after any run), finds the points where the level changes and holds,
// and reports each with the event, commit and time where the new level
// begins. It changes no file of the other stages; its own output is
// `vel_dir`/phase5/shifts.json.
//
// Method: E-divisive means on ranks. The values of a series are replaced by
// their mid-ranks (ties share the mean of their ranks), so a rare huge spike
// weighs no more than any other high value and heavy-tailed series (error
// counts) do not shift from their spikes. A segment is split where
//     q(t) = t (m - t) / m * (mean rank before t - mean rank from t)^2
// is largest (m the segment length, both sides at least `min_run` long).
// The split is significant when no permutation of the segment's ranks, out
// of `permutations`, scores a best split as high as the observed one; the
// permutations come from a fixed seed per family and metric, so every run
// gives the same answer. Significant splits are kept and both halves
// searched again. The statistic and each permutation cost one pass over the
// segment (prefix sums), so a series of n values costs about
// permutations * n * log(n / min_run) steps.
//
// Candidate splits are then pruned: while some split separates levels that
// differ by less than `min_change` (relative to the earlier level), the one
// with the smallest change is dropped and its neighbours merged. A level is
// the median of a segment, or its mean when the medians on both sides of a
// split are zero (a failure rate that is mostly zero still shifts when
// failures triple). Every level, before and after, spans at least `min_run`
// events, so a step closer than that to either end is not reported.
//
// Series with fewer than 2 * min_run values or with all values equal are
// skipped; a null observation is left out of its series. Booleans count as
// 0 and 1. A signal file that is missing is an empty family; one that is not
// a list of records, or a record whose members have the wrong kind, raises
// JsonError or TypeError naming the file and the record.
//
// The start commit of a shift is the event's commit (payload.commit_hash of
// a git event, else payload.trigger.commit_sha) and its time the event's
// observed_at, both read from `vel_dir`/events; an event that cannot be
// found there leaves them empty.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "shared/json.h"

namespace velquor::shifts {

namespace fs = std::filesystem;

struct ShiftSettings {
  size_t min_run = 10;        // events each level must span
  double min_change = 0.15;   // smallest relative move of the level
  size_t permutations = 99;   // a split must beat all of them (p <= 0.01)
};

// ---- Detection on one series ------------------------------------------------

// The values on one side of a change point.
struct LevelSummary {
  size_t count = 0;
  double median = 0.0;
  double mad = 0.0;    // median absolute deviation from the median
  double mean = 0.0;
};

struct ChangePoint {
  size_t index = 0;  // first value of the new level
  LevelSummary before, after;
  double level_before = 0.0, level_after = 0.0;  // medians, or means (see above)
  bool levels_are_means = false;  // both medians were zero
  // (after - before) / |before|; none when the earlier level is zero.
  std::optional<double> relative_change;
  double significance = 1.0;  // permutation p-value of the split
};

// The change points of `values`, in series order. `seed` fixes the
// permutations.
std::vector<ChangePoint> detect_change_points(std::span<const double> values,
                                              const ShiftSettings& settings, uint64_t seed);

// ---- Series from the signal files ------------------------------------------

struct MetricSeries {
  std::string family;
  std::string metric;
  std::vector<double> values;            // observations in event order, nulls left out
  std::vector<std::string> event_refs;   // the event of each value
};

// The series of one family's signal file, metrics in the order they first
// appear. A file that does not exist gives none.
std::vector<MetricSeries> read_signal_series(const fs::path& signal_file, const std::string& family);

// ---- Shifts of a data directory ---------------------------------------------

struct Shift {
  std::string family;
  std::string metric;
  std::string start_event;
  std::string start_commit;  // "" when the event is not found
  std::string start_time;    // the event's observed_at, "" when not found
  ChangePoint change;
};

// Every shift of every family's metrics, newest first (by start time, then
// family and metric).
std::vector<Shift> find_shifts(const fs::path& vel_dir, const ShiftSettings& settings = {});

// {"shifts": [...]}: family, metric, start_event, start_commit, start_time,
// before and after ({count, median, mad}), relative_change (4 decimals; null
// from a zero level) and significance (the permutation p-value), in the
// order given. A caller that reports a window filters the list first.
Json shifts_json(const std::vector<Shift>& shifts);

// Writes shifts_json atomically to `vel_dir`/phase5/shifts.json and returns
// the path.
fs::path write_shifts(const fs::path& vel_dir, const std::vector<Shift>& shifts);

// One line for a person, with the advisory's labels and number forms:
// "CI / Build Duration rose 2.1x (412 s → 865 s) from commit 45866932 on
// 2020-03-10, holding for 600 runs". Levels that are means say so
// ("(mean 10.3% → 29.9%)"), as the next step of the same metric may compare
// that stretch by its median.
std::string shift_line(const Shift& shift);

// The lines for a list of shifts (newest first), at most `limit`. A metric
// with three or more shifts, all in one direction, is one line "... growing
// since commit ..." (or "shrinking since") in place of its steps.
std::vector<std::string> shift_lines(const std::vector<Shift>& shifts, size_t limit = SIZE_MAX);

}  // namespace velquor::shifts
