#include "velquor/report/event_times.h"

#include <chrono>
#include <optional>
#include <string_view>

#include "shared/clock.h"
#include "shared/errors.h"
#include "shared/file_io.h"

namespace velquor::report {
namespace {

// Walks one JSON text just far enough to tell strings, nesting and the
// top-level member names apart.
class TopLevelWalker {
 public:
  explicit TopLevelWalker(std::string_view text) : text_(text) {}

  EventStamp stamp() {
    EventStamp stamp;
    int depth = 0;
    bool expecting_key = false;
    while (pos_ < text_.size()) {
      char c = text_[pos_++];
      if (c == '{' || c == '[') {
        ++depth;
        expecting_key = depth == 1 && c == '{';
      } else if (c == '}' || c == ']') {
        if (--depth == 0) break;
      } else if (c == ',' && depth == 1) {
        expecting_key = true;
      } else if (c == '"') {
        std::string_view content = string_content();
        if (!expecting_key) continue;
        expecting_key = false;
        if (content == "event_id") stamp.event_id = member_text();
        else if (content == "observed_at") stamp.observed_at = member_text();
        else continue;
        if (!stamp.event_id.empty() && !stamp.observed_at.empty()) break;
      }
    }
    return stamp;
  }

 private:
  // The content of the string whose opening quote was just read; the
  // position ends past its closing quote. Escapes are skipped over and,
  // like a missing closing quote, make the content unusable ("\\").
  std::string_view string_content() {
    size_t start = pos_;
    bool usable = true;
    while (pos_ < text_.size() && text_[pos_] != '"') {
      if (text_[pos_] == '\\') {
        usable = false;
        ++pos_;
      }
      ++pos_;
    }
    if (pos_ >= text_.size()) usable = false;
    std::string_view content = usable ? text_.substr(start, pos_ - start) : std::string_view("\\");
    ++pos_;
    return content;
  }

  // The member value after a key when it is a plain string, else "" (a value
  // of another kind is then walked over as usual).
  std::string member_text() {
    while (pos_ < text_.size() && (text_[pos_] == ' ' || text_[pos_] == ':' || text_[pos_] == '\n' ||
                                   text_[pos_] == '\t' || text_[pos_] == '\r'))
      ++pos_;
    if (pos_ >= text_.size() || text_[pos_] != '"') return "";
    ++pos_;
    std::string_view content = string_content();
    return content == "\\" ? "" : std::string(content);
  }

  std::string_view text_;
  size_t pos_ = 0;
};

}  // namespace

EventStamp scan_event_stamp(std::string_view text) { return TopLevelWalker(text).stamp(); }

std::optional<double> seconds_of(std::string_view time) {
  std::optional<ParsedTime> parsed = parse_iso8601(time);
  if (!parsed) return std::nullopt;
  return std::chrono::duration<double>(parsed->utc.time_since_epoch()).count();
}

namespace {

// Event files are small: one buffer serves them all, with no size asked of
// the file system first; the odd large one (a huge test report) is mapped.
constexpr size_t kSmallEvent = size_t{64} << 10;

std::string_view event_text(SmallFileReader& reader, const OpenFolder& folder, const std::string& name,
                            std::optional<MappedFile>& large) {
  if (std::optional<std::string_view> small = reader.read(folder, name)) return *small;
  return large.emplace(folder, name).text();
}

}  // namespace

// A folder that cannot be listed gives no times, as an absent one does: the
// report still draws its charts, placing events by their neighbours.
EventTimes read_event_times(const fs::path& events_dir) {
  EventTimes times;
  JsonFileListing listing;
  try {
    listing = list_json_file_names(events_dir);
  } catch (const IoError&) {
    return times;
  }
  times.reserve(listing.names.size());
  const OpenFolder folder(events_dir);
  SmallFileReader reader(kSmallEvent);
  std::optional<MappedFile> large;
  for (const std::string& name : listing.names) {
    std::string_view text;
    try {
      text = event_text(reader, folder, name, large);
    } catch (const Error&) {
      continue;  // gone or unreadable: placed by its neighbours
    }
    EventStamp stamp = scan_event_stamp(text);
    std::optional<double> seconds = seconds_of(stamp.observed_at);
    if (!seconds) continue;
    if (stamp.event_id.empty()) stamp.event_id = name.substr(0, name.size() - 5);
    times.emplace(std::move(stamp.event_id), *seconds);
  }
  return times;
}

}  // namespace velquor::report
