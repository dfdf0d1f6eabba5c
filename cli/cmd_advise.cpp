// velquor advise DIR: stage 5, the advisory.

#include <unistd.h>

#include <iostream>

#include "cli/commands.h"
#include "cli/stages.h"
#include "cli/store_choice.h"
#include "cli/terminal.h"
#include "cli/window_options.h"
#include "cli/writer.h"

namespace velquor::cli {
namespace {

int run_advise_command(const Args& args) {
  const std::optional<window::Request> request = window_request(args);
  const fs::path dir = existing_data_dir(args.positional(0));
  DirectoryWriter writer(args, dir);
  writer.stage(5);
  const std::optional<window::Window> window = resolve_window(dir, request);
  const Json result = run_advise(dir, args.value("--scope").value_or(kDefaultScope), window, {},
                                 chosen_store(args));
  std::cout << coloured_risk_levels(advise_text(result), colour_allowed(STDOUT_FILENO))
            << "\n";
  const auto files = written_files(result);
  if (!files.empty()) {
    std::cout << "\nwrote:\n";
    for (const auto& file : files) std::cout << "  " << file << "\n";
  }
  return kExitOk;
}

std::vector<OptionSpec> advise_options() {
  std::vector<OptionSpec> options = {{"--scope", 0, "S", "name of the repository scope (default velquor-engine)"}};
  for (auto& option : window_options()) options.push_back(option);
  options.push_back(wait_option());
  options.push_back(store_option());
  return options;
}

}  // namespace

const Command kAdviseCommand = {
    "advise",
    {"DIR"},
    advise_options(),
    "stage 5: write the advisory and print its summary",
    "Keeps the significant deviations of DIR, sets aside the accepted ones,\n"
    "attaches matching patterns and the evidence behind them, and writes\n"
    "DIR/phase5/advisory.json, evidence.json, summary.txt, chat.txt and\n"
    "investigation_prompt.txt. Prints the human summary and the files written.\n"
    "With --since, --last or --new only the signals of the window's events\n"
    "are reported, and the texts say which window they cover.",
    run_advise_command,
};

}  // namespace velquor::cli
