// collect git on a small repository made by the test: merges, non-ASCII and
// quoted paths, equal commit times, re-runs.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <map>

#include "shared/file_io.h"
#include "tests/cli/cli_test_support.h"

namespace velquor::cli::testing {
namespace {

class CollectGit : public ::testing::Test {
 protected:
  void SetUp() override {
    // Only the repository's own settings count, whatever the machine has.
    ::setenv("GIT_CONFIG_NOSYSTEM", "1", 1);
    ::setenv("GIT_CONFIG_GLOBAL", "/dev/null", 1);
    repo_ = repo_dir_.str();
    git({"init", "-q", "-b", "main"});
    git({"config", "user.name", "Zo\xc3\xab Dev"});
    git({"config", "user.email", "zoe@example.com"});
    git({"config", "core.quotepath", "true"});  // collect must not depend on it
  }

  std::string git(std::vector<std::string> args) {
    args.insert(args.begin(), {"git", "-C", repo_});
    return must_run(args);
  }

  void write(const std::string& path, const std::string& text) {
    fs::create_directories((repo_dir_.path() / path).parent_path());
    write_file_atomic(repo_dir_.path() / path, text);
  }

  // Commits everything with both times pinned to `when`.
  void commit(const std::string& message, const std::string& when) {
    ::setenv("GIT_AUTHOR_DATE", when.c_str(), 1);
    ::setenv("GIT_COMMITTER_DATE", when.c_str(), 1);
    git({"add", "-A"});
    git({"commit", "-q", "-m", message});
  }

  // The collected events by commit hash.
  std::map<std::string, Json> events() {
    std::map<std::string, Json> by_hash;
    for (const auto& file : list_json_files(data_.path() / "events")) {
      Json event = read_json(file);
      by_hash[event["payload"]["commit_hash"].get<std::string>()] = event;
    }
    return by_hash;
  }

  ScratchDir repo_dir_, data_;
  std::string repo_;
};

TEST_F(CollectGit, HistoryBecomesOneEventPerCommit) {
  write("caf\xc3\xa9/men\xc3\xbc.txt", "a");
  write("quote\"d name.txt", "b");
  commit("First\n\nWith a body.", "2024-03-01T10:00:00+02:00");
  git({"checkout", "-q", "-b", "side"});
  write("side.txt", "c");
  commit("Side work", "2024-03-01T10:00:00+02:00");  // same second as its parent
  git({"checkout", "-q", "main"});
  write("src/main.c", "d");
  git({"mv", "quote\"d name.txt", "renamed.txt"});
  commit("Main work", "2024-03-02T09:00:00Z");
  ::setenv("GIT_COMMITTER_DATE", "2024-03-03T09:00:00Z", 1);
  git({"merge", "-q", "--no-ff", "-m", "Merge side", "side"});

  Outcome run = velquor({"collect", "git", repo_, data_.str()});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("collected 4 new commits"), std::string::npos) << run.out;
  auto by_hash = events();
  ASSERT_EQ(by_hash.size(), 4u);

  const std::string head = git({"rev-parse", "HEAD"}).substr(0, 40);
  const Json& merge = by_hash.at(head);
  EXPECT_EQ(merge["event_id"], "git-" + head);
  EXPECT_EQ(merge["source_family"], "version_control");
  EXPECT_EQ(merge["source_type"], "git");
  EXPECT_EQ(merge["observed_at"], "2024-03-03T09:00:00Z");
  EXPECT_EQ(merge["payload"]["files"], Json::array());
  EXPECT_EQ(merge["payload"]["message"], "Merge side");
  EXPECT_EQ(merge["payload"]["author"], "Zo\xc3\xab Dev");
  EXPECT_EQ(merge["attestation"]["commit_hash"], head);

  const std::string first_hash = git({"rev-list", "--max-parents=0", "HEAD"}).substr(0, 40);
  const Json& first = by_hash.at(first_hash);
  EXPECT_EQ(first["payload"]["message"], "First\n\nWith a body.");
  EXPECT_EQ(first["payload"]["committed_at"], "2024-03-01T08:00:00Z");
  EXPECT_EQ(first["payload"]["files"],
            Json::parse(R"(["caf\u00e9/men\u00fc.txt", "quote\"d name.txt"])"));

