#include "velquor/dornath/record_stream.h"

#include "shared/errors.h"

namespace velquor::dornath {
namespace {

bool is_json_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

size_t skip_space(std::string_view text, size_t pos) {
  while (pos < text.size() && is_json_space(text[pos])) ++pos;
  return pos;
}

// The end of the value starting at `pos`, found by bracket and string
// structure alone (the value itself is checked by the parser); npos when the
// text ends first.
size_t value_end(std::string_view text, size_t pos) {
  int depth = 0;
  bool in_string = false;
  for (size_t i = pos; i < text.size(); ++i) {
    char c = text[i];
    if (in_string) {
      if (c == '\\') ++i;
      else if (c == '"') {
        in_string = false;
        if (depth == 0) return i + 1;
      }
    } else if (c == '"') {
      in_string = true;
    } else if (c == '{' || c == '[') {
      ++depth;
    } else if (c == '}' || c == ']') {
      if (depth == 0) return i;  // the end of a scalar before the array's ']'
      if (--depth == 0) return i + 1;
    } else if (depth == 0 && (c == ',' || is_json_space(c))) {
      return i;
    }
  }
  return depth == 0 && !in_string ? text.size() : std::string_view::npos;
}

// Splits the text of a top-level array into its element texts; false when
// the text does not have that shape (the caller then lets the parser report
// what is wrong).
bool split_elements(std::string_view text, std::vector<std::string_view>& elements) {
  size_t pos = skip_space(text, 0);
  if (pos == text.size() || text[pos] != '[') return false;
  pos = skip_space(text, pos + 1);
  if (pos < text.size() && text[pos] == ']') return skip_space(text, pos + 1) == text.size();
  while (true) {
    size_t end = value_end(text, pos);
    if (end == std::string_view::npos || end == pos) return false;
    elements.push_back(text.substr(pos, end - pos));
    pos = skip_space(text, end);
    if (pos == text.size()) return false;
    if (text[pos] == ']') return skip_space(text, pos + 1) == text.size();
    if (text[pos] != ',') return false;
    pos = skip_space(text, pos + 1);
  }
}

}  // namespace

void for_each_record(const fs::path& path, const std::function<void(Json&&)>& take) {
  const std::string text = read_file(path);
  const std::string source = path.string();
  std::vector<std::string_view> elements;
  if (!split_elements(text, elements)) {
    // Not a plain array: the whole-document parser gives the precise error,
    // or the value, whose kind is then the error.
    Json value = parse_json(text, source, NonFinite::kAccept);
    if (!value.is_array())
      throw TypeError(source + ": expected an array, got " + json_kind(value));
    for (Json& element : value) take(std::move(element));
    return;
  }
  for (size_t i = 0; i < elements.size(); ++i)
    take(parse_json(elements[i], source + "[" + std::to_string(i) + "]", NonFinite::kAccept));
}

Json keep_members(Json&& record, std::span<const std::string_view> keep) {
  if (!record.is_object()) return std::move(record);
  Json kept = Json::object();
  for (auto it = record.begin(); it != record.end(); ++it)
    for (std::string_view key : keep)
      if (it.key() == key) {
        kept[it.key()] = std::move(it.value());
        break;
      }
  if (kept.empty() && !record.empty()) return std::move(record);
  return kept;
}

}  // namespace velquor::dornath
