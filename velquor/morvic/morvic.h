// The maintainers' list of accepted deviations: "this is our new normal".
//
// An accepted deviation silences one family/metric pair in the advisories,
// optionally only from a given commit on, only for events from a given time
// on, and optionally until an expiry time. The list lives in
// <vel_dir>/accepted_deviations.json, a JSON array of entries, each a map
// with these members in this order:
//
//   family, metric  text: the pair that is accepted
//   reason          text: why the maintainers accepted it
//   accepted_at     time stamp of the acceptance
//   from_commit     text; "" = any commit
//   since           time-stamp text; "" = any time
//   expires_at      time-stamp text, or null = never
//
// The file is the maintainers' record of decisions, so it is never silently
// replaced: a file that is not a JSON array of maps raises (JsonError for
// text that is not JSON, TypeError otherwise, both naming the file), and
// every operation, writing ones included, stops there. A missing file is an
// empty list. The file is read afresh by every operation, so entries added by
// another process (the command line) are seen at once, and it is written
// atomically, in the system's JSON file layout.
//
// Time stamps are compared as text against the system clock's now
// (velquor::now_timestamp), which is what the stored ISO-8601 "Z" texts
// allow.
#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "shared/json.h"

namespace velquor::morvic {

class AcceptedDeviations {
 public:
  explicit AcceptedDeviations(std::filesystem::path vel_dir);

  // True when at least one entry
  //  1. has this family and metric,
  //  2. has not expired (expires_at null, "", or later than now),
  //  3. applies to the commit: from_commit is "", or equals commit_sha, or
  //     both occur in commit_list (oldest first) with the first occurrence
  //     of commit_sha after the first occurrence of from_commit,
  //  4. applies to the time: since is "", or event_date is non-empty and not
  //     earlier than since.
  bool is_accepted_in_context(const std::string& family, const std::string& metric,
                              const std::string& commit_sha = "",
                              const std::string& event_date = "",
                              const std::vector<std::string>& commit_list = {}) const;

  // Removes every entry whose expires_at is a non-empty text not later than
  // now, rewriting the file only when something was removed; the other
  // entries are kept exactly as stored. Returns the number removed.
  // `current_advisory_id` is accepted for the advisory engine's call and
  // does not change the result.
  std::size_t cleanup_expired(const std::string& current_advisory_id = "");

  // Appends an entry with accepted_at = now and writes the file. Returns the
  // new entry.
  Json accept(const std::string& family, const std::string& metric, const std::string& reason,
              const std::string& from_commit = "", const std::string& since = "",
              const std::optional<std::string>& expires_at = std::nullopt);

  // The stored entries, as a JSON array in file order.
  Json list() const;

  // Reads every entry as the operations above do, so that a file they would
  // refuse (a member of the wrong kind included) raises now, before a
  // caller starts work that ends with them.
  void check() const;

  // <vel_dir>/accepted_deviations.json
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

}  // namespace velquor::morvic
