// Reading git's NUL-separated log output, and the event file names.

#include <gtest/gtest.h>

#include "cli/git_history.h"

namespace velquor::cli {
namespace {

using namespace std::string_literals;

const std::string kHashA(40, 'a'), kHashB(40, 'b');

std::string record(const std::string& hash, const std::string& message,
                   const std::vector<std::string>& files) {
  std::string out = "\x1e" + hash + "\0Ann\0"s + "100\0"s + "200\0"s + message + "\0"s;
  for (size_t i = 0; i < files.size(); ++i) out += (i == 0 ? "\n" : "") + files[i] + "\0"s;
  return out;
}

TEST(GitLog, RecordsFilesAndMergesWithoutFiles) {
  const std::string output = record(kHashA, "First\n\nbody\n\n", {"a.txt", "\nstarts with a line feed"}) +
                             record(kHashB, "", {});
  auto commits = parse_git_log(output);
  ASSERT_EQ(commits.size(), 2u);
  EXPECT_EQ(commits[0].hash, kHashA);
  EXPECT_EQ(commits[0].author, "Ann");
  EXPECT_EQ(commits[0].authored_unix, 100);
  EXPECT_EQ(commits[0].committed_unix, 200);
  EXPECT_EQ(commits[0].message, "First\n\nbody");
  // Only the first path carries git's separating line feed.
  EXPECT_EQ(commits[0].files, (std::vector<std::string>{"a.txt", "\nstarts with a line feed"}));
  EXPECT_EQ(commits[1].message, "");
  EXPECT_TRUE(commits[1].files.empty());
  EXPECT_TRUE(parse_git_log("").empty());
}

TEST(GitLog, TruncatedOrForeignOutputIsAnError) {
  const std::string full = record(kHashA, "msg", {"a"});
  EXPECT_THROW(parse_git_log(full.substr(0, 45)), std::exception);
  EXPECT_THROW(parse_git_log("warning: something\0"s), std::exception);
  std::string bad_time = full;
  bad_time.replace(bad_time.find("100"), 3, "1x0");
  EXPECT_THROW(parse_git_log(bad_time), std::exception);
}

TEST(GitLog, EventNamesSortLikeHistoryAndGiveTheirHashBack) {
  GitCommit commit;
  commit.hash = kHashA;
  commit.committed_unix = 1709280000;  // 2024-03-01T08:00:00Z
  const std::string name = git_event_file_name(commit, 1);
  EXPECT_EQ(name, "git-20240301T080000Z-0001-" + kHashA + ".json");
  EXPECT_LT(git_event_file_name(commit, 0), name);
  EXPECT_EQ(hash_of_git_event_file(name), kHashA);
  EXPECT_EQ(hash_of_git_event_file("00001-ci.json"), "");
  EXPECT_EQ(hash_of_git_event_file("git-notes.json"), "");
}

}  // namespace
}  // namespace velquor::cli
