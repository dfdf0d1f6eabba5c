#include "velquor/esperlin/values.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <utility>

#include "shared/errors.h"
#include "shared/json_access.h"
#include "shared/numbers.h"

namespace velquor::esperlin {

const Json& empty_map() {
  static const Json value = Json::object();
  return value;
}

const Json& empty_list() {
  static const Json value = Json::array();
  return value;
}

const Json& empty_text() {
  static const Json value = "";
  return value;
}

void expect_array(const Json& value, const std::string& what) {
  if (!value.is_array()) throw TypeError(what + ": expected an array, got " + json_kind(value));
}

void expect_map(const Json& value, const std::string& what) {
  if (!value.is_object()) throw TypeError(what + ": expected an object, got " + json_kind(value));
}

const Json& get_or(const Json& object, std::string_view key, const Json& fallback) {
  const Json* member = find_member(object, key);
  return member ? *member : fallback;
}

Json get_or(const Json& object, std::string_view key, Json&& fallback) {
  const Json* member = find_member(object, key);
  return member ? *member : std::move(fallback);
}

const Json& map_or_empty(const Json& object, std::string_view key, const std::string& where) {
  const Json* member = find_member(object, key);
  if (!member) return empty_map();
  expect_kind(*member, "object", key, where);
  return *member;
}

const Json& list_or_empty(const Json& object, std::string_view key, const std::string& where) {
  const Json* member = find_member(object, key);
  if (!member) return empty_list();
  expect_kind(*member, "array", key, where);
  return *member;
}

bool is_numeric(const Json& value) { return value.is_number() || value.is_boolean(); }

double abs_value(const Json& value, const std::string& what) {
  return std::fabs(to_double(value, what));
}

Json round_value(const Json& value, int decimals, const std::string& what) {
  if (value.is_boolean()) return value.get<bool>() ? 1 : 0;
  if (value.is_number_integer()) return value;
  if (value.is_number_float()) return round_half_even(value.get<double>(), decimals);
  throw TypeError(what + ": expected a number, got " + json_kind(value));
}

std::string prefix_chars(std::string_view text, size_t count) {
  size_t end = 0;
  for (size_t chars = 0; end < text.size() && chars < count; ++chars) {
    ++end;  // past the lead byte, then past its continuation bytes
    while (end < text.size() && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) ++end;
  }
  return std::string(text.substr(0, end));
}

std::string lower_ascii(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return text;
}

std::string first_line(std::string_view text) {
  return std::string(text.substr(0, text.find('\n')));
}

std::string text_of(const Json& value) {
  return value.is_string() ? value.get<std::string>() : plain_text(value);
}

std::string general4(const Json& value, const std::string& what) {
  return format_general(to_double(value, what), 4);
}

void ensure_directory(const std::filesystem::path& dir) {
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (ec) throw IoError(dir.string() + ": cannot be created: " + ec.message());
}

std::string join(const std::vector<std::string>& parts, std::string_view separator) {
  std::string out;
  for (size_t i = 0; i < parts.size(); ++i) {
    if (i) out += separator;
    out += parts[i];
  }
  return out;
}

bool value_less(const Json& a, const Json& b) {
  if (a.is_string() && b.is_string())
    return a.get_ref<const std::string&>() < b.get_ref<const std::string&>();
  if (is_numeric(a) && is_numeric(b)) return to_double(a, "value") < to_double(b, "value");
  throw TypeError("cannot order " + json_kind(a) + " and " + json_kind(b));
}

std::vector<Json> sorted_values(const Json& list) {
  std::vector<Json> values(list.begin(), list.end());
  std::stable_sort(values.begin(), values.end(), value_less);
  return values;
}

}  // namespace velquor::esperlin
