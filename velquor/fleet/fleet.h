// Many repositories side by side: the pipelines of several data directories
// run as separate processes, a bounded number at a time, and each one's
// outcome is told in one line.
//
// A child process per repository keeps their failures apart: one that
// crashes or reports an error is told as failed while the others go on.
// The processes themselves are started by the caller's `Runner`, so that
// this module decides only what runs when and what the results mean.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "shared/json.h"

namespace velquor::fleet {

struct ChildResult {
  int exit_status = 0;  // 128 + N when killed by signal N
  std::string out;
  std::string err;
};

// Runs one command line to its end.
using Runner = std::function<ChildResult(const std::vector<std::string>& argv)>;

// Runs every command line of `commands`, at most `parallel` (at least one)
// at a time, and returns their results in the order of `commands`.
// `finished(i, result)` is called once per command as it ends, one call at a
// time, so it may print without interleaving.
std::vector<ChildResult> run_all(
    const std::vector<std::vector<std::string>>& commands, size_t parallel, const Runner& run,
    const std::function<void(size_t, const ChildResult&)>& finished = {});

// The line that tells how the pipeline of repository `name` went, from the
// result of `velquor run DIR --json`:
//   "alpha: 3 changes (1 CRITICAL, 2 HIGH)"
//   "alpha: no significant changes"
//   "alpha: failed: <the last line it wrote on stderr>"
std::string repository_line(const std::string& name, const ChildResult& result);

// The changes of a stage-5 run result counted by risk level, highest level
// first: {{"CRITICAL", 1}, {"HIGH", 2}}. Levels without changes are left out.
std::vector<std::pair<std::string, size_t>> changes_by_risk(const Json& result);

}  // namespace velquor::fleet
