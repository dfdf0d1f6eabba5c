// Reading an event's stamp straight from its scanned text.
//
// A host that has scanned an event file with the record scanner already
// (`velquor run`, while stage 2 reads the events) gets its stamp from the
// flat values without building a JSON tree. Anything unusual (a text with
// escapes, a member of another kind than stamp_of reads plainly, anything
// stamp_of would raise an error for) is left to stamp_of over the parsed
// event, which stays the one statement of how a stamp is read: both ways
// give the same stamp.
#pragma once

#include <filesystem>
#include <optional>

#include "velquor/cindrel/record_scanner.h"
#include "velquor/window/window.h"

namespace velquor::window {

// stamp_of for the event file `file` whose text the scanner read as a plain
// object into `record` (scan_plain_object returned true); nullopt when the
// parsed event must be read instead.
std::optional<EventStamp> plain_stamp(const cindrel::ScannedRecord& record, const fs::path& file);

}  // namespace velquor::window
