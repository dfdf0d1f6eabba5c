// The pieces both ways of reading share, and the reading from whole JSON
// values.

#include "velquor/esperlin/advisory_inputs.h"

#include <algorithm>
#include <iterator>
#include <unordered_map>

#include "shared/json_access.h"
#include "velquor/cindrel/record_scanner.h"
#include "velquor/dornath/event_scan.h"
#include "velquor/esperlin/flat_json.h"
#include "velquor/esperlin/input_checks.h"
#include "velquor/esperlin/values.h"

namespace velquor::esperlin {
namespace {

// The evidence lists only the failed cases of a test report, and the checks
// read only the kind of the others: a report of a million passing cases
// costs a few maps.
const JsonKeep& event_keep() {
  static const JsonKeep keep = [] {
    JsonKeep members(EVENT_MEMBERS);
    members.add_filter("payload.cases", [](const Json& test_case) {
      return !test_case.is_object() || is_failed_case(test_case);
    });
    return members;
  }();
  return keep;
}

// Whether the JSON object `text` has members (white space aside).
bool has_members(std::string_view text) {
  const size_t open = text.find('{');
  const size_t next = text.find_first_not_of(" \t\n\r", open + 1);
  return next != std::string_view::npos && text[next] != '}';
}

// An event with members is set, and the evidence passes over unset ones: one
// that has none of those kept stands in with a member of no meaning.
void keep_set(Json& event, bool has_members) {
  if (event.is_object() && event.empty() && has_members) event[""] = nullptr;
}

}  // namespace

const std::vector<std::string> EVENT_MEMBERS = {
    "event_id", "source_family", "source_type", "observed_at", "attestation.commit_hash",
    "payload.commit_hash", "payload.message", "payload.author", "payload.files",
    "payload.committed_at", "payload.authored_at", "payload.timing.created_at", "payload.timing.started_at",
    "payload.timing.initiated_at", "payload.timing.completed_at", "payload.trigger.commit_sha",
    "payload.trigger.commit_message", "payload.cases.name", "payload.cases.status",
    "payload.dependencies.direct", "payload.dependencies.name", "payload.dependencies.version",
    "payload.findings.severity", "payload.findings.id", "payload.findings.package"};

JsonKeep prepared_event_members() {
  JsonKeep keep{"event_id",           "source_family",       "source_type",
                "observed_at",        "attestation.commit_hash", "payload.commit_hash",
                "payload.trigger.commit_sha"};
  for (std::string_view member : dornath::kEventMembers) keep.add(member);  // the event time
  // The checks of a list stop at its first element of another kind than they
  // want; the elements of that kind tell them nothing.
  auto other_than = [](Json::value_t wanted) {
    return [wanted](const Json& element) { return element.type() != wanted; };
  };
  keep.add_filter("payload.files", other_than(Json::value_t::string));
  for (std::string_view list : {"payload.cases", "payload.dependencies", "payload.findings"})
    keep.add_filter(list, other_than(Json::value_t::object));
  return keep;
}

bool is_failed_case(const Json& test_case) {
  const Json& status = get_or(test_case, "status", Json());
  return status == "failed" || status == "errored";
}

Json parse_event(std::string_view text, const fs::path& path) {
  Json event = parse_json(text, path.string(), NonFinite::kReject, event_keep());
  keep_set(event, has_members(text));
  return event;
}

PreparedEvent prepare_event(const Json& event, fs::path file) {
  PreparedEvent prepared{std::move(file), nullptr, "", {}};
  try {
    check_event(event, prepared.file.string());
    prepared.id = event_key(event, prepared.file);
    prepared.facts = event_facts(prepared.id, event);
  } catch (...) {
    prepared.error = std::current_exception();
  }
  return prepared;
}

namespace {

using cindrel::FlatValue;
using FlatKind = FlatValue::Kind;

// An event file larger than this goes to the parser, which builds only the
// members the run reads: the scanner would record every value of it.
constexpr size_t kPlainEventLimit = size_t{1} << 20;

// The members prepare_event reads of a scanned event. Each accessor accepts
// a member that is absent or of the kind the checks want (text without
// escapes, a map, a list of elements of one kind) and marks the event unusual
// otherwise, so that it passes every check of check_event exactly when it
// stays usual; "absent" members of an absent map are absent too.
class FlatEvent {
 public:
  explicit FlatEvent(const cindrel::ScannedRecord& record) : record_(record) {}

