#include "velquor/dornath/event_scan.h"

#include <cstdint>
#include <cstring>
#include <optional>

#include "shared/errors.h"
#include "shared/file_io.h"
#include "shared/json_access.h"
#include "shared/two_threads.h"
#include "velquor/dornath/dornath.h"
#include "velquor/dornath/plain_event.h"
#include "velquor/dornath/signal_access.h"

namespace velquor::dornath {
namespace {

// Length of the well-formed UTF-8 sequence at text[i] (shortest form, no
// surrogates, at most U+10FFFF), or 0.
size_t utf8_sequence_length(std::string_view text, size_t i) {
  auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
  unsigned char b0 = byte(i);
  if (b0 < 0x80) return 1;
  size_t n;
  unsigned char lo = 0x80, hi = 0xBF;
  if (b0 >= 0xC2 && b0 <= 0xDF) n = 2;
  else if (b0 >= 0xE0 && b0 <= 0xEF) {
    n = 3;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    n = 4;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  if (i + n > text.size()) return 0;
  if (byte(i + 1) < lo || byte(i + 1) > hi) return 0;
  for (size_t k = 2; k < n; ++k)
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
  return n;
}

bool valid_utf8(std::string_view text) {
  constexpr uint64_t kHighBits = 0x8080808080808080;
  for (size_t i = 0; i < text.size();) {
    // Event files are mostly ASCII: eight such bytes are passed at once.
    uint64_t word;
    if (i + sizeof word <= text.size() &&
        (std::memcpy(&word, text.data() + i, sizeof word), (word & kHighBits) == 0)) {
      i += sizeof word;
      continue;
    }
    size_t n = utf8_sequence_length(text, i);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

const Json& empty_map() {
  static const Json empty = Json::object();
  return empty;
}

const Json& payload_of(const Json& ev, const std::string& where) {
  if (!ev.is_object()) throw TypeError(where + ": expected an object, got " + json_kind(ev));
  const Json* payload = find_member(ev, "payload");
  if (!payload) return empty_map();
  expect_kind(*payload, "object", "payload", where);
  return *payload;
}

std::string text_or_empty(const Json* value) {
  return value && value->is_string() ? value->get<std::string>() : std::string();
}

// Git events name their commit in payload.commit_hash; events of other
// families name the commit that triggered them in payload.trigger.commit_sha
// (a null or empty trigger: no commit).
std::string commit_of(const Json& ev, const std::string& where) {
  const Json& payload = payload_of(ev, where);
  if (text_or_empty(find_member(ev, "source_type")) == "git")
    return text_or_empty(find_member(payload, "commit_hash"));
  const Json* trigger = find_member(payload, "trigger");
  if (!trigger || !is_truthy(*trigger)) return "";
  expect_kind(*trigger, "object", "payload.trigger", where);
  return text_or_empty(find_member(*trigger, "commit_sha"));
}

}  // namespace

ScannedEvent scan_event(const Json& ev, const std::string& where) {
  ScannedEvent scanned;
  scanned.is_object = ev.is_object();
  if (ev.is_object()) {
    const Json* id = find_member(ev, "event_id");
    scanned.has_id = id && is_truthy(*id);
    scanned.event_id = text_or_empty(id);
  }
  try {
    scanned.commit = commit_of(ev, where);
  } catch (const Error&) {
    scanned.commit_error = std::current_exception();
  }
  try {
    if (!ev.is_object()) throw TypeError(where + ": expected an object, got " + json_kind(ev));
    scanned.timestamp = Dornath::_extract_event_timestamp(ev);
  } catch (const Error& e) {
    // Name the file: the event-time rule only knows the event.
    scanned.timestamp_error = std::make_exception_ptr(TypeError(where + ": " + e.what()));
  }
  return scanned;
}

namespace {

// One event file as the scan reads it: nothing when it is skipped.
struct ReadEvent {
  std::optional<ScannedEvent> event;
  std::exception_ptr error;
};

const JsonKeep& event_members() {
  static const JsonKeep keep = [] {
    JsonKeep members;
    for (std::string_view path : kEventMembers) members.add(path);
    return members;
  }();
  return keep;
}

// Event files below this size are read into a buffer each thread keeps.
// Larger ones (a huge test report, say) are mapped and read by the tree,
// which keeps only the members the scan reads instead of a flat value for
// each.
constexpr size_t kFlatReadBelow = size_t{1} << 20;

ReadEvent read_event_file(const OpenFolder& folder, const std::string& name) {
  thread_local SmallFileReader reader(kFlatReadBelow);
  thread_local cindrel::ScannedRecord scratch;
  ReadEvent read;
  std::optional<std::string_view> small;
  std::optional<MappedFile> large;
  try {
    small = reader.read(folder, name);
    if (!small) large.emplace(folder, name);
  } catch (const Error&) {
    return read;  // vanished or unreadable: the indexes skip it
  }
  if (small && (read.event = scan_plain_event(*small, scratch))) return read;
  const std::string_view text = small ? *small : large->text();
  const std::string path = folder.path_text(name);
  Json ev;
  try {
    ev = parse_json(text, path, NonFinite::kReject, event_members());
  } catch (const JsonError&) {
    // The parser accepts valid UTF-8 only, so only a refused text needs
    // the check that tells an error from a file to skip.
    if (!valid_utf8(text)) read.error = std::make_exception_ptr(JsonError(path + ": not valid UTF-8"));
    return read;
  }
  read.event = scan_event(ev, path);
  return read;
}

}  // namespace

std::vector<const std::string*> values_by_ref(const EventScan& scan, EventValue which,
                                              const TextIds& refs) {
  std::vector<const std::string*> value_of(refs.size(), nullptr);
  for_each_indexed(scan, which, [&](const std::string& id, const std::string& value) {
    if (std::optional<uint32_t> ref = refs.find(id)) value_of[*ref] = &value;
  });
  return value_of;
}

EventScan scan_events(const fs::path& events_dir) {
  const std::vector<std::string> names = list_json_file_names(events_dir).names;
  const OpenFolder folder(events_dir);
  std::vector<ReadEvent> read(names.size());
  work_on_two_threads(names.size(), [&](size_t i) {
    read[i] = read_event_file(folder, names[i]);
    return !read[i].error;
  });
  EventScan scan;
  scan.events.reserve(names.size());
  for (ReadEvent& event : read) {
    if (event.error) std::rethrow_exception(event.error);
    if (event.event) scan.events.push_back(std::move(*event.event));
  }
  return scan;
}

}  // namespace velquor::dornath
