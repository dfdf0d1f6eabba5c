// velquor fleet DIR...: the pipelines of many repositories side by side.

#include <stdlib.h>
#include <unistd.h>

#include <iostream>
#include <map>
#include <optional>
#include <thread>

#include "cli/commands.h"
#include "cli/store_choice.h"
#include "cli/window_options.h"
#include "shared/errors.h"
#include "shared/subprocess.h"
#include "velquor/fleet/fleet.h"

namespace velquor::cli {
namespace {

// This very program, so that each repository runs in a process of its own.
std::string own_executable() {
  std::error_code error;
  fs::path self = fs::read_symlink("/proc/self/exe", error);
  if (error) throw IoError("/proc/self/exe: cannot find the velquor program: " + error.message());
  return self.string();
}

// Each repository's scope, refusing two directories that would share one.
std::vector<std::string> scopes_of(const std::vector<std::string>& dirs) {
  std::vector<std::string> scopes;
  std::map<std::string, std::string> owner;
  for (const auto& dir : dirs) {
    scopes.push_back(repository_scope(dir));
    auto [it, fresh] = owner.emplace(scopes.back(), dir);
    if (!fresh)
      throw ValueError(dir + ": its scope '" + it->first + "' is also that of " + it->second +
                       "; give one of them a scope file");
  }
  return scopes;
}

// The window options given, as the children's `run` takes them.
std::vector<std::string> window_arguments(const Args& args) {
  window_request(args);  // a usage error here, not once per repository
  std::vector<std::string> words;
  for (const char* option : {"--since", "--last"})
    if (auto value = args.value(option)) words.insert(words.end(), {option, *value});
  if (args.has("--new")) words.push_back("--new");
  return words;
}

int run_fleet_command(const Args& args) {
  const size_t processors = std::max(1u, std::thread::hardware_concurrency());
  const size_t jobs = static_cast<size_t>(args.integer("--jobs", processors, 1));
  const std::vector<std::string>& dirs = args.positionals();
  const std::vector<std::string> scopes = scopes_of(dirs);
  const std::vector<std::string> window = window_arguments(args);
  // The children find the store in their environment, so that a password in
  // it never shows in a process list.
  if (const std::optional<std::string> store = chosen_store(args))
    ::setenv("VELQUOR_STORE", store->c_str(), 1);

  const std::string self = own_executable();
  std::vector<std::vector<std::string>> commands;
  for (size_t i = 0; i < dirs.size(); ++i) {
    commands.push_back({self, "run", dirs[i], "--scope", scopes[i], "--json"});
    commands.back().insert(commands.back().end(), window.begin(), window.end());
  }

  // Lines come out in the order of the directories, each as soon as it and
  // all before it are done.
  std::vector<std::optional<std::string>> lines(dirs.size());
  size_t printed = 0;
  const auto results = fleet::run_all(
      commands, jobs,
      [](const std::vector<std::string>& argv) {
        ProcessOutput output = run_program(argv);
        return fleet::ChildResult{output.exit_status, output.out, output.err};
      },
      [&](size_t i, const fleet::ChildResult& result) {
        lines[i] = fleet::repository_line(scopes[i], result);
        for (; printed < lines.size() && lines[printed]; ++printed)
          std::cout << *lines[printed] << "\n" << std::flush;
      });

  size_t failed = 0;
  for (const auto& result : results) failed += result.exit_status != 0;
  if (failed == 0) return kExitOk;
  std::cerr << "velquor: error: " << failed << " of " << results.size()
            << " repositories failed\n";
  return kExitRuntimeError;
}

std::vector<OptionSpec> fleet_options() {
  std::vector<OptionSpec> options = {
      {"--jobs", 0, "N", "run N repositories at a time (default: one per processor)"},
      store_option()};
  for (auto& option : window_options()) options.push_back(option);
  return options;
}

}  // namespace

const Command kFleetCommand = {
    "fleet",
    {"DIR..."},
    fleet_options(),
    "run the pipelines of many repositories side by side",
    "Runs the whole pipeline ('velquor run') on each data directory DIR, N at a\n"
    "time, each in a process of its own and under its own scope: the first\n"
    "line of DIR/scope, else the directory's name. Prints one line per\n"
    "repository, in the order given: its changes by risk level, or why it\n"
    "failed. A failing repository does not stop the others; the exit status is\n"
    "then 1.\n"
    "\n"
    "With --store URL (a postgresql:// URL or a SQLite file) all of them learn\n"
    "into one shared store, where patterns found by several repositories are\n"
    "counted per repository ('velquor patterns --store URL --scope community').\n"
    "--since, --last and --new report on that window of each history, as\n"
    "'velquor run' does.",
    run_fleet_command,
};

}  // namespace velquor::cli
