// A repository's commit history, read through `git log`, and the git events
// made from it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "shared/json.h"

namespace velquor::cli {

struct GitCommit {
  std::string hash;
  std::string author;
  int64_t authored_unix = 0;
  int64_t committed_unix = 0;
  std::string message;             // full message, trailing blank lines removed
  std::vector<std::string> files;  // paths as stored, renames as delete + add
};

// The commits reachable from HEAD of `repo`, parents before children
// (`max_commits` keeps only the most recent ones). Runs git without a shell;
// a directory that is not a repository, or a git failure, raises IoError
// with git's own first line of complaint.
std::vector<GitCommit> read_git_history(const std::filesystem::path& repo,
                                        std::optional<int64_t> max_commits);

// Parses the output of the `git log` invocation read_git_history makes
// (records opened by \x1e, fields and paths NUL-terminated). Invalid UTF-8
// in messages, names and paths becomes U+FFFD so that every event file is
// valid JSON text.
std::vector<GitCommit> parse_git_log(std::string_view output);

// The event of one commit: event_id "git-<hash>", source_family
// "version_control", source_type "git", observed_at = commit time (UTC),
// payload {commit_hash, message, author, committed_at, authored_at, files},
// attestation {commit_hash}.
Json git_commit_event(const GitCommit& commit);

// File name of a commit's event. Names sort like the history: by commit
// time, then by `ordinal` (the commit's position among commits of the same
// second, parents first), so that equal time stamps keep parents first.
std::string git_event_file_name(const GitCommit& commit, int ordinal);

// The commit hash of an event file name made by git_event_file_name, or ""
// for any other name.
std::string hash_of_git_event_file(const std::string& file_name);

}  // namespace velquor::cli
