// Infrastructure plans: the JSON form of a plan. The structure is the
// managed resources the plan leaves in place (planned_values, through every
// child module); the diff counts the resource changes the way the plan's own
// summary does: a replacement adds one and destroys one.

#include <set>

#include "shared/errors.h"
#include "shared/json_access.h"
#include "velquor/collect/internal.h"

namespace velquor::collect {
namespace {

bool is_managed(const Json& resource, const std::string& where) {
  const Json* mode = optional_member(resource, "mode", where, "string");
  return !mode || *mode == "managed";
}

void count_module(const Json& module, const std::string& where, int64_t& count,
                  std::set<std::string>& types, int depth) {
  if (depth > 100) throw ValueError(where + ": modules nest too deep");
  if (const Json* resources = optional_member(module, "resources", where, "array")) {
    for (size_t i = 0; i < resources->size(); ++i) {
      const std::string at = where + ".resources[" + std::to_string(i) + "]";
      if (!is_managed((*resources)[i], at)) continue;
      ++count;
      types.insert(need_text((*resources)[i], "type", at).get<std::string>());
    }
  }
  if (const Json* children = optional_member(module, "child_modules", where, "array"))
    for (size_t i = 0; i < children->size(); ++i)
      count_module((*children)[i], where + ".child_modules[" + std::to_string(i) + "]", count, types,
                   depth + 1);
}

bool has_action(const Json& actions, std::string_view action) {
  for (const Json& a : actions)
    if (a.is_string() && a.get_ref<const std::string&>() == action) return true;
  return false;
}

}  // namespace

std::vector<Draft> collect_terraform(const Context& context) {
  const fs::path& path = context.request.files[0];
  const std::string where = path.string();
  const std::string text = read_artefact(path);
  const Json plan = parse_json_artefact(text, path);
  if (!plan.is_object() || !find_member(plan, "format_version") ||
      (!find_member(plan, "planned_values") && !find_member(plan, "resource_changes")))
    bad_input(path, "not the JSON of a plan (no format_version with planned_values or resource_changes)");

  int64_t resources = 0;
  std::set<std::string> types;
  if (const Json* planned = optional_member(plan, "planned_values", where, "object"))
    if (const Json* root = optional_member(*planned, "root_module", where + ": planned_values", "object"))
      count_module(*root, where + ": planned_values.root_module", resources, types, 0);

  int64_t added = 0, removed = 0, modified = 0;
  if (const Json* changes = optional_member(plan, "resource_changes", where, "array")) {
    for (size_t i = 0; i < changes->size(); ++i) {
      const std::string at = where + ": resource_changes[" + std::to_string(i) + "]";
      if (!is_managed((*changes)[i], at)) continue;
      const Json& actions = require_member(require_member((*changes)[i], "change", at), "actions", at + ".change");
      expect_kind(actions, "array", "actions", at + ".change");
      added += has_action(actions, "create");
      removed += has_action(actions, "delete");
      modified += has_action(actions, "update");
    }
  }
  Draft draft;
  draft.family = "config";
  draft.source_type = "terraform";
  draft.payload = Json{{"structure", Json{{"resource_count", resources},
                                          {"resource_types", static_cast<int64_t>(types.size())}}},
                       {"diff", Json{{"resources_added", added},
                                     {"resources_removed", removed},
                                     {"resources_modified", modified}}}};
  if (find_member(plan, "timestamp")) draft.observed = need_time(plan, "timestamp", where);
  draft.identity = digest_of_files({text});
  return {std::move(draft)};
}

}  // namespace velquor::collect
