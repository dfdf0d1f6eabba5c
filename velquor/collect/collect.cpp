// The kinds, and one collection: drafts from the artefacts, then commits,
// times and ids, then the new event files.

#include <algorithm>
#include <array>
#include <map>

#include "shared/errors.h"
#include "shared/file_io.h"
#include "velquor/collect/internal.h"

namespace velquor::collect {
namespace {

struct KindEntry {
  Kind kind;
  Collector collect;
};

constexpr size_t kMany = 1000;

const std::array<KindEntry, 10> kKinds{{
    {{"junit", "JUnit XML reports (several files are one test run)", 1, kMany}, collect_junit},
    {{"coverage", "Cobertura XML or LCOV tracefiles (several are added up)", 1, kMany},
     collect_coverage},
    {{"ci", "a workflow run as the REST API returns it, and its jobs; or the flags", 0, 2},
     collect_ci},
    {{"npm", "package-lock.json, lockfile version 1 to 3", 1, 1}, collect_npm},
    {{"pip", "requirements or pip freeze text, and a dependency tree JSON", 1, 2}, collect_pip},
    {{"openapi", "an OpenAPI 3 or Swagger 2 document, JSON or YAML", 1, 1}, collect_openapi},
    {{"terraform", "the JSON of a plan", 1, 1}, collect_terraform},
    {{"trivy", "a vulnerability scanner's JSON report", 1, 1}, collect_trivy},
    {{"releases", "the list of releases as the REST API returns it", 1, 1}, collect_releases},
    {{"errors", "an error tracker's export of issues (JSON)", 1, 1}, collect_errors},
}};

std::array<Kind, kKinds.size()> kind_list() {
  std::array<Kind, kKinds.size()> list;
  for (size_t i = 0; i < kKinds.size(); ++i) list[i] = kKinds[i].kind;
  return list;
}

// Resolves each commit once: the request's, and those of tags.
class Commits {
 public:
  explicit Commits(const Request& request) : request_(request) {}

  const Commit& of(const Draft& draft) {
    if (draft.tag) {
      auto found = tags_.find(*draft.tag);
      if (found == tags_.end())
        found = tags_.emplace(*draft.tag, find_tag_commit(request_.repo, *draft.tag)).first;
      if (found->second) return *found->second;
    }
    if (!requested_) requested_ = find_commit(request_.repo, request_.revision);
    return *requested_;
  }

 private:
  const Request& request_;
  std::optional<Commit> requested_;
  std::map<std::string, std::optional<Commit>> tags_;
};

std::string observed_at_of(const Draft& draft, const Request& request) {
  if (draft.observed) return utc_text(*draft.observed);
  if (request.at) {
    std::optional<TimePoint> at = read_time(*request.at);
    if (!at) throw ValueError("--at: '" + *request.at + "' is not an ISO-8601 time");
    return utc_text(*at);
  }
  return now_timestamp();
}

void make_directory(const fs::path& dir) {
  std::error_code ec;
  fs::create_directories(dir, ec);
  if (ec || !fs::is_directory(dir, ec))
    throw IoError(dir.string() + ": cannot be created" + (ec ? ": " + ec.message() : ""));
}

}  // namespace

std::span<const Kind> kinds() {
  static const auto kList = kind_list();
  return kList;
}

const Kind* find_kind(std::string_view name) {
  for (const Kind& kind : kinds())
    if (kind.name == name) return &kind;
  return nullptr;
}

Collector collector_of(std::string_view kind) {
  for (const auto& entry : kKinds)
    if (entry.kind.name == kind) return entry.collect;
  throw ValueError("no collector for '" + std::string(kind) + "'");
}

Result collect(const Request& request, const fs::path& data_dir) {
  Result result;
  result.events_dir = data_dir / "events";
  const Context context{request, result.events_dir};
  const std::vector<Draft> drafts = collector_of(request.kind)(context);

  Commits commits(request);
  std::vector<std::pair<fs::path, Json>> fresh;
  for (const Draft& draft : drafts) {
    const Commit& commit = commits.of(draft);
    fs::path file = result.events_dir / (event_id_of(request.kind, draft, commit) + ".json");
    std::error_code ec;
    if (fs::exists(file, ec) || std::any_of(fresh.begin(), fresh.end(), [&](const auto& f) {
          return f.first == file;
        })) {
      ++result.already_there;
      continue;
    }
    fresh.emplace_back(file, finish_event(request.kind, draft, commit, observed_at_of(draft, request)));
  }
  if (!fresh.empty()) make_directory(result.events_dir);
  for (const auto& [file, event] : fresh) write_json_file(file, event);
  result.written = fresh.size();
  return result;
}

}  // namespace velquor::collect
