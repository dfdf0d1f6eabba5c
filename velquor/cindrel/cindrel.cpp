// Loading the signals, building the explanation records and writing them.

#include "velquor/cindrel/cindrel.h"

#include <optional>
#include <system_error>
#include <utility>

#include "shared/clock.h"
#include "shared/errors.h"
#include "shared/file_io.h"
#include "shared/hash.h"
#include "shared/json_access.h"
#include "velquor/cindrel/record_scanner.h"
#include "velquor/cindrel/scanned_explanation.h"

namespace velquor::cindrel {
namespace {

constexpr char kNoSignals[] =
    "No Phase 2 signals found. Ensure Phase 2 has been run for at least one source family.";

fs::path created_directory(const fs::path& path) {
  std::error_code ec;
  fs::create_directories(path, ec);
  if (ec) throw IoError(path.string() + ": cannot be created: " + ec.message());
  return path;
}

// The member moved out of `signal`, or a MissingMember naming it.
Json take_member(Json& signal, std::string_view key, const std::string& where) {
  require_member(signal, key, where);
  return std::move(signal.find(key).value());
}

// Appends `record` as an element of the top-level array in dump_pretty's
// layout: on a new line, every line indented by two more spaces. Raw line
// feeds occur only in the layout (strings escape theirs).
void append_array_element(std::string& text, const Json& record) {
  std::string element = dump_pretty(record);
  text += "\n  ";
  size_t start = 0;
  for (size_t end; (end = element.find('\n', start)) != std::string::npos; start = end + 1) {
    text.append(element, start, end + 1 - start);
    text += "  ";
  }
  text.append(element, start);
}


// The signals of one file's text: an array, else JsonError or TypeError
// naming the file.
Json parse_signals(const fs::path& path, std::string_view content) {
  // Signal files may carry NaN and Infinity for non-finite observations.
  Json signals = parse_json(content, path.string(), NonFinite::kAccept);
  if (!signals.is_array())
    throw TypeError(path.string() + ": expected an array of signals, got " + json_kind(signals));
  return signals;
}

}  // namespace

// The time stamp of each record. The clock is read for every record; the
// text is formatted again only when the time changed.
class RecordClock {
 public:
  const std::string& timestamp() {
    TimePoint time = now();
    if (text_.empty() || time != last_) {
      last_ = time;
      text_ = format_timestamp(time);
    }
    return text_;
  }

 private:
  TimePoint last_{};
  std::string text_;
};

// The explanations file, sent to disk as its text grows so that a large run
// never holds it whole. The file appears only when the run completes.
class ExplanationsOutput {
 public:
  explicit ExplanationsOutput(fs::path path) : path_(std::move(path)) {}

  // The text to append the next element to, its separator already written.
  std::string& next_element() {
    if (count_++ > 0) text_ += ',';
    return text_;
  }

  void flush_if_large() {
    if (text_.size() < kFlushBytes) return;
    if (!file_) file_.emplace(path_);
    file_->append(text_);
    text_.clear();
  }

  size_t commit() {
    text_ += "\n]";
    if (!file_) file_.emplace(path_);
    file_->append(text_);
    file_->commit();
    return count_;
  }

  size_t count() const { return count_; }

 private:
  static constexpr size_t kFlushBytes = size_t{1} << 20;
  fs::path path_;
  std::optional<AtomicFile> file_;
  std::string text_ = "[";
  size_t count_ = 0;
};

Cindrel::Cindrel(const fs::path& vel_dir)
    : vel_dir(vel_dir),
      phase2_path(vel_dir / "phase2"),
      output_path(created_directory(vel_dir / "phase3")) {}

std::optional<Json> Cindrel::load_signal_file(const fs::path& path) const {
  std::error_code ec;
  if (!fs::exists(path, ec)) return std::nullopt;
  return parse_signals(path, read_file(path));
}

Json Cindrel::_load_signals() const {
  Json all = Json::array();
  for (const SignalFile& entry : SIGNAL_FILES)
    if (std::optional<Json> signals = load_signal_file(phase2_path / entry.file_name))
      for (Json& signal : *signals) all.push_back(std::move(signal));
  return all;
}

Json Cindrel::explain(Json& signal, const std::string& where, const std::string& generated_at) const {
  Json record = Json::object();
  record["engine_id"] = take_member(signal, "engine_id", where);
  record["source_type"] = take_member(signal, "source_type", where);
  const Json* ref = find_member(signal, "event_ref");
  record["signal_ref"] = ref ? *ref : Json(nullptr);
  record["summary"] = _template(signal, where);
  Json details = Json::object();
  for (std::string_view key : {"metric", "observed", "baseline", "deviation"})
    details[std::string(key)] = take_member(signal, key, where);
  record["details"] = std::move(details);
  record["confidence"] = take_member(signal, "confidence", where);
  record["generated_at"] = generated_at;
  record["explanation_id"] = _hash(record);
  return record;
}

// Most records take the scanned fast path; the others are read as JSON. When
// the scanner meets text that is not JSON, or a record fails, the whole file
// is parsed once more so that a syntax error anywhere in it is what the run
// reports, worded by the parser, as when a file was read whole.
void Cindrel::explain_file(const fs::path& path, std::string_view content,
                           ExplanationsOutput& output, RecordClock& clock) const {
  RecordScanner scanner(content);
  if (scanner.open_array()) {
    ScannedRecord record;
    std::string canonical;
    const std::string prefix = path.string() + "[";
    std::string where;
    for (size_t i = 0; scanner.next(record); ++i) {
      where.assign(prefix).append(std::to_string(i)).append("]");
      try {
        std::string& text = output.next_element();
        const std::string& generated_at = clock.timestamp();
        if (!append_scanned_explanation(text, record, where, generated_at, canonical)) {
          Json signal = parse_json(record.span, path.string(), NonFinite::kAccept);
          append_array_element(text, explain(signal, where, generated_at));
        }
      } catch (const Error&) {
        parse_signals(path, content);
        throw;
      }
      output.flush_if_large();
    }
    if (!scanner.failed()) return;
  }
  parse_signals(path, content);
  // Not reached: the scanner takes every text the parser accepts.
  throw JsonError(path.string() + ": invalid JSON");
}

RunResult Cindrel::run() {
  ExplanationsOutput output(output_path / "explanations.json");
  RecordClock clock;
  for (const SignalFile& entry : SIGNAL_FILES) {
    fs::path path = phase2_path / entry.file_name;
    std::error_code ec;
    if (fs::exists(path, ec)) explain_file(path, MappedFile(path).text(), output, clock);
  }
  if (output.count() == 0) throw FileNotFound(kNoSignals);
  return RunResult{output.commit()};
}

std::string Cindrel::_hash(const Json& data) { return canonical_hash(data); }

}  // namespace velquor::cindrel
