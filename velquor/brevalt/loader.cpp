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

#include "shared/clock.h"
#include "shared/errors.h"
#include "shared/file_io.h"
#include "shared/json_access.h"
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

FileDigest digest(size_t index, const fs::path& path, FamilySet wanted,
                  const EventReading& reading) {
  FileDigest result;
  try {
    Json event = read_event(path, *reading.members);
    if (reading.observer && *reading.observer)
      result.observer_error = deferred([&] { (*reading.observer)(index, path, event); });
    const std::string where = path.string();
    for (size_t f = 0; f < families().size(); ++f)
      if (selects(families()[f], event)) {
        result.selected = true;
        if (wanted.test(f)) result.events.emplace_back(f, reduce(f, event, where));
      }
  } catch (...) {
    result.error = std::current_exception();
  }
  return result;
}

std::vector<FileDigest> digest_all(const std::vector<fs::path>& files, FamilySet wanted,
                                   int threads, const EventReading& reading) {
  std::vector<FileDigest> digests(files.size());
  if (threads <= 1 || files.size() < 2) {
    for (size_t i = 0; i < files.size(); ++i) digests[i] = digest(i, files[i], wanted, reading);
    return digests;
  }
  std::atomic<size_t> next{0};
  run_on_workers(threads, [&](int) {
    for (size_t i = next++; i < files.size(); i = next++)
      digests[i] = digest(i, files[i], wanted, reading);
  });
  return digests;
}

void sort_events(FamilyInput& input) {
  for (const FamilyEvent& event : input.events) {
    if (event.order_error) {
      input.error = event.order_error;
      return;
    }
  }
  std::stable_sort(input.events.begin(), input.events.end(),
                   [](const FamilyEvent& a, const FamilyEvent& b) { return a.observed_at < b.observed_at; });
}

}  // namespace

namespace {

Json checked_event(Json event, const fs::path& path) {
  if (!event.is_object())
    throw TypeError(path.string() + ": an event must be an object, got " + json_kind(event));
  return event;
}

}  // namespace

Json read_event(const fs::path& path) {
  return checked_event(parse_json(read_file(path), path.string(), NonFinite::kReject), path);
}

// A large event file (a test report of a million cases) is mapped, not copied.
Json read_event(const fs::path& path, const JsonKeep& keep) {
  const MappedFile file(path);
  return checked_event(parse_json(file.text(), path.string(), NonFinite::kReject, keep), path);
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

bool selects(const Family& family, const Json& event) {
  const bool git = std::string_view(family.name) == "git";
  const Json* member = find_member(event, git ? "source_type" : "source_family");
  if (member == nullptr || !member->is_string()) return false;
  return member->get_ref<const std::string&>() == (git ? "git" : family.name);
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
  std::vector<fs::path> files;
  try {
    files = list_json_files(events_dir);
    digests = digest_all(files, wanted, threads, reading);
  } catch (...) {
    for (FamilyInput& input : inputs) input.error = std::current_exception();
    return inputs;
  }
  for (const FileDigest& file : digests)
    if (file.observer_error) std::rethrow_exception(file.observer_error);
  for (size_t i = 0; i < digests.size(); ++i) {
    FileDigest& file = digests[i];
    if (file.error && report && report->skip_unreadable) {
      report->skipped.emplace_back(files[i], message_of(file.error));
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
  for (FamilyInput& input : inputs) sort_events(input);
  return inputs;
}

}  // namespace velquor::brevalt
