#include "velquor/report/event_times.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <vector>

#include "shared/clock.h"

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

// The names of the regular files (links followed) ending in ".json" in the
// folder open as `dir`, sorted. Read with readdir: the general listing makes a
// path object per file, which costs more than reading the file here.
std::vector<std::string> json_file_names(DIR* dir) {
  std::vector<std::string> names;
  while (const dirent* entry = ::readdir(dir)) {
    std::string_view name = entry->d_name;
    if (name.size() < 5 || name.substr(name.size() - 5) != ".json") continue;
    struct stat info {};
    bool regular = entry->d_type == DT_REG ||
                   ((entry->d_type == DT_LNK || entry->d_type == DT_UNKNOWN) &&
                    ::fstatat(::dirfd(dir), entry->d_name, &info, 0) == 0 && S_ISREG(info.st_mode));
    if (regular) names.emplace_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace

EventTimes read_event_times(const fs::path& events_dir) {
  EventTimes times;
  DIR* dir = ::opendir(events_dir.c_str());
  if (!dir) return times;
  std::vector<std::string> names = json_file_names(dir);
  times.reserve(names.size());
  // Event files are small: one buffer serves them all, with no size asked
  // of the file system first.
  std::string text(64 * 1024, '\0');
  for (const std::string& name : names) {
    int fd = ::openat(::dirfd(dir), name.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) continue;
    size_t size = 0;
    for (ssize_t got; (got = ::read(fd, text.data() + size, text.size() - size)) > 0;) {
      size += static_cast<size_t>(got);
      if (size == text.size()) text.resize(2 * size);
    }
    ::close(fd);
    EventStamp stamp = scan_event_stamp(std::string_view(text.data(), size));
    std::optional<double> seconds = seconds_of(stamp.observed_at);
    if (!seconds) continue;
    if (stamp.event_id.empty()) stamp.event_id = name.substr(0, name.size() - 5);
    times.emplace(std::move(stamp.event_id), *seconds);
  }
  ::closedir(dir);
  return times;
}

}  // namespace velquor::report
