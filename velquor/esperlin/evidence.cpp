// Which signals are worth reporting, and the evidence behind them: the
// commits, paths, failing tests and direct dependencies of their events, and
// a timeline of what happened.

#include <algorithm>
#include <cmath>
#include <optional>
#include <set>
#include <unordered_map>
#include <utility>

#include "shared/errors.h"
#include "shared/json_access.h"
#include "shared/numbers.h"
#include "velquor/esperlin/advisory_inputs.h"
#include "velquor/esperlin/esperlin.h"
#include "velquor/esperlin/input_checks.h"
#include "velquor/esperlin/key_index.h"
#include "velquor/esperlin/values.h"

namespace velquor::esperlin {
namespace {

constexpr size_t kMaxCommits = 20;
constexpr size_t kMaxFiles = 50;
constexpr size_t kMaxTests = 30;
constexpr size_t kMaxDependencies = 30;
constexpr size_t kMaxTimeline = 50;

// The event a signal refers to, or nullptr when the index has none under its
// (text) event_ref.
const Json* event_of(const Json& signal, const KeyIndex& events) {
  const Json& ref = get_or(signal, "event_ref", empty_text());
  if (!ref.is_string()) return nullptr;
  return events.find(ref.get_ref<const std::string&>());
}

// One line of the timeline; `family` points into the events or at a constant.
// Of a long history's thousands of significant signals only the earliest
// reach the timeline, so a signal's line is written when the timeline reaches
// it: `signal` is set then, and `event` is empty.
struct TimelineEntry {
  std::string timestamp;
  const Json* family;
  std::string event;
  const Json* signal = nullptr;
};

// The lists gathered while walking the significant signals. Each list only
// grows and only its first entries are reported, so a full list takes no
// more (the timeline is sorted first, so it takes all).
struct EvidenceLists {
  Json commits = Json::array();
  Json files = Json::array();
  Json tests = Json::array();
  Json dependencies = Json::array();
  std::vector<TimelineEntry> timeline;
  std::set<std::string> seen_shas;
  std::set<std::string> seen_paths;
};

// "Files Changed: 42 (3.2 stddev above normal)"
std::string deviation_description(const Json& signal, const std::string& where) {
  const Json& metric = require_member(signal, "metric", where);
  expect_kind(metric, "string", "metric", where);
  const Json& measure = require_member(require_member(signal, "deviation", where), "measure", where);
  const double dev = to_double(measure, where + " deviation.measure");
  const std::string observed = general4(require_member(signal, "observed", where), where + " observed");
  return metric_label(metric.get_ref<const std::string&>()) + ": " + observed + " (" + format_fixed(std::fabs(dev), 1) +
         " stddev " + (dev > 0 ? "above" : "below") + " normal)";
}

// Whether deviation_description describes `signal` without fail, so that it
// may do so later.
bool describable(const Json& signal) {
  if (!signal.is_object()) return false;
  const Json* metric = find_member(signal, "metric");
  const Json* deviation = find_member(signal, "deviation");
  const Json* measure = deviation && deviation->is_object() ? find_member(*deviation, "measure") : nullptr;
  const Json* observed = find_member(signal, "observed");
  return metric && metric->is_string() && measure && measure->is_number() && observed && observed->is_number();
}

void add_commit(EvidenceLists& lists, const Json& event, const Json& payload,
                const std::string& time, const std::string& where) {
  const Json& sha_value = get_or(map_or_empty(event, "attestation", where), "commit_hash", empty_text());
  if (!sha_value.is_string()) return;  // null: no commit recorded
  const std::string& sha = sha_value.get_ref<const std::string&>();
  if (sha.empty() || !lists.seen_shas.insert(sha).second) return;
  const Json& files = list_or_empty(payload, "files", where);
  if (lists.commits.size() < kMaxCommits)
    lists.commits.push_back({{"sha", sha},
                             {"message", get_or(payload, "message", empty_text())},
                             {"author", get_or(payload, "author", empty_text())},
                             {"timestamp", time},
                             {"files_changed", files}});
  for (const Json& path : files) {
    if (lists.files.size() >= kMaxFiles) break;
    if (!lists.seen_paths.insert(text_of(path)).second) continue;
    lists.files.push_back({{"path", path}, {"change_type", "modified"}, {"first_seen_in", sha}});
  }
}

void add_failed_tests(EvidenceLists& lists, const Json& payload, const std::string& where) {
  const Json& since = get_or(trigger_of(payload, where), "commit_sha", empty_text());
  for (const Json& test_case : list_or_empty(payload, "cases", where)) {
    if (lists.tests.size() >= kMaxTests) break;
    if (!is_failed_case(test_case)) continue;
    lists.tests.push_back({{"name", get_or(test_case, "name", Json("unknown"))},
                           {"status_before", "passed"},
                           {"status_now", test_case.at("status")},
                           {"since_commit", since}});
  }
}

void add_direct_dependencies(EvidenceLists& lists, const Json& payload, const std::string& where) {
  for (const Json& dependency : list_or_empty(payload, "dependencies", where)) {
    if (lists.dependencies.size() >= kMaxDependencies) break;
    if (!is_truthy(get_or(dependency, "direct", Json(false)))) continue;
    lists.dependencies.push_back({{"name", get_or(dependency, "name", empty_text())},
                                  {"change", "present"},
                                  {"version", get_or(dependency, "version", empty_text())}});
  }
}

void add_severe_findings(EvidenceLists& lists, const Json& payload, const std::string& time,
                         const std::string& where) {
  static const Json security = "security";
  for (const Json& finding : list_or_empty(payload, "findings", where)) {
    const Json& severity = get_or(finding, "severity", empty_text());
    if (severity != "critical" && severity != "high") continue;
    lists.timeline.push_back(
        {time, &security,
         "Vulnerability " + text_of(get_or(finding, "id", Json("unknown"))) + ": " + text_of(severity) + " in " +
             text_of(get_or(finding, "package", empty_text()))});
  }
}

// The first `limit` entries sorted by time (stably), keeping the earliest of
// identical (family, event) descriptions.
Json ordered_timeline(const std::vector<TimelineEntry>& timeline, size_t limit) {
  std::vector<const TimelineEntry*> entries;
  entries.reserve(timeline.size());
  for (const TimelineEntry& entry : timeline) entries.push_back(&entry);
  std::stable_sort(entries.begin(), entries.end(),
                   [](const TimelineEntry* a, const TimelineEntry* b) { return a->timestamp < b->timestamp; });
  std::set<std::pair<std::string, std::string>> seen;
  Json out = Json::array();
  std::string described;
  for (const TimelineEntry* entry : entries) {
    if (out.size() >= limit) break;
    if (entry->signal) described = deviation_description(*entry->signal, "significant signal");
    const std::string& event = entry->signal ? described : entry->event;
    if (!seen.emplace(dump_compact(*entry->family), event).second) continue;
    out.push_back({{"timestamp", entry->timestamp}, {"family", *entry->family}, {"event", event}});
  }
  return out;
}

}  // namespace

Json Esperlin::_filter_significant(const Json& signals) const {
  expect_array(signals, "signals");
  Json significant = Json::array();
  for (size_t i = 0; i < signals.size(); ++i) {
    if (is_significant(signals[i], significance_threshold, "signals[" + std::to_string(i) + "]"))
      significant.push_back(signals[i]);
  }
  return significant;
}

Json Esperlin::_collect_evidence(const Json& significant_signals, const Json& all_events) const {
  expect_array(significant_signals, "significant_signals");
  expect_map(all_events, "all_events");
  const KeyIndex events(all_events);
  EvidenceLists lists;
  for (size_t i = 0; i < significant_signals.size(); ++i) {
    const Json& signal = significant_signals[i];
    const Json* event = event_of(signal, events);
    if (!event || !is_truthy(*event)) continue;
    const std::string where = "event " + get_or(signal, "event_ref", empty_text()).get<std::string>();
    static const Json unknown = "unknown";
    const Json* family_member = find_member(*event, "source_family");
    if (!family_member) family_member = find_member(*event, "source_type");
    const Json& family = family_member ? *family_member : unknown;
    const Json& payload = map_or_empty(*event, "payload", where);
    const std::string time = event_time(*event, where);
    if (describable(signal))
      lists.timeline.push_back({time, &family, "", &signal});
    else  // described now, to raise its error in its place
      lists.timeline.push_back({time, &family, deviation_description(signal, "signals[" + std::to_string(i) + "]")});
    if (family == "version_control") add_commit(lists, *event, payload, time, where);
    else if (family == "testing") add_failed_tests(lists, payload, where);
    else if (family == "dependency") add_direct_dependencies(lists, payload, where);
    else if (family == "security") add_severe_findings(lists, payload, time, where);
  }
  return Json{{"commits", std::move(lists.commits)},
              {"files_affected", std::move(lists.files)},
              {"tests_impacted", std::move(lists.tests)},
              {"dependencies_changed", std::move(lists.dependencies)},
              {"timeline", ordered_timeline(lists.timeline, kMaxTimeline)}};
}

Json Esperlin::_get_commit_list(const Json& all_events) const {
  expect_map(all_events, "all_events");
  std::vector<std::pair<std::string, std::string>> dated;  // (observed_at, sha)
  for (const auto& [id, event] : all_events.items()) {
    std::string sha = commit_of(event, "event " + id);
    if (sha.empty()) continue;
    const Json& observed = get_or(event, "observed_at", empty_text());
    dated.emplace_back(observed.is_string() ? observed.get<std::string>() : "", std::move(sha));
  }
  return Json(commits_by_time(std::move(dated)));
}

void Esperlin::_enrich_with_latest_deviation(Json& changes, const Json& all_signals,
                                             const Json& all_events) const {
  expect_array(changes, "changes");
  expect_array(all_signals, "all_signals");
  expect_map(all_events, "all_events");
  SignalTraces traces;
  for (const Json& signal : all_signals) traces.add(signal);
  const KeyIndex events(all_events);
  std::unordered_map<std::string, std::string> times;  // the events looked at, by id
  add_latest_deviation(changes, traces, [&](std::string_view ref) -> std::optional<std::string_view> {
    const Json* event = events.find(ref);
    if (!event) return std::nullopt;
    auto [at, added] = times.try_emplace(std::string(ref));
    if (added) at->second = event_time(*event, "event " + at->first);
    return at->second;
  });
}

}  // namespace velquor::esperlin
