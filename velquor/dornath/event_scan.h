// One pass over the event files that serves both event indexes, so that a
// large history is read and parsed once per engine instead of once per index.
#pragma once

#include <exception>
#include <string>
#include <vector>

#include "shared/file_io.h"

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

// Reads every event file of `events_dir` (sorted by name), skipping files
// that cannot be read or are not valid JSON. Invalid UTF-8 is not skipped: it
// raises JsonError naming the file.
EventScan scan_events(const fs::path& events_dir);

}  // namespace velquor::dornath
