// Reading the event files: each file is parsed once per load and reduced at
// once to what the families that select it need, so that a full run holds
// compact per-family records rather than ten copies of every parsed event.
//
// Failures keep the order a family run would meet them in: a file that
// cannot be read as an event fails every family; an `observed_at` of a wrong
// kind fails the families that select the event, before any processing; an
// unusable payload fails its family when processing reaches the event.
#include <algorithm>
#include <atomic>
#include <optional>

#include "shared/clock.h"
#include "shared/errors.h"
#include "shared/file_io.h"
#include "shared/json_access.h"
#include "shared/ordered_bytes.h"
#include "velquor/brevalt/internal.h"

namespace velquor::brevalt {
namespace {

struct FileDigest {
  std::exception_ptr error;  // the file is no readable event
  std::exception_ptr observer_error;
  bool selected = false;     // some family selects the event
  std::vector<std::pair<size_t, FamilyEvent>> events;  // family index, event
};

// Runs `step` and keeps its failure for the moment the run would meet it.
template <class Step>
std::exception_ptr deferred(Step step) {
  try {
    step();
    return nullptr;
  } catch (...) {
    return std::current_exception();
  }
}

FamilyEvent reduce(size_t family, const Json& event, const std::string& where) {
  FamilyEvent out;
  out.file = where;
  out.order_error = deferred([&] { out.observed_at = observed_at_key(event, where); });
  out.ref_error = deferred([&] { out.event_ref = event_ref_of(event, where, family == kGitFamily); });
  out.error = deferred([&] {
    if (family == kGitFamily) {
      out.paths = git_paths(event, where);
      out.metrics = git_base_metrics(out.paths);
    } else {
      out.metrics = payload_metrics(families()[family].name, event, where);
    }
  });
  return out;
}

// Event files below this size are read into a buffer each thread keeps and,
// when plain, without a tree; a larger one (a test report of a million
// cases) is mapped and read by the tree, which keeps only the members read.
constexpr size_t kSmallEventBelow = size_t{1} << 20;

FileDigest digest(size_t index, const OpenFolder& folder, const std::string& name,
                  FamilySet wanted, const EventReading& reading) {
  thread_local SmallFileReader reader(kSmallEventBelow);
  thread_local cindrel::ScannedRecord scanned;
  FileDigest result;
  try {
    const std::string where = folder.path_text(name);
    std::optional<MappedFile> large;
    std::optional<std::string_view> text = reader.read(folder, name);
    if (!text) text = large.emplace(folder, name).text();
    // The scanner holds the shortest forms of reals the record points at.
    std::optional<cindrel::RecordScanner> scanner;
    if (!large) scanner.emplace(*text);
    const bool scanned_plain = scanner && scanner->scan_plain_object(scanned);
    std::optional<PlainDigest> plain;
    if (scanned_plain) plain = digest_plain_event(scanned, where, wanted);
    Json event;
    if (!plain) event = parse_event(*text, where, *reading.members);
    if (reading.observer && *reading.observer)
      result.observer_error = deferred([&] {
        (*reading.observer)(index, fs::path(where), *text, scanned_plain ? &scanned : nullptr,
                            plain ? nullptr : &event);
      });
    if (plain) {
      result.selected = plain->selecting.any();
      result.events = std::move(plain->events);
      return result;
    }
    const FamilySet selecting = selecting_families(event);
    for (size_t f = 0; f < families().size(); ++f)
      if (selecting.test(f)) {
        result.selected = true;
        if (wanted.test(f)) result.events.emplace_back(f, reduce(f, event, where));
      }
  } catch (...) {
    result.error = std::current_exception();
  }
  return result;
}

std::vector<FileDigest> digest_all(const JsonFileListing& files, FamilySet wanted, int threads,
                                   const EventReading& reading) {
  const OpenFolder folder(files.dir);
  const size_t count = files.names.size();
  std::vector<FileDigest> digests(count);
  auto digest_one = [&](size_t i) { digests[i] = digest(i, folder, files.names[i], wanted, reading); };
  if (threads <= 1 || count < 2) {
    for (size_t i = 0; i < count; ++i) digest_one(i);
    return digests;
  }
  std::atomic<size_t> next{0};
  run_on_workers(threads, [&](int) {
    for (size_t i = next++; i < count; i = next++) digest_one(i);
  });
  return digests;
}

}  // namespace

// Events mostly arrive in time order already (names that follow the time);
// otherwise the order is sorted by index so the records move once.
namespace {

// An event's place in processing order: its observed_at, then its position.
// The text's first 16 bytes, packed big-endian into two words, decide most
// comparisons without reaching the text itself.
struct OrderKey {
  uint64_t head = 0, tail = 0;
  std::string_view text;
  size_t position = 0;

