// The velquor command: dispatch, help, and the one place where failures
// become messages and exit codes.
//
// Every failure ends as one line on stderr: usage errors (exit 2) point at
// the command's help, runtime errors (exit 1) carry the engine's message,
// which names the file and member involved. Nothing escapes as a crash.

#include <cstring>
#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "shared/errors.h"

namespace velquor::cli {

const char* const kAboutText =
    "Watches the development history of a project (commits, CI, tests, coverage,\n"
    "dependencies, API schemas, releases, configuration, errors, security scans)\n"
    "and reports when it drifts away from its own normal.";
const char* const kExitStatusText =
    "Exit status: 0 success, 1 runtime error, 2 usage error, 3 --fail-on gate tripped.";

namespace {

// In the order `velquor --help` lists them: the whole pipeline first, then
// its stages, then the maintainers' tools and the data sources.
const Command* const kCommands[] = {
    &kRunCommand,      &kBaselineCommand, &kExplainCommand,  &kLearnCommand,
    &kAdviseCommand,   &kVerifyCommand,   &kReportCommand,   &kAcceptCommand,
    &kAcceptedCommand, &kPatternsCommand, &kShiftsCommand,   &kNotifyCommand,
    &kCollectCommand,
    &kDemoCommand,
};

const Command* find_command(const std::string& name) {
  for (const Command* command : kCommands)
    if (command->name == name) return command;
  return nullptr;
}

void print_overview(std::ostream& out) {
  out << "usage: velquor COMMAND [ARGS...]\n\n" << kAboutText << "\n\nCommands:\n";
  for (const Command* command : kCommands) {
    out << "  " << command->name << std::string(12 - command->name.size(), ' ')
        << command->summary << "\n";
  }
  out << "\n"
         "Run 'velquor help COMMAND' or 'velquor COMMAND --help' for a command's options.\n"
      << kExitStatusText << "\n";
}

int usage_error(const std::string& where, const std::string& message) {
  std::cerr << "velquor" << where << ": " << message << " (see 'velquor help"
            << (where.empty() ? std::string() : where) << "')\n";
  return kExitUsageError;
}

int help_command(const std::vector<std::string>& words) {
  if (words.empty()) {
    print_overview(std::cout);
    return kExitOk;
  }
  const Command* command = find_command(words[0]);
  if (command == nullptr || words.size() > 1)
    return usage_error("", "unknown command '" + words[0] + "'");
  std::cout << command_help(*command);
  return kExitOk;
}

int run_command(const Command& command, const std::vector<std::string>& words) {
  if (wants_help(words)) {
    std::cout << command_help(command);
    return kExitOk;
  }
  try {
    Args args = parse_args(command, words);
    return command.run(args);
  } catch (const UsageError& e) {
    return usage_error(" " + command.name, e.what());
  }
}

int dispatch(int argc, char** argv) {
  std::vector<std::string> words(argv + 1, argv + argc);
  if (words.empty()) {
    print_overview(std::cerr);
    return kExitUsageError;
  }
  const std::string first = words[0];
  words.erase(words.begin());
  if (first == "--version" || first == "version") {
    std::cout << "velquor " << VELQUOR_VERSION << "\n";
    return kExitOk;
  }
  if (first == "--help" || first == "-h") return help_command({});
  if (first == "help") return help_command(words);
  if (first == "__reference") {
    print_reference(std::cout, kCommands);
    return kExitOk;
  }
  const Command* command = find_command(first);
  if (command == nullptr) {
    if (!first.empty() && first[0] == '-') return usage_error("", "unknown option '" + first + "'");
    return usage_error("", "unknown command '" + first + "'");
  }
  return run_command(*command, words);
}

}  // namespace
}  // namespace velquor::cli

int main(int argc, char** argv) {
  std::ios::sync_with_stdio(true);
  try {
    return velquor::cli::dispatch(argc, argv);
  } catch (const velquor::Error& e) {
    std::cerr << "velquor: error: " << e.what() << "\n";
  } catch (const std::exception& e) {
    std::cerr << "velquor: error: " << e.what() << "\n";
  } catch (...) {
    std::cerr << "velquor: error: unexpected failure\n";
  }
  return velquor::cli::kExitRuntimeError;
}
