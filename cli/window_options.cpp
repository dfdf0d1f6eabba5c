// The window options shared by run, advise and verify.

#include "cli/window_options.h"

namespace velquor::cli {

std::vector<OptionSpec> window_options() {
  return {{"--since", 0, "TIME",
           "only the events since TIME: ISO-8601, or 30d, 12w, 6m, 1y back from the newest event"},
          {"--last", 0, "N", "only the newest N commits and the events they triggered"},
          {"--new", 0, "", "only the events after the period of the current advisory"}};
}

std::optional<window::Request> window_request(const Args& args) {
  try {
    return window::request_from_options(args.value("--since"), args.value("--last"), args.has("--new"));
  } catch (const window::OptionError& error) {
    throw UsageError(error.what());
  }
}

std::optional<window::Window> resolve_window(const fs::path& dir, const std::optional<window::Request>& request,
                                             const std::optional<fs::path>& previous_advisory,
                                             const std::set<fs::path>& skipped) {
  if (!request) return std::nullopt;
  return window::resolve_in(dir, *request, previous_advisory, skipped);
}

}  // namespace velquor::cli
