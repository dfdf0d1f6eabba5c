// Loading the signals, building the explanation records and writing them.

#include "velquor/cindrel/cindrel.h"

#include <system_error>

#include "shared/clock.h"
#include "shared/errors.h"
#include "shared/file_io.h"
#include "shared/hash.h"
#include "shared/json_access.h"

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

}  // namespace

Cindrel::Cindrel(const fs::path& vel_dir)
    : vel_dir(vel_dir),
      phase2_path(vel_dir / "phase2"),
      output_path(created_directory(vel_dir / "phase3")) {}

std::optional<Json> Cindrel::load_signal_file(const fs::path& path) const {
  std::error_code ec;
  if (!fs::exists(path, ec)) return std::nullopt;
  // Signal files may carry NaN and Infinity for non-finite observations.
  Json signals = read_json_file(path, NonFinite::kAccept);
  if (!signals.is_array())
    throw TypeError(path.string() + ": expected an array of signals, got " + json_kind(signals));
  return signals;
}

Json Cindrel::_load_signals() const {
  Json all = Json::array();
  for (const SignalFile& entry : SIGNAL_FILES)
    if (std::optional<Json> signals = load_signal_file(phase2_path / entry.file_name))
      for (Json& signal : *signals) all.push_back(std::move(signal));
  return all;
}

Json Cindrel::explain(Json& signal, const std::string& where) const {
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
  record["generated_at"] = now_timestamp();
  record["explanation_id"] = _hash(record);
  return record;
}

RunResult Cindrel::run() {
  std::string text = "[";
  RunResult result;
  for (const SignalFile& entry : SIGNAL_FILES) {
    fs::path path = phase2_path / entry.file_name;
    std::optional<Json> signals = load_signal_file(path);
    if (!signals) continue;
    std::string prefix = path.string() + "[";
    for (size_t i = 0; i < signals->size(); ++i) {
      Json record = explain((*signals)[i], prefix + std::to_string(i) + "]");
      if (result.explanations++ > 0) text += ',';
      append_array_element(text, record);
    }
  }
  if (result.explanations == 0) throw FileNotFound(kNoSignals);
  text += "\n]";
  write_file_atomic(output_path / "explanations.json", text);
  return result;
}

std::string Cindrel::_hash(const Json& data) { return canonical_hash(data); }

}  // namespace velquor::cindrel
