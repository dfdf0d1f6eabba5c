// A made-up but realistic project history for trying the tool out.
//
// The history follows a small web shop through `commits` commits: every
// commit has its CI run, test run and coverage report; dependency snapshots,
// schema diffs, releases, infrastructure changes and security scans come
// with some commits, and production errors arrive between them. Now and then
// a large commit slows the build and the tests together, which is what the
// pattern engine learns. In the last part the team starts a hasty
// restructuring: commits grow and spread into new directories, builds slow
// down and fail, tests fail, coverage falls, dependencies and known
// vulnerabilities jump and an unhandled error floods production, which is
// what the advisory reports. Same arguments, same bytes.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "shared/json.h"

namespace velquor::cli {

struct DemoEvent {
  std::string file_name;  // inside events/, ordered like the history
  Json event;
};

// The events of a history of `commits` commits (at least 10).
std::vector<DemoEvent> demo_history(int commits);

}  // namespace velquor::cli
