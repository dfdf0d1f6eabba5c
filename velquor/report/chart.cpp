#include "velquor/report/chart.h"

#include <algorithm>
#include <chrono>
#include <cmath>

#include "shared/clock.h"
#include "shared/numbers.h"
#include "velquor/esperlin/esperlin.h"
#include "velquor/pellan/pellan.h"
#include "velquor/report/markup.h"

namespace velquor::report {
namespace {

// The drawing area inside the chart's 960 x 300 view box.
constexpr double kWidth = 960, kHeight = 300;
constexpr double kLeft = 76, kRight = kWidth - 16, kTop = 14, kBottom = kHeight - 44;
// Flagged points beyond this many, strongest first, carry no hover text of
// their own: the page would grow by a line per point.
constexpr size_t kTitledFlags = 40;

struct TimeAxis {
  double low = 0, high = 1;
  double x(double t) const { return kLeft + (t - low) / (high - low) * (kRight - kLeft); }
};

struct ValueAxis {
  bool log = false;
  double low = 0, high = 1;  // log: powers of ten
  std::vector<double> ticks;

  double y(double v) const {
    double share = log ? (std::log10(std::max(v, low)) - std::log10(low)) /
                             (std::log10(high) - std::log10(low))
                       : (v - low) / (high - low);
    return kBottom - std::clamp(share, -0.05, 1.05) * (kBottom - kTop);
  }
};

// A step of 1, 2 or 5 times a power of ten giving about `count` ticks.
double nice_step(double range, int count) {
  double raw = range / count, power = std::pow(10, std::floor(std::log10(raw)));
  for (double factor : {1.0, 2.0, 5.0})
    if (raw <= factor * power) return factor * power;
  return 10 * power;
}

ValueAxis value_axis(const SignalSeries& series, const std::vector<size_t>& kept, bool log) {
  ValueAxis axis;
  axis.log = log;
  double low = INFINITY, high = -INFINITY;
  for (size_t i : kept)
    for (double v : {series.points[i].value, series.points[i].median}) {
      if (log && v <= 0) continue;
      low = std::min(low, v);
      high = std::max(high, v);
    }
  if (log) {
    axis.low = std::pow(10, std::floor(std::log10(low)));
    axis.high = std::pow(10, std::ceil(std::log10(high)));
    int decades = static_cast<int>(std::lround(std::log10(axis.high / axis.low)));
    int every = decades > 8 ? 2 : 1;
    for (int d = 0; d <= decades; d += every) axis.ticks.push_back(axis.low * std::pow(10, d));
    return axis;
  }
  if (low == high) {
    double pad = low == 0 ? 1 : std::fabs(low) * 0.1;
    low -= pad;
    high += pad;
  }
  double step = nice_step(high - low, 5);
  axis.low = std::floor(low / step) * step;
  axis.high = std::ceil(high / step) * step;
  for (double t = axis.low; t <= axis.high + step / 2; t += step)
    axis.ticks.push_back(std::fabs(t) < step / 1e6 ? 0 : t);
  return axis;
}

TimeAxis time_axis(const SignalSeries& series, const std::vector<size_t>& kept) {
  TimeAxis axis{INFINITY, -INFINITY};
  for (size_t i : kept) {
    axis.low = std::min(axis.low, series.points[i].time);
    axis.high = std::max(axis.high, series.points[i].time);
  }
  if (axis.low == axis.high) {
    axis.low -= 3600;
    axis.high += 3600;
  }
  return axis;
}

std::string time_text(double seconds, bool with_minutes) {
  TimePoint point{std::chrono::microseconds(std::llround(seconds * 1e6))};
  std::string text = format_timestamp(point);
  if (!with_minutes) return text.substr(0, 10);
  text[10] = ' ';
  return text.substr(0, 16);
}

std::string value_text(const std::string& metric, double value) {
  return esperlin::format_metric_value(metric, Json(value));
}

// An axis label: large values as 20k or 1.5M rather than in exponent form.
std::string tick_text(const std::string& metric, double value) {
  static const std::pair<double, const char*> kUnits[] = {{1e9, "G"}, {1e6, "M"}, {1e4, "k"}};
  for (const auto& [size, unit] : kUnits)
    if (std::fabs(value) >= size) return format_general(value / (size == 1e4 ? 1e3 : size), 3) + unit;
  return value_text(metric, value);
}

void append_point(std::string& out, double x, double y) {
  out += ' ';
  append_coordinate(out, x);
  out += ' ';
  append_coordinate(out, y);
}

// A polyline through (x(i), y(i)) for the kept points: "M x y x y ...".
template <typename X, typename Y>
void append_line(std::string& out, const std::vector<size_t>& kept, X x, Y y) {
  out += 'M';
  for (size_t i : kept) append_point(out, x(i), y(i));
}

// The same for a slowly moving line (the baseline): one vertex per pixel
// column is all a screen shows, and it keeps the page small.
template <typename Order, typename X, typename Y>
void append_smooth_line(std::string& out, const Order& order, X x, Y y) {
  double column = NAN;
  size_t left = order.size();
  for (size_t i : order) {
    --left;
    double here = std::round(x(i));
    if (here == column && left > 0) continue;
    column = here;
    append_point(out, here, std::round(y(i)));
  }
}

void append_axes(std::string& out, const ChartRequest& request, const TimeAxis& time,
                 const ValueAxis& values) {
  out += "<g class=\"axes\" aria-hidden=\"true\">";
  for (double tick : values.ticks) {
    double y = values.y(tick);
    out += "<line class=\"grid\" x1=\"" + std::to_string(int(kLeft)) + "\" x2=\"" +
           std::to_string(int(kRight)) + "\" y1=\"";
    append_coordinate(out, y);
    out += "\" y2=\"";
    append_coordinate(out, y);
    out += "\"/><text class=\"tick\" text-anchor=\"end\" x=\"" + std::to_string(int(kLeft) - 6) +
           "\" y=\"";
    append_coordinate(out, y + 4);
    out += "\">";
    append_escaped(out, tick_text(request.series->metric, tick));
    out += "</text>";
  }
  bool hours = time.high - time.low < 3 * 86400;
  for (int k = 0; k <= 5; ++k) {
    double t = time.low + (time.high - time.low) * k / 5;
    // The outer labels stay inside the chart.
    out += std::string("<text class=\"tick\" text-anchor=\"") + (k == 0 ? "start" : k == 5 ? "end" : "middle") +
           "\" x=\"";
    append_coordinate(out, time.x(t));
    out += "\" y=\"" + std::to_string(int(kBottom) + 18) + "\">";
    // Without times the axis counts events, from 1.
    out += request.dated ? time_text(t, hours) : std::to_string(std::llround(t) + 1);
    out += "</text>";
  }
  out += "<text class=\"label\" text-anchor=\"middle\" x=\"" + std::to_string(int(kLeft + kRight) / 2) +
         "\" y=\"" + std::to_string(int(kHeight) - 6) + "\">";
  out += request.dated ? "event time (UTC)" : "event order (no event times found)";
  if (values.log) out += " · log scale";
  out += "</text></g>";
}

void append_marker(std::string& out, double x, double y, const std::string& level,
                   const std::string& title) {
  out += "<use class=\"" + level + "\" href=\"#mark-" + level + "\" x=\"";
  append_coordinate(out, x);
  out += "\" y=\"";
  append_coordinate(out, y);
  if (title.empty()) {
    out += "\"/>";
    return;
  }
  out += "\"><title>";
  append_escaped(out, title);
  out += "</title></use>";
}

std::string point_title(const ChartRequest& request, size_t i) {
  const SeriesPoint& point = request.series->points[i];
  std::string when = request.dated ? time_text(point.time, true) : "event #" + std::to_string(i + 1);
  std::string text = when + " · " + value_text(request.series->metric, point.value) + " (normal " +
                     value_text(request.series->metric, point.median) + ") · " +
                     format_fixed(point.measure, 1) + " robust deviations · " +
                     risk_level_name(point.measure);
  if (i == request.focus && !request.focus_note.empty()) text += " · " + request.focus_note;
  return text;
}

size_t append_flags(std::string& out, const ChartRequest& request, const std::vector<size_t>& kept,
                    const TimeAxis& time, const ValueAxis& values) {
  const auto& points = request.series->points;
  std::vector<size_t> flagged;
  for (size_t i : kept)
    if (points[i].flagged) flagged.push_back(i);
  std::vector<size_t> titled = flagged;
  std::stable_sort(titled.begin(), titled.end(), [&](size_t a, size_t b) {
    return std::fabs(points[a].measure) > std::fabs(points[b].measure);
  });
  titled.resize(std::min(titled.size(), kTitledFlags));
  std::sort(titled.begin(), titled.end());
  out += "<g class=\"flags\">";
  for (size_t i : flagged) {
    bool with_title = std::binary_search(titled.begin(), titled.end(), i);
    append_marker(out, time.x(points[i].time), values.y(points[i].value), risk_level_name(points[i].measure),
                  with_title ? point_title(request, i) : "");
  }
  out += "</g>";
  return flagged.size();
}

void append_focus(std::string& out, const ChartRequest& request, const TimeAxis& time,
                  const ValueAxis& values) {
  const SeriesPoint& point = request.series->points[request.focus];
  out += "<circle class=\"focus\" r=\"10\" cx=\"";
  append_coordinate(out, time.x(point.time));
  out += "\" cy=\"";
  append_coordinate(out, values.y(point.value));
  out += "\"><title>";
  append_escaped(out, point_title(request, request.focus));
  out += "</title></circle>";
}

void append_step(std::string& out, const ChartRequest& request, const TimeAxis& time,
                 const ValueAxis& values) {
  const auto& points = request.series->points;
  const Step& step = *request.step;
  auto x_of = [&](size_t i) { return time.x(points[std::min(i, points.size() - 1)].time); };
  double start = x_of(step.from), at = x_of(step.index), end = x_of(step.to);
  out += "<path class=\"step\" d=\"M";
  append_point(out, start, values.y(step.before));
  out += " H";
  append_coordinate(out, at);
  out += " V";
  append_coordinate(out, values.y(step.after));
  out += " H";
  append_coordinate(out, end);
  out += "\"><title>";
  const std::string& metric = request.series->metric;
  append_escaped(out, "level " + value_text(metric, step.before) + " before, " +
                          value_text(metric, step.after) + " after");
  out += "</title></path>";
}

std::string description(const ChartRequest& request, const std::vector<size_t>& kept, size_t flagged,
                        bool log) {
  const auto& points = request.series->points;
  std::string text = std::to_string(kept.size()) + " of " + std::to_string(points.size()) +
                     " values drawn, " + std::to_string(flagged) +
                     " flagged outside the normal band";
  if (request.dated)
    text += ", from " + time_text(points[kept.front()].time, false) + " to " +
            time_text(points[kept.back()].time, false);
  if (log) text += "; logarithmic value axis";
  return text + ".";
}

}  // namespace

std::string risk_level_name(double measure) {
  return pellan::risk_level(Json(measure))["level"].get<std::string>();
}

Chart draw_chart(const ChartRequest& request) {
  const SignalSeries& series = *request.series;
  Chart chart;
  std::vector<size_t> kept = downsample(series.points, request.max_points, request.focus);
  chart.points = kept.size();
  if (kept.empty()) return chart;
  chart.log_scale = wants_log_scale(series.points, kept);
  TimeAxis time = time_axis(series, kept);
  ValueAxis values = value_axis(series, kept, chart.log_scale);
  const auto& points = series.points;
  auto x = [&](size_t i) { return time.x(points[i].time); };

  std::string& out = chart.svg;
  out.reserve(kept.size() * 40 + 4096);
  const std::string& id = request.id;
  out += "<svg class=\"chart\" viewBox=\"0 0 960 300\" role=\"img\" aria-labelledby=\"" + id +
         "-title " + id + "-desc\" data-points=\"" + std::to_string(kept.size()) + "\" data-scale=\"" +
         (chart.log_scale ? "log" : "linear") + "\"><title id=\"" + id + "-title\">";
  append_escaped(out, request.title);
  out += "</title>";
  std::string desc_at = "<desc id=\"" + id + "-desc\">";
  size_t desc_position = out.size();
  out += "<clipPath id=\"" + id + "-clip\"><rect x=\"" + std::to_string(int(kLeft)) + "\" y=\"" +
         std::to_string(int(kTop)) + "\" width=\"" + std::to_string(int(kRight - kLeft)) +
         "\" height=\"" + std::to_string(int(kBottom - kTop)) + "\"/></clipPath>";
  append_axes(out, request, time, values);
  out += "<g clip-path=\"url(#" + id + "-clip)\"><path class=\"band\" d=\"M";
  append_smooth_line(out, kept, x, [&](size_t i) { return values.y(points[i].median + points[i].spread); });
  std::vector<size_t> backwards(kept.rbegin(), kept.rend());
  out += " L";
  append_smooth_line(out, backwards, x, [&](size_t i) { return values.y(points[i].median - points[i].spread); });
  out += " Z\"/><path class=\"median\" d=\"M";
  append_smooth_line(out, kept, x, [&](size_t i) { return values.y(points[i].median); });
  out += "\"/><path class=\"observed\" d=\"";
  append_line(out, kept, x, [&](size_t i) { return values.y(points[i].value); });
  out += "\"/>";
  if (request.step) append_step(out, request, time, values);
  out += "</g>";
  chart.flagged = append_flags(out, request, kept, time, values);
  if (request.focus < points.size()) append_focus(out, request, time, values);
  out += "</svg>";
  std::string desc = desc_at;
  append_escaped(desc, description(request, kept, chart.flagged, chart.log_scale));
  desc += "</desc>";
  out.insert(desc_position, desc);
  return chart;
}

}  // namespace velquor::report
