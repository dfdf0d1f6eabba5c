// package-lock.json: the installed packages, the direct ones and how deep the
// dependency tree goes.
//
// Versions 2 and 3 list every installed package under "packages", keyed by
// its folder ("node_modules/a/node_modules/b"), the root project under "".
// Version 1 nests "dependencies" instead and names no direct ones, so they
// come from the package.json beside it. Both are read into folders with
// their dependency names; a name is resolved as node does, from the nearest
// node_modules folder upwards. The depth is the longest of the shortest
// chains from the root (direct dependencies are at depth 1).

#include <algorithm>
#include <array>
#include <deque>
#include <map>
#include <set>

#include "shared/errors.h"
#include "shared/json_access.h"
#include "velquor/collect/internal.h"

namespace velquor::collect {
namespace {

constexpr std::array<std::string_view, 4> kDependencyLists{
    "dependencies", "devDependencies", "optionalDependencies", "peerDependencies"};

struct Package {
  std::string version;
  std::vector<std::string> requires_;  // dependency names
  std::string link;                    // the folder a link points at
};

struct Tree {
  std::map<std::string, Package> folders;
  std::vector<std::string> direct;  // names, in the order the root lists them
};

void add_names(const Json& object, std::string_view list, const std::string& where,
               std::vector<std::string>& names) {
  const Json* members = optional_member(object, list, where, "object");
  if (!members) return;
  for (const auto& item : members->items())
    if (std::find(names.begin(), names.end(), item.key()) == names.end()) names.push_back(item.key());
}

std::vector<std::string> root_names(const Json& root, const std::string& where) {
  std::vector<std::string> names;
  for (std::string_view list : kDependencyLists) add_names(root, list, where, names);
  return names;
}

void read_packages(const Json& packages, const std::string& where, Tree& tree) {
  for (const auto& item : packages.items()) {
    if (item.key().empty()) continue;
    const std::string at = where + ": packages[\"" + item.key() + "\"]";
    expect_kind(item.value(), "object", item.key(), where + ": packages");
    Package package;
    if (const Json* version = optional_member(item.value(), "version", at, "string"))
      package.version = version->get<std::string>();
    if (const Json* link = find_member(item.value(), "link"); link && is_truthy(*link))
      package.link = need_text(item.value(), "resolved", at).get<std::string>();
    for (std::string_view list : {"dependencies", "optionalDependencies", "peerDependencies"})
      add_names(item.value(), list, at, package.requires_);
    tree.folders[item.key()] = std::move(package);
  }
}

void read_nested(const Json& dependencies, const std::string& folder, const std::string& where,
                 Tree& tree) {
  for (const auto& item : dependencies.items()) {
    const std::string key = (folder.empty() ? "" : folder + "/") + "node_modules/" + item.key();
    const std::string at = where + ": dependencies[\"" + item.key() + "\"]";
    expect_kind(item.value(), "object", item.key(), where);
    Package package;
    if (const Json* version = optional_member(item.value(), "version", at, "string"))
      package.version = version->get<std::string>();
    add_names(item.value(), "requires", at, package.requires_);
    tree.folders[key] = std::move(package);
    if (const Json* nested = optional_member(item.value(), "dependencies", at, "object"))
      read_nested(*nested, key, at, tree);
  }
}

// The folder of the package `name` as seen from `folder`, or "".
std::string resolve(const Tree& tree, std::string folder, const std::string& name) {
  while (true) {
    std::string candidate = (folder.empty() ? "" : folder + "/") + "node_modules/" + name;
    if (tree.folders.count(candidate)) return candidate;
    if (folder.empty()) return "";
    size_t slash = folder.rfind('/');
    folder = slash == std::string::npos ? "" : folder.substr(0, slash);
    if (folder == "node_modules") folder.clear();
    else if (folder.ends_with("/node_modules")) folder.resize(folder.size() - 13);
  }
}

int64_t max_depth(const Tree& tree) {
  std::set<std::string> seen;
  std::deque<std::pair<std::string, int64_t>> queue;
  for (const auto& name : tree.direct) {
    std::string folder = resolve(tree, "", name);
    if (!folder.empty() && seen.insert(folder).second) queue.emplace_back(folder, 1);
  }
  int64_t deepest = 0;
  while (!queue.empty()) {
    auto [folder, depth] = queue.front();
    queue.pop_front();
    deepest = std::max(deepest, depth);
    const Package& package = tree.folders.at(folder);
    const std::string& home = package.link.empty() ? folder : package.link;
    auto found = tree.folders.find(home);
    if (found == tree.folders.end()) continue;
    for (const auto& name : found->second.requires_) {
      std::string next = resolve(tree, home, name);
      if (!next.empty() && seen.insert(next).second) queue.emplace_back(next, depth + 1);
    }
  }
  return deepest;
}

// The installed version of a direct dependency ("" when it is not
// installed); a linked workspace package has it in its own folder.
std::string version_of(const Tree& tree, const std::string& name) {
  std::string folder = resolve(tree, "", name);
  if (folder.empty()) return "";
  const Package& package = tree.folders.at(folder);
  auto linked = package.link.empty() ? tree.folders.end() : tree.folders.find(package.link);
  return linked == tree.folders.end() ? package.version : linked->second.version;
}

int64_t installed_count(const Tree& tree) {
  int64_t count = 0;
  for (const auto& [folder, package] : tree.folders)
    count += folder.starts_with("node_modules/") || folder.find("/node_modules/") != std::string::npos;
  return count;
}

}  // namespace

std::vector<Draft> collect_npm(const Context& context) {
  const fs::path& path = context.request.files[0];
  const std::string where = path.string();
  std::vector<std::string> contents{read_artefact(path)};
  const Json lock = parse_json_artefact(contents[0], path);
  const Json* version = lock.is_object() ? find_member(lock, "lockfileVersion") : nullptr;
  if (!version || !version->is_number_integer())
    bad_input(path, "not a package-lock.json (no lockfileVersion)");
  const int64_t lockfile_version = version->get<int64_t>();
  Tree tree;
  if (lockfile_version == 2 || lockfile_version == 3) {
    const Json& packages = require_member(lock, "packages", where);
    expect_kind(packages, "object", "packages", where);
    tree.direct = root_names(require_member(packages, "", where + ": packages"), where + ": packages[\"\"]");
    read_packages(packages, where, tree);
  } else if (lockfile_version == 1) {
    const fs::path manifest = path.parent_path() / "package.json";
    std::error_code ec;
    if (!fs::exists(manifest, ec))
      bad_input(path, "lockfile version 1 names no direct dependencies, and no package.json is beside it");
    contents.push_back(read_artefact(manifest));
    tree.direct = root_names(parse_json_artefact(contents[1], manifest), manifest.string());
    if (const Json* nested = optional_member(lock, "dependencies", where, "object"))
      read_nested(*nested, "", where, tree);
  } else {
    bad_input(path, "lockfile version " + std::to_string(lockfile_version) + " is not 1, 2 or 3");
  }

  Json dependencies = Json::array();
  for (const auto& name : tree.direct)
    dependencies.push_back(Json{{"name", name}, {"version", version_of(tree, name)}, {"direct", true}});
  Draft draft;
  draft.family = "dependency";
  draft.source_type = "npm";
  draft.payload = Json{{"ecosystem", "npm"},
                       {"snapshot", Json{{"total_count", installed_count(tree)},
                                         {"direct_count", static_cast<int64_t>(tree.direct.size())},
                                         {"max_depth", max_depth(tree)}}},
                       {"dependencies", std::move(dependencies)}};
  draft.identity = digest_of_files(contents);
  return {std::move(draft)};
}

}  // namespace velquor::collect