  static OrderKey of(std::string_view text, size_t position) {
    return {ordered_word(text, 0), ordered_word(text, 8), text, position};
  }
  bool operator<(const OrderKey& other) const {
    if (head != other.head) return head < other.head;
    if (tail != other.tail) return tail < other.tail;
    if (int order = text.compare(other.text)) return order < 0;
    return position < other.position;
  }
};

}  // namespace

void order_events(FamilyInput& input) {
  std::vector<FamilyEvent>& events = input.events;
  for (const FamilyEvent& event : events) {
    if (event.order_error) {
      input.error = event.order_error;
      return;
    }
  }
  auto earlier = [](const FamilyEvent& a, const FamilyEvent& b) { return a.observed_at < b.observed_at; };
  if (std::is_sorted(events.begin(), events.end(), earlier)) return;
  std::vector<OrderKey> keys;
  keys.reserve(events.size());
  for (size_t i = 0; i < events.size(); ++i) keys.push_back(OrderKey::of(events[i].observed_at, i));
  std::sort(keys.begin(), keys.end());  // the position breaks ties: stable
  std::vector<FamilyEvent> sorted;
  sorted.reserve(events.size());
  for (const OrderKey& key : keys) sorted.push_back(std::move(events[key.position]));
  events = std::move(sorted);
}

namespace {

Json checked_event(Json event, const std::string& where) {
  if (!event.is_object())
    throw TypeError(where + ": an event must be an object, got " + json_kind(event));
  return event;
}

}  // namespace

Json read_event(const fs::path& path) {
  const std::string where = path.string();
  return checked_event(parse_json(read_file(path), where, NonFinite::kReject), where);
}

Json parse_event(std::string_view text, const std::string& where, const JsonKeep& keep) {
  return checked_event(parse_json(text, where, NonFinite::kReject, keep), where);
}

std::string observed_at_key(const Json& event, const std::string& where) {
  const Json* value = find_member(event, "observed_at");
  if (value == nullptr || value->is_null()) return "";
  expect_kind(*value, "string", "observed_at", where);
  return value->get<std::string>();
}

std::string event_ref_of(const Json& event, const std::string& where, bool required) {
  const Json* id = find_member(event, "event_id");
  if (id == nullptr && required) require_member(event, "event_id", where);
  if (id == nullptr || id->is_null()) return "";
  expect_kind(*id, "string", "event_id", where);
  return id->get<std::string>();
}

FamilySet selecting_families(const Json& event) {
  auto text_of = [&](std::string_view key) -> std::optional<std::string_view> {
    const Json* value = find_member(event, key);
    if (value == nullptr || !value->is_string()) return std::nullopt;
    return value->get_ref<const std::string&>();
  };
  return families_named(text_of("source_type"), text_of("source_family"));
}

FamilySet families_named(std::optional<std::string_view> source_type,
                         std::optional<std::string_view> source_family) {
  FamilySet selecting;
  if (source_type == "git") selecting.set(kGitFamily);
  if (!source_family) return selecting;
  for (size_t f = 0; f < families().size(); ++f)
    if (f != kGitFamily && *source_family == families()[f].name) selecting.set(f);
  return selecting;
}

namespace {

std::string message_of(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "unknown error";
  }
}

}  // namespace

std::vector<FamilyInput> load_family_inputs(const fs::path& events_dir, FamilySet wanted,
                                            int threads, EventReport* report,
                                            const EventReading& reading) {
  std::vector<FamilyInput> inputs(families().size());
  std::vector<FileDigest> digests;
  JsonFileListing listed;
  try {
    if (!reading.listing) listed = list_json_file_names(events_dir);
    const JsonFileListing& files = reading.listing ? *reading.listing : listed;
    if (report) report->irregular = files.irregular;
    digests = digest_all(files, wanted, threads, reading);
  } catch (...) {
    for (FamilyInput& input : inputs) input.error = std::current_exception();
    return inputs;
  }
  const JsonFileListing& files = reading.listing ? *reading.listing : listed;
  for (const FileDigest& file : digests)
    if (file.observer_error) std::rethrow_exception(file.observer_error);
  for (size_t i = 0; i < digests.size(); ++i) {
    FileDigest& file = digests[i];
    if (file.error && report && report->skip_unreadable) {
      report->skipped.emplace_back(files.path_text(i), message_of(file.error));
      continue;
    }
    if (report && !file.error && !file.selected) ++report->unselected;
    if (report && !file.error && file.selected && !file.events.empty() &&
        !parse_iso8601(file.events.front().second.observed_at))
      ++report->undated;
    if (file.error) {
      for (FamilyInput& input : inputs) input.error = file.error;
      return inputs;
    }
    for (auto& [family, event] : file.events) inputs[family].events.push_back(std::move(event));
  }
  return inputs;
}

}  // namespace velquor::brevalt
