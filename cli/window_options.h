// The window options of the commands that report on part of a history
// (run, advise, verify): --since TIME, --last N, --new.
#pragma once

#include <optional>
#include <vector>

#include "cli/cli.h"
#include "velquor/window/window.h"

namespace velquor::cli {

std::vector<OptionSpec> window_options();

// The window asked for, nullopt when none; UsageError naming the option when
// the options cannot be used.
std::optional<window::Request> window_request(const Args& args);

// The window of `request` over DIR's events but `skipped` (the --new
// boundary from DIR/phase5/advisory.json unless `previous_advisory` is given).
std::optional<window::Window> resolve_window(const fs::path& dir, const std::optional<window::Request>& request,
                                             const std::optional<fs::path>& previous_advisory = std::nullopt,
                                             const std::set<fs::path>& skipped = {});

}  // namespace velquor::cli
