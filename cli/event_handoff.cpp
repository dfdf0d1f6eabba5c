#include "cli/event_handoff.h"

#include <algorithm>

#include "shared/errors.h"
#include "velquor/dornath/plain_event.h"
#include "velquor/window/plain_stamp.h"

namespace velquor::cli {
namespace {

const JsonKeep& members() {
  static const JsonKeep keep = [] {
    JsonKeep members;
    for (std::string_view member : dornath::kEventMembers) members.add(member);
    members.add(esperlin::prepared_event_members());
    members.add(window::stamp_members());
    return members;
  }();
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

// Stage 4 reads a file this large or larger by the tree alone.
constexpr size_t kLearnPlainBelow = size_t{1} << 20;

void EventHandoff::observe(brevalt::Brevalt& engine, size_t file_count) {
  learn_.assign(file_count, std::nullopt);
  advise_.assign(file_count, std::nullopt);
  stamps_.assign(keep_stamps_ ? file_count : 0, std::nullopt);
  engine.observe_events(members(), [this](size_t index, const fs::path& file, std::string_view text,
                                          const cindrel::ScannedRecord* plain, const Json* event) {
    if (index >= learn_.size()) return;  // a file that appeared since it was counted
    // As stages 4 and 5 read an event alone: from its plain scan, which
    // stage 2 made, else from the tree, which stage 2 built or is built here
    // once.
    std::optional<Json> parsed;
    auto tree = [&]() -> const Json& {
      if (event == nullptr && !parsed) parsed = parse_json(text, file.string(), NonFinite::kReject, members());
      return event ? *event : *parsed;
    };
    if (plain && text.size() < kLearnPlainBelow) learn_[index] = dornath::scan_plain_record(*plain);
    if (!learn_[index]) learn_[index] = dornath::scan_event(tree(), file.string());
    esperlin::PreparedEvent prepared;
    prepared.file = file;
    if (!plain || !esperlin::prepare_plain_event(text, *plain, prepared))
      prepared = esperlin::prepare_event(tree(), file);
    advise_[index] = std::move(prepared);
    if (!keep_stamps_) return;
    std::optional<window::EventStamp> stamp = plain ? window::plain_stamp(*plain, file) : std::nullopt;
    try {
      stamps_[index] = Stamp{stamp ? std::move(*stamp) : window::stamp_of(tree(), file), nullptr};
    } catch (const Error&) {
      stamps_[index] = Stamp{{}, std::current_exception()};
    }
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

std::optional<std::function<std::vector<window::EventStamp>()>> EventHandoff::take_window_stamps() {
  std::optional<std::vector<Stamp>> stamps = take_all(stamps_);
  if (!stamps) return std::nullopt;
  return [stamps = std::move(*stamps)]() mutable {
    std::vector<window::EventStamp> read;
    read.reserve(stamps.size());
    for (Stamp& stamp : stamps) {
      if (stamp.error) std::rethrow_exception(stamp.error);
      read.push_back(std::move(stamp.stamp));
    }
    return read;
  };
}

}  // namespace velquor::cli
