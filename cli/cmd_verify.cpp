// velquor verify DIR: did the fix work? Compares a fresh advisory with an
// earlier one.

#include <iostream>

#include "cli/commands.h"
#include "cli/pipeline.h"
#include "cli/stages.h"
#include "cli/store_choice.h"
#include "shared/errors.h"
#include "velquor/esperlin/esperlin.h"

namespace velquor::cli {
namespace {

int run_verify_command(const Args& args) {
  const fs::path dir = existing_data_dir(args.positional(0));
  const std::string previous =
      args.value("--previous").value_or((dir / "phase5" / "advisory.json").string());
  PipelineSettings settings;
  settings.store = chosen_store(args);
  if (args.has("--rerun")) run_stages_2_to_4(dir, settings);
  esperlin::Esperlin engine(dir);
  if (settings.store)
    engine.open_store = [&] { return open_repository_store(*settings.store, dir); };
  const Json result = engine.verify(args.value("--scope").value_or(kDefaultScope), previous);
  const std::string status = result.value("status", "");
  if (status == "no_previous_advisory") throw FileNotFound(result.value("message", previous));
  if (status != "verified") {
    std::cout << result.value("message", "Nothing to verify.") << "\n";
    return kExitOk;
  }
  std::cout << result.value("verification_text", "") << "\n";
  return kExitOk;
}

}  // namespace

const Command kVerifyCommand = {
    "verify",
    {"DIR"},
    {{"--previous", 0, "FILE", "the earlier advisory (default DIR/phase5/advisory.json)"},
     {"--scope", 0, "S", "name of the repository scope (default velquor-engine)"},
     {"--rerun", 0, "", "first rerun stages 2 to 4 on the current events"},
     store_option()},
    "check a fix: compare a fresh advisory with an earlier one",
    "Runs stage 5 again and compares its advisory with an earlier advisory.json:\n"
    "which flagged changes are resolved, which persist (and whether they are\n"
    "improving), which are new and which are regressions. The earlier advisory\n"
    "is read before the new one is written, so the default, the current\n"
    "DIR/phase5/advisory.json, compares the last advisory with the new one.\n"
    "Writes DIR/phase5/verification.json and verification.txt and prints the\n"
    "report. After new events arrived, --rerun brings the signals, explanations\n"
    "and patterns up to date first.",
    run_verify_command,
};

}  // namespace velquor::cli
