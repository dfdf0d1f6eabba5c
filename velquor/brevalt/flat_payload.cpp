#include "velquor/brevalt/payload.h"

#include <charconv>

namespace velquor::brevalt {
namespace {

using cindrel::FlatValue;
using Kind = FlatValue::Kind;

// A plain integer's text always fits 64 bits (the scanner saw to it).
int64_t flat_integer(const FlatValue& value) {
  int64_t integer = 0;
  std::from_chars(value.text.data(), value.text.data() + value.text.size(), integer);
  return integer;
}

}  // namespace

std::optional<std::string> flat_text(const FlatValue* value) {
  if (value == nullptr || value->kind != Kind::kString) return std::nullopt;
  // The scanner took the record as one whose every text the parser accepts:
  // without an escape, the content is the text itself.
  if (value->text.find('\\') == std::string_view::npos) return std::string(value->text);
  std::string quoted;
  quoted.reserve(value->text.size() + 2);
  quoted.append("\"").append(value->text).append("\"");
  return parse_json(quoted, "text").get<std::string>();
}

FlatPayload::FlatPayload(const cindrel::ScannedRecord& event)
    : event_(event), payload_(member(&event.values[0], "payload")) {
  if (payload_ == nullptr || payload_->kind != Kind::kObject) throw NotPlain{};
}

const FlatValue* FlatPayload::member(const FlatValue* object, std::string_view key) const {
  return cindrel::flat_member(event_, static_cast<size_t>(object - event_.values.data()), key);
}

const FlatValue* FlatPayload::find(MemberPath path) const {
  const FlatValue* current = payload_;
  for (std::string_view part : path) {
    if (current->kind != Kind::kObject) throw NotPlain{};
    current = member(current, part);
    if (current == nullptr) return nullptr;
  }
  return current;
}

SampleValue FlatPayload::sample(const FlatValue& value) {
  switch (value.kind) {
    case Kind::kTrue: return SampleValue::integer(1);
    case Kind::kFalse: return SampleValue::integer(0);
    case Kind::kInteger: return SampleValue::integer(flat_integer(value));
    case Kind::kReal: return SampleValue::real(cindrel::flat_number(value));
    default: throw NotPlain{};
  }
}

Json FlatPayload::value(MemberPath path, const Json& fallback) const {
  const FlatValue* member = find(path);
  if (member == nullptr) return fallback;
  switch (member->kind) {
    case Kind::kNull: return nullptr;
    case Kind::kTrue: return true;
    case Kind::kFalse: return false;
    case Kind::kInteger: return flat_integer(*member);
    case Kind::kReal: return cindrel::flat_number(*member);
    default: throw NotPlain{};
  }
}

double FlatPayload::number(MemberPath path, double fallback) const {
  const FlatValue* member = find(path);
  return member == nullptr ? fallback : sample(*member).to_double();
}

double FlatPayload::at_least_one(MemberPath path, const Json& fallback) const {
  const FlatValue* member = find(path);
  const double value = member ? sample(*member).to_double() : SampleValue::from_json(fallback, "").to_double();
  return value >= 1.0 ? value : 1.0;
}

double FlatPayload::flag(MemberPath path) const {
  const FlatValue* member = find(path);
  return cindrel::flat_is_set(member) ? 1.0 : 0.0;
}

Json FlatPayload::sum(std::string_view object, std::initializer_list<std::string_view> members) const {
  SampleValue total = SampleValue::integer(0);
  for (std::string_view name : members)
    if (const FlatValue* value = find({object, name})) total = add_exactly(total, sample(*value));
  return total.to_json();
}

bool FlatPayload::has_value(MemberPath path) const {
  const FlatValue* member = find(path);
  return member != nullptr && member->kind != Kind::kNull;
}

std::optional<std::string> FlatPayload::text(MemberPath path) const { return flat_text(find(path)); }

// The elements of a list follow it, each with its descendants.
double FlatPayload::count_set(MemberPath path, std::string_view key) const {
  const FlatValue* list = find(path);
  if (list == nullptr) return 0;
  if (list->kind != Kind::kArray) throw NotPlain{};
  double count = 0;
  for (const FlatValue* element = list + 1; element != event_.values.data() + list->end;
       element = event_.values.data() + element->end) {
    if (element->kind != Kind::kObject) throw NotPlain{};
    const FlatValue* value = member(element, key);
    if (cindrel::flat_is_set(value)) ++count;
  }
  return count;
}

std::vector<std::string> FlatPayload::texts(MemberPath path) const {
  std::vector<std::string> texts;
  const FlatValue* list = find(path);
  if (list == nullptr) return texts;
  if (list->kind != Kind::kArray) throw NotPlain{};
  texts.reserve(list->size);
  for (const FlatValue* element = list + 1; element != event_.values.data() + list->end;
       element = event_.values.data() + element->end) {
    std::optional<std::string> text = flat_text(element);
    if (!text) throw NotPlain{};
    texts.push_back(std::move(*text));
  }
  return texts;
}

}  // namespace velquor::brevalt
