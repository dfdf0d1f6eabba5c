// What an advisory run reads, and the two ways of reading it.
//
// A long history has hundreds of thousands of signals and explanations, of
// which the advisory reports the few that reach the significance threshold.
// read_advisory_inputs streams the signal and explanation files with the
// record scanner of stage 3: only significant signals become JSON values (of
// the members the run reads), only the explanations they look up are kept,
// and of the other signals only a trace for the latest-deviation step
// remains. The signal files, then the explanations beside the events, are
// read on two threads; errors are reported as if read one after another.
// Event files are
// scanned for the digest (time, commit) of every event, which serves most
// steps (or come prepared from the host); an event is parsed, and kept
// reduced to EVENT_MEMBERS, only when a significant signal refers to it or
// the scanner cannot read it plainly.
//
// read_advisory_inputs_from_trees gives the same inputs from the engine's
// public loaders (whole JSON values); the two must agree byte for byte in
// every output and error, which the tests check. Records the scanner cannot
// take plainly go through the JSON path, so both report the same errors in
// the same order: signals, then explanations, then events.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "shared/json.h"
#include "velquor/esperlin/esperlin.h"
#include "velquor/esperlin/key_index.h"
#include "velquor/esperlin/prepared_events.h"
#include "velquor/esperlin/text_arena.h"

namespace velquor::esperlin {

// What the latest-deviation step needs of one signal (its event_ref is
// copied when the trace is kept).
struct SignalTrace {
  std::string_view event_ref;
  // deviation.measure, null when the signal has none; a deviation that is no
  // map is kept as it is, to be reported should its trace be the latest.
  Json measure;
  bool odd_deviation = false;
  Json observed;  // null when absent
};

// The traces of the signals whose engine_id and metric are text (no change
// can be of any other), by family and metric, each list in file order. A
// long history has a trace for each of hundreds of thousands of signals:
// their event references share a few blocks of text, and measures and
// observed values are numbers that need no allocation of their own.
class SignalTraces {
 public:
  // A trace as kept; its event_ref lives as long as the traces. The traces
  // of one event's signals, which a signal file lists in a row, share their
  // event_ref and its number, which stands for it in the lookups of a step
  // (a number below reference_count(); traces apart may have equal event_refs
  // under different numbers).
  struct Kept {
    std::string_view event_ref;
    uint32_t ref_number = 0;
    Json measure;
    bool odd_deviation = false;
    Json observed;
  };

  // Adds the trace of `signal` unless it has no text event_ref (no event can
  // then be its latest).
  void add(const Json& signal);
  void add(std::string_view engine, std::string_view metric, SignalTrace trace);
  // Adds the traces of `later` after those of this.
  void append(SignalTraces&& later);
  // The traces of `family` and `metric`, or nullptr.
  const std::vector<Kept>* find(const Json& family, const Json& metric) const;
  size_t reference_count() const { return reference_count_; }

 private:
  // The traces of one family and metric. A signal file holds a few metrics
  // of one family, so a short list finds them faster than a hash would.
  struct Group {
    std::string engine;
    std::string metric;
    std::vector<Kept> traces;
  };
  // The position of the group of `engine` and `metric`, or the number of groups.
  size_t position(std::string_view engine, std::string_view metric) const;
  void keep(std::string_view engine, std::string_view metric, Kept trace);
  std::vector<Group> groups_;
  TextArena refs_;
  std::string_view last_ref_;  // of the trace kept last, numbered reference_count_ - 1
  uint32_t reference_count_ = 0;
};

// The facts of `event` (checked by check_event), known as `id`.
EventFacts event_facts(const std::string& id, const Json& event);

// The facts of every event, by id; a later event under the same id replaces
// the earlier one at its first position. The texts of all events share a few
// blocks, and the ids are found through one table of positions: a long
// history's hundred thousand events cost no allocation each.
class EventDigest {
 public:
  void add(std::string_view id, const EventFacts& facts);
  void add(std::string_view id, std::string_view time, std::string_view observed_at, std::string_view commit);
  // Takes over the blocks of `texts`, so that the digest may keep views of
  // their texts as they are (add_kept).
  void take_texts(TextArena&& texts);
  void add_kept(std::string_view id, std::string_view time, std::string_view observed_at, std::string_view commit);
  // Room for `count` events.
  void reserve(size_t count);
  // The event time of `id`, or nullopt when no event has that id.
  std::optional<std::string_view> time_of(std::string_view id) const;
  // Commit SHAs of all events, ordered by observed_at (repeats kept).
  std::vector<std::string> commit_list() const;

