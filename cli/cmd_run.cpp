// velquor run DIR: the whole pipeline, stage 2 to stage 5, in one go.

#include <algorithm>
#include <iostream>

#include "cli/commands.h"
#include "cli/pipeline.h"
#include "cli/stages.h"
#include "cli/store_choice.h"
#include "shared/json.h"

namespace velquor::cli {
namespace {

std::string fail_on_level(const Args& args) {
  auto level = args.value("--fail-on");
  if (!level) return "";
  std::string upper = *level;
  std::transform(upper.begin(), upper.end(), upper.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  const auto& labels = risk_labels();
  if (std::find(labels.begin(), labels.end(), upper) == labels.end())
    throw UsageError("--fail-on takes NOTABLE, ELEVATED, HIGH or CRITICAL, got '" + *level + "'");
  return upper;
}

// Stage 5's answer when stage 2 had nothing for it, in the shape stage 5
// itself gives when it finds no signals.
Json no_signals_result() { return Json{{"status", "no_signals"}, {"advisory", nullptr}}; }

void print_result(const fs::path& dir, const PipelineOutcome& outcome, const Json& result,
                  bool json) {
  if (json)
    std::cout << dump_pretty(result) << "\n";
  else if (outcome.no_signals)
    std::cout << no_signals_text(dir) << "\n";
  else
    std::cout << advise_text(result) << "\n";
}

int exit_status(const PipelineOutcome& outcome, const Json& result, const std::string& gate) {
  if (outcome.failed_families > 0) {
    std::cerr << "velquor: error: stage 2 failed for " << outcome.failed_families
              << (outcome.failed_families == 1 ? " family" : " families")
              << " (see above); their signals are missing from this advisory\n";
    return kExitRuntimeError;
  }
  if (!gate.empty() && advisory_reaches(result, gate)) {
    std::cerr << "velquor: the advisory holds a change at or above " << gate << "\n";
    return kExitGate;
  }
  return kExitOk;
}

int run_run_command(const Args& args) {
  PipelineSettings settings;
  settings.baseline.workers = worker_setting(args);
  settings.verbosity = args.count("--verbose");
  settings.store = chosen_store(args);
  const std::string scope = args.value("--scope").value_or(kDefaultScope);
  const std::string gate = fail_on_level(args);
  const bool json = args.has("--json");
  const fs::path dir = data_dir_with_events(args.positional(0));

  Json result = no_signals_result();
  PipelineOutcome outcome;
  {
    StdoutToStderr quiet(json);  // engines' console lines must not spoil the JSON
    outcome = run_stages_2_to_4(dir, settings);
    if (!outcome.no_signals) {
      StageProgress stage(5, "advise");
      result = run_advise(dir, scope, settings.store);
      stage.done(advise_progress(outcome, result));
    }
  }
  print_result(dir, outcome, result, json);
  return exit_status(outcome, result, gate);
}

std::vector<OptionSpec> run_options() {
  std::vector<OptionSpec> options = {
      {"--scope", 0, "S", "name of the repository scope (default velquor-engine)"}};
  for (auto& option : worker_options()) options.push_back(option);
  options.push_back({"--json", 0, "", "print the advisory run result as JSON, nothing else"});
  options.push_back({"--fail-on", 0, "LEVEL",
                     "exit 3 when a change reaches LEVEL (NOTABLE, ELEVATED, HIGH, CRITICAL)"});
  options.push_back({"--verbose", 'v', "", "show stage 4's log lines on stderr (-vv: debug)"});
  options.push_back(store_option());
  return options;
}

}  // namespace

const Command kRunCommand = {
    "run",
    {"DIR"},
    run_options(),
    "run the whole pipeline on DIR and print the advisory",
    "Runs every stage on the data directory DIR, in order: baselines and\n"
    "deviation signals (stage 2, families in parallel), explanations (stage 3),\n"
    "pattern discovery and the knowledge base (stage 4), and the advisory\n"
    "(stage 5). Shows one progress line per stage on stderr and prints the\n"
    "advisory's human summary on stdout. A family that fails in stage 2 is\n"
    "reported, the other stages still run, and the exit status is 1.\n"
    "\n"
    "For CI jobs: --json prints the advisory run result as JSON on stdout, and\n"
    "--fail-on LEVEL exits 3 when the advisory holds an unaccepted change at or\n"
    "above that risk level.",
    run_run_command,
};

}  // namespace velquor::cli
