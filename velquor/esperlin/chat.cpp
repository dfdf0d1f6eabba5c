// The chat digest and the investigation prompt for an AI assistant.

#include <cmath>

#include "shared/errors.h"
#include "shared/json_access.h"
#include "shared/numbers.h"
#include "velquor/esperlin/esperlin.h"
#include "velquor/esperlin/render.h"
#include "velquor/esperlin/values.h"
#include "velquor/pellan/pellan.h"

namespace velquor::esperlin {
namespace {

constexpr size_t kPromptCommits = 10;
constexpr size_t kPromptTests = 10;
constexpr size_t kPromptDependencies = 10;
constexpr size_t kPromptTimeline = 15;

// The first line of a message; an absent or null message has none.
std::string message_line(const Json& message) {
  if (message.is_null()) return "";
  return first_line(text_of(message));
}

// " [commit 1a2b3c4d: first line]", or "" without a trigger commit.
std::string commit_info(const Json& change) {
  const Json& commit = get_or(change, "trigger_commit", empty_text());
  if (!is_truthy(commit)) return "";
  const std::string head = " [commit " + prefix_chars(text_of(commit), 8);
  const std::string line = message_line(get_or(change, "commit_message", empty_text()));
  return line.empty() ? head + "]" : head + ": " + line + "]";
}

std::string signal_line(const Json& change) {
  const Json& deviation = member(change, "deviation_stddev");
  return "- " + family_label(text_of(member(change, "family"))) + " / " +
         metric_label(text_of(member(change, "metric"))) + ": normally " +
         general4(member(member(change, "normal"), "mean"), "normal mean") + ", now " +
         general4(member(change, "current"), "current") + " (" +
         format_fixed(abs_value(deviation, "deviation_stddev"), 1) + " stddev deviation)" + commit_info(change);
}

// Appends `title` and one line per entry (at most `limit`) when `entry` of
// the evidence is present and non-empty.
template <typename Line>
void evidence_block(std::vector<std::string>& lines, const Json& evidence, std::string_view entry,
                    const char* title, size_t limit, Line line) {
  const Json& list = get_or(evidence, entry, Json());
  if (!is_truthy(list)) return;
  lines.push_back(title);
  for (size_t i = 0; i < list.size() && i < limit; ++i) lines.push_back("  " + line(list[i]));
}

std::string commit_evidence_line(const Json& commit) {
  const Json& files = get_or(commit, "files_changed", empty_list());
  std::vector<std::string> shown;
  for (size_t i = 0; i < files.size() && i < 5; ++i) shown.push_back(text_of(files[i]));
  return prefix_chars(text_of(get_or(commit, "sha", empty_text())), 8) + " — " +
         prefix_chars(message_line(get_or(commit, "message", empty_text())), 80) + " (files: " +
         join(shown, ", ") + ")";
}

}  // namespace

std::string Esperlin::_format_chat(const Json& advisory) const {
  expect_map(advisory, "advisory");
  const Json& count = member(member(advisory, "summary"), "significant_changes");
  std::vector<std::string> lines = {"Velquor Report — " + text_of(member(advisory, "scope")), "",
                                    plain_text(count) + " unusual change" + (count == 1 ? "" : "s") +
                                        " detected:",
                                    ""};
  const std::string covered = window_description(advisory);
  if (!covered.empty()) lines.insert(lines.begin() + 1, covered);
  size_t number = 0;
  for (const Json& change : get_or(advisory, "changes", empty_list())) {
    const std::string metric = text_of(member(change, "metric"));
    lines.push_back(std::to_string(++number) + ". " + metric_label(metric) + ": " +
                    pellan::relative_change(member(change, "current"), normal_value(change)) + " [" +
                    risk_label(member(change, "deviation_stddev")) + "]");
    const std::string insight = pellan::metric_insight(metric, direction_of(change));
    if (!insight.empty()) lines.push_back("   → " + insight);
  }
  const Json& matches = get_or(advisory, "pattern_matches", Json());
  if (is_truthy(matches)) {
    lines.push_back("");
    for (const Json& pattern : _dedup_and_limit_patterns(matches, 3))
      lines.push_back("Pattern: " + pellan::friendly_pattern(pattern));
  }
  const std::vector<std::string> counts = evidence_counts(
      advisory, {{"commits", "commits"}, {"tests_impacted", "failing tests"}, {"dependencies_changed", "deps"}});
  if (!counts.empty()) {
    lines.push_back("");
    lines.push_back("Evidence: " + join(counts, ", "));
  }
  return join(lines, "\n");
}

std::string Esperlin::_format_investigation_prompt(const Json& advisory) const {
  expect_map(advisory, "advisory");
  std::vector<std::string> signal_lines;
  for (const Json& change : get_or(advisory, "changes", empty_list())) signal_lines.push_back(signal_line(change));

  const Json& evidence = get_or(advisory, "evidence", empty_map());
  std::vector<std::string> evidence_lines;
  evidence_block(evidence_lines, evidence, "commits", "COMMITS:", kPromptCommits, commit_evidence_line);
  evidence_block(evidence_lines, evidence, "tests_impacted", "TESTS AFFECTED:", kPromptTests,
                 [](const Json& test) {
                   return text_of(get_or(test, "name", Json())) + " — " + text_of(get_or(test, "status_now", Json()));
                 });
  evidence_block(evidence_lines, evidence, "dependencies_changed", "DEPENDENCIES:", kPromptDependencies,
                 [](const Json& dep) {
                   return text_of(get_or(dep, "name", Json())) + " " + text_of(get_or(dep, "version", Json())) +
                          " (" + text_of(get_or(dep, "change", Json())) + ")";
                 });
  evidence_block(evidence_lines, evidence, "timeline", "TIMELINE:", kPromptTimeline, [](const Json& entry) {
    return prefix_chars(text_of(get_or(entry, "timestamp", empty_text())), 16) + " [" +
           text_of(get_or(entry, "family", Json())) + "] " + text_of(get_or(entry, "event", Json()));
  });

  const Json& period = member(advisory, "period");
  const std::string covered = window_description(advisory);
  const std::string during =
      !covered.empty() ? "the window " + covered
                       : prefix_chars(text_of(member(period, "from")), 10) + " to " +
                             prefix_chars(text_of(member(period, "to")), 10);
  return "Development pattern shift detected in " + text_of(member(advisory, "scope")) + " during " + during +
         ".\n\nDRIFT SIGNALS:\n" + join(signal_lines, "\n") + "\n\n" + join(evidence_lines, "\n") +
         "\n\nInvestigate this drift:\n"
         "1. Which commit(s) introduced the pattern shift?\n"
         "2. Was this change intentional (new feature, refactor) or unintentional (AI drift, accidental "
         "complexity)?\n"
         "3. If unintentional, what is the minimal course correction?\n";
}

}  // namespace velquor::esperlin
