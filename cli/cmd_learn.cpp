// velquor learn DIR: stage 4, pattern discovery and the knowledge store.

#include <iostream>

#include "cli/commands.h"
#include "cli/run_checks.h"
#include "cli/stages.h"
#include "cli/writer.h"

namespace velquor::cli {
namespace {

int run_learn_command(const Args& args) {
  const Json params = learn_params(args);
  const fs::path dir = existing_data_dir(args.positional(0));
  DirectoryWriter writer(args, dir);
  warn_if_empty_knowledge_base(dir);
  writer.stage(4);
  set_learn_verbosity(args.count("--verbose"));
  const Json summary = run_learn(dir, params);
  std::cout << learn_lines(summary);
  for (const auto& detail : summary.value("details", Json::array())) {
    if (detail.value("action", "") == "discovered")
      std::cout << "  new: " << detail.value("description_statistical", "") << "\n";
  }
  return kExitOk;
}

}  // namespace

const Command kLearnCommand = {
    "learn",
    {"DIR"},
    {{"--param", 0, "KEY=VALUE", "override a tuning parameter (repeatable)", true},
     {"--verbose", 'v', "", "show the stage's log lines on stderr (-vv: debug lines too)"},
     wait_option()},
    "stage 4: discover patterns and update the knowledge base",
    "Reads the signals and explanations of DIR, finds metrics of different\n"
    "families that deviate together (same commit or same day) and git metrics\n"
    "that shift when another family is active, and records them in\n"
    "DIR/phase4/knowledge.db. Patterns seen often enough become knowledge;\n"
    "patterns not seen for a long time expire. Parameters: min_support,\n"
    "min_correlation, min_lift, min_effect_size, promotion_threshold,\n"
    "decay_window, semantic_multiplier, direction_threshold,\n"
    "confidence_full_at, temporal_window_hours.",
    run_learn_command,
};

}  // namespace velquor::cli
