// What the advisory run knows of every event without keeping it, and how a
// host that has already parsed the events hands that knowledge over.
//
// An advisory run needs three facts of every event (its time, observed_at and
// commit) and the whole event only when a significant signal refers to it. A
// host that parsed every event file for an earlier stage (`velquor run`)
// calls prepare_event on each parsed event and passes the results to
// Esperlin::use_prepared_events; the run then reads only the files of the
// events its significant signals refer to. Of those it keeps just the members
// named in EVENT_MEMBERS (and of a test report's cases only the failed ones).
#pragma once

#include <exception>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "shared/json.h"
#include "velquor/cindrel/record_scanner.h"

namespace velquor::esperlin {

namespace fs = std::filesystem;

// The members of an event the advisory run reads, as dotted paths for
// JsonKeep ("payload.trigger.commit_sha"; "payload.cases.status" is the status
// of every case). A path naming a container keeps it whole; a member along a
// path that is neither map nor list is kept as it is, so that a kind error
// reads as it would on the whole event.
extern const std::vector<std::string> EVENT_MEMBERS;

// What the run needs of every event: its time, observed_at and commit.
struct EventFacts {
  std::string time;
  std::string observed_at;
  std::string commit;
};

// One event file as the run knows it: its id and facts, or the error that
// makes it unusable (raised by the run when no earlier file failed).
struct PreparedEvent {
  fs::path file;
  std::exception_ptr error;
  std::string id;
  EventFacts facts;
};

// What prepare_event reads of an event: the members its facts come from,
// whole, and of the lists its checks go through only the elements of another
// kind than the check wants (a filter). A host that parses an event keeping
// just these prepares it as from the whole event, and a test report of a
// million cases costs it nothing.
JsonKeep prepared_event_members();

// Checks `event` (read from `file`) as the run checks every event and takes
// its id and facts; a check that fails is kept as the error.
PreparedEvent prepare_event(const Json& event, fs::path file);

// prepare_event for the file `prepared.file` holding `text`, read by the
// record scanner without building a JSON value: true when it could, false
// (and `prepared` untouched) when the text is not plain (see the record
// scanner), is large, or has a member the checks read that is not of the
// usual kind. The parser then reads the file and words any error.
bool prepare_plain_event(std::string_view text, PreparedEvent& prepared);

// The same for a host that has scanned `text` already: `record` holds what
// RecordScanner::scan_plain_object read of it, having returned true.
bool prepare_plain_event(std::string_view text, const cindrel::ScannedRecord& record,
                         PreparedEvent& prepared);

}  // namespace velquor::esperlin
