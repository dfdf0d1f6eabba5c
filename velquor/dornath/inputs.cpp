// The engine's inputs: signal files, explanations, and the two event indexes
// that align signals of different families.

#include "shared/errors.h"
#include "shared/json_access.h"
#include "velquor/dornath/dornath.h"
#include "velquor/dornath/event_scan.h"
#include "velquor/dornath/record_stream.h"
#include "velquor/dornath/signal_access.h"

namespace velquor::dornath {
namespace {

// The members of a signal that pattern discovery reads, and of an
// explanation that the interpretation prompt reads.
constexpr std::string_view kSignalMembers[] = {"engine_id", "metric", "deviation", "event_ref"};
constexpr std::string_view kExplanationMembers[] = {"summary"};

// The index of one derived value: event id -> value, the later file winning;
// events without an id are left out before their content is looked at.
std::unordered_map<std::string, std::string> build_index(
    const EventScan& scan, std::string ScannedEvent::*value,
    std::exception_ptr ScannedEvent::*error) {
  std::unordered_map<std::string, std::string> index;
  for (const ScannedEvent& ev : scan.events) {
    if (!ev.is_object) std::rethrow_exception(ev.*error);
    if (!ev.has_id) continue;
    if (ev.*error) std::rethrow_exception(ev.*error);
    if (!ev.event_id.empty() && !(ev.*value).empty()) index[ev.event_id] = ev.*value;
  }
  return index;
}

}  // namespace

Json Dornath::_load_all_signals() const { return load_signals(false); }

std::unordered_map<std::string, Json> Dornath::_load_explanations() const {
  return load_explanations(false);
}

Json Dornath::load_signals(bool discovery_members_only,
                           std::vector<std::pair<size_t, fs::path>>* file_starts) const {
  Json signals = Json::array();
  for (const auto& [family, file_name] : SIGNAL_FILES) {
    fs::path path = phase2_path / file_name;
    std::error_code ec;
    if (!fs::exists(path, ec)) continue;
    if (file_starts) file_starts->emplace_back(signals.size(), path);
    for_each_record(path, [&](Json&& record) {
      signals.push_back(discovery_members_only ? keep_members(std::move(record), kSignalMembers)
                                               : std::move(record));
    });
  }
  return signals;
}

std::unordered_map<std::string, Json> Dornath::load_explanations(bool prompt_members_only) const {
  std::unordered_map<std::string, Json> by_ref;
  fs::path path = phase3_path / "explanations.json";
  std::error_code ec;
  if (!fs::exists(path, ec)) return by_ref;
  size_t i = 0;
  for_each_record(path, [&](Json&& record) {
    if (!record.is_object())
      throw TypeError(path.string() + "[" + std::to_string(i) + "]: expected an object, got " +
                      json_kind(record));
    ++i;
    const Json* ref = find_member(record, "signal_ref");
    if (!ref || !ref->is_string() || ref->get_ref<const std::string&>().empty()) return;
    std::string key = ref->get<std::string>();
    by_ref[key] = prompt_members_only ? keep_members(std::move(record), kExplanationMembers)
                                      : std::move(record);
  });
  return by_ref;
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

const EventScan& Dornath::events_scan() {
  if (!events_scan_) events_scan_ = std::make_unique<EventScan>(scan_events(vel_dir / "events"));
  return *events_scan_;
}

void Dornath::drop_scan_when_indexed() {
  if (_commit_index && _temporal_index) events_scan_.reset();
}

const std::unordered_map<std::string, std::string>& Dornath::_build_commit_index() {
  if (!_commit_index)
    _commit_index = build_index(events_scan(), &ScannedEvent::commit, &ScannedEvent::commit_error);
  drop_scan_when_indexed();
  return *_commit_index;
}

const std::unordered_map<std::string, std::string>& Dornath::_build_temporal_index() {
  if (!_temporal_index)
    _temporal_index =
        build_index(events_scan(), &ScannedEvent::timestamp, &ScannedEvent::timestamp_error);
  drop_scan_when_indexed();
  return *_temporal_index;
}

}  // namespace velquor::dornath
