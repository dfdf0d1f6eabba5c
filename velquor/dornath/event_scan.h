// One pass over the event files that serves both event indexes, so that a
// large history is read and parsed once per engine instead of once per index.
// A host that has parsed the events already (`velquor run`) hands the engine
// a scan made with scan_event (see Dornath::use_event_scan).
#pragma once

#include <exception>
#include <string>
#include <string_view>
#include <vector>

#include "shared/file_io.h"
#include "shared/json.h"
#include "velquor/dornath/signal_table.h"

namespace velquor::dornath {

// What the indexes need of one readable event. A value that could not be
// derived keeps the error it raised, which the index that needs it rethrows,
// so each index fails exactly where reading for it alone would have failed.
struct ScannedEvent {
  bool is_object = true;  // a file holding no map fails both indexes
  bool has_id = false;   // event_id is set (a non-text id still reads the event)
  std::string event_id;  // "" when absent or not text: never indexed
  std::string commit;    // "" when none
  std::string timestamp;
  std::exception_ptr commit_error;
  std::exception_ptr timestamp_error;
};

struct EventScan {
  std::vector<ScannedEvent> events;  // in file-name order
};

// One value the scan derives, with the error deriving it may have raised.
struct EventValue {
  std::string ScannedEvent::*value;
  std::exception_ptr ScannedEvent::*error;
};
inline constexpr EventValue kEventCommit{&ScannedEvent::commit, &ScannedEvent::commit_error};
inline constexpr EventValue kEventTime{&ScannedEvent::timestamp, &ScannedEvent::timestamp_error};

// The index of one derived value, event id -> value: calls `take(id, value)`
// for every event with an id and a value that are not empty, in scan order
// (a later event replaces an earlier one of the same id). First raises the
// error of the first event, in scan order, that is no map or has an id and
// could not give the value: events without an id are left out before their
// content is looked at.
template <typename Take>
void for_each_indexed(const EventScan& scan, EventValue which, Take take) {
  for (const ScannedEvent& ev : scan.events)
    if (!ev.is_object || (ev.has_id && ev.*which.error)) std::rethrow_exception(ev.*which.error);
  for (const ScannedEvent& ev : scan.events)
    if (!ev.event_id.empty() && !(ev.*which.value).empty()) take(ev.event_id, ev.*which.value);
}

// The same index looked up for every event reference of `refs` at once:
// value_of[ref id] (nullptr: none), pointing into `scan`.
std::vector<const std::string*> values_by_ref(const EventScan& scan, EventValue which,
                                              const TextIds& refs);

// Every member of an event that the scan reads, as dotted paths: an event
// parsed keeping only these (a JsonKeep of them) scans as the whole event
// does.
inline constexpr std::string_view kEventMembers[] = {
    "event_id",
    "source_type",
    "observed_at",
    "payload.commit_hash",
    "payload.committed_at",
    "payload.authored_at",
    "payload.trigger.commit_sha",
    "payload.timing.created_at",
    "payload.timing.started_at",
    "payload.timing.initiated_at",
    "payload.timing.completed_at",
};

// What the indexes need of one parsed event; `where` (the file) names it in
// errors.
ScannedEvent scan_event(const Json& event, const std::string& where);

// Reads every event file of `events_dir` (sorted by name) on two threads,
// skipping files that cannot be read or are not valid JSON. Invalid UTF-8 is
// not skipped: it raises JsonError naming the file (the first such file).
EventScan scan_events(const fs::path& events_dir);

}  // namespace velquor::dornath
