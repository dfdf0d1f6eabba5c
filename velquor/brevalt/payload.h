// Checked reading of an event's payload members, with the defaulting rules
// shared by every family: an absent nested object counts as empty, a present
// one must be an object (null included is an error), an absent final member
// takes its default. Errors name the event file and the dotted member.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

#include "shared/json.h"
#include "shared/json_access.h"

namespace velquor::brevalt {

using MemberPath = std::initializer_list<std::string_view>;

class Payload {
 public:
  // The event's `payload`: MissingMember when absent, TypeError when not an
  // object.
  Payload(const Json& event, const std::string& where);

  // The final member of `path`, or nullptr when it or an intermediate
  // object is absent.
  const Json* find(MemberPath path) const;

  // A value passed through as it is: a number, a boolean or null (the metric
  // does not apply). Anything else is a TypeError.
  Json value(MemberPath path, const Json& fallback) const;

  // A number (booleans count as 0 and 1) converted to double; null and
  // other kinds are a TypeError.
  double number(MemberPath path, double fallback) const;

  // max(x, 1) of a numeric member, as a double.
  double at_least_one(MemberPath path, const Json& fallback) const;

  // 1.0 when the member is set (true, a non-zero number, a non-empty text,
  // list or object), else 0.0.
  double flag(MemberPath path) const;

  // Left-to-right sum of numeric members starting from the integer 0, each
  // defaulting to 0; integers stay integers until a real joins.
  Json sum(std::string_view object, std::initializer_list<std::string_view> members) const;

  // The list at `path` (absent: empty list); TypeError when not a list.
  const Json& list(MemberPath path) const;

  const std::string& where() const { return where_; }
  std::string name(MemberPath path) const;  // "payload.summary.total"

 private:
  const Json* payload_;
  std::string where_;
};


}  // namespace velquor::brevalt
