// The five pipeline stages as the command runs them: construct the engine on
// the data directory, call its entry operation, and describe what happened.
// The per-stage commands and `run` share these, so a stage behaves the same
// whichever way it is started.
#pragma once

#include <cstdint>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "cli/event_handoff.h"
#include "shared/json.h"
#include "velquor/brevalt/brevalt.h"
#include "velquor/esperlin/advisory_inputs.h"
#include "velquor/window/window.h"

namespace velquor::cli {

// ---- stage 2 ----------------------------------------------------------------

struct BaselineSettings {
  int64_t window_size = 50;
  int64_t min_baseline = 5;
  int workers = 4;  // 0 = the sequential driver
  bool skip_bad_events = false;  // leave unreadable event files out
};

// The --window-size, --min-baseline, --workers and --sequential options.
std::vector<OptionSpec> baseline_options();
BaselineSettings baseline_settings(const Args& args);
// Only --workers / --sequential (the options `run` shares).
std::vector<OptionSpec> worker_options();
int worker_setting(const Args& args);

struct BaselineOutcome {
  std::vector<brevalt::FamilyOutcome> families;  // in driver table order
  size_t event_files = 0;
  size_t signals = 0;
  size_t files_written = 0;
  size_t failed = 0;
  brevalt::EventReport events;  // files left out, events of no family
};

// Runs stage 2. The parallel driver reports a failing family and goes on;
// the sequential one stops at the first failure, which propagates after
// `outcome` received the families already run. A `handoff` receives every
// event the run parses.
void run_baseline(const fs::path& dir, const BaselineSettings& settings,
                  BaselineOutcome& outcome, EventHandoff* handoff = nullptr);

// One line per family: "  ci              812 signals" / "failed: ...".
std::string family_lines(const BaselineOutcome& outcome);

// ---- stage 3 ----------------------------------------------------------------

// The --threads option of stage 3: 0 (one per processor) when not given.
size_t explain_threads(const Args& args);

// Runs stage 3 on `threads` threads (0: one per processor); the number of
// explanations written.
size_t run_explain(const fs::path& dir, size_t threads = 0);

// ---- stage 4 ----------------------------------------------------------------

// The --param options as the engine's parameter map (null when none).
// UsageError for an option that is not KEY=VALUE.
Json learn_params(const Args& args);
// -v shows stage 4's information lines, -vv its debug lines, on stderr.
void set_learn_verbosity(int verbosity);
// Runs stage 4 and closes it; its summary. `store`, when given, is the
// store learned into instead of DIR/phase4/knowledge.db (see store_choice.h).
// The events come from `handoff` when it holds all of them.
Json run_learn(const fs::path& dir, const Json& params,
               const std::optional<std::string>& store = std::nullopt,
               EventHandoff* handoff = nullptr);
// "patterns: 3 discovered, ..." lines of a stage-4 summary.
std::string learn_lines(const Json& summary);

// ---- stage 5 ----------------------------------------------------------------

inline constexpr const char* kDefaultScope = "velquor-engine";

// Runs stage 5, on `window` when given, without the event files stage 2
// skipped; the run result. `store` and `handoff` as for run_learn (a
// handoff is not used when stage 2 skipped files). The commands that call
// this (and AdviceAhead) end after it, so what the run read is left for the
// process's exit to reclaim (see shared/left_for_exit.h).
Json run_advise(const fs::path& dir, const std::string& scope,
                std::optional<window::Window> window = std::nullopt,
                const std::vector<std::pair<fs::path, std::string>>& skipped_events = {},
                const std::optional<std::string>& store = std::nullopt,
                EventHandoff* handoff = nullptr);

// Stage 5 as `run` starts it before stage 4: what the advisory reads of the
// signals, explanations and events does not depend on what stage 4 learns,
// so it is read on a second thread while stage 4 works, and the advisory is
// made once stage 4 is done. A run that stops before stage 5 leaves no trace
// of it (not even the phase5 folder, if there was none).
class AdviceAhead {
 public:
  // Starts reading, as run_advise would with these arguments, on the window
  // of `request` (resolved over the events but those skipped, also ahead:
  // the events and the earlier advisory it is resolved from are as they will
  // be after stage 4).
  AdviceAhead(const fs::path& dir, const std::vector<std::pair<fs::path, std::string>>& skipped_events,
              const std::optional<std::string>& store, EventHandoff* handoff,
              const std::optional<window::Request>& request = std::nullopt);
  ~AdviceAhead();
  AdviceAhead(const AdviceAhead&) = delete;
  AdviceAhead& operator=(const AdviceAhead&) = delete;

  // The run result, as run_advise gives it; the reading's errors surface
  // here, where run_advise raises them.
  Json finish(const std::string& scope);
  // The window the result covers; set once finish() has returned.
  const std::optional<window::Window>& window() const;

 private:
  fs::path output_dir_;
  bool output_dir_existed_;
  bool finished_ = false;
  std::unique_ptr<esperlin::Esperlin> engine_;
  std::future<esperlin::AdvisoryInputs> inputs_;  // destroyed (joined) first
};

// The files a stage-5 result says were written, as paths.
std::vector<std::string> written_files(const Json& result);
// The text a person reads for a stage-5 result: the human summary, or a
// sentence saying why there is none.
std::string advise_text(const Json& result);

// Risk labels from lowest to highest, as --fail-on takes them.
const std::vector<std::string>& risk_labels();
// The risk label given to `option` ("--fail-on high" -> "HIGH"), "" when
// the option is absent; UsageError for a word that is no label.
std::string risk_level_option(const Args& args, const std::string& option);
// Whether the advisory of `result` holds a kept change whose risk label is
// `label` or higher.
bool advisory_reaches(const Json& result, const std::string& label);

// ---- reporting --------------------------------------------------------------

// Prints "stage N NAME: ..." on stderr; on a terminal a "running" line is
// shown while the stage works and replaced when it ends. Nothing under
// --quiet.
class StageProgress {
 public:
  // `running` is the live line's text while the stage works.
  StageProgress(int stage, std::string name, std::string running = "running...");
  void done(const std::string& what);

 private:
  std::string prefix_;
  Stopwatch watch_;
  bool live_;
};

// While alive, whatever is written to stdout goes to stderr, so that
// `run --json` keeps stdout for the JSON alone even when an engine prints.
class StdoutToStderr {
 public:
  explicit StdoutToStderr(bool active);
  ~StdoutToStderr();
  StdoutToStderr(const StdoutToStderr&) = delete;
  StdoutToStderr& operator=(const StdoutToStderr&) = delete;

 private:
  int saved_ = -1;
};

}  // namespace velquor::cli
