// The pattern life cycle: recognise the batch, count or store candidates,
// describe new ones, promote recurring ones, expire stale ones.

#include <algorithm>
#include <future>

#include "shared/clock.h"
#include "shared/errors.h"
#include "shared/file_io.h"
#include "shared/json_access.h"
#include "shared/numbers.h"
#include "velquor/dornath/answer_text.h"
#include "velquor/dornath/dornath.h"
#include "velquor/dornath/params.h"
#include "velquor/dornath/signal_table.h"

namespace velquor::dornath {
namespace {

constexpr size_t kMaxBatchRefs = 20;

using FileStarts = std::vector<std::pair<size_t, fs::path>>;

// The steps of a run see one list of all signals and name a faulty one by its
// position there ("signals[812]"); the user needs the file and the position
// inside it. Rethrows the same kind of error with that location.
[[noreturn]] void rethrow_with_signal_file(const Error& e, const FileStarts& starts) {
  std::string message = e.what();
  static const std::string prefix = "signals[";
  size_t close = message.find(']');
  size_t index = 0;
  bool located = message.compare(0, prefix.size(), prefix) == 0 && close != std::string::npos &&
                 close > prefix.size();
  for (size_t i = prefix.size(); located && i < close; ++i) {
    if (message[i] < '0' || message[i] > '9') located = false;
    else index = index * 10 + static_cast<size_t>(message[i] - '0');
  }
  const std::pair<size_t, fs::path>* file = nullptr;
  for (const auto& start : starts)
    if (start.first <= index) file = &start;
  if (located && file)
    message = file->second.string() + ": signals[" + std::to_string(index - file->first) +
              message.substr(close);
  if (dynamic_cast<const TypeError*>(&e)) throw TypeError(message);
  if (dynamic_cast<const MissingMember*>(&e)) throw MissingMember(message);
  if (dynamic_cast<const ValueError*>(&e)) throw ValueError(message);
  throw;
}
constexpr size_t kMaxExplanationLines = 5;

const Json& member_or_null(const Json& record, std::string_view key) {
  static const Json null_value;
  const Json* value = find_member(record, key);
  return value ? *value : null_value;
}

// A sorted copy of a list member (absent or not a list: empty).
Json sorted_list(const Json& record, std::string_view key) {
  const Json* value = find_member(record, key);
  if (!value || !value->is_array()) return Json::array();
  Json sorted = *value;
  std::sort(sorted.begin(), sorted.end());
  return sorted;
}

// Families and metric names of a pattern, whatever their directions.
bool same_families_and_metrics(const Json& a, const Json& b) {
  return sorted_list(a, "sources") == sorted_list(b, "sources") &&
         sorted_list(a, "metrics") == sorted_list(b, "metrics");
}

Json scope_of(const Json& pattern) {
  const Json& scope = member_or_null(pattern, "scope");
  return scope.is_null() ? Json("local") : scope;
}

Json recognized_detail(const std::string& fingerprint, const Json& knowledge) {
  const Json& semantic = member_or_null(knowledge, "description_semantic");
  bool has_semantic = semantic.is_string() && !semantic.get_ref<const std::string&>().empty();
  return Json{{"action", "recognized"},
              {"fingerprint", fingerprint},
              {"knowledge_id", member_or_null(knowledge, "knowledge_id")},
              {"description",
               has_semantic ? semantic : member_or_null(knowledge, "description_statistical")}};
}

// The event references of the batch: every non-empty one, in signal order.
Json batch_refs(const SignalTable& signals) {
  Json refs = Json::array();
  for (size_t i = 0; i < signals.size() && refs.size() < kMaxBatchRefs; ++i)
    if (uint32_t ref = signals.event_ref(i)) refs.push_back(signals.refs.text(ref));
  return refs;
}

std::string interpretation_prompt(const Json& pattern, const std::vector<std::string>& lines) {
  const Json* statistical = find_member(pattern, "description_statistical");
  std::string prompt =
      "You are explaining a recurring code change pattern to a product manager.\n\n"
      "Statistical finding: " +
      (statistical ? plain_text(*statistical) : std::string()) +
      "\n\nSignal explanations:\n";
  for (const std::string& line : lines) prompt += line + "\n";
  prompt +=
      "\nDescribe what this pattern means in ONE plain-English sentence.\n"
      "Write for a non-technical audience \xE2\x80\x94 avoid jargon like 'correlation', "
      "'deviation', 'stddev'.\n"
      "Do not add judgment, recommendations, or speculation.\n"
      "Describe only what is happening in practical terms.";
  return prompt;
}

void add_one(Json& summary, const char* counter) {
  summary[counter] = summary[counter].get<int64_t>() + 1;
}

}  // namespace

Json Dornath::_lookup_fingerprint(const std::string& fingerprint) {
  if (std::optional<Json> knowledge = kb->get_knowledge_by_fingerprint(fingerprint, "local"))
    return Json{{"match", "knowledge"}, {"artifact", std::move(*knowledge)}};
  if (std::optional<Json> pattern = kb->get_pattern_by_fingerprint(fingerprint, "local"))
    return Json{{"match", "pattern"}, {"artifact", std::move(*pattern)}};
  return Json{{"match", nullptr}};
}

std::optional<std::string> Dornath::_interpret_pattern(
    const Json& pattern, const std::unordered_map<std::string, Json>& explanations_by_ref) {
  LanguageModel* client = _get_llm();
  if (!client) return std::nullopt;
  std::vector<std::string> lines;
  const Json* refs = find_member(pattern, "signal_refs");
  if (refs && refs->is_array()) {
    for (size_t i = 0; i < refs->size() && i < kMaxExplanationLines; ++i) {
      if (!(*refs)[i].is_string()) continue;
      auto found = explanations_by_ref.find((*refs)[i].get<std::string>());
      if (found == explanations_by_ref.end() || !is_truthy(found->second)) continue;
      const Json* summary = find_member(found->second, "summary");
      lines.push_back("- " + (summary ? plain_text(*summary) : std::string()));
    }
  }
  if (lines.empty()) return std::nullopt;
  std::string prompt = interpretation_prompt(pattern, lines);
  // The description is optional: whatever goes wrong from here on only
  // leaves the pattern without one.
  try {
    std::string answer = client->generate(prompt);
    std::string_view cleaned = trim_space(strip_preface(answer));
    if (!gate->no_forbidden_language(cleaned)) return std::nullopt;
    if (count_sentences(cleaned) >= 5) return std::nullopt;
    return std::string(cleaned);
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

bool Dornath::_check_promotion(const Json& pattern) {
  if (member_or_null(pattern, "confidence_tier") == "confirmed") return false;
  double threshold = required_param(params, "promotion_threshold");
  double count = to_double(member_or_null(pattern, "occurrence_count"), "pattern: occurrence_count");
  if (member_or_null(pattern, "confidence_tier") == "speculative")
    threshold *= required_param(params, "semantic_multiplier");
  Json scope = scope_of(pattern);
  if (kb->get_knowledge_by_fingerprint(member_or_null(pattern, "fingerprint"), scope)) return false;
  for (const Json& knowledge : kb->list_knowledge(scope))
    if (same_families_and_metrics(pattern, knowledge)) return false;
  return count >= threshold;
}

std::string Dornath::_promote_pattern(const Json& pattern) {
  const Json& statistical = member_or_null(pattern, "description_statistical");
  Json knowledge = Json::object();
  knowledge["derived_from"] = member_or_null(pattern, "pattern_id");
  knowledge["fingerprint"] = member_or_null(pattern, "fingerprint");
  knowledge["scope"] = scope_of(pattern);
  knowledge["pattern_type"] = member_or_null(pattern, "pattern_type");
  knowledge["sources"] = member_or_null(pattern, "sources");
  knowledge["metrics"] = member_or_null(pattern, "metrics");
  // The knowledge table requires a statistical description.
  knowledge["description_statistical"] = statistical.is_null() ? Json("") : statistical;
  knowledge["description_semantic"] = member_or_null(pattern, "description_semantic");
  knowledge["support_count"] = member_or_null(pattern, "occurrence_count");
  knowledge["first_seen"] = member_or_null(pattern, "first_seen");
  knowledge["last_seen"] = member_or_null(pattern, "last_seen");
  knowledge["approval_method"] = "automatic";
  std::string knowledge_id = kb->create_knowledge(knowledge);
  kb->update_pattern(knowledge["derived_from"],
                     Json{{"confidence_tier", "confirmed"}, {"confidence_status", "sufficient"}});
  return knowledge_id;
}

std::vector<std::string> Dornath::_run_decay() {
  std::vector<std::string> expired;
  const Json& window = require_member(params, "decay_window", "params");
  for (const Json& pattern : kb->get_decayed_patterns(window)) {
    if (member_or_null(pattern, "confidence_tier") == "confirmed") continue;
    const Json& id = member_or_null(pattern, "pattern_id");
    kb->expire_pattern(id);
    expired.push_back(id.is_string() ? id.get<std::string>() : plain_text(id));
  }
  return expired;
}

std::optional<std::string> Dornath::observe_again(const Json& pattern_id, const Json& refs,
                                                 const std::string& now, Json& summary) {
  kb->increment_pattern(pattern_id, refs, now);
  add_one(summary, "patterns_incremented");
  std::optional<Json> stored = kb->get_pattern(pattern_id);
  if (!stored || !_check_promotion(*stored)) return std::nullopt;
  std::string knowledge_id = _promote_pattern(*stored);
  add_one(summary, "patterns_promoted");
  return knowledge_id;
}

void Dornath::recognize_batch(const std::string& fingerprint, const SignalTable& signals,
                              const std::string& now, Json& summary) {
  Json found = _lookup_fingerprint(fingerprint);
  if (found["match"] == "knowledge") {
    add_one(summary, "patterns_recognized");
    summary["details"].push_back(recognized_detail(fingerprint, found["artifact"]));
  } else if (found["match"] == "pattern") {
    const Json pattern_id = member_or_null(found["artifact"], "pattern_id");
    if (std::optional<std::string> knowledge_id =
            observe_again(pattern_id, batch_refs(signals), now, summary))
      summary["details"].push_back(
          Json{{"action", "promoted"}, {"pattern_id", pattern_id}, {"knowledge_id", *knowledge_id}});
  }
}

std::optional<Json> Dornath::find_stored(const Json& candidate) {
  if (std::optional<Json> same = kb->get_pattern_by_fingerprint(candidate["fingerprint"], nullptr))
    return same;
  // Directions may have flipped since: the same families and metric names
  // are still the same pattern.
  for (Json& pattern : kb->list_patterns("local"))
    if (same_families_and_metrics(pattern, candidate)) return std::move(pattern);
  return std::nullopt;
}

void Dornath::absorb_candidate(Json& candidate,
                               const std::unordered_map<std::string, Json>& explanations,
                               const std::string& now, Json& summary) {
  if (std::optional<Json> existing = find_stored(candidate)) {
    const Json* refs = find_member(candidate, "signal_refs");
    observe_again(member_or_null(*existing, "pattern_id"), refs ? *refs : Json::array(), now,
                  summary);
    return;
  }
  std::string pattern_id = kb->create_pattern(candidate);
  add_one(summary, "patterns_discovered");
  candidate["pattern_id"] = pattern_id;
  std::optional<std::string> semantic = _interpret_pattern(candidate, explanations);
  if (semantic && !semantic->empty()) {
    kb->update_pattern(pattern_id, Json{{"description_semantic", *semantic}});
    add_one(summary, "patterns_enriched");
  }
  summary["details"].push_back(Json{{"action", "discovered"},
                                    {"pattern_id", pattern_id},
                                    {"fingerprint", candidate["fingerprint"]},
                                    {"sources", candidate["sources"]},
                                    {"metrics", candidate["metrics"]},
                                    {"correlation", candidate["correlation_strength"]},
                                    {"description_statistical", candidate["description_statistical"]},
                                    {"description_semantic", semantic ? Json(*semantic) : Json(nullptr)}});
}

Json Dornath::run() {
  const std::string now = now_timestamp();
  FileStarts file_starts;
  // Discovery reads the events only when there are signals to align. Their
  // scan takes longest of the inputs, so it starts first.
  if (!signal_paths().empty()) start_event_scan();
  // The explanations are read on a further thread while the signals load;
  // an error of theirs still comes only after the signals have loaded (and
  // not at all without signals).
  std::future<std::unordered_map<std::string, Json>> explanations_read =
      std::async(std::launch::async, [this] { return load_explanations(); });
  const SignalTable signals = load_signal_table(file_starts);
  if (signals.empty())
    return Json{{"status", "no_signals"}, {"patterns_discovered", 0}, {"patterns_recognized", 0}};
  const auto explanations = explanations_read.get();
  const double threshold = required_param(params, "direction_threshold");
  std::vector<Component> components;
  try {
    components = components_of(signals, threshold);
  } catch (const Error& e) {
    rethrow_with_signal_file(e, file_starts);
  }
  Json batch_fingerprint = components.empty() ? Json(nullptr) : Json(compute_fingerprint(components));

  Json summary = {{"status", "complete"},
                  {"total_signals", signals.size()},
                  {"deviating_signals", components.size()},
                  {"batch_fingerprint", batch_fingerprint},
                  {"patterns_recognized", 0},
                  {"patterns_incremented", 0},
                  {"patterns_discovered", 0},
                  {"patterns_enriched", 0},
                  {"patterns_promoted", 0},
                  {"patterns_expired", 0},
                  {"knowledge_artifacts", 0},
                  {"details", Json::array()}};
  // What a run learns is counted once or not at all: every store change of
  // the run commits together, after the summary file is in place, so a run
  // that fails or dies part-way leaves the knowledge base as it was and a
  // retry counts each observation once.
  kb->begin_transaction();
  try {
    if (batch_fingerprint.is_string())
      recognize_batch(batch_fingerprint.get<std::string>(), signals, now, summary);
    Json candidates;
    try {
      // The two discovery steps share only their inputs, so presence
      // discovery runs on a second thread; its error counts only when
      // co-occurrence discovery, which comes first, had none.
      const SharedRefCommits commits = commits_of(signals);
      std::future<Json> presence = std::async(
          std::launch::async, [&, commits] { return discover_presence_patterns(signals, commits); });
      candidates = discover_cooccurrences(signals, commits);
      Json found = presence.get();
      log_presence_patterns(found);
      for (Json& candidate : found) candidates.push_back(std::move(candidate));
    } catch (const Error& e) {
      rethrow_with_signal_file(e, file_starts);
    }
    for (Json& candidate : candidates) absorb_candidate(candidate, explanations, now, summary);
    summary["patterns_expired"] = _run_decay().size();
    summary["knowledge_artifacts"] = kb->list_knowledge("local").size();
    write_json_file(output_path / "phase4_summary.json", summary);
    kb->commit_transaction();
  } catch (...) {
    kb->rollback_transaction();
    throw;
  }
  return summary;
}

}  // namespace velquor::dornath
