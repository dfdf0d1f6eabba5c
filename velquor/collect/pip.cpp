// Python dependencies: the packages a requirements file (or `pip freeze`)
// names are the direct ones; a dependency tree JSON, when given, adds the
// installed packages they pull in and the depth of the tree. The tree comes
// nested (each package with its "dependencies") or flat (each entry a
// "package" with the "dependencies" it requires); names are compared in
// their normalized form (lower case, runs of -_. as one -).

#include <algorithm>
#include <cctype>
#include <deque>
#include <map>
#include <set>

#include "shared/errors.h"
#include "shared/json_access.h"
#include "velquor/collect/internal.h"

namespace velquor::collect {
namespace {

struct Requirement {
  std::string name;
  std::string version;  // the pinned version, "" when not pinned
};

struct Graph {
  std::map<std::string, std::set<std::string>> requires_;  // normalized names
  std::map<std::string, std::string> versions;
};

std::string normalized(std::string_view name) {
  std::string out;
  for (char c : name) {
    bool separator = c == '-' || c == '_' || c == '.';
    if (separator) {
      if (out.empty() || out.back() != '-') out += '-';
    } else {
      out += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
  }
  return out;
}

bool is_name_char(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == '.'; }

std::vector<std::string> logical_lines(const std::string& text) {
  std::vector<std::string> lines{""};
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && (i + 1 == text.size() || text[i + 1] == '\n')) ++i;  // continuation
    else if (text[i] == '\n') lines.emplace_back();
    else if (text[i] != '\r') lines.back() += text[i];
  }
  return lines;
}

std::vector<Requirement> read_requirements(const std::string& text, const fs::path& path) {
  std::vector<Requirement> requirements;
  std::vector<std::string> lines = logical_lines(text);
  for (size_t n = 0; n < lines.size(); ++n) {
    std::string line = lines[n];
    size_t comment = line.find(" #");
    if (line.starts_with("#")) comment = 0;
    line = line.substr(0, comment);
    size_t first = line.find_first_not_of(" \t");
    if (first == std::string::npos || line[first] == '-') continue;  // blank, or an option (-r, -e, --index-url)
    size_t end = first;
    while (end < line.size() && is_name_char(line[end])) ++end;
    if (end == first || !std::isalnum(static_cast<unsigned char>(line[first])))
      bad_input(path, "line " + std::to_string(n + 1) + " is not a requirement: " + line);
    Requirement requirement{line.substr(first, end - first), ""};
    size_t pin = line.find("==", end);
    if (pin != std::string::npos) {
      size_t from = line.find_first_not_of("= \t", pin);
      size_t to = from == std::string::npos ? from : line.find_first_of(" \t;,", from);
      if (from != std::string::npos) requirement.version = line.substr(from, to - from);
    }
    requirements.push_back(std::move(requirement));
  }
  if (requirements.empty()) bad_input(path, "names no package");
  return requirements;
}

// The normalized name of a package entry, its installed version noted.
std::string add_package(const Json& package, const std::string& where, Graph& graph) {
  std::string name = normalized(need_text(package, "key", where).get_ref<const std::string&>());
  if (const Json* version = optional_member(package, "installed_version", where, "string"))
    graph.versions[name] = version->get<std::string>();
  graph.requires_[name];  // known even when it requires nothing
  return name;
}

const Json& dependencies_of(const Json& entry, const std::string& where) {
  const Json& dependencies = require_member(entry, "dependencies", where);
  expect_kind(dependencies, "array", "dependencies", where);
  return dependencies;
}

// One node of a nested tree, and the nodes of its dependencies.
std::string add_nested(const Json& node, const std::string& where, Graph& graph, int depth) {
  if (depth > 256) bad_input(where, "the dependency tree nests too deep");
  const std::string name = add_package(node, where, graph);
  const Json& dependencies = dependencies_of(node, where);
  for (size_t i = 0; i < dependencies.size(); ++i) {
    const std::string at = where + ".dependencies[" + std::to_string(i) + "]";
    graph.requires_[name].insert(add_nested(dependencies[i], at, graph, depth + 1));
  }
  return name;
}

// One entry of a flat tree: a package and the packages it requires.
void add_flat(const Json& entry, const std::string& where, Graph& graph) {
  const std::string name = add_package(require_member(entry, "package", where), where + ".package", graph);
  const Json& dependencies = dependencies_of(entry, where);
  for (size_t i = 0; i < dependencies.size(); ++i) {
    const std::string at = where + ".dependencies[" + std::to_string(i) + "]";
    graph.requires_[name].insert(add_package(dependencies[i], at, graph));
  }
}

Graph read_tree(const Json& tree, const fs::path& path) {
  if (!tree.is_array() || tree.empty() || !tree[0].is_object() ||
      (!find_member(tree[0], "package") && !find_member(tree[0], "key")))
    bad_input(path, "not a dependency tree (a list of packages with their dependencies)");
  Graph graph;
  for (size_t i = 0; i < tree.size(); ++i) {
    const std::string where = path.string() + ": [" + std::to_string(i) + "]";
    if (find_member(tree[i], "package")) add_flat(tree[i], where, graph);
    else add_nested(tree[i], where, graph, 0);
  }
  return graph;
}

int64_t max_depth(const Graph& graph, const std::vector<Requirement>& direct) {
  std::set<std::string> seen;
  std::deque<std::pair<std::string, int64_t>> queue;
  for (const auto& requirement : direct)
    if (seen.insert(normalized(requirement.name)).second) queue.emplace_back(normalized(requirement.name), 1);
  int64_t deepest = 0;
  while (!queue.empty()) {
    auto [name, depth] = queue.front();
    queue.pop_front();
    deepest = std::max(deepest, depth);
    auto found = graph.requires_.find(name);
    if (found == graph.requires_.end()) continue;
    for (const auto& next : found->second)
      if (seen.insert(next).second) queue.emplace_back(next, depth + 1);
  }
  return deepest;
}

}  // namespace

