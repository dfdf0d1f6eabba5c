// The subcommands of the velquor command, one per cmd_<name>.cpp file.
#pragma once

#include <iosfwd>
#include <span>
#include <utility>

#include "cli/cli.h"

namespace velquor::cli {

extern const Command kRunCommand;
extern const Command kBaselineCommand;
extern const Command kExplainCommand;
extern const Command kLearnCommand;
extern const Command kAdviseCommand;
extern const Command kVerifyCommand;
extern const Command kReportCommand;
extern const Command kAcceptCommand;
extern const Command kAcceptedCommand;
extern const Command kPatternsCommand;
extern const Command kShiftsCommand;
extern const Command kCollectCommand;
extern const Command kNotifyCommand;
extern const Command kDemoCommand;

// What `velquor --help` says of the tool as a whole.
extern const char* const kAboutText;
extern const char* const kExitStatusText;

// The families `accept` takes, each with its metrics.
const std::vector<std::pair<std::string, std::vector<std::string>>>& accept_family_metrics();

// The hidden `velquor __reference`: the help of `commands` as JSON, for the
// generated manual page and shell completion.
void print_reference(std::ostream& out, std::span<const Command* const> commands);

}  // namespace velquor::cli
