#include "shared/exact_number.h"

#include "shared/errors.h"

namespace velquor {

long double exact_value(const Json& value, const std::string& what) {
  switch (value.type()) {
    case Json::value_t::number_integer: return static_cast<long double>(value.get<int64_t>());
    case Json::value_t::number_unsigned: return static_cast<long double>(value.get<uint64_t>());
    case Json::value_t::number_float: return value.get<double>();
    case Json::value_t::boolean: return value.get<bool>() ? 1.0L : 0.0L;
    default: throw TypeError(what + ": expected a number, got " + json_kind(value));
  }
}

}  // namespace velquor
