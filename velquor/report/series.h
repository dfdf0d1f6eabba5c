// The values of one metric over time, as the report draws them, and the two
// decisions made on them before drawing: which points to keep and whether the
// value axis is logarithmic.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace velquor::report {

// A deviation at least this far from the baseline is flagged; it is the
// advisory's significance threshold, so a flagged point is a point the
// advisory would report.
inline constexpr double kFlagThreshold = 1.5;

// One signal: an event's value against the baseline that signal carries.
struct SeriesPoint {
  double time = 0;     // seconds since the epoch (x)
  double value = 0;    // the observed value (y)
  double median = 0;   // the baseline median
  double spread = 0;   // half the normal band: kFlagThreshold robust deviations
  double measure = 0;  // the robust deviation; 0 for a degenerate baseline
  bool flagged = false;
};

// The series of one family and metric in the order stage 2 judged the
// events (observed_at, then file name).
struct SignalSeries {
  std::string family;
  std::string metric;
  std::vector<SeriesPoint> points;
  // The event of each point. The texts live in `texts` (the signal file
  // they were read from), or anywhere that outlives the series.
  std::vector<std::string_view> event_refs;
  std::shared_ptr<const void> texts;
  // Whether the points carry event times; without any, `time` is the
  // position in the series.
  bool dated = false;
};

// The half width of the normal band of a baseline whose median absolute
// deviation is `mad`: the values whose robust deviation stays below the flag
// threshold.
double band_spread(double mad);

// Indexes of the points to draw, ascending, at most `limit` of them. Every
// flagged point is kept, and `focus` (a point the panel is about) too; the
// calm stretches between them are thinned bucket by bucket, each bucket
// keeping its lowest and highest value, so spikes stay visible. When the
// flagged points alone exceed the limit the strongest of them are kept.
std::vector<size_t> downsample(const std::vector<SeriesPoint>& points, size_t limit,
                               size_t focus = SIZE_MAX);

// Whether the kept values call for a logarithmic axis: none is negative and
// the positive ones span more than two decades.
bool wants_log_scale(const std::vector<SeriesPoint>& points, const std::vector<size_t>& kept);

}  // namespace velquor::report
