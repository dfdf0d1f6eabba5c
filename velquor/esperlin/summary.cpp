// The human summary: what changed, set against what is normal.

#include <cctype>

#include "shared/errors.h"
#include "shared/json_access.h"
#include "shared/numbers.h"
#include "velquor/esperlin/esperlin.h"
#include "velquor/esperlin/render.h"
#include "velquor/esperlin/values.h"
#include "velquor/pellan/pellan.h"

namespace velquor::esperlin {
namespace {

// Metrics that are shares of one, shown as percentages.
bool is_percent_metric(const std::string& metric) {
  return metric == "skip_rate" || metric == "fixable_ratio" || metric == "is_prerelease" ||
         metric == "run_failed";
}

// "First character upper, the rest lower".
// The wording is ASCII, so byte-wise case mapping is exact.
std::string sentence_case(std::string text) {
  text = lower_ascii(std::move(text));
  if (!text.empty()) text[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
  return text;
}

std::string family_labels(const Json& families, std::string_view separator) {
  std::vector<std::string> labels;
  for (const Json& family : families) labels.push_back(family_label(text_of(family)));
  return join(labels, separator);
}

// "N significant changes detected across A and B[ (k accepted — filtered: ...)]."
std::string count_sentence(const Json& summary) {
  const std::string head = plain_text(member(summary, "significant_changes")) +
                           " significant changes detected across " +
                           family_labels(member(summary, "families_affected"), " and ");
  const Json& accepted = get_or(summary, "accepted_changes", Json(0));
  if (!is_truthy(accepted)) return head + ".";
  const Json& metrics = get_or(summary, "accepted_metrics", empty_list());
  std::vector<std::string> shown;
  for (size_t i = 0; i < metrics.size() && i < 3; ++i) shown.push_back(text_of(metrics[i]));
  std::string filtered = join(shown, ", ");
  if (metrics.size() > 3) filtered += " +" + std::to_string(metrics.size() - 3) + " more";
  return head + " (" + plain_text(accepted) + " accepted — filtered: " + filtered + ").";
}

}  // namespace

const Json& member(const Json& record, std::string_view key) {
  return require_member(record, key, "advisory");
}

const Json& normal_value(const Json& change) {
  const Json& normal = member(change, "normal");
  const double mad = to_double(get_or(normal, "mad", Json(0)), "normal mad");
  return mad > 0 ? member(normal, "median") : member(normal, "mean");
}

std::string direction_of(const Json& change) {
  return to_double(member(change, "deviation_stddev"), "deviation_stddev") > 0 ? "up" : "down";
}

std::string risk_label(const Json& deviation) {
  return text_of(member(pellan::risk_level(deviation), "label"));
}

std::vector<std::string> evidence_counts(
    const Json& advisory, const std::vector<std::pair<std::string_view, std::string_view>>& counted) {
  const Json& evidence = get_or(advisory, "evidence", empty_map());
  std::vector<std::string> parts;
  for (const auto& [entry, what] : counted) {
    const Json& list = get_or(evidence, entry, Json());
    if (is_truthy(list)) parts.push_back(std::to_string(list.size()) + " " + std::string(what));
  }
  return parts;
}

std::string window_description(const Json& advisory) {
  const Json& window = get_or(advisory, "window", Json());
  return window.is_null() ? "" : text_of(require_member(window, "description", "advisory window"));
}

std::string Esperlin::_fmt_value(const std::string& metric, const Json& value) const {
  return format_metric_value(metric, value);
}

std::string format_metric_value(const std::string& metric, const Json& value) {
  if (is_percent_metric(metric)) {
    if (!is_numeric(value)) return plain_text(value);
    const double share = to_double(value, metric);
    return share <= 1.01 ? format_fixed(share * 100, 1) + "%" : format_general(share, 4);
  }
  if (value.is_number_float()) {
    const double real = value.get<double>();
    return real < 1 ? format_fixed(real, 2) : format_general(real, 4);
  }
  return plain_text(value);
}

void Esperlin::_append_change_lines(std::vector<std::string>& lines, const Json& change,
                                    const std::string& indent) const {
  expect_map(change, "change");
  const std::string metric = text_of(member(change, "metric"));
  const Json& deviation = member(change, "deviation_stddev");
  const Json& current = member(change, "current");
  lines.push_back(indent + family_label(text_of(member(change, "family"))) + " / " + metric_label(metric) +
                  "  [" + risk_label(deviation) + "]");
  lines.push_back(indent + "   " + sentence_case(pellan::relative_change(current, normal_value(change))) +
                  " (now " + _fmt_value(metric, current) + ")");
  const std::string insight = pellan::metric_insight(metric, direction_of(change));
  if (!insight.empty()) lines.push_back(indent + "   → " + insight);
}

namespace {

// The changes, by trigger event when the advisory has groups: a group of
// several changes under an "Event i" heading, a single change on its own.
void append_changes(const Esperlin& engine, std::vector<std::string>& lines, const Json& advisory) {
  const Json& groups = get_or(advisory, "event_groups", empty_list());
  if (groups.empty()) {
    for (const Json& change : get_or(advisory, "changes", empty_list())) {
      engine._append_change_lines(lines, change, "");
      lines.push_back("");
    }
    return;
  }
  size_t number = 0;
  for (const Json& group : groups) {
    ++number;
    const Json& count = member(group, "signal_count");
    if (to_double(count, "signal_count") > 1) {
      lines.push_back("Event " + std::to_string(number) + " (" + plain_text(count) + " signals across " +
                      family_labels(member(group, "families"), ", ") + "):");
      for (const Json& change : member(group, "changes")) engine._append_change_lines(lines, change, "  ");
    } else {
      engine._append_change_lines(lines, member(group, "primary"), "");
    }
    lines.push_back("");
  }
}

void append_patterns(std::vector<std::string>& lines, const Json& advisory) {
  const Json& matches = get_or(advisory, "pattern_matches", Json());
  if (!is_truthy(matches)) return;
  const Json shown = _dedup_and_limit_patterns(matches);
  lines.push_back("KNOWN PATTERNS (" + std::to_string(shown.size()) + ")");
  lines.push_back("");
  for (const Json& pattern : shown) {
    lines.push_back("  " + pellan::friendly_pattern(pattern));
    lines.push_back("");
  }
}

}  // namespace

std::string Esperlin::_format_human_summary(const Json& advisory) const {
  expect_map(advisory, "advisory");
  const Json& period = member(advisory, "period");
  const Json& summary = member(advisory, "summary");
  const std::string covered = window_description(advisory);
  std::vector<std::string> lines = {
      "Velquor Advisory — " + text_of(member(advisory, "scope")),
      !covered.empty() ? "Window: " + covered
                       : "Period: " + prefix_chars(text_of(member(period, "from")), 10) + " to " +
                             prefix_chars(text_of(member(period, "to")), 10),
      "",
      count_sentence(summary)};
  const size_t groups = get_or(advisory, "event_groups", empty_list()).size();
  if (groups > 0 && static_cast<double>(groups) < to_double(member(summary, "significant_changes"), "significant_changes"))
    lines.push_back("(Grouped into " + std::to_string(groups) + " trigger events)");
  lines.push_back("");
  append_changes(*this, lines, advisory);
  append_patterns(lines, advisory);
  const std::vector<std::string> counts = evidence_counts(
      advisory, {{"commits", "commits"}, {"files_affected", "files"}, {"tests_impacted", "failing tests"},
                 {"dependencies_changed", "dependencies"}});
  if (!counts.empty()) lines.push_back("Evidence: " + join(counts, ", "));
  return join(lines, "\n");
}

}  // namespace velquor::esperlin