  bool usual() const { return usual_; }
  const FlatValue* root() const { return &record_.values[0]; }

  // A map member (`null_is_empty`: or null, read as an empty map).
  const FlatValue* map(const FlatValue* object, std::string_view key, bool null_is_empty = false) {
    const FlatValue* value = member(object, key);
    if (!value || value->kind == FlatKind::kObject) return value;
    if (!(null_is_empty && value->kind == FlatKind::kNull)) usual_ = false;
    return nullptr;
  }
  // A text member; nullptr when absent or null.
  const FlatValue* text(const FlatValue* object, std::string_view key) {
    const FlatValue* value = member(object, key);
    if (!value || value->kind == FlatKind::kNull) return nullptr;
    if (value->kind != FlatKind::kString || !(record_.plain || cindrel::is_plain_text(value->text))) usual_ = false;
    return value;
  }
  // A list member whose elements are all of `kind`.
  void list(const FlatValue* object, std::string_view key, FlatKind kind) {
    const FlatValue* value = member(object, key);
    if (!value) return;
    if (value->kind != FlatKind::kArray) usual_ = false;
    for (const FlatValue* element = value + 1; usual_ && element != end_of(value); element = end_of(element))
      usual_ = element->kind == kind;
  }

 private:
  const FlatValue* member(const FlatValue* object, std::string_view key) const {
    return object ? cindrel::flat_member(record_, static_cast<size_t>(object - root()), key) : nullptr;
  }
  const FlatValue* end_of(const FlatValue* value) const { return root() + value->end; }