  const std::string main_hash = git({"rev-parse", "HEAD^1"}).substr(0, 40);
  EXPECT_EQ(by_hash.at(main_hash)["payload"]["files"],
            Json::parse(R"(["quote\"d name.txt", "renamed.txt", "src/main.c"])"));

  // Equal time stamps: the parent's file sorts before its child's.
  const auto files = list_json_files(data_.path() / "events");
  EXPECT_NE(files[0].filename().string().find(first_hash), std::string::npos);
  EXPECT_EQ(read_file(files[0]), dump_pretty(first));
}

TEST_F(CollectGit, RerunAddsOnlyNewCommitsAndMaxCommitsLimits) {
  for (int i = 0; i < 3; ++i) {
    write("f" + std::to_string(i) + ".txt", "x");
    commit("Commit " + std::to_string(i), "2024-05-0" + std::to_string(i + 1) + "T12:00:00Z");
  }
  ASSERT_EQ(velquor({"collect", "git", repo_, data_.str(), "--max-commits", "2"}).status, 0);
  EXPECT_EQ(events().size(), 2u);
  const auto before = list_json_files(data_.path() / "events");

  Outcome again = velquor({"collect", "git", repo_, data_.str()});
  EXPECT_EQ(again.status, 0) << again.err;
  EXPECT_NE(again.out.find("collected 1 new commit "), std::string::npos) << again.out;
  EXPECT_NE(again.out.find("(2 already there)"), std::string::npos) << again.out;

  write("f9.txt", "y");
  commit("Later", "2024-05-09T12:00:00Z");
  Outcome third = velquor({"collect", "git", repo_, data_.str()});
  EXPECT_NE(third.out.find("collected 1 new commit "), std::string::npos) << third.out;
  const auto after = list_json_files(data_.path() / "events");
  EXPECT_EQ(after.size(), 4u);
  for (const auto& file : before) EXPECT_TRUE(fs::exists(file)) << file;
}

TEST_F(CollectGit, NonRepositoryAndEmptyRepositoryAreRuntimeErrors) {
  ScratchDir plain;
  Outcome not_repo = velquor({"collect", "git", plain.str(), data_.str()});
  EXPECT_EQ(not_repo.status, 1);
  EXPECT_EQ(line_count(not_repo.err), 1u) << not_repo.err;
  EXPECT_NE(not_repo.err.find(plain.str()), std::string::npos) << not_repo.err;
  Outcome empty = velquor({"collect", "git", repo_, data_.str()});
  EXPECT_EQ(empty.status, 1) << "a repository without commits has no history to collect";
  EXPECT_TRUE(list_json_files(data_.path() / "events").empty());
}

TEST_F(CollectGit, CollectedHistoryRunsThroughStageTwo) {
  for (int i = 0; i < 8; ++i) {
    write("src/m" + std::to_string(i % 3) + ".c", std::to_string(i));
    if (i % 2) write("docs/n" + std::to_string(i) + ".md", "x");
    commit("Change " + std::to_string(i), "2024-06-0" + std::to_string(i + 1) + "T08:00:00Z");
  }
  ASSERT_EQ(velquor({"collect", "git", repo_, data_.str()}).status, 0);
  Outcome baseline = velquor({"baseline", data_.str()});
  EXPECT_EQ(baseline.status, 0) << baseline.err;
  EXPECT_EQ(read_json(data_.path() / "phase2" / "git_signals.json").size(), 3u * 4u);
}

TEST_F(CollectGit, PathsThatAreNotUtf8BecomeReplacementCharacters) {
  write("bad\xffname.txt", "x");
  write("tab\tand\nnewline.txt", "y");
  commit("Odd names", "2024-07-01T08:00:00Z");
  Outcome run = velquor({"collect", "git", repo_, data_.str()});
  ASSERT_EQ(run.status, 0) << run.err;
  const Json files = events().begin()->second["payload"]["files"];
  EXPECT_EQ(files, Json::parse(R"(["bad\ufffdname.txt", "tab\tand\nnewline.txt"])")) << files;
}

}  // namespace
}  // namespace velquor::cli::testing
