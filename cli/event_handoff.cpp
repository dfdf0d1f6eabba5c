#include "cli/event_handoff.h"

#include <algorithm>

namespace velquor::cli {
namespace {

JsonKeep digest_members() {
  JsonKeep keep;
  for (std::string_view member : dornath::kEventMembers) keep.add(member);
  keep.add(esperlin::prepared_event_members());
  return keep;
}

// Every slot's value, or nullopt when a file was not handed over.
template <typename T>
std::optional<std::vector<T>> take_all(std::vector<std::optional<T>>& slots) {
  const bool all_set = !slots.empty() && std::all_of(slots.begin(), slots.end(),
                                                     [](const auto& slot) { return slot.has_value(); });
  if (!all_set) return std::nullopt;
  std::vector<T> values;
  values.reserve(slots.size());
  for (auto& slot : slots) values.push_back(std::move(*slot));
  slots.clear();
  return values;
}

}  // namespace

void EventHandoff::observe(brevalt::Brevalt& engine, size_t file_count) {
  learn_.assign(file_count, std::nullopt);
  advise_.assign(file_count, std::nullopt);
  engine.observe_events(digest_members(), [this](size_t index, const fs::path& file, const Json& event) {
    if (index >= learn_.size()) return;  // a file that appeared since it was counted
    learn_[index] = dornath::scan_event(event, file.string());
    advise_[index] = esperlin::prepare_event(event, file);
  });
}

std::optional<dornath::EventScan> EventHandoff::take_learn_scan() {
  std::optional<std::vector<dornath::ScannedEvent>> events = take_all(learn_);
  if (!events) return std::nullopt;
  return dornath::EventScan{std::move(*events)};
}

std::optional<std::vector<esperlin::PreparedEvent>> EventHandoff::take_advise_events() {
  return take_all(advise_);
}

}  // namespace velquor::cli
