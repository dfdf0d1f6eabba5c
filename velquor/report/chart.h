// One chart: a metric's values over time against its normal band, drawn as
// inline SVG.
//
// The chart shows the observed values as a line, the baseline median each
// signal carries as a second line inside the band of values that would not
// be flagged, and every flagged point as a marker whose shape (and colour)
// tells its risk level: circle notable, square elevated, triangle high,
// diamond critical. The point a panel is about is ringed and named in its
// hover text; a shift adds the step from the level before to the level
// after. At most kMaxPoints points are drawn (see downsample).
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "velquor/report/series.h"

namespace velquor::report {

inline constexpr size_t kMaxPoints = 2000;
// Points drawn on the whole page at most: with many panels each draws fewer
// (never below kMinPoints), so the page stays a few megabytes.
inline constexpr size_t kPagePoints = 60000;
inline constexpr size_t kMinPoints = 300;

// A sustained shift: the series indexes where the level before begins, where
// the new level begins and where it was last seen, and the two levels.
struct Step {
  size_t from = 0;
  size_t index = 0;
  size_t to = 0;
  double before = 0;
  double after = 0;
};

struct ChartRequest {
  std::string id;     // unique within the page, used for element ids
  std::string title;  // the chart's accessible name
  const SignalSeries* series = nullptr;
  size_t focus = SIZE_MAX;  // the point the panel is about
  std::string focus_note;   // its hover text (the trigger commit)
  std::optional<Step> step;
  bool dated = true;  // false: x is the event order, no time was found
  size_t max_points = kMaxPoints;
};

struct Chart {
  std::string svg;
  size_t points = 0;   // points drawn
  size_t flagged = 0;  // flagged points drawn
  bool log_scale = false;
};

Chart draw_chart(const ChartRequest& request);

// The risk levels markers are drawn for, weakest first: "notable",
// "elevated", "high", "critical".
std::string risk_level_name(double measure);

}  // namespace velquor::report
