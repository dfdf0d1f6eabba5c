// Reading the signal and explanation files record by record. A record takes
// the fast path only when the scanner read its shape plainly and every member
// this step looks at is of the usual kind; any other record, and every record
// that becomes part of the advisory, is parsed by the strict parser and goes
// through the checks of the JSON path. A record that fails them makes the
// whole file be parsed first, so that a syntax error anywhere in the file is
// reported before it, as the JSON path reports it.

#include <cmath>
#include <cstdint>
#include <exception>
#include <unordered_set>

#include "shared/errors.h"
#include "shared/file_io.h"
#include "shared/json_access.h"
#include "shared/two_threads.h"
#include "velquor/cindrel/record_scanner.h"
#include "velquor/esperlin/advisory_inputs.h"
#include "velquor/esperlin/input_checks.h"
#include "velquor/esperlin/values.h"

namespace velquor::esperlin {
namespace {

using cindrel::find_flat_member;
using cindrel::FlatValue;
using cindrel::RecordScanner;
using cindrel::ScannedRecord;
using Kind = FlatValue::Kind;

// Pages of a file already read are let go of in steps of this size.
constexpr size_t kReleaseStep = size_t{32} << 20;

// Parses the whole file as the JSON path does, raising its error; a file it
// accepts is reported as the scanner found it.
[[noreturn]] void raise_file_error(const fs::path& path) {
  expect_array(read_json_file(path, NonFinite::kAccept), path.string());
  throw JsonError(path.string() + ": invalid JSON");
}

// The scanner skips the strings it does not take plainly; the parser checks
// each of them (a bad escape or byte raises its error).
void check_raw_strings(const ScannedRecord& record, const fs::path& path) {
  for (const FlatValue& value : record.values) {
    if (value.kind != Kind::kString || cindrel::is_plain_text(value.text)) continue;
    parse_json(std::string_view(value.text.data() - 1, value.text.size() + 2), path.string());
  }
}

// Calls `take(record, index)` for each element of the array in `path`.
// Errors of a record are raised after the whole file was found to parse.
template <typename Take>
void scan_file(const fs::path& path, Take take) {
  MappedFile file(path, MappedFile::Reading::kOnePass);
  RecordScanner scanner(file.text());
  if (!scanner.open_array()) raise_file_error(path);
  ScannedRecord record;
  size_t released = 0;
  for (size_t index = 0; scanner.next(record); ++index) {
    try {
      if (!record.plain && record.plain_shape) check_raw_strings(record, path);
      take(record, index);
    } catch (const Error&) {
      read_json_file(path, NonFinite::kAccept);
      throw;
    }
    if (scanner.position() - released > kReleaseStep) file.release(released = scanner.position());
  }
  if (scanner.failed()) raise_file_error(path);
}

std::string record_where(const fs::path& path, size_t index) {
  return path.string() + "[" + std::to_string(index) + "]";
}

Json parse_record(const ScannedRecord& record, const fs::path& path) {
  return parse_json(record.span, path.string(), NonFinite::kAccept);
}

// The member `key` of the object at values[object], or nullptr.
const FlatValue* member(const ScannedRecord& record, size_t object, std::string_view key) {
  size_t index = find_flat_member(record.values, object, key);
  return index ? &record.values[index] : nullptr;
}

bool is_object(const FlatValue* value) { return value && value->kind == Kind::kObject; }
bool is_text(const FlatValue* value) {
  return value && value->kind == Kind::kString && cindrel::is_plain_text(value->text);
}
bool is_number(const FlatValue* value) {
  return value && (value->kind == Kind::kInteger || value->kind == Kind::kReal);
}

// A scalar as the strict parser reads it; nullopt for a container.
std::optional<Json> scalar_of(const FlatValue& value) {
  switch (value.kind) {
    case Kind::kNull: return Json();
    case Kind::kFalse: return Json(false);
    case Kind::kTrue: return Json(true);
    case Kind::kString: return Json(std::string(value.text));
    case Kind::kInteger:
    case Kind::kReal: return parse_json(value.text, "number");
    default: return std::nullopt;
  }
}

// What the significance filter reads of a plain signal.
struct Judged {
  bool usual = false;  // every member read is of the usual kind
  bool significant = false;
  const FlatValue* measure = nullptr;  // absent or null: nullptr
};

// As is_significant and the checks of check_signal that every signal meets;
// `usual` is false when the JSON path must decide.
Judged judge(const ScannedRecord& record, double threshold) {
  Judged judged;
  if (!record.plain_shape || record.values[0].kind != Kind::kObject) return judged;
  const FlatValue* ref = member(record, 0, "event_ref");
  if (ref && ref->kind != Kind::kNull && !is_text(ref)) return judged;
  const FlatValue* deviation = member(record, 0, "deviation");
  const FlatValue* measure = nullptr;
  const FlatValue* degenerate = nullptr;
  if (deviation) {
    if (!is_object(deviation)) return judged;
    size_t at = static_cast<size_t>(deviation - record.values.data());
    measure = member(record, at, "measure");
    degenerate = member(record, at, "degenerate");
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
  if (const FlatValue* name = member(record, 0, "metric_name"); is_text(name)) {
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
bool add_scanned_trace(SignalTraces& traces, const ScannedRecord& record, const FlatValue* measure) {
  const FlatValue* ref = member(record, 0, "event_ref");
  if (!ref || ref->kind != Kind::kString) return true;
  const FlatValue* engine = member(record, 0, "engine_id");
  const FlatValue* metric = member(record, 0, "metric");
  for (const FlatValue* name : {engine, metric}) {
    // Only text names can match a change; escaped ones are read by the parser.
    if (!name || name->kind != Kind::kString) return true;
    if (!cindrel::is_plain_text(name->text)) return false;
  }
  std::optional<Json> observed = Json();
  if (const FlatValue* value = member(record, 0, "observed")) observed = scalar_of(*value);
  if (!observed) return false;
  SignalTrace trace{std::string(ref->text), std::nullopt, std::move(*observed)};
  if (member(record, 0, "deviation")) {
    trace.deviation = Json::object();
    if (measure) (*trace.deviation)["measure"] = *scalar_of(*measure);
  }
  traces[{Json(std::string(engine->text)), Json(std::string(metric->text))}].push_back(std::move(trace));
  return true;
}

void read_signals(const Esperlin& engine, AdvisoryInputs& inputs) {
  for (const auto& [family, file] : SIGNAL_FILES) {
    const fs::path path = engine.phase2_path / file;
    if (!fs::exists(path)) continue;
    scan_file(path, [&](const ScannedRecord& record, size_t index) {
      ++inputs.signal_count;
      Judged judged = judge(record, engine.significance_threshold);
      if (judged.usual && !judged.significant && add_scanned_trace(inputs.traces, record, judged.measure))
        return;
      Json signal = parse_record(record, path);
      const std::string where = record_where(path, index);
      check_signal(signal, engine.significance_threshold, where);
      add_trace(inputs.traces, signal);
      if (is_significant(signal, engine.significance_threshold, where))
        inputs.significant.push_back(std::move(signal));
    });
  }
}

// The keys every significant signal looks its explanation up by.
std::unordered_set<std::string> wanted_explanation_keys(const Json& significant) {
  std::unordered_set<std::string> keys;
  for (const Json& signal : significant) {
    const std::string pair =
        text_of(get_or(signal, "engine_id", empty_text())) + ":" + text_of(get_or(signal, "metric", empty_text()));
    keys.insert(text_of(get_or(signal, "event_ref", empty_text())) + ":" + pair);
    keys.insert(pair);
  }
  return keys;
}

// The keys of a plain explanation; nullopt when the JSON path must find them.
std::optional<ExplanationKeys> scanned_keys(const ScannedRecord& record) {
  if (!record.plain_shape || record.values[0].kind != Kind::kObject) return std::nullopt;
  const FlatValue* details = member(record, 0, "details");
  if (details && !is_object(details)) return std::nullopt;
  const FlatValue* metric =
      details ? member(record, static_cast<size_t>(details - record.values.data()), "metric") : nullptr;
  const FlatValue* ref = member(record, 0, "signal_ref");
  const FlatValue* engine = member(record, 0, "engine_id");
  for (const FlatValue* value : {ref, engine, metric})
    if (value && !is_text(value)) return std::nullopt;
  auto text = [](const FlatValue* value) { return value ? value->text : std::string_view(); };
  ExplanationKeys keys{std::nullopt, std::string(text(engine)) + ":" + std::string(text(metric))};
  if (!text(ref).empty() && !text(engine).empty() && !text(metric).empty())
    keys.full = std::string(text(ref)) + ":" + keys.pair;
  return keys;
}

// All a change record reads of an explanation: whether it is set, and its
// summary.
Json summary_only(const Json& explanation) {
  if (explanation.empty()) return Json::object();
  return Json{{"summary", get_or(explanation, "summary", empty_text())}};
}

void read_explanations(const Esperlin& engine, AdvisoryInputs& inputs) {
  const fs::path path = engine.phase3_path / "explanations.json";
  if (!fs::exists(path)) return;
  const std::unordered_set<std::string> keys = wanted_explanation_keys(inputs.significant);
  auto wanted = [&](const std::string& key) { return keys.count(key) > 0; };
  MapBuilder index;
  scan_file(path, [&](const ScannedRecord& record, size_t at) {
    std::optional<ExplanationKeys> found = scanned_keys(record);
    // A pair keeps its first explanation: later ones are not looked at.
    if (found && !(found->full && wanted(*found->full)) && (index.contains(found->pair) || !wanted(found->pair)))
      return;
    Json explanation = parse_record(record, path);
    check_explanation(explanation, record_where(path, at));
    index_explanation(index, found ? *found : explanation_keys(explanation), summary_only(explanation), wanted);
  });
  inputs.explanations = index.take();
}

// One event file as the run reads it.
struct ReadEvent {
  std::exception_ptr error;
  std::string id;
  EventFacts facts;
  std::optional<Json> kept;  // the whole event, when a significant signal refers to it
};

ReadEvent read_event_file(const fs::path& path, const std::unordered_set<std::string>& wanted) {
  ReadEvent read;
  try {
    Json event = read_json_file(path, NonFinite::kReject);
    check_event(event, path.string());
    read.id = event_key(event, path);
    read.facts = event_facts(read.id, event);
    if (wanted.count(read.id)) read.kept = std::move(event);
  } catch (...) {
    read.error = std::current_exception();
  }
  return read;
}

// The event files are read on two threads; the first file that fails in name
// order is the one reported, as when they are read one by one.
void read_events(const Esperlin& engine, AdvisoryInputs& inputs) {
  std::unordered_set<std::string> wanted;
  for (const Json& signal : inputs.significant) {
    const Json& ref = get_or(signal, "event_ref", empty_text());
    if (ref.is_string()) wanted.insert(ref.get<std::string>());
  }
  std::vector<fs::path> files = list_json_files(engine.phase1_path);
  std::erase_if(files, [&](const fs::path& path) { return engine.skipped_events.count(path) > 0; });
  std::vector<ReadEvent> read(files.size());
  work_on_two_threads(files.size(), [&](size_t i) {
    read[i] = read_event_file(files[i], wanted);
    return !read[i].error;
  });
  MapBuilder kept;
  for (ReadEvent& event : read) {
    if (event.error) std::rethrow_exception(event.error);
    inputs.digest.add(event.id, std::move(event.facts));
    if (event.kept) kept.set(event.id, std::move(*event.kept));
  }
  inputs.events = kept.take();
}

}  // namespace

AdvisoryInputs read_advisory_inputs(const Esperlin& engine) {
  AdvisoryInputs inputs;
  read_signals(engine, inputs);
  read_explanations(engine, inputs);
  read_events(engine, inputs);
  return inputs;
}

}  // namespace velquor::esperlin
