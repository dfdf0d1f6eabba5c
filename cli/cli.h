// The velquor command: shared parts of the subcommands.
//
// Every subcommand lives in its own cmd_<name>.cpp and exports one Command
// describing its arguments and options; main.cpp holds the table of them and
// does the dispatch, the help texts and the final error reporting. A command
// receives its arguments already checked against its description, so each
// run function only deals with what the arguments mean.
//
// Exit status of the whole tool: 0 success, 1 runtime error, 2 usage error,
// 3 the --fail-on gate of `run` tripped.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace velquor::cli {

namespace fs = std::filesystem;

enum ExitCode : int {
  kExitOk = 0,
  kExitRuntimeError = 1,
  kExitUsageError = 2,
  kExitGate = 3,
};

// A command line that does not fit the command's description. main.cpp
// prints it on one line with a pointer to the command's help and exits 2.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// One option of a command. `value_name` is null for a flag ("--json") and
// names the value otherwise ("--workers N").
struct OptionSpec {
  std::string name;        // "--workers"
  char short_name = 0;     // 'v' for "-v"; repeated letters ("-vv") count twice
  std::string value_name;  // "" for a flag
  std::string help;
  bool repeatable = false;  // "--param K=V --param K=V"
};

class Args;

struct Command {
  std::string name;
  // In order ("DIR"); "FILE..." takes one or more words, "[FILE...]" any.
  std::vector<std::string> positionals;
  std::vector<OptionSpec> options;
  std::string summary;      // one line for the command list
  std::string description;  // paragraph(s) for `velquor help CMD`
  int (*run)(const Args& args) = nullptr;
};

// The checked arguments of one invocation.
class Args {
 public:
  Args(const Command& command, std::vector<std::string> positionals,
       std::map<std::string, std::vector<std::string>> values);

  const Command& command() const { return *command_; }
  const std::string& positional(size_t index) const { return positionals_.at(index); }
  size_t positional_count() const { return positionals_.size(); }

  // Times a flag or option was given.
  int count(const std::string& option) const;
  bool has(const std::string& option) const { return count(option) > 0; }
  // The last value of an option, or nullopt when it was not given.
  std::optional<std::string> value(const std::string& option) const;
  const std::vector<std::string>& values(const std::string& option) const;
  // An integer option; UsageError when it is not a whole number >= minimum.
  int64_t integer(const std::string& option, int64_t fallback, int64_t minimum) const;

 private:
  const Command* command_;
  std::vector<std::string> positionals_;
  std::map<std::string, std::vector<std::string>> values_;
};

// Checks `words` (the words after the command name) against `command`.
// "--opt=value" and "--opt value" are both accepted; "--" ends the options.
// A "--help" / "-h" is handled by the caller before this is called.
Args parse_args(const Command& command, const std::vector<std::string>& words);

// Whether `words` ask for the command's help.
bool wants_help(const std::vector<std::string>& words);

// The help text of one command ("usage: velquor run DIR [...]" and on).
std::string command_help(const Command& command);
std::string command_usage(const Command& command);

// The data directory argument: must exist and be a directory (runtime error
// naming it otherwise).
fs::path existing_data_dir(const std::string& text);

// The same, and DIR/events must exist too: the commands that start from the
// events refuse a directory that was never a data directory (a common slip
// is naming the repository instead).
fs::path data_dir_with_events(const std::string& text);

// Stage progress on stderr: "[stage 2] baseline: ... (0.42 s)".
void progress(const std::string& line);

// Seconds elapsed since `start` as "1.23 s".
class Stopwatch {
 public:
  Stopwatch();
  std::string elapsed() const;

 private:
  int64_t start_ns_;
};

}  // namespace velquor::cli
