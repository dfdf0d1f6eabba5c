// The advisory run: significant signals in, advisory files out.

#include <algorithm>
#include <exception>
#include <memory>
#include <optional>
#include <set>
#include <thread>
#include <unordered_map>

#include "shared/clock.h"
#include "shared/errors.h"
#include "shared/file_io.h"
#include "shared/hash.h"
#include "shared/json_access.h"
#include "shared/left_for_exit.h"
#include "shared/two_threads.h"
#include "velquor/esperlin/advisory_inputs.h"
#include "velquor/esperlin/change_record.h"
#include "velquor/esperlin/esperlin.h"
#include "velquor/esperlin/input_checks.h"
#include "velquor/esperlin/key_index.h"
#include "velquor/esperlin/pattern_matches.h"
#include "velquor/esperlin/values.h"
#include "velquor/pellan/pellan.h"

namespace velquor::esperlin {
namespace {

void append_all(Json& list, const Json& more) {
  for (const Json& item : more) list.push_back(item);
}

// From the earliest to the latest time of the events the significant signals
// refer to; both ends are the run time when none of them has a time.
Json period_of(const Json& significant, const EventDigest& events, const std::string& now) {
  std::optional<std::string_view> from, to;
  for (const Json& signal : significant) {
    const Json& ref = get_or(signal, "event_ref", empty_text());
    if (!ref.is_string()) continue;
    const std::optional<std::string_view> time = events.time_of(ref.get_ref<const std::string&>());
    if (!time || time->empty()) continue;
    if (!from || *time < *from) from = time;
    if (!to || *time > *to) to = time;
  }
  if (!from) return Json{{"from", now}, {"to", now}};
  return Json{{"from", std::string(*from)}, {"to", std::string(*to)}};
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

// A window's bounds; the run time stands in for bounds a history without a
// dated event does not have, as it does for a whole-history period.
Json period_of(const window::Window& window, const std::string& now) {
  return Json{{"from", window.start().empty() ? now : window.start()},
              {"to", window.end().empty() ? now : window.end()}};
}

// An all-clear line, followed in a window by the window it covers.
std::string covering(std::string line, const std::optional<window::Window>& window) {
  return window ? line + "\nWindow: " + window->description() : line;
}

// The first members of an advisory; the window's record follows the period.
Json advisory_head(Json id, const std::string& scope, const std::string& now, const Json& period,
                   const Json& window_record) {
  Json advisory = {{"advisory_id", std::move(id)}, {"scope", scope}, {"generated_at", now}, {"period", period}};
  if (!window_record.is_null()) advisory["window"] = window_record;
  return advisory;
}

Json families_of(const Json& changes) {
  std::set<std::string> families;
  for (const Json& change : changes) families.insert(text_of(change["family"]));
  return Json(std::vector<std::string>(families.begin(), families.end()));
}

// The changes of a run, split by the maintainers' acceptances.
struct Verdicts {
  Json kept = Json::array();
  Json accepted = Json::array();
  Json accepted_metrics = Json::array();  // "family/metric" of each accepted change
};

Verdicts split_accepted(Json changes, const morvic::AcceptedDeviations& acceptances,
                        const std::vector<std::string>& commit_list) {
  Verdicts verdicts;
  for (Json& change : changes) {
    const std::string family = text_of(change["family"]);
    const std::string metric = text_of(change["metric"]);
    if (acceptances.is_accepted_in_context(family, metric, text_or_empty(change["trigger_commit"]),
                                           text_or_empty(change["observed_at"]), commit_list)) {
      verdicts.accepted_metrics.push_back(family + "/" + metric);
      verdicts.accepted.push_back(std::move(change));
    } else {
      verdicts.kept.push_back(std::move(change));
    }
  }
  return verdicts;
}

// What the run works out from its significant signals (the period is the
// whole history's, or the window's when the run has one).
struct Findings {
  Json evidence;
  Json pattern_matches;
  Json changes = Json::array();
  Json period;
};

// The change records of the distinct signals, each with its latest deviation.
void add_changes(Findings& found, const Json& significant, const AdvisoryInputs& inputs,
                 const std::optional<window::Window>& window, const std::string& now) {
  const KeyIndex explanation_index(inputs.explanations);
  const KeyIndex event_index(inputs.events);
  for (const Json* signal : distinct_signals(significant))
    found.changes.push_back(change_record(*signal, explanation_index, event_index));
  found.period = window ? period_of(*window, now) : period_of(significant, inputs.digest, now);
  add_latest_deviation(found.changes, inputs.traces,
                       [&](std::string_view ref) { return inputs.digest.time_of(ref); });
}

// The evidence is gathered on one thread while the pattern matches and the
// changes are worked out on the other; an error is the one working them out
// in that order would meet first.
Findings find_all(const Esperlin& engine, const Json& significant, const AdvisoryInputs& inputs,
                  const Json& knowledge, const Json& patterns, const std::string& now) {
  Findings found;
  std::exception_ptr errors[2];
  const size_t failed = work_on_two_threads(2, [&](size_t part) {
    try {
      if (part == 0) {
        found.evidence = engine._collect_evidence(significant, inputs.events);
      } else {
        found.pattern_matches = match_all_patterns(significant, knowledge, patterns);
        add_changes(found, significant, inputs, engine.window, now);
      }
      return true;
    } catch (...) {
      errors[part] = std::current_exception();
      return false;
    }
  });
  if (failed < 2) std::rethrow_exception(errors[failed]);
  return found;
}

// Frees what the run is done with on threads of their own while the run goes
// on (a long history's inputs hold a tree for each significant signal and
// for each event they refer to, which takes a while to free: each on a
// thread, so that both cores free once the run is done). It holds the run's
// inputs and frees the rest of them as the run ends, beside those threads.
// For a process that ends after the run, nothing is freed: all is left for
// the exit.
class Disposal {
 public:
  explicit Disposal(bool at_exit) : at_exit_(at_exit) {}
  Disposal(const Disposal&) = delete;
  Disposal& operator=(const Disposal&) = delete;
  ~Disposal() {
    if (at_exit_ && inputs_) leave_for_exit(std::move(inputs_));
    inputs_.reset();  // while the threads free the rest
    for (std::thread& thread : threads_)
      if (thread.joinable()) thread.join();
  }
  // The inputs of the run, kept until it ends.
  AdvisoryInputs& hold(AdvisoryInputs inputs) {
    inputs_ = std::make_unique<AdvisoryInputs>(std::move(inputs));
    return *inputs_;
  }
  void free(Json first, Json second) {
    if (at_exit_) {
      leave_for_exit(std::move(first));
      leave_for_exit(std::move(second));
      return;
    }
    threads_[0] = std::thread([doomed = std::move(first)]() mutable { const Json gone = std::move(doomed); });
    threads_[1] = std::thread([doomed = std::move(second)]() mutable { const Json gone = std::move(doomed); });
  }

 private:
  bool at_exit_;
  std::unique_ptr<AdvisoryInputs> inputs_;
  std::thread threads_[2];
};

Json formats_entry(const fs::path& path) { return path.string(); }

constexpr const char* kNothingSignificant = "No significant changes: every metric is within its normal range.";

std::string all_clear_line(size_t accepted) {
  return "All clear — " + std::to_string(accepted) + " accepted deviation(s), no new issues detected.";
}

// Writes the all-clear advisory: every significant change was accepted, or
// a window holds none. A window always gets an advisory, so that the next
// --new starts where this one ended.
Json all_clear_result(const std::string& scope, const std::string& now, const Json& period,
                      const Json& window_record, const Verdicts& verdicts, const Json& evidence,
                      const std::string& line, const fs::path& output_path) {
  const size_t count = verdicts.accepted.size();
  Json advisory =
      advisory_head(_content_hash(Json{{"scope", scope}, {"accepted", count}}), scope, now, period, window_record);
  advisory["summary"] = {{"significant_changes", 0},
                         {"accepted_changes", count},
                         {"accepted_metrics", verdicts.accepted_metrics},
                         {"families_affected", Json::array()},
                         {"known_patterns_matched", 0},
                         {"candidate_patterns_matched", 0},
                         {"event_groups", 0},
                         {"new_observations", 0}};
  for (const char* key : {"changes", "event_groups", "pattern_matches", "candidate_patterns"})
    advisory[key] = Json::array();
  advisory["status"] = pellan::advisory_status(advisory);
  const fs::path advisory_path = output_path / "advisory.json";
  const fs::path summary_path = output_path / "summary.txt";
  ensure_directory(output_path);
  write_json_file(advisory_path, advisory);
  write_json_file(output_path / "evidence.json", evidence);
  write_file_atomic(summary_path, line);
  return Json{{"status", "complete"},
              {"advisory", std::move(advisory)},
              {"human_summary", line},
              {"formats", {{"json", formats_entry(advisory_path)}, {"human", formats_entry(summary_path)}}}};
}

// The advisory record of the kept changes, its id and status set.
Json main_advisory(const Esperlin& engine, const std::string& scope, const std::string& now,
                   const Json& period, const Json& window_record, Verdicts verdicts, Json pattern_matches,
                   const Json& evidence) {
  const size_t kept = verdicts.kept.size();
  const size_t known = pattern_matches.size();
  Json event_groups = engine._group_by_trigger_event(verdicts.kept);
  Json advisory = advisory_head(nullptr, scope, now, period, window_record);
  advisory["summary"] = {{"significant_changes", kept},
                         {"accepted_changes", verdicts.accepted.size()},
                         {"accepted_metrics", verdicts.accepted_metrics},
                         {"families_affected", families_of(verdicts.kept)},
                         {"known_patterns_matched", known},
                         {"candidate_patterns_matched", 0},
                         {"event_groups", event_groups.size()},
                         {"new_observations", kept > known ? kept - known : 0}};
  advisory["changes"] = std::move(verdicts.kept);
  advisory["event_groups"] = std::move(event_groups);
  advisory["pattern_matches"] = std::move(pattern_matches);
  advisory["candidate_patterns"] = Json::array();
  Json identified = {{"evidence_id", _content_hash(evidence)}, {"advisory_ref", nullptr}};
  for (const auto& [key, value] : evidence.items()) identified[key] = value;
  advisory["evidence"] = std::move(identified);
  const std::string id = _content_hash(Json{{"scope", scope}, {"period", period}, {"changes_count", kept}});
  advisory["advisory_id"] = id;
  advisory["evidence"]["advisory_ref"] = id;
  advisory["status"] = pellan::advisory_status(advisory);
  return advisory;
}

// Renders the three texts, then writes the five files in their fixed order.
Json main_result(const Esperlin& engine, Json advisory, const fs::path& output_path) {
  const std::string human = engine._format_human_summary(advisory);
  const std::string chat = engine._format_chat(advisory);
  const std::string prompt = engine._format_investigation_prompt(advisory);
  const fs::path advisory_path = output_path / "advisory.json";
  const fs::path summary_path = output_path / "summary.txt";
  const fs::path chat_path = output_path / "chat.txt";
  const fs::path prompt_path = output_path / "investigation_prompt.txt";
  ensure_directory(output_path);
  write_json_file(advisory_path, advisory);
  write_json_file(output_path / "evidence.json", advisory["evidence"]);
  write_file_atomic(summary_path, human);
  write_file_atomic(chat_path, chat);
  write_file_atomic(prompt_path, prompt);
  return Json{{"status", "complete"},
              {"advisory", std::move(advisory)},
              {"formats",
               {{"json", formats_entry(advisory_path)},
                {"human", formats_entry(summary_path)},
                {"chat", formats_entry(chat_path)},
                {"investigation", formats_entry(prompt_path)}}},
              {"human_summary", human},
              {"chat_format", chat},
              {"investigation_prompt", prompt}};
}

}  // namespace

Json run_advisory(Esperlin& engine, const std::string& scope,
                  const std::function<AdvisoryInputs(const Esperlin&)>& read) {
  Disposal disposal(engine.process_ends_after_run);
  const std::string now = now_timestamp();
  engine._accepted_devs.cleanup_expired("");
  AdvisoryInputs& inputs = disposal.hold(read(engine));
  const Json knowledge = engine._load_phase4_knowledge();
  Json patterns = engine._load_phase4_patterns("community");
  append_all(patterns, engine._load_phase4_patterns("local"));

  if (inputs.signal_count == 0) return Json{{"status", "no_signals"}, {"advisory", nullptr}};
  const std::optional<window::Window>& window = engine.window;
  const Json window_record = window ? window->record() : Json();
  Json significant = window ? signals_in(*window, inputs.significant) : std::move(inputs.significant);
  if (significant.empty()) {
    if (!window) return Json{{"status", "no_significant_changes"}, {"advisory", nullptr}};
    const std::string line = window->empty() ? window->empty_notice() : covering(kNothingSignificant, window);
    return all_clear_result(scope, now, period_of(*window, now), window_record, Verdicts{},
                            engine._collect_evidence(significant, inputs.events), line,
                            engine.output_path);
  }

  Findings found = find_all(engine, significant, inputs, knowledge, patterns, now);
  Json pattern_matches = std::move(found.pattern_matches);
  const Json& evidence = found.evidence;
  const Json& period = found.period;

  // Only an acceptance from a commit onwards reads the commit order, which
  // takes a sort of every event to build.
  const std::vector<std::string> commits =
      engine._accepted_devs.list().empty() ? std::vector<std::string>() : inputs.digest.commit_list();
  Verdicts verdicts = split_accepted(std::move(found.changes), engine._accepted_devs, commits);
  disposal.free(std::move(significant), std::move(inputs.events));
  if (!verdicts.accepted.empty()) pattern_matches = relevant_patterns(pattern_matches, verdicts.kept);
  if (verdicts.kept.empty()) {
    if (verdicts.accepted.empty() && !window)
      return Json{{"status", "no_significant_changes"}, {"advisory", nullptr}, {"accepted_count", 0}};
    const std::string line =
        verdicts.accepted.empty() ? kNothingSignificant : all_clear_line(verdicts.accepted.size());
    return all_clear_result(scope, now, period, window_record, verdicts, evidence, covering(line, window),
                            engine.output_path);
  }
  return main_result(engine, main_advisory(engine, scope, now, period, window_record, std::move(verdicts),
                                           std::move(pattern_matches), evidence),
                     engine.output_path);
}

Json Esperlin::run(const std::string& scope) { return run_advisory(*this, scope, read_advisory_inputs); }

}  // namespace velquor::esperlin
