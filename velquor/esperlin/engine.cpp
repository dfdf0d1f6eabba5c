// Construction and the five input loaders. Every loader reads its input
// afresh, checks each record as it goes (errors name the file and record) and
// treats a missing input as empty.

#include <string>

#include "shared/errors.h"
#include "shared/file_io.h"
#include "shared/json_access.h"
#include "shared/left_for_exit.h"
#include "shared/numbers.h"
#include "velquor/esperlin/advisory_inputs.h"
#include "velquor/esperlin/esperlin.h"
#include "velquor/esperlin/input_checks.h"
#include "velquor/esperlin/key_index.h"
#include "velquor/esperlin/values.h"
#include "velquor/lorvessa/lorvessa.h"

namespace velquor::esperlin {
namespace {

// The data directory as the host names it, with repeated separators and "."
// components dropped ("./data/" is "data"), so the paths the run reports read
// the same however the directory was typed.
fs::path tidy_path(const fs::path& path) {
  const std::string text = path.string();
  std::string root;
  size_t pos = 0;
  while (pos < text.size() && text[pos] == '/') ++pos;
  if (pos == 2) root = "//";  // POSIX leaves a leading "//" to the system
  else if (pos > 0) root = "/";
  std::string out = root;
  while (pos < text.size()) {
    size_t end = text.find('/', pos);
    if (end == std::string::npos) end = text.size();
    std::string part = text.substr(pos, end - pos);
    if (!part.empty() && part != ".") {
      if (out.size() > root.size()) out += '/';
      out += part;
    }
    pos = end + 1;
  }
  return out.empty() ? fs::path(".") : fs::path(out);
}

Json read_array_file(const fs::path& path) {
  Json content = read_json_file(path, NonFinite::kAccept);
  expect_array(content, path.string());
  return content;
}

std::string record_where(const fs::path& path, size_t index) {
  return path.string() + "[" + std::to_string(index) + "]";
}

Json list_to_json(std::vector<Json> records) {
  Json list = Json::array();
  for (Json& record : records) list.push_back(std::move(record));
  return list;
}

}  // namespace

Esperlin::Esperlin(const fs::path& vel_dir_arg, double threshold)
    : vel_dir(tidy_path(vel_dir_arg)),
      phase1_path(vel_dir / "events"),
      phase2_path(vel_dir / "phase2"),
      phase3_path(vel_dir / "phase3"),
      phase4_path(vel_dir / "phase4"),
      output_path(vel_dir / "phase5"),
      significance_threshold(threshold),
      _accepted_devs(vel_dir) {
  ensure_directory(output_path);
}

void Esperlin::use_prepared_events(std::vector<PreparedEvent> events) { prepared_events_ = std::move(events); }

void Esperlin::drop_prepared_events() {
  if (process_ends_after_run && prepared_events_) leave_for_exit(std::move(*prepared_events_));
  prepared_events_.reset();
}

Json Esperlin::_load_signals() const {
  Json signals = Json::array();
  for (const auto& [family, file] : SIGNAL_FILES) {
    const fs::path path = phase2_path / file;
    if (!fs::exists(path)) continue;
    Json records = read_array_file(path);
    for (size_t i = 0; i < records.size(); ++i) {
      check_signal(records[i], significance_threshold, record_where(path, i));
      signals.push_back(std::move(records[i]));
    }
  }
  return signals;
}

Json Esperlin::_load_explanations() const {
  MapBuilder index;
  const fs::path path = phase3_path / "explanations.json";
  if (!fs::exists(path)) return index.take();
  const Json records = read_array_file(path);
  for (size_t i = 0; i < records.size(); ++i) {
    check_explanation(records[i], record_where(path, i));
    index_explanation(index, explanation_keys(records[i]), records[i], [](const std::string&) { return true; });
  }
  return index.take();
}

std::string event_key(const Json& event, const fs::path& path) {
  const Json& id = get_or(event, "event_id", Json());
  return id.is_string() ? id.get<std::string>() : path.stem().string();
}

Json Esperlin::_load_events() const {
  MapBuilder index;
  for (const fs::path& path : list_json_files(phase1_path)) {
    if (skipped_events.count(path)) continue;
    Json event = read_json_file(path, NonFinite::kReject);
    check_event(event, path.string());
    const std::string key = event_key(event, path);
    index.set(key, std::move(event));
  }
  return index.take();
}

std::unique_ptr<lorvessa::LorvessaBase> Esperlin::_knowledge_store() const {
  if (open_store) return open_store();
  const fs::path path = phase4_path / "knowledge.db";
  if (!fs::exists(path)) return nullptr;
  return std::make_unique<lorvessa::SQLiteLorvessa>(path);
}

Json Esperlin::_load_phase4_knowledge() const {
  auto store = _knowledge_store();
  if (!store) return Json::array();
  Json knowledge = list_to_json(store->list_knowledge("local"));
  store->close();
  return knowledge;
}

Json Esperlin::_load_phase4_patterns(const std::optional<std::string>& scope) const {
  auto store = _knowledge_store();
  if (!store) return Json::array();
  Json patterns = list_to_json(store->list_patterns(scope ? Json(*scope) : Json()));
  store->close();
  return patterns;
}

}  // namespace velquor::esperlin
