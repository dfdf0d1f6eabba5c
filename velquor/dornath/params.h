// Reading tuning parameters from the engine's merged `params` map.
#pragma once

#include <string>
#include <string_view>

#include "shared/json.h"

namespace velquor::dornath {

// The parameter as a number; MissingMember when absent, TypeError when it is
// not a number.
double required_param(const Json& params, std::string_view key);

// The parameter as a number, `fallback` when absent.
double param_or(const Json& params, std::string_view key, double fallback);

// The parameter's value, `fallback` when absent.
Json param_value_or(const Json& params, std::string_view key, const Json& fallback);

}  // namespace velquor::dornath
