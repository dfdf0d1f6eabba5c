// velquor run DIR: the whole pipeline, stage 2 to stage 5, in one go.

#include <unistd.h>

#include <future>
#include <iostream>

#include "cli/commands.h"
#include "cli/event_notes.h"
#include "cli/pipeline.h"
#include "cli/stages.h"
#include "cli/store_choice.h"
#include "cli/terminal.h"
#include "cli/window_options.h"
#include "cli/writer.h"
#include "shared/json.h"
#include "velquor/shifts/shifts.h"

namespace velquor::cli {
namespace {

// Stage 5's answer when stage 2 had nothing for it, in the shape stage 5
// itself gives when it finds no signals.
Json no_signals_result() { return Json{{"status", "no_signals"}, {"advisory", nullptr}}; }

constexpr size_t kShownShifts = 10;

// The sustained shifts that began inside the window, newest first, as a
// section of the printed summary ("" when none did). The advisory's files
// do not hold it.
std::string shifts_section(std::vector<shifts::Shift> found, const window::Window& window) {
  std::erase_if(found, [&](const shifts::Shift& shift) { return !window.contains(shift.start_event); });
  if (found.empty()) return "";
  const std::vector<std::string> lines = shifts::shift_lines(found, kShownShifts);
  std::string section = "\n\nSUSTAINED SHIFTS (" + std::to_string(lines.size()) + ")\n";
  for (const std::string& line : lines) section += "\n  " + line;
  return section;
}

// `found_shifts` gives the shifts of the whole history when a window is given.
void print_result(const fs::path& dir, const PipelineOutcome& outcome, const Json& result,
                  const std::optional<window::Window>& window,
                  std::future<std::vector<shifts::Shift>>& found_shifts, bool json) {
  if (json)
    std::cout << dump_pretty(result) << "\n";
  else if (outcome.no_signals)
    std::cout << no_signals_text(dir) << "\n";
  else
    std::cout << coloured_risk_levels(advise_text(result), colour_allowed(STDOUT_FILENO))
              << (window ? shifts_section(found_shifts.get(), *window) : "") << "\n";
}

int exit_status(const Json& result, const std::string& gate) {
  if (!gate.empty() && advisory_reaches(result, gate)) {
    std::cerr << "velquor: the advisory holds a change at or above " << gate << "\n";
    return kExitGate;
  }
  return kExitOk;
}

int run_run_command(const Args& args) {
  PipelineSettings settings;
  settings.baseline.workers = worker_setting(args);
  settings.baseline.skip_bad_events = args.has("--skip-bad-events");
  settings.verbosity = args.count("--verbose");
  settings.store = chosen_store(args);
  set_quiet(args.has("--quiet"));
  const std::string scope = args.value("--scope").value_or(kDefaultScope);
  const std::string gate = risk_level_option(args, "--fail-on");
  const bool json = args.has("--json");
  const std::optional<window::Request> request = window_request(args);
  const fs::path dir = data_dir_with_events(args.positional(0));
  DirectoryWriter writer(args, dir);
  settings.writer = &writer;
  EventHandoff handoff;  // every event file is read once, by stage 2
  if (request) handoff.keep_window_stamps();
  settings.handoff = &handoff;

  Json result = no_signals_result();
  PipelineOutcome outcome;
  std::optional<window::Window> window;
  std::optional<AdviceAhead> ahead;
  std::future<std::vector<shifts::Shift>> found_shifts;
  // Over the events stage 2 read: those it skipped are in no window. The
  // shifts a window's summary ends with come from stage 2's signal files:
  // they are found while stages 4 and 5 work.
  settings.before_learning = [&](const PipelineOutcome& so_far) {
    ahead.emplace(dir, so_far.events.skipped, settings.store, &handoff, request);
    if (request && !json)
      found_shifts = std::async(std::launch::async, [&dir] { return shifts::find_shifts(dir); });
  };
  {
    StdoutToStderr quiet(true);  // stdout carries the advisory alone
    outcome = run_stages_2_to_4(dir, settings);
    if (!outcome.no_signals) {
      writer.stage(5);
      StageProgress stage(5, "advise", "advising on " + std::to_string(outcome.signals) + " signals...");
      result = ahead->finish(scope);
      window = ahead->window();
      stage.done(advise_progress(outcome, result));
    }
  }
  writer.all_stages_done();
  print_result(dir, outcome, result, window, found_shifts, json);
  return exit_status(result, gate);
}

std::vector<OptionSpec> run_options() {
  std::vector<OptionSpec> options = {
      {"--scope", 0, "S", "name of the repository scope (default velquor-engine)"}};
  for (auto& option : worker_options()) options.push_back(option);
  options.push_back(skip_bad_events_option());
  for (auto& option : window_options()) options.push_back(option);
  options.push_back({"--json", 0, "", "print the advisory run result as JSON, nothing else"});
  options.push_back({"--fail-on", 0, "LEVEL",
                     "exit 3 when a change reaches LEVEL (NOTABLE, ELEVATED, HIGH, CRITICAL)"});
  options.push_back({"--verbose", 'v', "", "show stage 4's log lines on stderr (-vv: debug)"});
  options.push_back(store_option());
  options.push_back({"--quiet", 'q', "", "no progress lines on stderr, only the result and errors"});
  options.push_back(wait_option());
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
    "advisory's human summary on stdout (risk levels coloured on a terminal\n"
    "unless NO_COLOR is set). Before anything is written, the output folders\n"
    "must be writable and DIR/accepted_deviations.json readable; a family that\n"
    "fails in stage 2 is reported and the run stops there, before stage 4 learns\n"
    "anything from it (exit status 1). A second command writing DIR at the same\n"
    "time is refused unless --wait lets it wait for the first.\n"
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
