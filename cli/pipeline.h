// Stages 2 to 4 in order, with a progress line per stage: what `run` does
// before the advisory, and what `verify --rerun` does before comparing.
#pragma once

#include "cli/stages.h"

namespace velquor::cli {

struct PipelineSettings {
  BaselineSettings baseline;
  int verbosity = 0;  // stage 4's log lines: 1 information, 2 debug
  std::optional<std::string> store;  // stage 4's store when not the default
};

struct PipelineOutcome {
  size_t failed_families = 0;  // stage-2 families that failed (parallel driver)
  // Stage 2 produced no signal at all (too little history): the later stages
  // have nothing to work on and were not run.
  bool no_signals = false;
  size_t event_files = 0;
  size_t signals = 0;
};

PipelineOutcome run_stages_2_to_4(const fs::path& dir, const PipelineSettings& settings);

// What a person reads when stage 2 found nothing to judge.
std::string no_signals_text(const fs::path& dir);

// The progress text of a finished stage-5 run: what it read and wrote.
std::string advise_progress(const PipelineOutcome& inputs, const Json& result);

}  // namespace velquor::cli
