#include "velquor/morvic/morvic.h"

#include <algorithm>
#include <utility>

#include "shared/clock.h"
#include "shared/errors.h"
#include "shared/file_io.h"
#include "shared/json_access.h"

namespace velquor::morvic {

namespace {

const char kFileName[] = "accepted_deviations.json";

// The stored entries; a missing file is an empty list. Anything but an array
// of maps raises, so that no caller can go on to overwrite it.
Json load_entries(const fs::path& path) {
  std::error_code ec;
  if (!fs::exists(path, ec)) return Json::array();
  Json entries = read_json_file(path);
  if (!entries.is_array())
    throw TypeError(path.string() + ": is " + json_kind(entries) + ", expected array");
  for (size_t i = 0; i < entries.size(); ++i) {
    if (!entries[i].is_object())
      throw TypeError(path.string() + "[" + std::to_string(i) + "]: is " +
                      json_kind(entries[i]) + ", expected object");
  }
  return entries;
}

// A text member of an entry: "" when absent or null; TypeError for any other
// kind, since a comparison with it would be meaningless.
std::string text_member(const Json& entry, const char* key, const fs::path& path, size_t index) {
  const Json* value = find_member(entry, key);
  if (value == nullptr || value->is_null()) return "";
  if (!value->is_string())
    throw TypeError(path.string() + "[" + std::to_string(index) + "]: member '" + key +
                    "' is " + json_kind(*value) + ", expected string");
  return value->get<std::string>();
}

bool is_expired(const std::string& expires_at, const std::string& now) {
  return !expires_at.empty() && expires_at <= now;
}

// Whether `commit_sha` is `from_commit` or came after it in `commit_list`
// (first occurrences count).
bool applies_to_commit(const std::string& from_commit, const std::string& commit_sha,
                       const std::vector<std::string>& commit_list) {
  if (from_commit.empty() || commit_sha == from_commit) return true;
  auto start = std::find(commit_list.begin(), commit_list.end(), from_commit);
  auto commit = std::find(commit_list.begin(), commit_list.end(), commit_sha);
  return start != commit_list.end() && commit != commit_list.end() && commit > start;
}

bool applies_to_date(const std::string& since, const std::string& event_date) {
  return since.empty() || (!event_date.empty() && event_date >= since);
}

}  // namespace

AcceptedDeviations::AcceptedDeviations(fs::path vel_dir)
    : path_(std::move(vel_dir) / kFileName) {}

bool AcceptedDeviations::is_accepted_in_context(const std::string& family,
                                                const std::string& metric,
                                                const std::string& commit_sha,
                                                const std::string& event_date,
                                                const std::vector<std::string>& commit_list) const {
  const Json entries = load_entries(path_);
  const std::string now = now_timestamp();
  for (size_t i = 0; i < entries.size(); ++i) {
    const Json& entry = entries[i];
    const Json* entry_family = find_member(entry, "family");
    const Json* entry_metric = find_member(entry, "metric");
    if (entry_family == nullptr || *entry_family != family) continue;
    if (entry_metric == nullptr || *entry_metric != metric) continue;
    if (is_expired(text_member(entry, "expires_at", path_, i), now)) continue;
    if (!applies_to_commit(text_member(entry, "from_commit", path_, i), commit_sha, commit_list))
      continue;
    if (applies_to_date(text_member(entry, "since", path_, i), event_date)) return true;
  }
  return false;
}

std::size_t AcceptedDeviations::cleanup_expired(const std::string& /*current_advisory_id*/) {
  const Json entries = load_entries(path_);
  const std::string now = now_timestamp();
  Json kept = Json::array();
  for (size_t i = 0; i < entries.size(); ++i) {
    if (!is_expired(text_member(entries[i], "expires_at", path_, i), now))
      kept.push_back(entries[i]);
  }
  const std::size_t removed = entries.size() - kept.size();
  if (removed > 0) write_json_file(path_, kept);
  return removed;
}

Json AcceptedDeviations::accept(const std::string& family, const std::string& metric,
                                const std::string& reason, const std::string& from_commit,
                                const std::string& since,
                                const std::optional<std::string>& expires_at) {
  Json entries = load_entries(path_);
  Json entry = Json::object();
  entry["family"] = family;
  entry["metric"] = metric;
  entry["reason"] = reason;
  entry["accepted_at"] = now_timestamp();
  entry["from_commit"] = from_commit;
  entry["since"] = since;
  entry["expires_at"] = expires_at ? Json(*expires_at) : Json(nullptr);
  entries.push_back(entry);
  fs::create_directories(path_.parent_path());
  write_json_file(path_, entries);
  return entry;
}

Json AcceptedDeviations::list() const { return load_entries(path_); }

void AcceptedDeviations::check() const {
  const Json entries = load_entries(path_);
  for (size_t i = 0; i < entries.size(); ++i)
    for (const char* key : {"expires_at", "from_commit", "since"}) text_member(entries[i], key, path_, i);
}

}  // namespace velquor::morvic
