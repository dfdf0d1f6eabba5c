// Error tracking: an export of an error tracker's issues (the list its REST
// API returns, or one issue). Each issue is one event, dated by when it was
// last seen, with its event and user counts and whether it went unhandled.

#include "shared/hash.h"
#include "shared/json_access.h"
#include "velquor/collect/internal.h"

namespace velquor::collect {

std::vector<Draft> collect_errors(const Context& context) {
  const fs::path& path = context.request.files[0];
  const std::string text = read_artefact(path);
  const Json document = parse_json_artefact(text, path);
  const Json issues = document.is_array() ? document : Json::array({document});
  if (issues.empty()) bad_input(path, "no issue in the export");
  std::vector<Draft> drafts;
  for (size_t i = 0; i < issues.size(); ++i) {
    const Json& issue = issues[i];
    const std::string where = path.string() + ": [" + std::to_string(i) + "]";
    if (!issue.is_object() || !find_member(issue, "title") || !find_member(issue, "count"))
      bad_input(path, "not an issue export: [" + std::to_string(i) + "] has no title and count");
    const Json* level = optional_member(issue, "level", where, "string");
    const Json* unhandled = find_member(issue, "isUnhandled");
    Draft draft;
    draft.family = "error_tracking";
    draft.source_type = "sentry";
    draft.payload = Json{{"title", need_text(issue, "title", where)},
                         {"level", level ? *level : Json("error")},
                         {"stats", Json{{"event_count", need_count(issue, "count", where)},
                                        {"user_count", need_count(issue, "userCount", where)}}},
                         {"is_unhandled", unhandled != nullptr && is_truthy(*unhandled)}};
    draft.observed = need_time(issue, "lastSeen", where);
    draft.identity = sha256_hex(dump_canonical(issue));
    drafts.push_back(std::move(draft));
  }
  return drafts;
}

}  // namespace velquor::collect
