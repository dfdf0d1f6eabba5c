#include "tests/collect/collect_test_support.h"

#include <stdlib.h>

#include <algorithm>

namespace velquor::collect::testing {

PinnedRepository::PinnedRepository() {
  ::setenv("GIT_CONFIG_NOSYSTEM", "1", 1);
  ::setenv("GIT_CONFIG_GLOBAL", "/dev/null", 1);
  ::setenv("VELQUOR_NOW", "2025-04-01T12:00:00Z", 1);
  for (const char* who : {"GIT_AUTHOR", "GIT_COMMITTER"}) {
    ::setenv((std::string(who) + "_NAME").c_str(), "Ana Lima", 1);
    ::setenv((std::string(who) + "_EMAIL").c_str(), "ana@example.com", 1);
  }
  git({"init", "-q", "-b", "main"});
  for (auto [when, message] : {std::pair{"2025-03-10T08:00:00Z", "Prepare release 1.1.0"},
                               std::pair{"2025-03-20T15:00:00Z", "Add cart handling\n\nWith a body."}}) {
    ::setenv("GIT_AUTHOR_DATE", when, 1);
    ::setenv("GIT_COMMITTER_DATE", when, 1);
    git({"commit", "-q", "--allow-empty", "-m", message});
    if (std::string(message).starts_with("Prepare")) git({"tag", "v1.1.0"});
  }
}

std::string PinnedRepository::git(std::vector<std::string> args) const {
  args.insert(args.begin(), {"git", "-C", dir_.str()});
  return cli::testing::must_run(args);
}

std::string PinnedRepository::head() const { return git({"rev-parse", "HEAD"}).substr(0, 40); }

std::vector<fs::path> case_folders() {
  std::vector<fs::path> folders;
  for (const auto& entry : fs::directory_iterator(fs::path(VELQUOR_SOURCE_DIR) / "tests/collect/golden"))
    if (entry.is_directory()) folders.push_back(entry.path());
  std::sort(folders.begin(), folders.end());
  return folders;
}

}  // namespace velquor::collect::testing
