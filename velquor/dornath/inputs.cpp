// The engine's inputs: signal files, explanations, and the two event indexes
// that align signals of different families.

#include "shared/errors.h"
#include "shared/json_access.h"
#include "velquor/dornath/commit_ids.h"
#include "velquor/dornath/dornath.h"
#include "velquor/dornath/event_scan.h"
#include "velquor/dornath/record_stream.h"
#include "velquor/dornath/scanned_inputs.h"
#include "velquor/dornath/signal_access.h"

namespace velquor::dornath {
namespace {

std::unordered_map<std::string, std::string> build_index(const EventScan& scan, EventValue which) {
  std::unordered_map<std::string, std::string> index;
  for_each_indexed(scan, which, [&](const std::string& id, const std::string& value) { index[id] = value; });
  return index;
}

}  // namespace

Json Dornath::_load_all_signals() const {
  Json signals = Json::array();
  for (const fs::path& path : signal_paths())
    for_each_record(path, [&](Json&& record) { signals.push_back(std::move(record)); });
  return signals;
}

std::vector<fs::path> Dornath::signal_paths() const {
  std::vector<fs::path> paths;
  for (const auto& [family, file_name] : SIGNAL_FILES) {
    std::error_code ec;
    if (fs::exists(phase2_path / file_name, ec)) paths.push_back(phase2_path / file_name);
  }
  return paths;
}

SignalTable Dornath::load_signal_table(std::vector<std::pair<size_t, fs::path>>& file_starts) const {
  SignalTable table;
  for (const fs::path& path : signal_paths()) {
    file_starts.emplace_back(table.size(), path);
    read_signal_file(path, table);
  }
  return table;
}

std::unordered_map<std::string, Json> Dornath::_load_explanations() const {
  fs::path path = phase3_path / "explanations.json";
  std::error_code ec;
  if (!fs::exists(path, ec)) return {};
  return read_explanation_records(path, false);
}

std::unordered_map<std::string, Json> Dornath::load_explanations() const {
  fs::path path = phase3_path / "explanations.json";
  std::error_code ec;
  if (!fs::exists(path, ec)) return {};
  // Only the language model's prompt reads them: without one, they are only
  // checked.
  return read_explanation_file(path, _llm_enabled || _llm);
}

std::vector<std::pair<std::string, std::vector<Json>>> Dornath::_group_signals_by_event(
    const Json& signals) const {
  if (!signals.is_array()) throw TypeError("signals: expected an array, got " + json_kind(signals));
  std::vector<std::pair<std::string, std::vector<Json>>> groups;
  std::unordered_map<std::string_view, size_t> position;
  for (const Json& signal : signals) {
    std::string_view ref = event_ref_of(signal);
    if (ref.empty()) continue;
    auto [it, added] = position.try_emplace(ref, groups.size());
    if (added) groups.emplace_back(std::string(ref), std::vector<Json>{});
    groups[it->second].second.push_back(signal);
  }
  return groups;
}

void Dornath::use_event_scan(EventScan scan) {
  std::promise<std::shared_ptr<const EventScan>> handed;
  handed.set_value(std::make_shared<const EventScan>(std::move(scan)));
  std::lock_guard<std::mutex> lock(events_mutex_);
  events_ = handed.get_future().share();
}

namespace {

std::shared_future<std::shared_ptr<const EventScan>> scan_of(const fs::path& events_dir,
                                                             std::launch when) {
  return std::async(when, [events_dir] { return std::make_shared<const EventScan>(scan_events(events_dir)); })
      .share();
}

}  // namespace

void Dornath::start_event_scan() {
  std::lock_guard<std::mutex> lock(events_mutex_);
  if (!events_.valid()) events_ = scan_of(vel_dir / "events", std::launch::async);
}

const EventScan& Dornath::events_scan() {
  std::shared_future<std::shared_ptr<const EventScan>> scan;
  {
    std::lock_guard<std::mutex> lock(events_mutex_);
    if (!events_.valid()) events_ = scan_of(vel_dir / "events", std::launch::deferred);
    scan = events_;
  }
  // A scan started early raises its error here, where reading the files
  // now would have raised it; so does every later request.
  return *scan.get();
}

SharedRefCommits Dornath::commits_of(const SignalTable& signals) {
  auto work_out = [this, &signals] { return std::make_shared<const RefCommits>(signals, events_scan()); };
  return std::async(std::launch::deferred, work_out).share();
}

const std::unordered_map<std::string, std::string>& Dornath::_build_commit_index() {
  if (!_commit_index) _commit_index = build_index(events_scan(), kEventCommit);
  return *_commit_index;
}

const std::unordered_map<std::string, std::string>& Dornath::_build_temporal_index() {
  if (!_temporal_index) _temporal_index = build_index(events_scan(), kEventTime);
  return *_temporal_index;
}

}  // namespace velquor::dornath
