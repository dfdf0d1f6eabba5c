// The pieces both ways of reading share, and the reading from whole JSON
// values.

#include "velquor/esperlin/advisory_inputs.h"

#include <algorithm>

#include "shared/json_access.h"
#include "velquor/esperlin/input_checks.h"
#include "velquor/esperlin/values.h"

namespace velquor::esperlin {

void add_trace(SignalTraces& traces, const Json& signal) {
  const Json& ref = get_or(signal, "event_ref", empty_text());
  if (!ref.is_string()) return;
  SignalTrace trace{ref.get<std::string>(), std::nullopt, get_or(signal, "observed", Json())};
  if (const Json* deviation = find_member(signal, "deviation")) trace.deviation = *deviation;
  traces[{get_or(signal, "engine_id", Json()), get_or(signal, "metric", Json())}].push_back(std::move(trace));
}

EventFacts event_facts(const std::string& id, const Json& event) {
  const std::string where = "event " + id;
  const Json& observed = get_or(event, "observed_at", empty_text());
  return {event_time(event, where), observed.is_string() ? observed.get<std::string>() : "",
          commit_of(event, where)};
}

void EventDigest::add(const std::string& id, EventFacts facts) {
  auto [it, inserted] = positions_.emplace(id, facts_.size());
  if (inserted) facts_.push_back(std::move(facts));
  else facts_[it->second] = std::move(facts);
}

const std::string* EventDigest::time_of(const std::string& id) const {
  auto it = positions_.find(id);
  return it == positions_.end() ? nullptr : &facts_[it->second].time;
}

Json EventDigest::commit_list() const {
  std::vector<std::pair<std::string, std::string>> dated;
  for (const EventFacts& facts : facts_)
    if (!facts.commit.empty()) dated.emplace_back(facts.observed_at, facts.commit);
  return commits_by_time(std::move(dated));
}

std::string commit_of(const Json& event, const std::string& where) {
  const Json& payload = map_or_empty(event, "payload", where);
  const Json& sha = get_or(event, "source_type", Json()) == "git"
                        ? get_or(payload, "commit_hash", empty_text())
                        : get_or(trigger_of(payload, where), "commit_sha", empty_text());
  return sha.is_string() ? sha.get<std::string>() : "";
}

Json commits_by_time(std::vector<std::pair<std::string, std::string>> dated) {
  std::stable_sort(dated.begin(), dated.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  Json shas = Json::array();
  for (auto& [observed, sha] : dated) shas.push_back(std::move(sha));
  return shas;
}

void add_latest_deviation(Json& changes, const SignalTraces& traces,
                          const std::function<std::optional<std::string>(const std::string&)>& time_of) {
  for (Json& change : changes) {
    expect_map(change, "change");
    auto found = traces.find({get_or(change, "family", empty_text()), get_or(change, "metric", empty_text())});
    if (found == traces.end()) continue;
    const SignalTrace* latest = nullptr;
    std::string latest_time;
    for (const SignalTrace& trace : found->second) {
      std::optional<std::string> time = time_of(trace.event_ref);
      if (time && *time > latest_time) {
        latest = &trace;
        latest_time = std::move(*time);
      }
    }
    if (!latest) continue;
    Json holder = Json::object();
    if (latest->deviation) holder["deviation"] = *latest->deviation;
    const Json& measure = get_or(map_or_empty(holder, "deviation", "signal"), "measure", Json());
    if (measure.is_null()) continue;
    change["latest_deviation"] = round_value(measure, 2, "latest deviation.measure");
    change["latest_value"] = latest->observed;
    change["latest_event_ref"] = latest->event_ref;
    change["is_latest_event"] = get_or(change, "event_ref", empty_text()) == latest->event_ref;
  }
}

ExplanationKeys explanation_keys(const Json& record) {
  const Json& ref = get_or(record, "signal_ref", empty_text());
  const Json& engine = get_or(record, "engine_id", empty_text());
  const Json& metric = get_or(map_or_empty(record, "details", ""), "metric", empty_text());
  ExplanationKeys keys{std::nullopt, text_of(engine) + ":" + text_of(metric)};
  if (is_truthy(ref) && is_truthy(engine) && is_truthy(metric)) keys.full = text_of(ref) + ":" + keys.pair;
  return keys;
}

void index_explanation(MapBuilder& index, const ExplanationKeys& keys, const Json& record,
                       const std::function<bool(const std::string&)>& wanted) {
  if (keys.full && wanted(*keys.full)) index.set(*keys.full, record);
  if (!index.contains(keys.pair) && wanted(keys.pair)) index.set(keys.pair, record);
}

AdvisoryInputs read_advisory_inputs_from_trees(const Esperlin& engine) {
  AdvisoryInputs inputs;
  const Json signals = engine._load_signals();
  inputs.signal_count = signals.size();
  for (const Json& signal : signals) add_trace(inputs.traces, signal);
  inputs.significant = engine._filter_significant(signals);
  inputs.explanations = engine._load_explanations();
  inputs.events = engine._load_events();
  for (const auto& [id, event] : inputs.events.items()) inputs.digest.add(id, event_facts(id, event));
  return inputs;
}

}  // namespace velquor::esperlin
