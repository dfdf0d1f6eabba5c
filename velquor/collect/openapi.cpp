// API schemas: an OpenAPI 3 or Swagger 2 document, JSON or YAML.
//
// Endpoints are path x method, types the named schemas (components.schemas,
// or definitions in Swagger 2), fields their properties (with those of the
// schemas an allOf combines inline). The event keeps the names in
// payload.inventory, so the next document collected into the same data
// directory is diffed against the latest schema event there.

#include <array>
#include <set>

#include "shared/errors.h"
#include "shared/file_io.h"
#include "shared/json_access.h"
#include "velquor/collect/internal.h"

namespace velquor::collect {
namespace {

constexpr std::array<std::string_view, 8> kMethods{"get",     "put",  "post",  "delete",
                                                   "options", "head", "patch", "trace"};

struct Inventory {
  std::set<std::string> endpoints, types, fields;
};

void add_properties(const Json& schema, const std::string& type, Inventory& inventory) {
  if (!schema.is_object()) return;
  if (const Json* properties = find_member(schema, "properties"); properties && properties->is_object())
    for (const auto& item : properties->items()) inventory.fields.insert(type + "." + item.key());
  if (const Json* parts = find_member(schema, "allOf"); parts && parts->is_array())
    for (const Json& part : *parts) add_properties(part, type, inventory);
}

Inventory inventory_of(const Json& document, const std::string& where, bool swagger) {
  Inventory inventory;
  const Json& paths = require_member(document, "paths", where);
  expect_kind(paths, "object", "paths", where);
  for (const auto& path : paths.items()) {
    if (!path.value().is_object()) continue;
    for (std::string_view method : kMethods)
      if (find_member(path.value(), method)) inventory.endpoints.insert(std::string(method) + " " + path.key());
  }
  const Json* schemas = swagger ? find_member(document, "definitions")
                                : find_member(document, "components");
  if (!swagger && schemas) schemas = find_member(*schemas, "schemas");
  if (schemas && schemas->is_object()) {
    for (const auto& type : schemas->items()) {
      inventory.types.insert(type.key());
      add_properties(type.value(), type.key(), inventory);
    }
  }
  return inventory;
}

Json list_of(const std::set<std::string>& names) {
  Json list = Json::array();
  for (const auto& name : names) list.push_back(name);
  return list;
}

std::set<std::string> set_of(const Json& inventory, std::string_view member) {
  std::set<std::string> names;
  const Json* list = find_member(inventory, member);
  if (list && list->is_array())
    for (const Json& name : *list)
      if (name.is_string()) names.insert(name.get<std::string>());
  return names;
}

// The inventory of the latest schema event this collector wrote into
// `events_dir`, if any.
std::optional<Inventory> previous_inventory(const fs::path& events_dir) {
  std::optional<Inventory> latest;
  std::string latest_time;
  for (const fs::path& file : list_json_files(events_dir)) {
    if (!file.filename().string().starts_with("openapi-")) continue;
    const Json event = read_json_file(file, NonFinite::kReject);
    const Json* payload = find_member(event, "payload");
    const Json* inventory = payload ? find_member(*payload, "inventory") : nullptr;
    const Json* time = find_member(event, "observed_at");
    if (!inventory || !time || !time->is_string() || (latest && time->get<std::string>() < latest_time))
      continue;
    latest_time = time->get<std::string>();
    latest = Inventory{set_of(*inventory, "endpoints"), set_of(*inventory, "types"),
                       set_of(*inventory, "fields")};
  }
  return latest;
}

int64_t count_missing(const std::set<std::string>& from, const std::set<std::string>& in) {
  int64_t count = 0;
  for (const auto& name : from) count += !in.count(name);
  return count;
}

Json diff_of(const Inventory& before, const Inventory& now) {
  return Json{{"endpoints_added", count_missing(now.endpoints, before.endpoints)},
              {"endpoints_removed", count_missing(before.endpoints, now.endpoints)},
              {"fields_added", count_missing(now.fields, before.fields)},
              {"fields_removed", count_missing(before.fields, now.fields)},
              {"types_added", count_missing(now.types, before.types)},
              {"types_removed", count_missing(before.types, now.types)}};
}

}  // namespace

std::vector<Draft> collect_openapi(const Context& context) {
  const fs::path& path = context.request.files[0];
  const std::string where = path.string();
  const std::string text = read_artefact(path);
  const Json document = parse_json_or_yaml_artefact(text, path);
  const Json* openapi = document.is_object() ? find_member(document, "openapi") : nullptr;
  const Json* swagger = document.is_object() ? find_member(document, "swagger") : nullptr;
  const bool is_v3 = openapi && openapi->is_string() && openapi->get<std::string>().starts_with("3.");
  const bool is_v2 = swagger && swagger->is_string() && swagger->get<std::string>() == "2.0";
  if (!is_v3 && !is_v2) bad_input(path, "not an OpenAPI 3 or Swagger 2 document (no openapi: 3.x or swagger: \"2.0\")");

  const Inventory inventory = inventory_of(document, where, is_v2);
  Draft draft;
  draft.family = "schema";
  draft.source_type = "openapi";
  draft.payload["spec_version"] = is_v3 ? *openapi : *swagger;
  draft.payload["structure"] = Json{{"endpoint_count", static_cast<int64_t>(inventory.endpoints.size())},
                                    {"type_count", static_cast<int64_t>(inventory.types.size())},
                                    {"field_count", static_cast<int64_t>(inventory.fields.size())}};
  if (std::optional<Inventory> before = previous_inventory(context.events_dir))
    draft.payload["diff"] = diff_of(*before, inventory);
  draft.payload["inventory"] = Json{{"endpoints", list_of(inventory.endpoints)},
                                    {"types", list_of(inventory.types)},
                                    {"fields", list_of(inventory.fields)}};
  draft.identity = digest_of_files({text});
  return {std::move(draft)};
}

}  // namespace velquor::collect
