// The hidden `velquor __reference`: every command's help in JSON, from which
// the build writes the manual page and the shell completion. Both therefore
// say exactly what --help says.

#include <iostream>

#include "cli/commands.h"
#include "cli/stages.h"
#include "shared/json.h"
#include "velquor/notify/notify.h"

namespace velquor::cli {
namespace {

Json option_json(const OptionSpec& option) {
  return Json{{"name", option.name},
              {"short", option.short_name != 0 ? std::string(1, option.short_name) : ""},
              {"value", option.value_name},
              {"help", option.help}};
}

Json command_json(const Command& command) {
  Json options = Json::array();
  for (const auto& option : command.options) options.push_back(option_json(option));
  return Json{{"name", command.name},
              {"usage", command_usage(command)},
              {"summary", command.summary},
              {"description", command.description},
              {"positionals", command.positionals},
              {"options", std::move(options)}};
}

// The words an option value or a placeholder argument can be.
Json choices_json() {
  Json families = Json::array();
  Json metrics = Json::object();
  for (const auto& [family, names] : accept_family_metrics()) {
    families.push_back(family);
    metrics[family] = names;
  }
  return Json{{"--format", notify::format_names()},
              {"--fail-on", risk_labels()},
              {"--only-if", risk_labels()},
              {"FAMILY", std::move(families)},
              {"METRIC", std::move(metrics)}};
}

}  // namespace

void print_reference(std::ostream& out, std::span<const Command* const> commands) {
  Json listed = Json::array();
  for (const Command* command : commands) listed.push_back(command_json(*command));
  out << dump_pretty(Json{{"version", VELQUOR_VERSION},
                          {"about", kAboutText},
                          {"exit_status", kExitStatusText},
                          {"commands", std::move(listed)},
                          {"choices", choices_json()}})
      << "\n";
}

}  // namespace velquor::cli
