// velquor verify DIR: did the fix work? Compares a fresh advisory with an
// earlier one.

#include <iostream>

#include "cli/commands.h"
#include "cli/pipeline.h"
#include "cli/stages.h"
#include "cli/window_options.h"
#include "cli/writer.h"
#include "shared/file_io.h"
#include "shared/errors.h"
#include "velquor/esperlin/esperlin.h"

namespace velquor::cli {
namespace {

// The window the earlier advisory was made with, so that the fresh one
// covers the same kind of window; nullopt when it covered the whole history.
std::optional<window::Request> previous_request(const fs::path& previous) {
  if (!fs::exists(previous)) return std::nullopt;
  return window::request_of_advisory(read_json_file(previous), previous.string());
}

int run_verify_command(const Args& args) {
  std::optional<window::Request> request = window_request(args);
  const fs::path dir = existing_data_dir(args.positional(0));
  const std::string previous =
      args.value("--previous").value_or((dir / "phase5" / "advisory.json").string());
  if (!request) request = previous_request(previous);
  DirectoryWriter writer(args, dir);
  if (args.has("--rerun")) {
    PipelineSettings settings;
    settings.writer = &writer;
    StdoutToStderr engine_lines(true);  // stdout carries the report alone
    run_stages_2_to_4(dir, settings);
  }
  std::optional<window::Window> window = resolve_window(dir, request, fs::path(previous));
  if (window && window->empty()) {
    std::cout << window->empty_notice() << ": nothing to verify.\n";
    return kExitOk;
  }
  writer.stage(5);
  esperlin::Esperlin engine(dir);
  engine.window = std::move(window);
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

std::vector<OptionSpec> verify_options() {
  std::vector<OptionSpec> options = {
      {"--previous", 0, "FILE", "the earlier advisory (default DIR/phase5/advisory.json)"},
      {"--scope", 0, "S", "name of the repository scope (default velquor-engine)"},
      {"--rerun", 0, "", "first rerun stages 2 to 4 on the current events"}};
  for (auto& option : window_options()) options.push_back(option);
  options.push_back(wait_option());
  return options;
}

}  // namespace

const Command kVerifyCommand = {
    "verify",
    {"DIR"},
    verify_options(),
    "check a fix: compare a fresh advisory with an earlier one",
    "Runs stage 5 again and compares its advisory with an earlier advisory.json:\n"
    "which flagged changes are resolved, which persist (and whether they are\n"
    "improving), which are new and which are regressions. The earlier advisory\n"
    "is read before the new one is written, so the default, the current\n"
    "DIR/phase5/advisory.json, compares the last advisory with the new one.\n"
    "Writes DIR/phase5/verification.json and verification.txt and prints the\n"
    "report. After new events arrived, --rerun brings the signals, explanations\n"
    "and patterns up to date first.\n"
    "\n"
    "An earlier advisory made for a window (--since, --last, --new) is compared\n"
    "with a fresh one for the same kind of window, unless a window option says\n"
    "otherwise; --new then means the events after the earlier advisory's period.",
    run_verify_command,
};

}  // namespace velquor::cli
