// What stage 2 left out of the events, told on stderr: the unreadable files
// --skip-bad-events passed over, and the events and entries no family ever
// reads, which would otherwise vanish without a word.
#pragma once

#include "cli/cli.h"
#include "velquor/brevalt/brevalt.h"

namespace velquor::cli {

// --skip-bad-events, for `run` and `baseline`.
OptionSpec skip_bad_events_option();

// One line per skipped file (at most 20, then how many more), then a
// warning for events of no known family and for entries of DIR/events
// named *.json that are no regular files (folders, pipes, broken links).
void report_left_out_events(const fs::path& dir, const brevalt::EventReport& report);

}  // namespace velquor::cli
