// The module's tables and the command line's parameter overrides.

#include "shared/errors.h"
#include "velquor/dornath/dornath.h"

namespace velquor::dornath {

const Json DEFAULT_PARAMS = {
    {"min_support", 5},
    {"min_correlation", 0.4},
    {"min_lift", 2.0},
    {"min_effect_size", 0.35},
    {"promotion_threshold", 10},
    {"decay_window", 90},
    {"semantic_multiplier", 3},
    {"direction_threshold", 1.5},
    {"confidence_full_at", 30},
    {"temporal_window_hours", 24},
};

const std::vector<std::pair<std::string, std::string>> SIGNAL_FILES = {
    {"git", "git_signals.json"},
    {"ci", "ci_signals.json"},
    {"testing", "testing_signals.json"},
    {"dependency", "dependency_signals.json"},
    {"schema", "schema_signals.json"},
    {"deployment", "deployment_signals.json"},
    {"config", "config_signals.json"},
    {"security", "security_signals.json"},
};

void apply_param_override(Json& params, std::string_view key_equals_value) {
  size_t eq = key_equals_value.find('=');
  if (eq == std::string_view::npos || eq == 0)
    throw ValueError("parameter override '" + std::string(key_equals_value) +
                     "' is not of the form KEY=VALUE");
  if (!params.is_object()) params = Json::object();
  std::string key(key_equals_value.substr(0, eq));
  std::string_view text = key_equals_value.substr(eq + 1);
  Json value;
  try {
    value = parse_json(text, "--param " + key);
  } catch (const JsonError&) {
    value = std::string(text);
  }
  if (value.is_structured()) value = std::string(text);  // only scalars are parameters
  params[key] = std::move(value);
}

}  // namespace velquor::dornath
