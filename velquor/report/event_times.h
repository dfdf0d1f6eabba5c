// When each event happened, read from the event files without parsing them.
//
// A report needs one time per drawn point, and a long history holds a
// hundred thousand event files. Each file is read once and only its
// top-level `event_id` and `observed_at` members are picked out; the rest of
// the text is stepped over (strings and nesting only), never turned into
// values.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace velquor::report {

namespace fs = std::filesystem;

// The top-level `event_id` and `observed_at` texts of one event file's
// object; a member that is absent, not text or holds escapes is empty.
struct EventStamp {
  std::string event_id;
  std::string observed_at;
};
EventStamp scan_event_stamp(std::string_view text);

// Event id -> seconds since the epoch of its observed_at, for every event
// file of `events_dir` with a readable time. An event without event_id is
// known by its file name without ".json". Files that cannot be read, and
// times that are not ISO-8601, are skipped: the report places such events
// by their neighbours.
struct TextHash {
  using is_transparent = void;
  size_t operator()(std::string_view text) const { return std::hash<std::string_view>{}(text); }
};
using EventTimes = std::unordered_map<std::string, double, TextHash, std::equal_to<>>;
EventTimes read_event_times(const fs::path& events_dir);

// Seconds since the epoch of an ISO-8601 text; nullopt when it is none.
std::optional<double> seconds_of(std::string_view time);

}  // namespace velquor::report