  const cindrel::ScannedRecord& record_;
  bool usual_ = true;
};

std::string_view text_or_empty(const FlatValue* value) { return value ? value->text : std::string_view(); }

// The first of two times that is set, else the event's observed_at.
std::string_view first_set(const FlatValue* a, const FlatValue* b, const FlatValue* observed) {
  for (const FlatValue* time : {a, b})
    if (!text_or_empty(time).empty()) return time->text;
  return text_or_empty(observed);
}

// read_plain_event for a text that scan_plain_object has read into `record`.
bool read_plain_record(std::string_view text, const cindrel::ScannedRecord& record, PlainEvent& plain) {
  if (text.size() > kPlainEventLimit) return false;
  FlatEvent event(record);
  const FlatValue* root = event.root();
  const FlatValue* id = event.text(root, "event_id");
  const FlatValue* observed = event.text(root, "observed_at");
  const std::string_view type = text_or_empty(event.text(root, "source_type"));
  event.text(event.map(root, "attestation"), "commit_hash");
  const FlatValue* payload = event.map(root, "payload");
  const FlatValue* commit_hash = event.text(payload, "commit_hash");
  const FlatValue* commit_sha = event.text(event.map(payload, "trigger", true), "commit_sha");
  const FlatValue* committed = event.text(payload, "committed_at");
  const FlatValue* authored = event.text(payload, "authored_at");
  const FlatValue* timing = event.map(payload, "timing");
  const FlatValue* created = event.text(timing, "created_at");
  const FlatValue* started = event.text(timing, "started_at");
  const FlatValue* initiated = event.text(timing, "initiated_at");
  const FlatValue* completed = event.text(timing, "completed_at");
  event.list(payload, "files", FlatKind::kString);
  for (std::string_view list : {"cases", "dependencies", "findings"}) event.list(payload, list, FlatKind::kObject);
  if (!event.usual()) return false;
  // As event_time dates an event and commit_of finds its commit.
  std::string_view time = text_or_empty(observed);
  if (type == "git") time = first_set(committed, authored, observed);
  else if (type == "github_actions") time = first_set(created, started, observed);
  else if (type == "github_releases") time = first_set(initiated, completed, observed);
  plain.id = id ? std::optional<std::string_view>(id->text) : std::nullopt;
  plain.time = time;
  plain.observed_at = text_or_empty(observed);
  plain.commit = text_or_empty(type == "git" ? commit_hash : commit_sha);
  return true;
}

void take_plain_event(const PlainEvent& plain, PreparedEvent& prepared) {
  prepared.id = plain.id ? std::string(*plain.id) : prepared.file.stem().string();
  prepared.facts = {std::string(plain.time), std::string(plain.observed_at), std::string(plain.commit)};
}

}  // namespace

bool PlainEventReader::read(std::string_view text, PlainEvent& plain) {
  if (text.size() > kPlainEventLimit) return false;
  scanner_.emplace(text);
  return scanner_->scan_plain_object(record_) && read_plain_record(text, record_, plain);
}

Json PlainEventReader::members() const {
  Json event = kept_value(record_, 0, event_keep().root());
  keep_set(event, record_.values[0].size > 0);
  return event;
}

bool read_plain_event(std::string_view text, PlainEvent& plain) {
  thread_local PlainEventReader reader;
  return reader.read(text, plain);
}

bool prepare_plain_event(std::string_view text, PreparedEvent& prepared) {
  PlainEvent plain;
  if (!read_plain_event(text, plain)) return false;
  take_plain_event(plain, prepared);
  return true;
}

bool prepare_plain_event(std::string_view text, const cindrel::ScannedRecord& record,
                         PreparedEvent& prepared) {
  PlainEvent plain;
  if (!read_plain_record(text, record, plain)) return false;
  take_plain_event(plain, prepared);
  return true;
}

void SignalTraces::add(const Json& signal) {
  const Json& ref = get_or(signal, "event_ref", empty_text());
  const Json& engine = get_or(signal, "engine_id", Json());
  const Json& metric = get_or(signal, "metric", Json());
  if (!ref.is_string() || !engine.is_string() || !metric.is_string()) return;
  Kept trace{ref.get_ref<const std::string&>(), 0, Json(), false, get_or(signal, "observed", Json())};
  if (const Json* deviation = find_member(signal, "deviation")) {
    trace.odd_deviation = !deviation->is_object();
    trace.measure = trace.odd_deviation ? *deviation : get_or(*deviation, "measure", Json());
  }
  keep(engine.get_ref<const std::string&>(), metric.get_ref<const std::string&>(), std::move(trace));
}

void SignalTraces::add(std::string_view engine, std::string_view metric, SignalTrace trace) {
  keep(engine, metric,
       Kept{trace.event_ref, 0, std::move(trace.measure), trace.odd_deviation, std::move(trace.observed)});
}

size_t SignalTraces::position(std::string_view engine, std::string_view metric) const {
  size_t at = 0;
  while (at < groups_.size() && (groups_[at].metric != metric || groups_[at].engine != engine)) ++at;
  return at;
}

void SignalTraces::keep(std::string_view engine, std::string_view metric, Kept trace) {
  if (reference_count_ == 0 || trace.event_ref != last_ref_) {
    last_ref_ = refs_.keep(trace.event_ref);
    ++reference_count_;
  }
  trace.event_ref = last_ref_;
  trace.ref_number = reference_count_ - 1;
  const size_t at = position(engine, metric);
  if (at == groups_.size()) groups_.push_back(Group{std::string(engine), std::string(metric), {}});
  groups_[at].traces.push_back(std::move(trace));
}

void SignalTraces::append(SignalTraces&& later) {
  for (Group& more : later.groups_) {
    for (Kept& trace : more.traces) trace.ref_number += reference_count_;
    const size_t at = position(more.engine, more.metric);
    if (at == groups_.size()) groups_.push_back(std::move(more));
    else std::move(more.traces.begin(), more.traces.end(), std::back_inserter(groups_[at].traces));
  }
  refs_.take(std::move(later.refs_));
  if (later.reference_count_ > 0) last_ref_ = later.last_ref_;
  reference_count_ += later.reference_count_;
}

const std::vector<SignalTraces::Kept>* SignalTraces::find(const Json& family, const Json& metric) const {
  if (!family.is_string() || !metric.is_string()) return nullptr;
  const size_t at = position(family.get_ref<const std::string&>(), metric.get_ref<const std::string&>());
  return at == groups_.size() ? nullptr : &groups_[at].traces;
}

EventFacts event_facts(const std::string& id, const Json& event) {
  const std::string where = "event " + id;
  const Json& observed = get_or(event, "observed_at", empty_text());
  return {event_time(event, where), observed.is_string() ? observed.get<std::string>() : "",
          commit_of(event, where)};
}

void EventDigest::add(std::string_view id, const EventFacts& facts) {
  add(id, facts.time, facts.observed_at, facts.commit);
}

void EventDigest::add(std::string_view id, std::string_view time, std::string_view observed_at,
                      std::string_view commit) {
  // The id is kept before it is looked up, so that a new one is hashed once;
  // an id seen before (rare) leaves an unused copy.
  add_kept(texts_.keep(id), texts_.keep(time), texts_.keep(observed_at), texts_.keep(commit));
}

void EventDigest::take_texts(TextArena&& texts) { texts_.take(std::move(texts)); }

void EventDigest::add_kept(std::string_view id, std::string_view time, std::string_view observed_at,
                           std::string_view commit) {
  make_room(facts_.size() + 1);
  const size_t slot = slot_of(id);
  const Facts kept{id, time, observed_at, commit};
  if (slots_[slot] == 0) {
    facts_.push_back(kept);
    slots_[slot] = static_cast<uint32_t>(facts_.size());
  } else {
    facts_[slots_[slot] - 1] = kept;
  }
}

void EventDigest::reserve(size_t count) {
  facts_.reserve(count);
  make_room(count);
}

size_t EventDigest::slot_of(std::string_view id) const {
  const size_t mask = slots_.size() - 1;
  size_t slot = std::hash<std::string_view>{}(id) & mask;
  while (slots_[slot] != 0 && facts_[slots_[slot] - 1].id != id) slot = (slot + 1) & mask;
  return slot;
}

void EventDigest::make_room(size_t count) {
  if (count * 2 <= slots_.size()) return;
  size_t size = 16;
  while (size < count * 2) size *= 2;
  slots_.assign(size, 0);
  for (size_t position = 0; position < facts_.size(); ++position)
    slots_[slot_of(facts_[position].id)] = static_cast<uint32_t>(position + 1);
}

std::optional<std::string_view> EventDigest::time_of(std::string_view id) const {
  if (slots_.empty()) return std::nullopt;
  const uint32_t position = slots_[slot_of(id)];
  if (position == 0) return std::nullopt;
  return facts_[position - 1].time;
}

std::vector<std::string> EventDigest::commit_list() const {
  std::vector<const Facts*> dated;
  for (const Facts& facts : facts_)
    if (!facts.commit.empty()) dated.push_back(&facts);
  std::stable_sort(dated.begin(), dated.end(),
                   [](const Facts* a, const Facts* b) { return a->observed_at < b->observed_at; });
  std::vector<std::string> shas;
  shas.reserve(dated.size());
  for (const Facts* facts : dated) shas.emplace_back(facts->commit);
  return shas;
}

std::string commit_of(const Json& event, const std::string& where) {
  const Json& payload = map_or_empty(event, "payload", where);
  const Json& sha = get_or(event, "source_type", Json()) == "git"
                        ? get_or(payload, "commit_hash", empty_text())
                        : get_or(trigger_of(payload, where), "commit_sha", empty_text());
  return sha.is_string() ? sha.get<std::string>() : "";
}

std::vector<std::string> commits_by_time(std::vector<std::pair<std::string, std::string>> dated) {
  std::stable_sort(dated.begin(), dated.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<std::string> shas;
  shas.reserve(dated.size());
  for (auto& [observed, sha] : dated) shas.push_back(std::move(sha));
  return shas;
}

void add_latest_deviation(Json& changes, const SignalTraces& traces, const EventTimes& time_of) {
  // An event's time is looked up once, for the first trace of it met.
  std::vector<std::optional<std::string_view>> times(traces.reference_count());
  std::vector<bool> looked_up(traces.reference_count());
  auto time_of_trace = [&](const SignalTraces::Kept& trace) {
    if (!looked_up[trace.ref_number]) {
      times[trace.ref_number] = time_of(trace.event_ref);
      looked_up[trace.ref_number] = true;
    }
    return times[trace.ref_number];
  };
  for (Json& change : changes) {
    expect_map(change, "change");
    const std::vector<SignalTraces::Kept>* found =
        traces.find(get_or(change, "family", empty_text()), get_or(change, "metric", empty_text()));
    if (!found) continue;
    const SignalTraces::Kept* latest = nullptr;
    std::string_view latest_time;  // only a time after "" counts
    for (const SignalTraces::Kept& trace : *found) {
      const std::optional<std::string_view> time = time_of_trace(trace);
      if (time && *time > latest_time) {
        latest = &trace;
        latest_time = *time;
      }
    }
    if (!latest) continue;
    if (latest->odd_deviation) map_or_empty(Json{{"deviation", latest->measure}}, "deviation", "signal");
    if (latest->measure.is_null()) continue;
    const Json& ref = get_or(change, "event_ref", empty_text());
    const bool is_latest = ref.is_string() && ref.get_ref<const std::string&>() == latest->event_ref;
    change["latest_deviation"] = round_value(latest->measure, 2, "latest deviation.measure");
    change["latest_value"] = latest->observed;
    change["latest_event_ref"] = std::string(latest->event_ref);
    change["is_latest_event"] = is_latest;
  }
}

namespace {

// |deviation| of a signal as its change record rounds it.
double strength_of(const Json& signal) {
  const Json& deviation = require_member(signal, "deviation", "signal");
  return abs_value(round_value(require_member(deviation, "measure", "signal deviation"), 2, "deviation.measure"),
                   "deviation_stddev");
}

}  // namespace

Json signals_in(const window::Window& window, const Json& significant) {
  Json kept = Json::array();
  for (const Json& signal : significant) {
    const Json& ref = get_or(signal, "event_ref", empty_text());
    if (ref.is_string() && window.contains(ref.get_ref<const std::string&>())) kept.push_back(signal);
  }
  return kept;
}

std::vector<const Json*> distinct_signals(const Json& significant) {
  std::vector<std::pair<const Json*, double>> kept;
  std::unordered_map<std::string, size_t> position;
  std::string key;  // reused: most signals repeat a key already seen
  auto append_text = [&key](const Json& value) {
    if (value.is_string()) key += value.get_ref<const std::string&>();
    else key += text_of(value);
  };
  for (const Json& signal : significant) {
    const double strength = strength_of(signal);
    key.clear();
    append_text(get_or(signal, "engine_id", empty_text()));
    key += ':';
    append_text(get_or(signal, "metric", empty_text()));
    auto found = position.find(key);
    if (found == position.end()) {
      position.emplace(key, kept.size());
      kept.emplace_back(&signal, strength);
    } else if (strength > kept[found->second].second) {
      kept[found->second] = {&signal, strength};
    }
  }
  std::stable_sort(kept.begin(), kept.end(), [](const auto& a, const auto& b) { return a.second > b.second; });
  std::vector<const Json*> signals;
  for (const auto& [signal, strength] : kept) signals.push_back(signal);
  return signals;
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
  for (const Json& signal : signals) inputs.traces.add(signal);
  inputs.significant = engine._filter_significant(signals);
  inputs.explanations = engine._load_explanations();
  inputs.events = engine._load_events();
  for (const auto& [id, event] : inputs.events.items()) inputs.digest.add(id, event_facts(id, event));
  return inputs;
}

}  // namespace velquor::esperlin
