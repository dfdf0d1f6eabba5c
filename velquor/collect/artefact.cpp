// Reading artefacts: whole files, checked as JSON, YAML or XML, with errors
// that name the file.

#include <yaml-cpp/yaml.h>

#include <pugixml.hpp>

#include "shared/errors.h"
#include "shared/file_io.h"
#include "shared/json_access.h"
#include "velquor/collect/internal.h"

namespace velquor::collect {
namespace {

// YAML aliases can make a small text stand for a huge tree; a schema
// document is far below these bounds.
constexpr size_t kMaxYamlNodes = 1'000'000;
constexpr int kMaxYamlDepth = 256;

struct YamlReader {
  const fs::path& path;
  size_t nodes = 0;

  Json convert(const YAML::Node& node, int depth) {
    if (++nodes > kMaxYamlNodes) bad_input(path, "YAML document too large once its aliases are expanded");
    if (depth > kMaxYamlDepth) bad_input(path, "YAML nesting too deep");
    switch (node.Type()) {
      case YAML::NodeType::Null:
      case YAML::NodeType::Undefined:
        return nullptr;
      case YAML::NodeType::Scalar:
        return node.Scalar();
      case YAML::NodeType::Sequence: {
        Json list = Json::array();
        for (const auto& item : node) list.push_back(convert(item, depth + 1));
        return list;
      }
      case YAML::NodeType::Map: {
        Json object = Json::object();
        for (const auto& entry : node) {
          if (!entry.first.IsScalar()) bad_input(path, "a YAML mapping key that is not text");
          object[entry.first.Scalar()] = convert(entry.second, depth + 1);
        }
        return object;
      }
    }
    return nullptr;
  }
};

}  // namespace

[[noreturn]] void bad_input(const fs::path& path, const std::string& what) {
  throw ValueError(path.string() + ": " + what);
}

bool starts_with_char(std::string_view text, char c) {
  size_t first = text.find_first_not_of(" \t\r\n");
  return first != std::string_view::npos && text[first] == c;
}

std::string read_artefact(const fs::path& path) {
  std::string text = read_file(path);
  if (text.find_first_not_of(" \t\r\n") == std::string::npos) bad_input(path, "empty file");
  return text;
}

Json parse_json_artefact(std::string_view text, const fs::path& path) {
  return parse_json(text, path.string(), NonFinite::kReject);
}

Json parse_yaml_artefact(std::string_view text, const fs::path& path) {
  YAML::Node root;
  try {
    root = YAML::Load(std::string(text));
  } catch (const YAML::Exception& e) {
    bad_input(path, "not YAML: line " + std::to_string(e.mark.line + 1) + ": " + e.msg);
  }
  YamlReader reader{path};
  try {
    return reader.convert(root, 0);
  } catch (const YAML::Exception& e) {
    bad_input(path, "not YAML: " + e.msg);
  }
}

Json parse_json_or_yaml_artefact(std::string_view text, const fs::path& path) {
  if (starts_with_char(text, '{') || starts_with_char(text, '[')) return parse_json_artefact(text, path);
  return parse_yaml_artefact(text, path);
}

void parse_xml_artefact(pugi::xml_document& document, std::string_view text, const fs::path& path) {
  pugi::xml_parse_result result = document.load_buffer(text.data(), text.size());
  if (!result)
    bad_input(path, "not XML: " + std::string(result.description()) + " at byte " +
                        std::to_string(result.offset));
}

const Json& need_text(const Json& object, std::string_view key, const std::string& where) {
  const Json& value = require_member(object, key, where);
  expect_kind(value, "string", key, where);
  return value;
}

const Json* optional_member(const Json& object, std::string_view key, const std::string& where,
                            std::string_view kind) {
  const Json* value = find_member(object, key);
  if (value == nullptr || value->is_null()) return nullptr;
  expect_kind(*value, kind, key, where);
  return value;
}

int64_t need_count(const Json& object, std::string_view key, const std::string& where) {
  const Json& value = require_member(object, key, where);
  if (value.is_number_unsigned()) return static_cast<int64_t>(value.get<uint64_t>());
  if (value.is_number_integer() && value.get<int64_t>() >= 0) return value.get<int64_t>();
  if (value.is_string()) {
    const std::string& text = value.get_ref<const std::string&>();
    if (!text.empty() && text.size() < 19 && text.find_first_not_of("0123456789") == std::string::npos)
      return std::stoll(text);
  }
  throw TypeError(where + ": member '" + std::string(key) + "' is " + dump_compact(value) +
                  ", expected a whole number");
}

}  // namespace velquor::collect
