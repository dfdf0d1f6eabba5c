#include "velquor/dornath/params.h"

#include "shared/json_access.h"
#include "shared/numbers.h"

namespace velquor::dornath {

double required_param(const Json& params, std::string_view key) {
  const Json& value = require_member(params, key, "params");
  return to_double(value, "params: member '" + std::string(key) + "'");
}

double param_or(const Json& params, std::string_view key, double fallback) {
  const Json* value = find_member(params, key);
  return value ? to_double(*value, "params: member '" + std::string(key) + "'") : fallback;
}

Json param_value_or(const Json& params, std::string_view key, const Json& fallback) {
  const Json* value = find_member(params, key);
  return value ? *value : fallback;
}

}  // namespace velquor::dornath