std::vector<Draft> collect_pip(const Context& context) {
  const auto& paths = context.request.files;
  std::vector<std::string> contents;
  for (const fs::path& path : paths) contents.push_back(read_artefact(path));
  // The tree is the JSON one, whichever order the files come in.
  size_t text = 0;
  if (paths.size() == 2 && (starts_with_char(contents[0], '[') || starts_with_char(contents[0], '{'))) text = 1;
  const std::vector<Requirement> requirements = read_requirements(contents[text], paths[text]);
  std::optional<Graph> graph;
  if (paths.size() == 2) graph = read_tree(parse_json_artefact(contents[1 - text], paths[1 - text]), paths[1 - text]);

  Json dependencies = Json::array();
  std::set<std::string> direct;
  for (const auto& requirement : requirements) {
    if (!direct.insert(normalized(requirement.name)).second) continue;
    std::string version = requirement.version;
    if (graph && graph->versions.count(normalized(requirement.name)))
      version = graph->versions.at(normalized(requirement.name));
    dependencies.push_back(Json{{"name", requirement.name}, {"version", version}, {"direct", true}});
  }
  Json snapshot = Json::object();
  int64_t total = static_cast<int64_t>(direct.size());
  if (graph) {
    std::set<std::string> all = direct;
    for (const auto& [name, requires_] : graph->requires_) all.insert(name);
    total = static_cast<int64_t>(all.size());
  }
  snapshot["total_count"] = total;
  snapshot["direct_count"] = static_cast<int64_t>(direct.size());
  if (graph) snapshot["max_depth"] = max_depth(*graph, requirements);

  Draft draft;
  draft.family = "dependency";
  draft.source_type = "pip";
  draft.payload = Json{{"ecosystem", "pip"}, {"snapshot", std::move(snapshot)}, {"dependencies", std::move(dependencies)}};
  draft.identity = digest_of_files(contents);
  return {std::move(draft)};
}

}  // namespace velquor::collect
