// The subcommands of the velquor command, one per cmd_<name>.cpp file.
#pragma once

#include "cli/cli.h"

namespace velquor::cli {

extern const Command kRunCommand;
extern const Command kBaselineCommand;
extern const Command kExplainCommand;
extern const Command kLearnCommand;
extern const Command kAdviseCommand;
extern const Command kVerifyCommand;
extern const Command kAcceptCommand;
extern const Command kAcceptedCommand;
extern const Command kPatternsCommand;
extern const Command kShiftsCommand;
extern const Command kCollectCommand;
extern const Command kDemoCommand;

}  // namespace velquor::cli
