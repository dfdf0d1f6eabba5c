// velquor collect git REPO DIR: a repository's history as git events.

#include <iostream>
#include <map>
#include <set>

#include "cli/commands.h"
#include "cli/git_history.h"
#include "cli/parallel_write.h"
#include "cli/writer.h"
#include "shared/errors.h"
#include "shared/file_io.h"

namespace velquor::cli {
namespace {

constexpr size_t kProgressEvery = 1000;

std::set<std::string> collected_hashes(const fs::path& events_dir) {
  std::set<std::string> hashes;
  for (const auto& path : list_json_files(events_dir)) {
    std::string hash = hash_of_git_event_file(path.filename().string());
    if (!hash.empty()) hashes.insert(hash);
  }
  return hashes;
}

int run_collect(const Args& args) {
  if (args.positional(0) != "git")
    throw UsageError("unknown source '" + args.positional(0) + "' (supported: git)");
  const fs::path repo = args.positional(1);
  const fs::path events_dir = fs::path(args.positional(2)) / "events";
  std::optional<int64_t> max_commits;
  if (args.has("--max-commits")) max_commits = args.integer("--max-commits", 0, 1);

  std::vector<GitCommit> commits = read_git_history(repo, max_commits);
  std::error_code ec;
  fs::create_directories(events_dir, ec);
  if (ec) throw IoError(events_dir.string() + ": cannot be created: " + ec.message());
  DirectoryWriter writer(args, events_dir.parent_path());
  const std::set<std::string> known = collected_hashes(events_dir);

  // Ordinals count commits of the same second in history order, over the
  // whole log, so a re-run names every commit as the first run did.
  std::map<int64_t, int> same_second;
  std::vector<std::pair<const GitCommit*, int>> fresh;
  for (const auto& commit : commits) {
    int ordinal = same_second[commit.committed_unix]++;
    if (!known.count(commit.hash)) fresh.emplace_back(&commit, ordinal);
  }
  if (fresh.size() > kProgressEvery)
    progress("collect: writing " + std::to_string(fresh.size()) + " commit events");
  write_files_concurrently(
      fresh.size(),
      [&](size_t i) {
        const auto& [commit, ordinal] = fresh[i];
        return std::make_pair(events_dir / git_event_file_name(*commit, ordinal),
                              dump_pretty(git_commit_event(*commit)));
      },
      [&](size_t done) {
        progress("collect: " + std::to_string(done) + "/" + std::to_string(fresh.size()));
      },
      kProgressEvery);
  std::cout << "collected " << fresh.size() << " new commit" << (fresh.size() == 1 ? "" : "s")
            << " from " << repo.string() << " into " << events_dir.string() << " ("
            << commits.size() - fresh.size() << " already there)\n";
  return kExitOk;
}

}  // namespace

const Command kCollectCommand = {
    "collect",
    {"git", "REPO", "DIR"},
    {{"--max-commits", 0, "N", "only the N most recent commits"}, wait_option()},
    "turn a git repository's history into events in DIR/events",
    "Reads the history of the git repository REPO (the commits reachable from\n"
    "HEAD) and writes one event per commit into DIR/events: commit hash, message,\n"
    "author, commit and author time (UTC) and the paths it touched. Merges without\n"
    "changes of their own have no paths. Running it again adds only the commits\n"
    "that are not there yet. Git runs without a shell.",
    run_collect,
};

}  // namespace velquor::cli