 private:
  struct Facts {
    std::string_view id;
    std::string_view time;
    std::string_view observed_at;
    std::string_view commit;
  };
  // The slot of `id`, or the empty slot where it goes.
  size_t slot_of(std::string_view id) const;
  // Room for `count` ids without growing the table.
  void make_room(size_t count);
  std::vector<Facts> facts_;
  // Open addressing: a slot holds a position in facts_ plus one (0: empty);
  // a power of two at least twice the number of ids.
  std::vector<uint32_t> slots_;
  TextArena texts_;
};

struct AdvisoryInputs {
  size_t signal_count = 0;
  Json significant = Json::array();  // as _filter_significant keeps them
  SignalTraces traces;               // of every signal
  Json explanations = Json::object();  // at least the entries the changes look up
  // At least the events the significant refer to, at least their
  // EVENT_MEMBERS.
  Json events = Json::object();
  EventDigest digest;                  // of every event
};

// The id an event is known by: its event_id, or for a file without one the
// file name without ".json", as its collector wrote it.
std::string event_key(const Json& event, const fs::path& path);

// The commit an event belongs to: a git event's own, any other event's
// triggering commit; "" for none.
std::string commit_of(const Json& event, const std::string& where);

// (observed_at, sha) pairs to SHAs ordered by observed_at, stably.
std::vector<std::string> commits_by_time(std::vector<std::pair<std::string, std::string>> dated);

// Whether the evidence lists `test_case` (a map) as a failing test.
bool is_failed_case(const Json& test_case);

// The event file `path` holding `text`, with only its EVENT_MEMBERS built
// and of its test cases only the failed ones (all of it checked as
// read_json_file checks it; a map with members stays one).
Json parse_event(std::string_view text, const fs::path& path);

// What prepare_plain_event takes of an event file, as views of its text: its
// event_id (nullopt when the file's name stands for it) and its facts.
struct PlainEvent {
  std::optional<std::string_view> id;
  std::string_view time;
  std::string_view observed_at;
  std::string_view commit;
};
// prepare_plain_event without making a text of its own: false when it would be.
bool read_plain_event(std::string_view text, PlainEvent& plain);

// read_plain_event for an event whose members may be wanted as well.
class PlainEventReader {
 public:
  // As read_plain_event; `text` must stay in place while members() is called.
  bool read(std::string_view text, PlainEvent& plain);
  // What parse_event builds of the text read last (read having returned true).
  Json members() const;

 private:
  std::optional<cindrel::RecordScanner> scanner_;  // holds texts of the record
  cindrel::ScannedRecord record_;
};

// Adds latest_deviation, latest_value, latest_event_ref and is_latest_event to
// each change from the trace of its family and metric whose event is the
// latest (`time_of` gives an event's time, or nullopt when it is unknown; the
// time must stay in place while the step runs).
using EventTimes = std::function<std::optional<std::string_view>(std::string_view)>;
void add_latest_deviation(Json& changes, const SignalTraces& traces, const EventTimes& time_of);

// The significant signals of the window's events.
Json signals_in(const window::Window& window, const Json& significant);

// The signals that make the changes: one per family and metric, the one with
// the largest rounded |deviation| (the first on ties), strongest first. The
// change records of the others would be dropped unseen, so only these are
// made, and only their explanations are looked up.
std::vector<const Json*> distinct_signals(const Json& significant);

// The keys an explanation is found by: "signal_ref:engine_id:metric" when
// all three are set, and "engine_id:metric".
struct ExplanationKeys {
  std::optional<std::string> full;
  std::string pair;
};
ExplanationKeys explanation_keys(const Json& record);

// Files `record` under its keys: the full key takes the last explanation,
// the pair the first. Only keys `wanted` accepts are filed.
void index_explanation(MapBuilder& index, const ExplanationKeys& keys, const Json& record,
                       const std::function<bool(const std::string&)>& wanted);

// The place where the run chooses what it looks at: the significant signals
// (is_significant at the engine's threshold), their explanations, and the
// events.
AdvisoryInputs read_advisory_inputs(const Esperlin& engine);
AdvisoryInputs read_advisory_inputs_from_trees(const Esperlin& engine);

// Esperlin::run with the inputs read by `read` (a host may have read them
// while it did other work: they depend on the engine's files and settings
// alone, not on the knowledge base).
Json run_advisory(Esperlin& engine, const std::string& scope,
                  const std::function<AdvisoryInputs(const Esperlin&)>& read);

}  // namespace velquor::esperlin
