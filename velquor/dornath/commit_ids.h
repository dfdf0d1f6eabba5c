// Commit hashes as small integers, so that the discovery steps compare and
// intersect integers instead of hash texts.
#pragma once

#include <cstdint>
#include <vector>

#include "velquor/dornath/event_scan.h"
#include "velquor/dornath/signal_table.h"

namespace velquor::dornath {

// The commit of every event reference of a signal table, looked up once per
// reference, as its position among the distinct commit hashes in ascending
// byte order: ordering these numbers orders the hashes.
struct RefCommits {
  RefCommits(const SignalTable& signals, const EventScan& events);

  std::vector<int64_t> of_ref;  // -1: the commit index has none
  size_t count = 0;             // distinct commits
};

}  // namespace velquor::dornath
