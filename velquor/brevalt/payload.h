// Checked reading of an event's payload members, with the defaulting rules
// shared by every family: an absent nested object counts as empty, a present
// one must be an object (null included is an error), an absent final member
// takes its default. Errors name the event file and the dotted member.
#pragma once

#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "shared/exact_stats.h"
#include "shared/json.h"
#include "shared/json_access.h"
#include "velquor/cindrel/record_scanner.h"

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

  // Whether the member is present (null included) / present and not null.
  bool has(MemberPath path) const { return find(path) != nullptr; }
  bool has_value(MemberPath path) const;

  // The content of a text member; nullopt when absent or of another kind.
  std::optional<std::string_view> text(MemberPath path) const;

  // How many objects of the list at `path` have `member` set; TypeError when
  // an element is no object.
  double count_set(MemberPath path, std::string_view member) const;

  // The texts of the list at `path`; TypeError when an element is no text.
  std::vector<std::string> texts(MemberPath path) const;

  const std::string& where() const { return where_; }
  std::string name(MemberPath path) const;  // "payload.summary.total"

 private:
  const Json* payload_;
  std::string where_;
};

// What the readings of a payload have in common, whichever reader took them:
// the left-to-right sum of Payload::sum.
SampleValue add_exactly(const SampleValue& total, const SampleValue& term);

// Raised by FlatPayload where Payload would read a member other than by its
// plain value: an error or a member of an unusual kind.
struct NotPlain {};

// The readings of Payload, from an event the record scanner took as a plain
// object (scan_plain_object), without a JSON tree. Each gives what Payload
// gives or raises NotPlain; the caller then reads the event as a tree, which
// words any error.
class FlatPayload {
 public:
  // The event's `payload`, which must be an object.
  explicit FlatPayload(const cindrel::ScannedRecord& event);

  Json value(MemberPath path, const Json& fallback) const;
  double number(MemberPath path, double fallback) const;
  double at_least_one(MemberPath path, const Json& fallback) const;
  double flag(MemberPath path) const;
  Json sum(std::string_view object, std::initializer_list<std::string_view> members) const;
  bool has(MemberPath path) const { return find(path) != nullptr; }
  bool has_value(MemberPath path) const;
  std::optional<std::string> text(MemberPath path) const;
  double count_set(MemberPath path, std::string_view member) const;
  std::vector<std::string> texts(MemberPath path) const;

 private:
  using FlatValue = cindrel::FlatValue;
  const FlatValue* find(MemberPath path) const;
  const FlatValue* member(const FlatValue* object, std::string_view key) const;
  // A number or boolean as a sample; NotPlain for other kinds.
  static SampleValue sample(const FlatValue& value);

  const cindrel::ScannedRecord& event_;
  const FlatValue* payload_;
};

// The content of a scanned text, as the parser gives it; nullopt when the
// value is absent or no text. For a record scan_plain_object took.
std::optional<std::string> flat_text(const cindrel::FlatValue* value);

}  // namespace velquor::brevalt
