// velquor baseline DIR: stage 2, rolling baselines and deviation signals.

#include <iostream>

#include "cli/commands.h"
#include "cli/event_notes.h"
#include "cli/run_checks.h"
#include "cli/stages.h"
#include "cli/writer.h"

namespace velquor::cli {
namespace {

int run_baseline_command(const Args& args) {
  const BaselineSettings settings = baseline_settings(args);
  const fs::path dir = data_dir_with_events(args.positional(0));
  DirectoryWriter writer(args, dir);
  writer.stage(2);
  BaselineOutcome outcome;
  try {
    StdoutToStderr engine_lines(true);  // stdout carries the family table alone
    run_baseline(dir, settings, outcome);
    report_left_out_events(dir, outcome.events);
  } catch (...) {
    std::cout << family_lines(outcome);  // the families that ran before the failure
    throw;
  }
  std::cout << family_lines(outcome) << outcome.signals << " signals from "
            << outcome.event_files << " event files in " << (dir / "phase2").string() << "\n";
  if (outcome.failed > 0) throw stage2_failure(outcome);
  return kExitOk;
}

}  // namespace

const Command kBaselineCommand = {
    "baseline",
    {"DIR"},
    [] {
      auto options = baseline_options();
      options.push_back(wait_option());
      return options;
    }(),
    "stage 2: compute baselines and deviation signals",
    "Reads DIR/events, keeps a rolling baseline of every metric of the ten source\n"
    "families, and writes one signal per event and metric into\n"
    "DIR/phase2/<family>_signals.json. Prints one line per family: the signals\n"
    "written, or the error that stopped it. By default the families run in\n"
    "parallel and a failing family does not stop the others (exit status 1).",
    run_baseline_command,
};

}  // namespace velquor::cli
