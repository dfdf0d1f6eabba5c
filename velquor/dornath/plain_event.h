// Reading what the event indexes need straight from an event file's text.
//
// Almost every event file is a small map of plain members. For those, the
// record scanner's flat values give the event id, the commit and the event
// time without building a JSON tree. Anything else (text the scanner does not
// take as plain, a member of an unusual kind, anything that would raise an
// error) is left to scan_event over the parsed tree, which stays the one
// statement of how an event is read: both ways give the same ScannedEvent.
#pragma once

#include <optional>
#include <string_view>

#include "velquor/cindrel/record_scanner.h"
#include "velquor/dornath/event_scan.h"

namespace velquor::dornath {

// What scan_event gives for the event file text `text` when the text reads
// as a plain event; nullopt when the tree must read it. `scratch` holds the
// flat values between calls, so that a scan of many files reuses its storage.
std::optional<ScannedEvent> scan_plain_event(std::string_view text, cindrel::ScannedRecord& scratch);

// The same for an event file's text that a host has scanned already:
// `record` holds what scan_plain_object read of it, having returned true.
std::optional<ScannedEvent> scan_plain_record(const cindrel::ScannedRecord& record);

}  // namespace velquor::dornath
