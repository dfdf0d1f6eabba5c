#include "velquor/esperlin/flat_json.h"

#include <charconv>
#include <cmath>
#include <cstdint>

#include "shared/errors.h"

namespace velquor::esperlin {
namespace {

using cindrel::FlatValue;
using cindrel::ScannedRecord;
using Kind = FlatValue::Kind;

// A number as the strict parser reads it: an integer that fits in 64 signed
// bits as an integer, a finite real as a double, and the rest by the parser.
Json number_of(const FlatValue& value) {
  const char* first = value.text.data();
  const char* last = first + value.text.size();
  if (value.kind == Kind::kInteger) {
    int64_t integer = 0;
    const auto [end, error] = std::from_chars(first, last, integer);
    if (error == std::errc() && end == last) return Json(integer);
  } else {
    double real = 0;
    const auto [end, error] = std::from_chars(first, last, real);
    if (error == std::errc() && end == last && std::isfinite(real)) return Json(real);
  }
  return parse_json(value.text, "number", NonFinite::kAccept);
}

// A string's content as the parser reads it: escapes are decoded by the
// parser itself, from the quoted text the content lies in.
Json text_of(const FlatValue& value) {
  if (cindrel::is_plain_text(value.text)) return Json(std::string(value.text));
  return parse_json(std::string_view(value.text.data() - 1, value.text.size() + 2), "text");
}

// A value next_members recorded without descendants: a container as its
// text, anything else as a scalar.
Json skimmed_value(const FlatValue& value, const std::string& source) {
  if (value.kind == Kind::kObject || value.kind == Kind::kArray)
    return parse_json(value.text, source, NonFinite::kAccept);
  return *scalar_of(value);
}

// An empty map with room for the members of `container`. A scanned object
// of plain shape repeats no member, so they are appended without a lookup.
Json object_for(const FlatValue& container) {
  Json object = Json::object();
  object.get_ref<Json::object_t&>().reserve(container.size);
  return object;
}

void append(Json& object, std::string_view key, Json value) {
  object.get_ref<Json::object_t&>().emplace_back(std::string(key), std::move(value));
}

// The members of the object at record.values[index], each recorded without
// descendants, as next_members records them.
Json skimmed_object(const ScannedRecord& record, size_t index, const std::string& source) {
  const FlatValue& container = record.values[index];
  Json object = object_for(container);
  for (size_t at = index + 1; at < container.end; at = record.values[at].end)
    append(object, record.values[at].key, skimmed_value(record.values[at], source));
  return object;
}

const JsonKeep::Node* member_node(const JsonKeep::Node& keep, std::string_view key) {
  return keep.whole ? &keep : keep.member(key);
}

}  // namespace

std::optional<Json> scalar_of(const FlatValue& value) {
  switch (value.kind) {
    case Kind::kNull: return Json();
    case Kind::kFalse: return Json(false);
    case Kind::kTrue: return Json(true);
    case Kind::kString: return text_of(value);
    case Kind::kInteger:
    case Kind::kReal: return number_of(value);
    default: return std::nullopt;
  }
}

Json kept_value(const ScannedRecord& record, size_t index, const JsonKeep::Node& keep) {
  const FlatValue& value = record.values[index];
  if (value.kind == Kind::kObject) {
    Json object = object_for(value);
    for (size_t at = index + 1; at < value.end; at = record.values[at].end)
      if (const JsonKeep::Node* member = member_node(keep, record.values[at].key))
        append(object, record.values[at].key, kept_value(record, at, *member));
    return object;
  }
  if (value.kind == Kind::kArray) {
    Json array = Json::array();
    for (size_t at = index + 1; at < value.end; at = record.values[at].end) {
      Json element = kept_value(record, at, keep);
      if (!keep.keeps_element || keep.keeps_element(element)) array.push_back(std::move(element));
    }
    return array;
  }
  return *scalar_of(value);
}

Json kept_members(const ScannedRecord& record, std::string_view expanded, const JsonKeep& keep,
                  const std::string& source) {
  try {
    const FlatValue& root = record.values[0];
    Json object = object_for(root);
    for (size_t at = 1; at < root.end; at = record.values[at].end) {
      const FlatValue& member = record.values[at];
      if (!member_node(keep.root(), member.key)) continue;
      append(object, member.key,
             member.key == expanded && member.kind == Kind::kObject ? skimmed_object(record, at, source)
                                                                     : skimmed_value(member, source));
    }
    return object;
  } catch (const JsonError&) {
    // A member's own text would be named in the error without its path: the
    // parser reads the whole record to word it.
    return parse_json(record.span, source, NonFinite::kAccept, keep);
  }
}

}  // namespace velquor::esperlin
