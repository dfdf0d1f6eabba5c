// The advisory run: significant signals in, advisory files out.

#include <algorithm>
#include <set>
#include <unordered_map>

#include "shared/clock.h"
#include "shared/errors.h"
#include "shared/file_io.h"
#include "shared/hash.h"
#include "shared/json_access.h"
#include "velquor/esperlin/change_record.h"
#include "velquor/esperlin/esperlin.h"
#include "velquor/esperlin/input_checks.h"
#include "velquor/esperlin/key_index.h"
#include "velquor/esperlin/values.h"
#include "velquor/pellan/pellan.h"

namespace velquor::esperlin {
namespace {

void append_all(Json& list, const Json& more) {
  for (const Json& item : more) list.push_back(item);
}

// From the earliest to the latest time of the events the significant signals
// refer to; both ends are the run time when none of them has a time.
Json period_of(const Json& significant, const KeyIndex& events, const std::string& now) {
  std::set<std::string> refs;
  for (const Json& signal : significant) {
    const Json& ref = get_or(signal, "event_ref", empty_text());
    if (ref.is_string() && !ref.get_ref<const std::string&>().empty()) refs.insert(ref.get<std::string>());
  }
  std::set<std::string> times;
  for (const std::string& ref : refs) {
    const Json* event = events.find(ref);
    if (!event) continue;
    std::string time = event_time(*event, "event " + ref);
    if (!time.empty()) times.insert(std::move(time));
  }
  if (times.empty()) return Json{{"from", now}, {"to", now}};
  return Json{{"from", *times.begin()}, {"to", *times.rbegin()}};
}

// One change per family and metric: the one with the largest rounded
// |deviation| (the first on ties), strongest first.
std::vector<Json> distinct_changes(std::vector<Json> changes) {
  std::vector<Json> kept;
  std::unordered_map<std::string, size_t> position;
  auto strength = [](const Json& change) {
    return abs_value(change["deviation_stddev"], "deviation_stddev");
  };
  for (Json& change : changes) {
    const std::string key = text_of(change["family"]) + ":" + text_of(change["metric"]);
    auto [it, inserted] = position.emplace(key, kept.size());
    if (inserted) kept.push_back(std::move(change));
    else if (strength(change) > strength(kept[it->second])) kept[it->second] = std::move(change);
  }
  std::stable_sort(kept.begin(), kept.end(),
                   [&](const Json& a, const Json& b) { return strength(a) > strength(b); });
  return kept;
}

std::string text_or_empty(const Json& value) { return value.is_string() ? value.get<std::string>() : ""; }

// Only the patterns that still speak about a kept change.
Json relevant_patterns(const Json& pattern_matches, const Json& kept) {
  std::set<std::string> metrics;
  for (const Json& change : kept) metrics.insert(text_of(change["metric"]));
  Json relevant = Json::array();
  for (const Json& pattern : pattern_matches) {
    const Json& pattern_metrics = get_or(pattern, "metrics", empty_list());
    bool shares = std::any_of(pattern_metrics.begin(), pattern_metrics.end(), [&](const Json& m) {
      return m.is_string() && metrics.count(m.get<std::string>());
    });
    if (shares) relevant.push_back(pattern);
  }
  return relevant;
}

Json families_of(const Json& changes) {
  std::set<std::string> families;
  for (const Json& change : changes) families.insert(text_of(change["family"]));
  return Json(std::vector<std::string>(families.begin(), families.end()));
}

// The accepted-changes part of the summary, shared by both advisory forms.
struct Accepted {
  Json changes = Json::array();
  Json metrics = Json::array();  // "family/metric" of each
};

}  // namespace

Json Esperlin::run(const std::string& scope) {
  const std::string now = now_timestamp();
  _accepted_devs.cleanup_expired("");
  const Json signals = _load_signals();
  const Json explanations = _load_explanations();
  const Json events = _load_events();
  const Json knowledge = _load_phase4_knowledge();
  Json patterns = _load_phase4_patterns("community");
  append_all(patterns, _load_phase4_patterns("local"));

  if (signals.empty()) return Json{{"status", "no_signals"}, {"advisory", nullptr}};
  const Json significant = _filter_significant(signals);
  if (significant.empty()) return Json{{"status", "no_significant_changes"}, {"advisory", nullptr}};

  const Json evidence = _collect_evidence(significant, events);
  Json pattern_matches = _match_patterns(significant, knowledge);
  append_all(pattern_matches, _match_candidate_patterns(significant, patterns));

  const KeyIndex explanation_index(explanations);
  const KeyIndex event_index(events);
  std::vector<Json> records;
  for (const Json& signal : significant) records.push_back(change_record(signal, explanation_index, event_index));
  const Json period = period_of(significant, event_index, now);
  Json changes(distinct_changes(std::move(records)));
  _enrich_with_latest_deviation(changes, signals, events);

  std::vector<std::string> commit_list;
  for (const Json& sha : _get_commit_list(events)) commit_list.push_back(sha.get<std::string>());
  Accepted accepted;
  Json kept = Json::array();
  for (Json& change : changes) {
    const std::string family = text_of(change["family"]);
    const std::string metric = text_of(change["metric"]);
    if (_accepted_devs.is_accepted_in_context(family, metric, text_or_empty(change["trigger_commit"]),
                                              text_or_empty(change["observed_at"]), commit_list)) {
      accepted.metrics.push_back(family + "/" + metric);
      accepted.changes.push_back(std::move(change));
    } else {
      kept.push_back(std::move(change));
    }
  }
  if (!accepted.changes.empty()) pattern_matches = relevant_patterns(pattern_matches, kept);

  const fs::path advisory_path = output_path / "advisory.json";
  const fs::path summary_path = output_path / "summary.txt";
  if (kept.empty()) {
    if (accepted.changes.empty())
      return Json{{"status", "no_significant_changes"}, {"advisory", nullptr}, {"accepted_count", 0}};
    const size_t count = accepted.changes.size();
    Json advisory = {{"advisory_id", _content_hash(Json{{"scope", scope}, {"accepted", count}})},
                     {"scope", scope},
                     {"generated_at", now},
                     {"period", period}};
    advisory["summary"] = {{"significant_changes", 0},
                           {"accepted_changes", count},
                           {"accepted_metrics", accepted.metrics},
                           {"families_affected", Json::array()},
                           {"known_patterns_matched", 0},
                           {"candidate_patterns_matched", 0},
                           {"event_groups", 0},
                           {"new_observations", 0}};
    for (const char* key : {"changes", "event_groups", "pattern_matches", "candidate_patterns"})
      advisory[key] = Json::array();
    advisory["status"] = pellan::advisory_status(advisory);
    const std::string line = "All clear — " + std::to_string(count) +
                             " accepted deviation(s), no new issues detected.";
    fs::create_directories(output_path);
    write_json_file(advisory_path, advisory);
    write_json_file(output_path / "evidence.json", evidence);
    write_file_atomic(summary_path, line);
    return Json{{"status", "complete"},
                {"advisory", std::move(advisory)},
                {"human_summary", line},
                {"formats", {{"json", advisory_path.string()}, {"human", summary_path.string()}}}};
  }

  const size_t kept_count = kept.size();
  const size_t known = pattern_matches.size();
  Json event_groups = _group_by_trigger_event(kept);
  Json advisory = {{"advisory_id", nullptr}, {"scope", scope}, {"generated_at", now}, {"period", period}};
  advisory["summary"] = {{"significant_changes", kept_count},
                         {"accepted_changes", accepted.changes.size()},
                         {"accepted_metrics", accepted.metrics},
                         {"families_affected", families_of(kept)},
                         {"known_patterns_matched", known},
                         {"candidate_patterns_matched", 0},
                         {"event_groups", event_groups.size()},
                         {"new_observations", kept_count > known ? kept_count - known : 0}};
  advisory["changes"] = std::move(kept);
  advisory["event_groups"] = std::move(event_groups);
  advisory["pattern_matches"] = std::move(pattern_matches);
  advisory["candidate_patterns"] = Json::array();
  Json identified = {{"evidence_id", _content_hash(evidence)}, {"advisory_ref", nullptr}};
  for (const auto& [key, value] : evidence.items()) identified[key] = value;
  advisory["evidence"] = std::move(identified);
  const std::string advisory_id =
      _content_hash(Json{{"scope", scope}, {"period", period}, {"changes_count", kept_count}});
  advisory["advisory_id"] = advisory_id;
  advisory["evidence"]["advisory_ref"] = advisory_id;
  advisory["status"] = pellan::advisory_status(advisory);

  const std::string human = _format_human_summary(advisory);
  const std::string chat = _format_chat(advisory);
  const std::string prompt = _format_investigation_prompt(advisory);
  const fs::path chat_path = output_path / "chat.txt";
  const fs::path prompt_path = output_path / "investigation_prompt.txt";
  fs::create_directories(output_path);
  write_json_file(advisory_path, advisory);
  write_json_file(output_path / "evidence.json", advisory["evidence"]);
  write_file_atomic(summary_path, human);
  write_file_atomic(chat_path, chat);
  write_file_atomic(prompt_path, prompt);
  return Json{{"status", "complete"},
              {"advisory", std::move(advisory)},
              {"formats",
               {{"json", advisory_path.string()},
                {"human", summary_path.string()},
                {"chat", chat_path.string()},
                {"investigation", prompt_path.string()}}},
              {"human_summary", human},
              {"chat_format", chat},
              {"investigation_prompt", prompt}};
}

}  // namespace velquor::esperlin
