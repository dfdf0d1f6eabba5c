// Reading the signal and explanation files record by record. A record takes
// the fast path only when the scanner read its shape plainly and every member
// this step looks at is of the usual kind; any other record, and every record
// that becomes part of the advisory, is parsed by the strict parser and goes
// through the checks of the JSON path. A record that fails them makes the
// whole file be parsed first, so that a syntax error anywhere in the file is
// reported before it, as the JSON path reports it.

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <exception>
#include <future>
#include <optional>
#include <thread>
#include <unordered_map>
#include <unordered_set>

#include "shared/errors.h"
#include "shared/file_io.h"
#include "shared/json_access.h"
#include "shared/two_threads.h"
#include "velquor/cindrel/record_scanner.h"
#include "velquor/esperlin/advisory_inputs.h"
#include "velquor/esperlin/flat_json.h"
#include "velquor/esperlin/input_checks.h"
#include "velquor/esperlin/values.h"

namespace velquor::esperlin {
namespace {

using cindrel::flat_member;
using cindrel::FlatValue;
using cindrel::RecordScanner;
using cindrel::ScannedRecord;
using Kind = FlatValue::Kind;

// Parses the whole file as the JSON path does, raising its error; a file it
// accepts is reported as the scanner found it.
[[noreturn]] void raise_file_error(const fs::path& path) {
  expect_array(read_json_file(path, NonFinite::kAccept), path.string());
  throw JsonError(path.string() + ": invalid JSON");
}

// Calls `take(record, index)` for each element of the array in `path`.
// Errors of a record are raised after the whole file was found to parse.
// Each record's members are scanned, and of them the object `expanded`.
template <typename Take>
void scan_file(const fs::path& path, std::string_view expanded, Take take) {
  const bool read = cindrel::scan_member_file(path, expanded, [&](const ScannedRecord& record, size_t index) {
    try {
      take(record, index);
    } catch (const Error&) {
      read_json_file(path, NonFinite::kAccept);
      throw;
    }
    return true;
  });
  if (!read) raise_file_error(path);
}

std::string record_where(const fs::path& path, size_t index) {
  return path.string() + "[" + std::to_string(index) + "]";
}

Json parse_record(const ScannedRecord& record, const fs::path& path) {
  return parse_json(record.span, path.string(), NonFinite::kAccept);
}

bool is_object(const FlatValue* value) { return value && value->kind == Kind::kObject; }

// Whether `value` is text without escapes (which every string of a plain
// record is).
bool is_text(const ScannedRecord& record, const FlatValue* value) {
  return value && value->kind == Kind::kString && (record.plain || cindrel::is_plain_text(value->text));
}

bool is_number(const FlatValue* value) {
  return value && (value->kind == Kind::kInteger || value->kind == Kind::kReal);
}

// The members `names` of the object at record.values[object], found in one
// pass over its members (a record of plain shape repeats none); nullptr for
// one that is absent.
template <size_t N>
std::array<const FlatValue*, N> members_named(const ScannedRecord& record, size_t object,
                                              const std::array<std::string_view, N>& names) {
  std::array<const FlatValue*, N> found{};
  const FlatValue& container = record.values[object];
  for (size_t at = object + 1; at < container.end; at = record.values[at].end) {
    for (size_t i = 0; i < N; ++i) {
      if (record.values[at].key != names[i]) continue;
      found[i] = &record.values[at];
      break;
    }
  }
  return found;
}

// The members of a signal of plain shape the fast path reads.
struct SignalMembers {
  const FlatValue* event_ref;
  const FlatValue* deviation;
  const FlatValue* metric_name;
  const FlatValue* engine_id;
  const FlatValue* metric;
  const FlatValue* observed;
};

SignalMembers signal_members(const ScannedRecord& record) {
  static constexpr std::array<std::string_view, 6> kNames = {"event_ref", "deviation", "metric_name",
                                                             "engine_id", "metric",    "observed"};
  const auto [ref, deviation, metric_name, engine, metric, observed] = members_named(record, 0, kNames);
  return {ref, deviation, metric_name, engine, metric, observed};
}

// What the significance filter reads of a plain signal.
struct Judged {
  bool usual = false;  // every member read is of the usual kind
  bool significant = false;
  const FlatValue* measure = nullptr;  // absent or null: nullptr
};

// As is_significant and the checks of check_signal that every signal meets,
// for a record of plain shape; `usual` is false when the JSON path must
// decide.
Judged judge(const ScannedRecord& record, const SignalMembers& members, double threshold) {
  Judged judged;
  const FlatValue* ref = members.event_ref;
  if (ref && ref->kind != Kind::kNull && !is_text(record, ref)) return judged;
  const FlatValue* deviation = members.deviation;
  const FlatValue* measure = nullptr;
  const FlatValue* degenerate = nullptr;
  if (deviation) {
    if (!is_object(deviation)) return judged;
    size_t at = static_cast<size_t>(deviation - record.values.data());
    measure = flat_member(record, at, "measure");
    degenerate = flat_member(record, at, "degenerate");
  }
  if (measure && measure->kind == Kind::kNull) measure = nullptr;
  if (measure && !is_number(measure)) return judged;
  if (degenerate && degenerate->kind != Kind::kTrue && degenerate->kind != Kind::kFalse &&
      degenerate->kind != Kind::kNull)
    return judged;
  judged.usual = true;
  judged.measure = measure;
  if (!measure || (degenerate && degenerate->kind == Kind::kTrue)) return judged;
  const double value = cindrel::flat_number(*measure);
  if (const FlatValue* name = members.metric_name; is_text(record, name)) {
    if (name->text == "direct_count") return judged;
    if (name->text == "run_duration" && std::fabs(value) > 100000) return judged;
  } else if (name && name->kind == Kind::kString) {
    judged.usual = false;  // a name with escapes might still read "direct_count"
    return judged;
  }
  judged.significant = std::fabs(value) >= threshold;
  return judged;
}

// The trace of a plain signal judged usual; false when the JSON path must
// make it (an observed value that is a container).
bool add_scanned_trace(SignalTraces& traces, const ScannedRecord& record, const SignalMembers& members,
                       const FlatValue* measure) {
  const FlatValue* ref = members.event_ref;
  if (!ref || ref->kind != Kind::kString) return true;
  for (const FlatValue* name : {members.engine_id, members.metric}) {
    // Only text names can match a change; escaped ones are read by the parser.
    if (!name || name->kind != Kind::kString) return true;
    if (!is_text(record, name)) return false;
  }
  std::optional<Json> observed = Json();
  if (members.observed) observed = scalar_of(*members.observed);
  if (!observed) return false;
  SignalTrace trace{ref->text, measure ? *scalar_of(*measure) : Json(), false, std::move(*observed)};
  traces.add(members.engine_id->text, members.metric->text, std::move(trace));
  return true;
}

// The members of a signal any step of the run reads.
const JsonKeep& signal_keep() {
  static const JsonKeep keep{"engine_id", "metric", "metric_name", "event_ref", "observed", "baseline", "deviation"};
  return keep;
}

// What one signal file gives.
struct FileSignals {
  std::exception_ptr error;
  size_t count = 0;
  Json significant = Json::array();
  SignalTraces traces;
};

void read_signal_file(const fs::path& path, double threshold, FileSignals& read) {
  scan_file(path, "deviation", [&](const ScannedRecord& record, size_t index) {
    ++read.count;
    bool usual = false;
    if (record.plain_shape && record.values[0].kind == Kind::kObject) {
      const SignalMembers members = signal_members(record);
      const Judged judged = judge(record, members, threshold);
      if (judged.usual && !judged.significant && add_scanned_trace(read.traces, record, members, judged.measure))
        return;
      usual = judged.usual;
    }
    Json signal = usual ? kept_members(record, "deviation", signal_keep(), path.string())
                        : parse_json(record.span, path.string(), NonFinite::kAccept, signal_keep());
    const std::string where = record_where(path, index);
    check_signal(signal, threshold, where);
    read.traces.add(signal);
    if (is_significant(signal, threshold, where)) read.significant.push_back(std::move(signal));
  });
}

// The signal files are read on two threads and joined in their order; the
// first that fails in that order is the one reported.
void read_signals(const Esperlin& engine, AdvisoryInputs& inputs) {
  std::vector<fs::path> files;
  for (const auto& [family, file] : SIGNAL_FILES)
    if (fs::exists(engine.phase2_path / file)) files.push_back(engine.phase2_path / file);
  std::vector<FileSignals> read(files.size());
  const size_t failed = work_on_two_threads(files.size(), [&](size_t i) {
    try {
      read_signal_file(files[i], engine.significance_threshold, read[i]);
      return true;
    } catch (...) {
      read[i].error = std::current_exception();
      return false;
    }
  });
  if (failed < read.size()) std::rethrow_exception(read[failed].error);
  for (FileSignals& file : read) {
    inputs.signal_count += file.count;
    for (Json& signal : file.significant) inputs.significant.push_back(std::move(signal));
    inputs.traces.append(std::move(file.traces));
  }
}

// The keys the changes look their explanations up by: those of the signals
// that make the changes of the run (of its window, if it has one).
std::unordered_set<std::string> wanted_explanation_keys(const Esperlin& engine, const Json& significant) {
  const Json in_window = engine.window ? signals_in(*engine.window, significant) : Json();
  std::unordered_set<std::string> keys;
  for (const Json* signal : distinct_signals(engine.window ? in_window : significant)) {
    const std::string pair = text_of(get_or(*signal, "engine_id", empty_text())) + ":" +
                             text_of(get_or(*signal, "metric", empty_text()));
    keys.insert(text_of(get_or(*signal, "event_ref", empty_text())) + ":" + pair);
    keys.insert(pair);
  }
  return keys;
}

// The keys of an explanation whose members (and those of its details) were
// scanned, written into `keys` (whose texts are reused from record to
// record); false when the JSON path must find them.
bool scanned_keys(const ScannedRecord& record, ExplanationKeys& keys) {
  if (!record.plain_shape || record.values[0].kind != Kind::kObject) return false;
  static constexpr std::array<std::string_view, 3> kNames = {"details", "signal_ref", "engine_id"};
  const auto [details, ref, engine] = members_named(record, 0, kNames);
  if (details && !is_object(details)) return false;
  const FlatValue* metric =
      details ? flat_member(record, static_cast<size_t>(details - record.values.data()), "metric") : nullptr;
  for (const FlatValue* value : {ref, engine, metric})
    if (value && !is_text(record, value)) return false;
  auto text = [](const FlatValue* value) { return value ? value->text : std::string_view(); };
  keys.pair.assign(text(engine)).append(":").append(text(metric));
  if (!text(ref).empty() && !text(engine).empty() && !text(metric).empty()) {
    if (!keys.full) keys.full.emplace();
    keys.full->assign(text(ref)).append(":").append(keys.pair);
  } else {
    keys.full.reset();
  }
  return true;
}

// All a change record reads of an explanation: whether it is set, and its
// summary.
Json summary_only(const Json& explanation) {
  if (explanation.empty()) return Json::object();
  return Json{{"summary", get_or(explanation, "summary", empty_text())}};
}

// summary_only of an explanation whose members were scanned; nullopt when
// its summary is a container or a number (whose text is as written), which
// the parser reads.
std::optional<Json> scanned_summary(const ScannedRecord& record) {
  if (record.values[0].size == 0) return Json::object();
  const FlatValue* summary = flat_member(record, 0, "summary");
  if (is_number(summary)) return std::nullopt;
  std::optional<Json> value = summary ? scalar_of(*summary) : empty_text();
  if (!value) return std::nullopt;
  return Json{{"summary", std::move(*value)}};
}

void read_explanations(const Esperlin& engine, AdvisoryInputs& inputs) {
  const fs::path path = engine.phase3_path / "explanations.json";
  if (!fs::exists(path)) return;
  const std::unordered_set<std::string> keys = wanted_explanation_keys(engine, inputs.significant);
  auto wanted = [&](const std::string& key) { return keys.count(key) > 0; };
  MapBuilder index;
  index.reserve(keys.size());
  ExplanationKeys found;
  scan_file(path, "details", [&](const ScannedRecord& record, size_t at) {
    const bool scanned = scanned_keys(record, found);
    // A pair keeps its first explanation: later ones are not looked at.
    if (scanned && !(found.full && wanted(*found.full)) && (index.contains(found.pair) || !wanted(found.pair)))
      return;
    std::optional<Json> summary = scanned ? scanned_summary(record) : std::nullopt;
    if (!summary) {
      Json explanation = parse_record(record, path);
      check_explanation(explanation, record_where(path, at));
      if (!scanned) found = explanation_keys(explanation);
      summary = summary_only(explanation);
    }
    index_explanation(index, found, *summary, wanted);
  });
  inputs.explanations = index.take();
}

// One event file as the run reads it: its id and facts (views of the texts
// of its batch), or the error that makes it unusable.
struct ReadEvent {
  std::string_view id;
  std::string_view time;
  std::string_view observed_at;
  std::string_view commit;
  std::exception_ptr error;
  std::optional<Json> kept;  // its EVENT_MEMBERS, when a significant signal refers to it
};

// Event ids, as views of texts that outlive the set.
using WantedIds = std::unordered_set<std::string_view>;

// Event files below this size are read into a buffer each thread keeps;
// larger ones are mapped (and go to the parser).
constexpr size_t kSmallEventBelow = size_t{1} << 20;

void keep_facts(std::string_view id, std::string_view time, std::string_view observed_at,
                std::string_view commit, TextArena& texts, ReadEvent& read) {
  read.id = texts.keep(id);
  read.time = texts.keep(time);
  read.observed_at = texts.keep(observed_at);
  read.commit = texts.keep(commit);
}

// The event `file` holding `text` when the scanner cannot read it plainly:
// parsed as a whole, which words its errors.
void read_unusual_event(std::string_view text, fs::path file, const WantedIds& wanted, TextArena& texts,
                        ReadEvent& read) {
  Json event = parse_event(text, file);
  const PreparedEvent prepared = prepare_event(event, std::move(file));
  if (prepared.error) std::rethrow_exception(prepared.error);
  keep_facts(prepared.id, prepared.facts.time, prepared.facts.observed_at, prepared.facts.commit, texts, read);
  if (wanted.count(read.id)) read.kept = std::move(event);
}

// An event the scanner reads plainly is kept, when a significant signal
// refers to it, as made from the scan; any other is parsed as a whole. The
// texts kept go to `texts`.
ReadEvent read_event_file(const OpenFolder& folder, const std::string& name, const WantedIds& wanted,
                          TextArena& texts) {
  thread_local SmallFileReader reader(kSmallEventBelow);
  ReadEvent read;
  try {
    std::optional<std::string_view> small = reader.read(folder, name);
    std::optional<MappedFile> large;
    if (!small) large.emplace(folder, name);
    const std::string_view text = small ? *small : large->text();
    const std::string_view stem = std::string_view(name).substr(0, name.size() - std::string_view(".json").size());
    thread_local PlainEventReader plain_reader;
    PlainEvent plain;
    if (plain_reader.read(text, plain)) {
      keep_facts(plain.id ? *plain.id : stem, plain.time, plain.observed_at, plain.commit, texts, read);
      if (wanted.count(read.id)) read.kept = plain_reader.members();
      return read;
    }
    read_unusual_event(text, folder.path_text(name), wanted, texts, read);
  } catch (...) {
    read.error = std::current_exception();
  }
  return read;
}

// The ids of the events the significant signals refer to.
WantedIds wanted_events(const Json& significant) {
  WantedIds wanted;
  for (const Json& signal : significant) {
    const Json& ref = get_or(signal, "event_ref", empty_text());
    if (ref.is_string()) wanted.insert(ref.get_ref<const std::string&>());
  }
  return wanted;
}

// The digest of the events read, which takes over the texts they point into.
void digest_of(const std::vector<ReadEvent>& read, std::vector<TextArena>& texts, EventDigest& digest) {
  digest.reserve(read.size());
  for (TextArena& batch : texts) digest.take_texts(std::move(batch));
  for (const ReadEvent& event : read) digest.add_kept(event.id, event.time, event.observed_at, event.commit);
}

// The events kept of those read, by id (their trees are moved out of `read`).
Json kept_events(std::vector<ReadEvent>& read) {
  MapBuilder kept;
  kept.reserve(static_cast<size_t>(
      std::count_if(read.begin(), read.end(), [](const ReadEvent& event) { return event.kept.has_value(); })));
  for (ReadEvent& event : read)
    if (event.kept) kept.set(std::string(event.id), std::move(*event.kept));
  return kept.take();
}

// The event files are read on two threads, a batch of files at a time whose
// texts share a few blocks; the first file that fails in name order is the
// one reported, as when they are read one by one.
void read_event_files(const Esperlin& engine, const WantedIds& wanted, AdvisoryInputs& inputs) {
  constexpr size_t kBatch = 512;
  std::vector<std::string> names = list_json_file_names(engine.phase1_path).names;
  if (!engine.skipped_events.empty()) {
    std::erase_if(names,
                  [&](const std::string& name) { return engine.skipped_events.count(engine.phase1_path / name) > 0; });
  }
  const OpenFolder folder(engine.phase1_path);
  std::vector<ReadEvent> read(names.size());
  std::vector<TextArena> texts((names.size() + kBatch - 1) / kBatch);
  work_on_two_threads(texts.size(), [&](size_t batch) {
    for (size_t i = batch * kBatch; i < std::min(names.size(), (batch + 1) * kBatch); ++i) {
      read[i] = read_event_file(folder, names[i], wanted, texts[batch]);
      if (read[i].error) return false;
    }
    return true;
  });
  const auto failed = std::find_if(read.begin(), read.end(), [](const ReadEvent& event) { return event.error; });
  if (failed != read.end()) std::rethrow_exception(failed->error);
  // The digest and the map of kept events take a while each for a long
  // history: they are built side by side.
  std::future<void> digest = std::async(std::launch::async, [&] { digest_of(read, texts, inputs.digest); });
  inputs.events = kept_events(read);
  digest.get();
}

// The text of the event file `file`: read into `reader`'s buffer, or mapped
// into `large` when it is large. `folder` is kept open from file to file of
// the same folder.
std::string_view event_text(const fs::path& file, std::optional<OpenFolder>& folder, SmallFileReader& reader,
                            std::optional<MappedFile>& large) {
  if (!folder || folder->path() != file.parent_path()) folder.emplace(file.parent_path());
  const std::string name = file.filename().string();
  if (std::optional<std::string_view> small = reader.read(*folder, name)) return *small;
  return large.emplace(*folder, name).text();
}

// The event `file` read again as the run keeps it, checked. `folder` is kept
// open from file to file of the same folder.
Json reread_event(const fs::path& file, std::optional<OpenFolder>& folder) {
  thread_local SmallFileReader reader(kSmallEventBelow);
  thread_local PlainEventReader plain_reader;
  std::optional<MappedFile> large;
  const std::string_view text = event_text(file, folder, reader, large);
  PlainEvent plain;
  Json read = plain_reader.read(text, plain) ? plain_reader.members() : parse_event(text, file);
  check_event(read, file.string());
  return read;
}

// The host's digest of the events, and the files of the wanted ones read
// again (the last file of an id, as that is the event the id stands for).
// A long history refers to tens of thousands of them: they are read on two
// threads, a batch at a time, and the first that fails in the host's order
// is reported.
void read_prepared_events(const std::vector<PreparedEvent>& events, const WantedIds& wanted,
                          AdvisoryInputs& inputs) {
  constexpr size_t kBatch = 256;
  std::unordered_map<std::string_view, const PreparedEvent*> last;
  for (const PreparedEvent& event : events) {
    if (event.error) std::rethrow_exception(event.error);
    inputs.digest.add(event.id, event.facts);
    if (wanted.count(event.id)) last[event.id] = &event;
  }
  std::vector<const PreparedEvent*> reread;
  reread.reserve(last.size());
  for (const PreparedEvent& event : events)
    if (auto found = last.find(event.id); found != last.end() && found->second == &event) reread.push_back(&event);
  std::vector<Json> read(reread.size());
  std::vector<std::exception_ptr> errors((reread.size() + kBatch - 1) / kBatch);
  const size_t failed = work_on_two_threads(errors.size(), [&](size_t batch) {
    std::optional<OpenFolder> folder;
    try {
      for (size_t i = batch * kBatch; i < std::min(reread.size(), (batch + 1) * kBatch); ++i)
        read[i] = reread_event(reread[i]->file, folder);
    } catch (...) {
      errors[batch] = std::current_exception();
      return false;
    }
    return true;
  });
  if (failed < errors.size()) std::rethrow_exception(errors[failed]);
  MapBuilder kept;
  kept.reserve(reread.size());
  for (size_t i = 0; i < reread.size(); ++i) kept.set(reread[i]->id, std::move(read[i]));
  inputs.events = kept.take();
}

void read_events(const Esperlin& engine, AdvisoryInputs& inputs) {
  const WantedIds wanted = wanted_events(inputs.significant);
  if (engine.prepared_events()) read_prepared_events(*engine.prepared_events(), wanted, inputs);
  else read_event_files(engine, wanted, inputs);
}

}  // namespace

// The explanations are read on a thread of their own while the events are
// read; an error in them is the one reported, as they are read first.
AdvisoryInputs read_advisory_inputs(const Esperlin& engine) {
  AdvisoryInputs inputs;
  read_signals(engine, inputs);
  std::exception_ptr explanation_error;
  std::thread explanations([&] {
    try {
      read_explanations(engine, inputs);
    } catch (...) {
      explanation_error = std::current_exception();
    }
  });
  std::exception_ptr event_error;
  try {
    read_events(engine, inputs);
  } catch (...) {
    event_error = std::current_exception();
  }
  explanations.join();
  if (explanation_error) std::rethrow_exception(explanation_error);
  if (event_error) std::rethrow_exception(event_error);
  return inputs;
}

}  // namespace velquor::esperlin
