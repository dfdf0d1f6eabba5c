#include "velquor/lorvessa/arguments.h"

#include "shared/errors.h"
#include "shared/json_access.h"

namespace velquor::lorvessa {
namespace {

void require(bool ok, const Json& value, std::string_view expected, std::string_view name,
             const std::string& where) {
  if (!ok)
    throw TypeError(where + ": argument '" + std::string(name) + "' is " + json_kind(value) +
                    ", expected " + std::string(expected));
}

}  // namespace

void check_text(const Json& value, std::string_view name, const std::string& where) {
  require(value.is_string(), value, "string", name, where);
}

void check_optional_text(const Json& value, std::string_view name, const std::string& where) {
  require(value.is_string() || value.is_null(), value, "string or null", name, where);
}

void check_object(const Json& value, std::string_view name, const std::string& where) {
  require(value.is_object(), value, "object", name, where);
}

void check_text_list(const Json& value, std::string_view name, const std::string& where) {
  require(value.is_array(), value, "array", name, where);
  for (size_t i = 0; i < value.size(); ++i)
    require(value[i].is_string(), value[i], "string",
            std::string(name) + "[" + std::to_string(i) + "]", where);
}

void check_integer(const Json& value, std::string_view name, const std::string& where) {
  require(value.is_number_integer(), value, "integer", name, where);
}

void check_optional_integer(const Json& value, std::string_view name, const std::string& where) {
  require(value.is_number_integer() || value.is_null(), value, "integer or null", name, where);
}

bool is_non_empty_text(const Json& value) {
  return value.is_string() && !value.get_ref<const std::string&>().empty();
}

Json member_or(const Json& map, std::string_view key, const Json& fallback) {
  auto it = map.find(key);
  return it == map.end() ? fallback : *it;
}

std::optional<std::string> chosen_id(const Json& map, std::string_view key,
                                     const std::string& where) {
  Json id = member_or(map, key, nullptr);
  if (!is_truthy(id)) return std::nullopt;
  expect_kind(id, "string", key, where);
  return id.get<std::string>();
}

}  // namespace velquor::lorvessa
