// Stages 2 to 4 in order, with a progress line per stage: what `run` does
// before the advisory, and what `verify --rerun` does before comparing.
#pragma once

#include "cli/stages.h"
#include "cli/writer.h"

namespace velquor::cli {

struct PipelineOutcome;

struct PipelineSettings {
  BaselineSettings baseline;
  int verbosity = 0;  // stage 4's log lines: 1 information, 2 debug
  DirectoryWriter* writer = nullptr;  // told of each stage it writes
  std::optional<std::string> store;  // stage 4's store when not the default
  EventHandoff* handoff = nullptr;  // stage 2's events for stages 4 and 5
  // Called after stage 3, before stage 4 starts (see AdviceAhead).
  std::function<void(const PipelineOutcome&)> before_learning;
};

struct PipelineOutcome {
  // Stage 2 produced no signal at all (too little history): the later stages
  // have nothing to work on and were not run.
  bool no_signals = false;
  size_t event_files = 0;
  brevalt::EventReport events;  // what stage 2 left out
  size_t signals = 0;
};

// Checks what can be checked first (check_before_writing) and stops with
// StageFailed when stage 2 failed for any family, so that nothing is
// learned from a run that fails.
PipelineOutcome run_stages_2_to_4(const fs::path& dir, const PipelineSettings& settings);

// What a person reads when stage 2 found nothing to judge.
std::string no_signals_text(const fs::path& dir);

// The progress text of a finished stage-5 run: what it read and wrote.
std::string advise_progress(const PipelineOutcome& inputs, const Json& result);

}  // namespace velquor::cli
