// Finishing a collector's draft into an event: its time, commit and
// content-derived id.

#include <algorithm>

#include "shared/errors.h"
#include "shared/hash.h"
#include "shared/json_access.h"
#include "velquor/collect/internal.h"

namespace velquor::collect {

std::optional<TimePoint> read_time(std::string_view text) {
  // Tools write up to nanoseconds; the clock keeps microseconds.
  std::string trimmed(text);
  size_t dot = trimmed.find('.');
  if (dot != std::string::npos) {
    size_t end = trimmed.find_first_not_of("0123456789", dot + 1);
    if (end == std::string::npos) end = trimmed.size();
    if (end - dot - 1 > 6) trimmed.erase(dot + 7, end - dot - 7);
  }
  std::optional<ParsedTime> parsed = parse_iso8601(trimmed);
  if (!parsed) return std::nullopt;
  return parsed->utc;
}

TimePoint need_time(const Json& object, std::string_view key, const std::string& where) {
  const std::string& text = need_text(object, key, where).get_ref<const std::string&>();
  std::optional<TimePoint> t = read_time(text);
  if (!t)
    throw ValueError(where + ": member '" + std::string(key) + "' is '" + text +
                     "', not an ISO-8601 time");
  return *t;
}

std::string utc_text(TimePoint t) { return format_timestamp(t); }

double seconds_between(TimePoint from, TimePoint to) {
  return static_cast<double>((to - from).count()) / 1e6;
}

std::string digest_of_files(const std::vector<std::string>& contents) {
  std::vector<std::string> digests;
  for (const auto& text : contents) digests.push_back(sha256_hex(text));
  std::sort(digests.begin(), digests.end());
  std::string joined;
  for (const auto& digest : digests) joined += digest;
  return sha256_hex(joined);
}

std::string event_id_of(std::string_view kind, const Draft& draft, const Commit& commit) {
  std::string material(kind);
  material += '\0';
  if (draft.identity_includes_commit) material += commit.sha;
  material += '\0';
  material += draft.identity;
  return std::string(kind) + "-" + sha256_hex(material).substr(0, 16);
}

Json finish_event(std::string_view kind, const Draft& draft, const Commit& commit,
                  const std::string& observed_at) {
  Json payload = draft.payload;
  payload["trigger"] = Json{{"commit_sha", commit.sha}, {"commit_message", commit.message}};
  Json event = Json::object();
  event["event_id"] = event_id_of(kind, draft, commit);
  event["source_family"] = std::string(draft.family);
  event["source_type"] = draft.source_type;
  event["observed_at"] = observed_at;
  event["payload"] = std::move(payload);
  return event;
}

}  // namespace velquor::collect
