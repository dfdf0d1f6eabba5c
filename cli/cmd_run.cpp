// velquor run DIR: the whole pipeline, stage 2 to stage 5, in one go.

#include <algorithm>
#include <iostream>

#include "cli/commands.h"
#include "cli/pipeline.h"
#include "cli/stages.h"
#include "cli/window_options.h"
#include "shared/json.h"
#include "velquor/shifts/shifts.h"

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

constexpr size_t kShownShifts = 10;

// The sustained shifts that began inside the window, newest first, as a
// section of the printed summary ("" when none did). The advisory's files
// do not hold it.
std::string shifts_section(const fs::path& dir, const window::Window& window) {
  std::vector<shifts::Shift> inside;
  for (shifts::Shift& shift : shifts::find_shifts(dir))
    if (window.contains(shift.start_event)) inside.push_back(std::move(shift));
  if (inside.empty()) return "";
  const std::vector<std::string> lines = shifts::shift_lines(inside, kShownShifts);
  std::string section = "\n\nSUSTAINED SHIFTS (" + std::to_string(lines.size()) + ")\n";
  for (const std::string& line : lines) section += "\n  " + line;
  return section;
}

void print_result(const fs::path& dir, const PipelineOutcome& outcome, const Json& result,
                  const std::optional<window::Window>& window, bool json) {
  if (json)
    std::cout << dump_pretty(result) << "\n";
  else if (outcome.no_signals)
    std::cout << no_signals_text(dir) << "\n";
  else
    std::cout << advise_text(result) << (window ? shifts_section(dir, *window) : "") << "\n";
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
  const std::string scope = args.value("--scope").value_or(kDefaultScope);
  const std::string gate = fail_on_level(args);
  const bool json = args.has("--json");
  const std::optional<window::Request> request = window_request(args);
  const fs::path dir = data_dir_with_events(args.positional(0));
  // Before the stages: an unusable earlier advisory stops --new at once.
  const std::optional<window::Window> window = resolve_window(dir, request);

  Json result = no_signals_result();
  PipelineOutcome outcome;
  {
    StdoutToStderr quiet(json);  // engines' console lines must not spoil the JSON
    outcome = run_stages_2_to_4(dir, settings);
    if (!outcome.no_signals) {
      StageProgress stage(5, "advise");
      result = run_advise(dir, scope, window);
      stage.done(advise_progress(outcome, result));
    }
  }
  print_result(dir, outcome, result, window, json);
  return exit_status(outcome, result, gate);
}

std::vector<OptionSpec> run_options() {
  std::vector<OptionSpec> options = {
      {"--scope", 0, "S", "name of the repository scope (default velquor-engine)"}};
  for (auto& option : worker_options()) options.push_back(option);
  for (auto& option : window_options()) options.push_back(option);
  options.push_back({"--json", 0, "", "print the advisory run result as JSON, nothing else"});
  options.push_back({"--fail-on", 0, "LEVEL",
                     "exit 3 when a change reaches LEVEL (NOTABLE, ELEVATED, HIGH, CRITICAL)"});
  options.push_back({"--verbose", 'v', "", "show stage 4's log lines on stderr (-vv: debug)"});
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
    "above that risk level.\n"
    "\n"
    "A window (--since, --last or --new) limits the advisory to recent events:\n"
    "its changes, evidence and period come from the window alone, while the\n"
    "baselines and patterns still learn from the whole history. The printed\n"
    "summary then ends with the sustained shifts that began inside the window\n"
    "(at most 10, newest first; see 'velquor help shifts').",
    run_run_command,
};

}  // namespace velquor::cli
