// The commit an event belongs to, looked up with git (without a shell).

#include "shared/errors.h"
#include "shared/subprocess.h"
#include "velquor/collect/internal.h"

namespace velquor::collect {
namespace {

ProcessOutput git(const fs::path& repo, std::vector<std::string> args) {
  args.insert(args.begin(), {"git", "-C", repo.string()});
  return run_program(args);
}

std::string first_line(const std::string& text) { return text.substr(0, text.find('\n')); }

// The full hash of `revision`, or "" when the repository has no such commit.
std::string resolve(const fs::path& repo, const std::string& revision) {
  std::error_code ec;
  if (!fs::is_directory(repo, ec)) throw FileNotFound(repo.string() + ": no such directory");
  ProcessOutput inside = git(repo, {"rev-parse", "--git-dir"});
  if (inside.exit_status != 0)
    throw IoError(repo.string() + ": not a git repository (name the repository with --repo)");
  ProcessOutput found =
      git(repo, {"rev-parse", "--verify", "--quiet", "--end-of-options", revision + "^{commit}"});
  return found.exit_status == 0 ? first_line(found.out) : "";
}

Commit with_message(const fs::path& repo, std::string sha) {
  ProcessOutput log = git(repo, {"-c", "log.showSignature=false", "log", "-1", "--no-color",
                                 "--encoding=UTF-8", "--format=%B", sha, "--"});
  if (log.exit_status != 0)
    throw IoError(repo.string() + ": git log failed: " + first_line(log.err));
  return {std::move(sha), first_line(log.out)};
}

}  // namespace

Commit find_commit(const fs::path& repo, const std::string& revision) {
  std::string sha = resolve(repo, revision);
  if (sha.empty())
    throw ValueError(repo.string() + ": no commit '" + revision + "' in this repository");
  return with_message(repo, std::move(sha));
}

std::optional<Commit> find_tag_commit(const fs::path& repo, const std::string& tag) {
  std::string sha = resolve(repo, "refs/tags/" + tag);
  if (sha.empty()) return std::nullopt;
  return with_message(repo, std::move(sha));
}

}  // namespace velquor::collect
