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

}  // namespace

Cindrel::Cindrel(const fs::path& vel_dir)
    : vel_dir(vel_dir),
      phase2_path(vel_dir / "phase2"),
      output_path(created_directory(vel_dir / "phase3")) {}

std::vector<Cindrel::LoadedFile> Cindrel::load_signal_files() const {
  std::vector<LoadedFile> files;
  for (const SignalFile& entry : SIGNAL_FILES) {
    fs::path path = phase2_path / entry.file_name;
    std::error_code ec;
    if (!fs::exists(path, ec)) continue;
    // Signal files may carry NaN and Infinity for non-finite observations.
    Json signals = read_json_file(path, NonFinite::kAccept);
    if (!signals.is_array())
      throw TypeError(path.string() + ": expected an array of signals, got " + json_kind(signals));
    files.push_back({std::move(path), std::move(signals)});
  }
  return files;
}

Json Cindrel::_load_signals() const {
  Json all = Json::array();
  for (LoadedFile& file : load_signal_files())
    for (Json& signal : file.signals) all.push_back(std::move(signal));
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

Json Cindrel::run() {
  std::vector<LoadedFile> files = load_signal_files();
  Json records = Json::array();
  for (LoadedFile& file : files) {
    std::string prefix = file.path.string() + "[";
    for (size_t i = 0; i < file.signals.size(); ++i)
      records.push_back(explain(file.signals[i], prefix + std::to_string(i) + "]"));
    file.signals = Json();  // the records now own the signals' figures
  }
  if (records.empty()) throw FileNotFound(kNoSignals);
  write_json_file(output_path / "explanations.json", records);
  return records;
}

std::string Cindrel::_hash(const Json& data) { return canonical_hash(data); }

}  // namespace velquor::cindrel
