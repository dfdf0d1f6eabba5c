// velquor explain DIR: stage 3, one plain-language explanation per signal.

#include <iostream>

#include "cli/commands.h"
#include "cli/stages.h"
#include "cli/writer.h"

namespace velquor::cli {
namespace {

int run_explain_command(const Args& args) {
  const fs::path dir = existing_data_dir(args.positional(0));
  DirectoryWriter writer(args, dir);
  writer.stage(3);
  const size_t written = run_explain(dir, explain_threads(args));
  std::cout << "wrote " << written << " explanations to "
            << (dir / "phase3" / "explanations.json").string() << "\n";
  return kExitOk;
}

}  // namespace

const Command kExplainCommand = {
    "explain",
    {"DIR"},
    {{"--threads", 0, "N", "explain large signal files on N threads (default: one per processor)"},
     wait_option()},
    "stage 3: explain every signal in plain language",
    "Reads the signal files of DIR/phase2 and writes one plain-language\n"
    "explanation per signal into DIR/phase3/explanations.json.",
    run_explain_command,
};

}  // namespace velquor::cli
