// Stages 2 to 4 in order, with a progress line per stage: what `run` does
// before the advisory, and what `verify --rerun` does before comparing.
#pragma once

#include "cli/stages.h"

namespace velquor::cli {

struct PipelineSettings {
  BaselineSettings baseline;
  int verbosity = 0;  // stage 4's log lines: 1 information, 2 debug
};

struct PipelineOutcome {
  size_t failed_families = 0;  // stage-2 families that failed (parallel driver)
};

PipelineOutcome run_stages_2_to_4(const fs::path& dir, const PipelineSettings& settings);

// The progress text of a finished stage-5 run: what it wrote.
std::string advise_progress(const Json& result);

}  // namespace velquor::cli
