// The page: header, one panel per change and per shift, then the sections
// below them.

#include "velquor/report/page.h"

#include <algorithm>
#include <cmath>

#include "shared/json_access.h"
#include "shared/numbers.h"
#include "velquor/esperlin/esperlin.h"
#include "velquor/esperlin/render.h"
#include "velquor/esperlin/values.h"
#include "velquor/report/chart.h"
#include "velquor/report/markup.h"

namespace velquor::report {
namespace {

using esperlin::empty_map;
using esperlin::get_or;
using esperlin::text_of;

const char* const kLevels[] = {"critical", "high", "elevated", "notable"};

std::string heading_of(const PanelSource& panel) {
  return esperlin::family_label(panel.family) + " / " + esperlin::metric_label(panel.metric);
}

std::string value_text(const PanelSource& panel, const Json& value) {
  return esperlin::format_metric_value(panel.metric, value);
}

size_t index_of(const SignalSeries& series, std::string_view event_ref) {
  for (size_t i = 0; i < series.event_refs.size(); ++i)
    if (series.event_refs[i] == event_ref) return i;
  return SIZE_MAX;
}

// --- Header ---

void append_header(std::string& out, const ReportInputs& inputs, const ReportOptions& options) {
  const Json& advisory = inputs.advisory;
  const std::string scope = text_of(get_or(advisory, "scope", "velquor-engine"));
  out += "<header class=\"top\">";
  append_element(out, "h1", "Drift report: " + scope);
  const Json& period = get_or(advisory, "period", empty_map());
  std::string when = options.window_description.empty()
                         ? "Period " + text_of(get_or(period, "from", "")).substr(0, 10) + " to " +
                               text_of(get_or(period, "to", "")).substr(0, 10)
                         : "Window: " + options.window_description;
  append_element(out, "p", when + " · advisory " + text_of(get_or(advisory, "advisory_id", "")) +
                               " · generated " + text_of(get_or(advisory, "generated_at", "")),
                 " class=\"meta\"");
  size_t counts[4] = {};
  for (const PanelSource& panel : inputs.panels)
    if (panel.kind == PanelSource::Kind::kChange)
      for (size_t level = 0; level < 4; ++level)
        if (esperlin::lower_ascii(esperlin::risk_label(get_or(*panel.record, "deviation_stddev", 0))) ==
            kLevels[level])
          ++counts[level];
  out += "<ul class=\"counts\" aria-label=\"Changes by risk level\">";
  for (size_t level = 0; level < 4; ++level)
    out += std::string("<li class=\"badge ") + kLevels[level] + "\">" +
           esperlin::lower_ascii(kLevels[level]) + " " + std::to_string(counts[level]) + "</li>";
  out += "<li class=\"badge normal\">shifts " + std::to_string(inputs.shifts.size()) + "</li></ul>";
  const Json& status = get_or(advisory, "status", empty_map());
  std::string state = text_of(get_or(status, "state", ""));
  std::string state_class = state == "action_needed" || state == "watch" || state == "clear" ? state : "";
  append_element(out, "p", text_of(get_or(status, "message", "")),
                 " class=\"status " + state_class + "\" role=\"status\"");
  out += kLegend;
  out += "</header>";
}

// --- Panels ---

struct PanelText {
  std::string heading;
  std::string badge;  // risk level of a change, "" for a shift
  std::string caption;
  std::string note;
  ChartRequest chart;
};

PanelText change_text(const PanelSource& panel, const SignalSeries* series) {
  const Json& change = *panel.record;
  PanelText text;
  text.heading = heading_of(panel);
  const Json& deviation = get_or(change, "deviation_stddev", 0);
  text.badge = esperlin::risk_label(deviation);
  text.caption = text_of(get_or(change, "description", ""));
  const Json& normal = get_or(change, "normal", empty_map());
  text.note = "Normal " + value_text(panel, get_or(normal, "median", Json())) + ", now " +
              value_text(panel, get_or(change, "current", Json())) + " · " +
              format_fixed(esperlin::abs_value(deviation, "deviation_stddev"), 1) +
              " robust deviations · observed " + text_of(get_or(change, "observed_at", ""));
  std::string commit = text_of(get_or(change, "trigger_commit", ""));
  if (!commit.empty()) {
    text.chart.focus_note = "commit " + commit.substr(0, 8) + ": " +
                            esperlin::first_line(text_of(get_or(change, "commit_message", "")));
    text.note += " · trigger " + text.chart.focus_note;
  }
  if (series) text.chart.focus = index_of(*series, text_of(get_or(change, "event_ref", "")));
  return text;
}

// The mean of the values at [from, to) of the series, clipped to it.
double mean_of(const SignalSeries& series, size_t from, size_t to) {
  to = std::min(to, series.points.size());
  double sum = 0;
  for (size_t i = from; i < to; ++i) sum += series.points[i].value;
  return to > from ? sum / static_cast<double>(to - from) : 0;
}

// The step of a shift over its two segments, at the levels the detector
// compared: the medians, or the means of the segments when both medians are
// zero (a failure rate that is mostly zero).
Step shift_step(const Json& shift, const SignalSeries& series, size_t start) {
  auto level = [&](const char* side) {
    const Json& median = get_or(get_or(shift, side, empty_map()), "median", Json());
    return esperlin::is_numeric(median) ? median.get<double>() : 0.0;
  };
  auto count = [&](const char* side) {
    const Json& n = get_or(get_or(shift, side, empty_map()), "count", Json());
    return n.is_number_integer() && n.get<int64_t>() > 0 ? n.get<size_t>() : size_t{0};
  };
  Step step;
  step.index = start;
  step.from = start - std::min(count("before"), start);
  step.to = std::min(start + std::max<size_t>(count("after"), 1), series.points.size()) - 1;
  step.before = level("before");
  step.after = level("after");
  if (step.before == 0 && step.after == 0) {
    step.before = mean_of(series, step.from, start);
    step.after = mean_of(series, start, step.to + 1);
  }
  return step;
}

PanelText shift_text(const PanelSource& panel, const SignalSeries* series) {
  const Json& shift = *panel.record;
  PanelText text;
  text.heading = "Shift: " + heading_of(panel);
  size_t start = series ? index_of(*series, text_of(get_or(shift, "start_event", ""))) : SIZE_MAX;
  const bool drawn = series && start < series->points.size();
  const Json& before = get_or(get_or(shift, "before", empty_map()), "median", Json());
  const Json& after = get_or(get_or(shift, "after", empty_map()), "median", Json());
  if (drawn) {
    text.chart.step = shift_step(shift, *series, start);
    text.chart.focus = start;
  }
  text.caption = "The level moved from " +
                 (drawn ? value_text(panel, Json(text.chart.step->before)) : value_text(panel, before)) + " to " +
                 (drawn ? value_text(panel, Json(text.chart.step->after)) : value_text(panel, after));
  const Json& relative = get_or(shift, "relative_change", Json());
  if (esperlin::is_numeric(relative))
    text.caption += " (" + std::string(relative.get<double>() >= 0 ? "+" : "") +
                    format_fixed(relative.get<double>() * 100, 0) + "%)";
  text.caption += " and held.";
  std::string commit = text_of(get_or(shift, "start_commit", ""));
  const Json& counts_before = get_or(shift, "before", empty_map());
  const Json& counts_after = get_or(shift, "after", empty_map());
  text.note = "From " + text_of(get_or(shift, "start_time", "")) +
              (commit.empty() ? "" : ", commit " + commit.substr(0, 8)) + " · " +
              text_of(get_or(counts_before, "count", 0)) + " events before, " +
              text_of(get_or(counts_after, "count", 0)) + " after · p = " + text_of(get_or(shift, "significance", ""));
  if (drawn && !commit.empty()) text.chart.focus_note = "new level from commit " + commit.substr(0, 8);
  return text;
}

void append_panel(std::string& out, const PanelSource& panel, const SignalSeries* series, size_t number,
                  size_t max_points) {
  PanelText text = panel.kind == PanelSource::Kind::kChange ? change_text(panel, series)
                                                             : shift_text(panel, series);
  const std::string id = "panel-" + std::to_string(number);
  out += "<section class=\"panel " +
         std::string(panel.kind == PanelSource::Kind::kChange ? "change" : "shift") + "\" id=\"" + id +
         "\" aria-labelledby=\"" + id + "-heading\" data-family=\"";
  append_escaped(out, panel.family);
  out += "\" data-metric=\"";
  append_escaped(out, panel.metric);
  out += "\"><h2 id=\"" + id + "-heading\">";
  append_escaped(out, std::to_string(number) + ". " + text.heading);
  if (!text.badge.empty()) {
    out += " <span class=\"badge " + esperlin::lower_ascii(text.badge) + "\">";
    append_escaped(out, text.badge);
    out += "</span>";
  }
  out += "</h2>";
  append_element(out, "p", text.caption, " class=\"caption\"");
  append_element(out, "p", text.note, " class=\"note\"");
  if (!series || series->points.empty()) {
    append_element(out, "p", "No values of this metric to draw.", " class=\"note\"");
  } else {
    text.chart.id = id;
    text.chart.title = text.heading + " over time";
    text.chart.series = series;
    text.chart.dated = series->dated;
    text.chart.max_points = max_points;
    Chart chart = draw_chart(text.chart);
    out += chart.svg;
  }
  out += "</section>";
}

void append_contents(std::string& out, const ReportInputs& inputs) {
  if (inputs.panels.empty()) return;
  out += "<nav aria-label=\"Panels\"><ol>";
  for (size_t i = 0; i < inputs.panels.size(); ++i) {
    const PanelSource& panel = inputs.panels[i];
    std::string label = (panel.kind == PanelSource::Kind::kShift ? "Shift: " : "") + heading_of(panel);
    out += "<li><a href=\"#panel-" + std::to_string(i + 1) + "\">";
    append_escaped(out, label);
    out += "</a></li>";
  }
  out += "</ol></nav>";
}

}  // namespace

Page render_page(const ReportInputs& inputs, const ReportOptions& options) {
  Page page;
  std::string& out = page.html;
  const std::string scope = text_of(get_or(inputs.advisory, "scope", "velquor-engine"));
  out += "<!DOCTYPE html>\n<html xmlns=\"http://www.w3.org/1999/xhtml\" lang=\"en\"><head>"
         "<meta charset=\"utf-8\"/><meta name=\"viewport\" content=\"width=device-width, initial-scale=1\"/>"
         "<meta name=\"color-scheme\" content=\"light dark\"/>";
  append_element(out, "title", "Velquor report: " + scope);
  out += "<style>";
  out += kStyle;
  out += "</style></head><body>";
  out += kMarkerDefinitions;
  append_header(out, inputs, options);
  out += "<main>";
  append_contents(out, inputs);
  if (inputs.panels.empty())
    append_element(out, "p", "Nothing to draw: the advisory has no significant change and no shift was found.",
                   " class=\"status clear\"");
  const size_t max_points =
      std::clamp(kPagePoints / std::max<size_t>(inputs.panels.size(), 1), kMinPoints, kMaxPoints);
  for (const PanelSource& panel : inputs.panels)
    append_panel(out, panel, inputs.series_of(panel.family, panel.metric), ++page.panels, max_points);
  if (!inputs.has_shifts_file)
    append_element(out, "p", "Sustained shifts are not shown: run 'velquor shifts' on this data directory "
                   "to find them, then write the report again.", " class=\"note\"");
  append_patterns(out, inputs.advisory);
  append_accepted(out, inputs.accepted);
  append_evidence(out, inputs.advisory);
  append_prompt(out, inputs.prompt);
  out += "</main><footer>Written by velquor report from the files of the data directory; "
         "nothing on this page is fetched from elsewhere.</footer><script>";
  out += kScript;
  out += "</script></body></html>\n";
  return page;
}

}  // namespace velquor::report
