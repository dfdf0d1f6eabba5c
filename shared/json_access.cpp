#include "shared/json_access.h"

#include "shared/errors.h"

namespace velquor {

const Json* find_member(const Json& object, std::string_view key) {
  if (!object.is_object()) return nullptr;
  auto it = object.find(key);
  return it == object.end() ? nullptr : &*it;
}

const Json& require_member(const Json& object, std::string_view key, const std::string& where) {
  if (!object.is_object())
    throw TypeError(where + ": expected an object, got " + json_kind(object));
  auto it = object.find(key);
  if (it == object.end())
    throw MissingMember(where + ": missing member '" + std::string(key) + "'");
  return *it;
}

bool is_truthy(const Json& value) {
  switch (value.type()) {
    case Json::value_t::boolean: return value.get<bool>();
    case Json::value_t::number_integer: return value.get<int64_t>() != 0;
    case Json::value_t::number_unsigned: return value.get<uint64_t>() != 0;
    case Json::value_t::number_float: return value.get<double>() != 0.0;  // NaN counts as set
    // Json::empty() is false for every string, so texts are checked here.
    case Json::value_t::string: return !value.get_ref<const std::string&>().empty();
    case Json::value_t::array:
    case Json::value_t::object: return !value.empty();
    default: return false;
  }
}

void expect_kind(const Json& value, std::string_view expected, std::string_view member,
                 const std::string& where) {
  bool ok = expected == "number" ? (value.is_number() && !value.is_boolean())
                                 : json_kind(value) == expected;
  if (!ok)
    throw TypeError(where + ": member '" + std::string(member) + "' is " + json_kind(value) +
                    ", expected " + std::string(expected));
}

}  // namespace velquor
