// velquor advise DIR: stage 5, the advisory.

#include <iostream>

#include "cli/commands.h"
#include "cli/stages.h"
#include "cli/store_choice.h"

namespace velquor::cli {
namespace {

int run_advise_command(const Args& args) {
  const fs::path dir = existing_data_dir(args.positional(0));
  const Json result =
      run_advise(dir, args.value("--scope").value_or(kDefaultScope), chosen_store(args));
  std::cout << advise_text(result) << "\n";
  const auto files = written_files(result);
  if (!files.empty()) {
    std::cout << "\nwrote:\n";
    for (const auto& file : files) std::cout << "  " << file << "\n";
  }
  return kExitOk;
}

}  // namespace

const Command kAdviseCommand = {
    "advise",
    {"DIR"},
    {{"--scope", 0, "S", "name of the repository scope (default velquor-engine)"},
     store_option()},
    "stage 5: write the advisory and print its summary",
    "Keeps the significant deviations of DIR, sets aside the accepted ones,\n"
    "attaches matching patterns and the evidence behind them, and writes\n"
    "DIR/phase5/advisory.json, evidence.json, summary.txt, chat.txt and\n"
    "investigation_prompt.txt. Prints the human summary and the files written.",
    run_advise_command,
};

}  // namespace velquor::cli
