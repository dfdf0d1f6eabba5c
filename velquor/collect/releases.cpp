// Releases: the list the hosting service's REST API returns. Each published
// release is one event, dated by its publication, with the time since the
// release published before it. Drafts are left out. A release is identified
// by its tag and publication time, so collecting a longer list later adds
// only the releases that are new.

#include <algorithm>

#include "shared/hash.h"
#include "shared/json_access.h"
#include "velquor/collect/internal.h"

namespace velquor::collect {
namespace {

struct Release {
  const Json* item;
  std::string where;
  TimePoint created, published;
};

}  // namespace

std::vector<Draft> collect_releases(const Context& context) {
  const fs::path& path = context.request.files[0];
  const std::string text = read_artefact(path);
  const Json list = parse_json_artefact(text, path);
  if (!list.is_array()) bad_input(path, "not a list of releases (a JSON array)");
  std::vector<Release> releases;
  for (size_t i = 0; i < list.size(); ++i) {
    const std::string where = path.string() + ": [" + std::to_string(i) + "]";
    if (!list[i].is_object() || !find_member(list[i], "tag_name"))
      bad_input(path, "[" + std::to_string(i) + "] is not a release (no tag_name)");
    const Json* draft = find_member(list[i], "draft");
    if (draft && is_truthy(*draft)) continue;
    releases.push_back({&list[i], where, need_time(list[i], "created_at", where),
                        need_time(list[i], "published_at", where)});
  }
  if (releases.empty()) bad_input(path, "no published release in the list");
  std::stable_sort(releases.begin(), releases.end(),
                   [](const Release& a, const Release& b) { return a.published < b.published; });

  std::vector<Draft> drafts;
  for (size_t i = 0; i < releases.size(); ++i) {
    const Release& release = releases[i];
    const Json& item = *release.item;
    const std::string tag = need_text(item, "tag_name", release.where).get<std::string>();
    const Json* prerelease = find_member(item, "prerelease");
    const Json* assets = optional_member(item, "assets", release.where, "array");
    Json timing = {{"initiated_at", utc_text(release.created)},
                   {"completed_at", utc_text(release.published)}};
    if (i > 0)
      timing["since_previous_seconds"] =
          static_cast<int64_t>(seconds_between(releases[i - 1].published, release.published));
    Draft draft;
    draft.family = "deployment";
    draft.source_type = "github_releases";
    draft.payload = Json{{"tag", tag},
                         {"is_prerelease", prerelease != nullptr && is_truthy(*prerelease)},
                         {"asset_count", static_cast<int64_t>(assets ? assets->size() : 0)},
                         {"timing", std::move(timing)}};
    draft.observed = release.published;
    draft.identity = sha256_hex(tag + '\0' + utc_text(release.published));
    draft.identity_includes_commit = false;
    draft.tag = tag;
    drafts.push_back(std::move(draft));
  }
  return drafts;
}

}  // namespace velquor::collect
