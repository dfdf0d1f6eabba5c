// Reading what a window needs from a data directory.

#include <exception>

#include "shared/file_io.h"
#include "shared/json_access.h"
#include "shared/two_threads.h"
#include "velquor/window/window.h"

namespace velquor::window {
namespace {

// A text member of a map, or "" when the map or the text is not there.
std::string text_member(const Json* map, std::string_view key) {
  const Json* value = map ? find_member(*map, key) : nullptr;
  return value && value->is_string() ? value->get<std::string>() : "";
}

}  // namespace

EventStamp stamp_of(const Json& event, const fs::path& path) {
  const std::string where = path.string();
  if (!event.is_object()) throw TypeError(where + ": an event must be an object, got " + json_kind(event));
  EventStamp stamp;
  const Json* id = find_member(event, "event_id");
  stamp.event_id = id && id->is_string() ? id->get<std::string>() : path.stem().string();
  const Json* observed = find_member(event, "observed_at");
  if (observed && !observed->is_null()) {
    expect_kind(*observed, "string", "observed_at", where);
    stamp.observed_text = observed->get<std::string>();
    if (auto parsed = parse_iso8601(stamp.observed_text)) stamp.observed = parsed->utc;
  }
  const Json* payload = find_member(event, "payload");
  stamp.is_commit = text_member(&event, "source_type") == "git";
  stamp.commit = stamp.is_commit ? text_member(payload, "commit_hash")
                                 : text_member(payload ? find_member(*payload, "trigger") : nullptr, "commit_sha");
  return stamp;
}

// A huge event costs no tree of the rest.
const JsonKeep& stamp_members() {
  static const JsonKeep keep{"event_id", "observed_at", "source_type", "payload.commit_hash",
                             "payload.trigger.commit_sha"};
  return keep;
}

std::vector<EventStamp> read_event_stamps(const fs::path& events_dir, const std::set<fs::path>& skipped) {
  std::vector<fs::path> files = list_json_files(events_dir);
  std::erase_if(files, [&](const fs::path& path) { return skipped.count(path) > 0; });
  // Two threads, as reading a large history is mostly waiting on the
  // system; the first file (in name order) that fails is the one reported.
  std::vector<EventStamp> stamps(files.size());
  std::vector<std::exception_ptr> errors(files.size());
  const size_t failed = work_on_two_threads(files.size(), [&](size_t i) {
    try {
      stamps[i] = stamp_of(parse_json(read_file(files[i]), files[i].string(), NonFinite::kReject, stamp_members()),
                           files[i]);
      return true;
    } catch (...) {
      errors[i] = std::current_exception();
      return false;
    }
  });
  if (failed < files.size()) std::rethrow_exception(errors[failed]);
  return stamps;
}

std::optional<TimePoint> advisory_period_end(const fs::path& advisory_path) {
  if (!fs::exists(advisory_path)) return std::nullopt;
  const Json advisory = read_json_file(advisory_path);
  if (advisory.is_null()) return std::nullopt;
  const std::string where = advisory_path.string();
  if (!advisory.is_object()) throw TypeError(where + ": expected an object, got " + json_kind(advisory));
  const Json& end = require_member(require_member(advisory, "period", where), "to", where + " period");
  expect_kind(end, "string", "to", where + " period");
  const std::optional<ParsedTime> parsed = parse_iso8601(end.get<std::string>());
  if (!parsed) throw ValueError(where + ": period.to is not a time: '" + end.get<std::string>() + "'");
  return parsed->utc;
}

Window resolve_in(const fs::path& data_dir, const Request& request,
                  const std::function<std::vector<EventStamp>()>& stamps,
                  const std::optional<fs::path>& previous_advisory) {
  std::optional<TimePoint> previous_end;
  if (request.kind == Kind::kNew)
    previous_end = advisory_period_end(previous_advisory.value_or(data_dir / "phase5" / "advisory.json"));
  return resolve(request, stamps(), previous_end);
}

Window resolve_in(const fs::path& data_dir, const Request& request,
                  const std::optional<fs::path>& previous_advisory, const std::set<fs::path>& skipped) {
  return resolve_in(
      data_dir, request, [&] { return read_event_stamps(data_dir / "events", skipped); }, previous_advisory);
}

}  // namespace velquor::window
