#include "velquor/brevalt/payload.h"

#include <cmath>

#include "shared/errors.h"
#include "shared/exact_stats.h"
#include "shared/json_access.h"

namespace velquor::brevalt {
namespace {

bool is_numeric(const Json& value) { return value.is_number() || value.is_boolean(); }

}  // namespace

Payload::Payload(const Json& event, const std::string& where) : where_(where) {
  payload_ = &require_member(event, "payload", where);
  expect_kind(*payload_, "object", "payload", where);
}

std::string Payload::name(MemberPath path) const {
  std::string text = "payload";
  for (std::string_view part : path) text.append(".").append(part);
  return text;
}

const Json* Payload::find(MemberPath path) const {
  const Json* current = payload_;
  size_t depth = 0;
  for (std::string_view part : path) {
    if (depth > 0 && !current->is_object()) {
      // Name the intermediate member that should have been an object.
      std::string member = "payload";
      for (auto it = path.begin(); it != path.begin() + depth; ++it) member.append(".").append(*it);
      expect_kind(*current, "object", member, where_);
    }
    current = find_member(*current, part);
    if (current == nullptr) return nullptr;
    ++depth;
  }
  return current;
}

Json Payload::value(MemberPath path, const Json& fallback) const {
  const Json* member = find(path);
  if (member == nullptr) return fallback;
  if (!is_numeric(*member) && !member->is_null())
    throw TypeError(where_ + ": member '" + name(path) + "' is " + json_kind(*member) +
                    ", expected number");
  return *member;
}

double Payload::number(MemberPath path, double fallback) const {
  const Json* member = find(path);
  if (member == nullptr) return fallback;
  if (!is_numeric(*member))
    throw TypeError(where_ + ": member '" + name(path) + "' is " + json_kind(*member) +
                    ", expected number");
  return SampleValue::from_json(*member, name(path)).to_double();
}

double Payload::at_least_one(MemberPath path, const Json& fallback) const {
  const Json* member = find(path);
  const Json& x = member ? *member : fallback;
  if (!is_numeric(x))
    throw TypeError(where_ + ": member '" + name(path) + "' is " + json_kind(x) +
                    ", expected number");
  double value = SampleValue::from_json(x, name(path)).to_double();
  return value >= 1.0 ? value : 1.0;
}

double Payload::flag(MemberPath path) const {
  const Json* member = find(path);
  return member != nullptr && is_truthy(*member) ? 1.0 : 0.0;
}

Json Payload::sum(std::string_view object, std::initializer_list<std::string_view> members) const {
  SampleValue total = SampleValue::integer(0);
  for (std::string_view member : members) {
    const Json* value = find({object, member});
    if (value == nullptr) continue;  // default 0 adds nothing, kind unchanged
    if (!is_numeric(*value))
      throw TypeError(where_ + ": member '" + name({object, member}) + "' is " +
                      json_kind(*value) + ", expected number");
    total = add_exactly(total, SampleValue::from_json(*value, name({object, member})));
  }
  return total.to_json();
}

SampleValue add_exactly(const SampleValue& total, const SampleValue& term) {
  return total.is_integer() && term.is_integer()
             ? SampleValue::integer(total.integer_value() + term.integer_value())
             : SampleValue::real(total.to_double() + term.to_double());
}

const Json& Payload::list(MemberPath path) const {
  static const Json kEmpty = Json::array();
  const Json* member = find(path);
  if (member == nullptr) return kEmpty;
  expect_kind(*member, "array", name(path), where_);
  return *member;
}

bool Payload::has_value(MemberPath path) const {
  const Json* member = find(path);
  return member != nullptr && !member->is_null();
}

std::optional<std::string_view> Payload::text(MemberPath path) const {
  const Json* member = find(path);
  if (member == nullptr || !member->is_string()) return std::nullopt;
  return member->get_ref<const std::string&>();
}

double Payload::count_set(MemberPath path, std::string_view member) const {
  double count = 0;
  for (const Json& element : list(path)) {
    if (!element.is_object())
      throw TypeError(where_ + ": member '" + name(path) + "' holds " + json_kind(element) +
                      ", expected object");
    const Json* value = find_member(element, member);
    if (value != nullptr && is_truthy(*value)) ++count;
  }
  return count;
}

std::vector<std::string> Payload::texts(MemberPath path) const {
  std::vector<std::string> texts;
  for (const Json& element : list(path)) {
    if (!element.is_string())
      throw TypeError(where_ + ": member '" + name(path) + "' holds " + json_kind(element) +
                      ", expected string");
    texts.push_back(element.get<std::string>());
  }
  return texts;
}

}  // namespace velquor::brevalt
