// run, advise and verify on a window of a generated history.

#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "shared/file_io.h"
#include "tests/cli/cli_test_support.h"

namespace velquor::cli::testing {
namespace {

class Windows : public ::testing::Test {
 protected:
  // One history run whole, the default advisory kept aside.
  static void SetUpTestSuite() {
    whole_ = new ScratchDir;
    ASSERT_EQ(velquor({"demo", whole_->str(), "--commits", "80"}).status, 0);
    Outcome run = velquor({"run", whole_->str()});
    ASSERT_EQ(run.status, 0) << run.err;
  }
  static void TearDownTestSuite() {
    delete whole_;
    whole_ = nullptr;
  }

  // A copy of the whole run to advise on again.
  static void copy_run(const ScratchDir& to) {
    for (const char* part : {"events", "phase2", "phase3", "phase4", "phase5"})
      fs::copy(whole_->path() / part, to.path() / part, fs::copy_options::recursive);
  }

  static Json phase5(const ScratchDir& dir, const char* file) { return read_json(dir.path() / "phase5" / file); }
  static std::string text(const ScratchDir& dir, const char* file) { return read_file(dir.path() / "phase5" / file); }

  // The newest `count` commit hashes, by observed time as stage 2 orders them.
  static std::set<std::string> newest_commits(size_t count) {
    std::vector<std::pair<std::string, std::string>> commits;
    for (const fs::path& file : list_json_files(whole_->path() / "events")) {
      const Json event = read_json(file);
      if (event["source_type"] == "git")
        commits.emplace_back(event["observed_at"].get<std::string>(), event["payload"]["commit_hash"].get<std::string>());
    }
    std::stable_sort(commits.begin(), commits.end(), [](auto& a, auto& b) { return a.first < b.first; });
    std::set<std::string> newest;
    for (size_t i = commits.size() - count; i < commits.size(); ++i) newest.insert(commits[i].second);
    return newest;
  }

  static ScratchDir* whole_;
};

ScratchDir* Windows::whole_ = nullptr;

TEST_F(Windows, LastCommitsNameOnlyTheirChangesAndSaySo) {
  ScratchDir dir;
  copy_run(dir);
  Outcome run = velquor({"run", dir.str(), "--last", "20"});
  ASSERT_EQ(run.status, 0) << run.err;
  const std::set<std::string> window = newest_commits(20);
  const Json advisory = phase5(dir, "advisory.json");
  const Json& record = advisory["window"];
  const std::string start = record["start"].get<std::string>();
  // A change of a commit belongs to one of the twenty; one without a commit
  // was observed after the oldest of them.
  auto inside = [&](const Json& change) {
    const std::string sha = change["trigger_commit"].get<std::string>();
    return sha.empty() ? change["observed_at"].get<std::string>() >= start : window.count(sha) > 0;
  };
  ASSERT_FALSE(advisory["changes"].empty());
  for (const Json& change : advisory["changes"]) EXPECT_TRUE(inside(change)) << change.dump();
  const Json evidence = phase5(dir, "evidence.json");
  for (const Json& commit : evidence["commits"])
    EXPECT_TRUE(window.count(commit["sha"].get<std::string>()));
  // The whole-history advisory named older changes: the window left them out.
  const Json whole = phase5(*whole_, "advisory.json")["changes"];
  EXPECT_FALSE(std::all_of(whole.begin(), whole.end(), inside));

  EXPECT_EQ(record["kind"], "last");
  EXPECT_EQ(record["argument"], "20");
  EXPECT_EQ(advisory["period"]["from"], record["start"]);
  EXPECT_EQ(advisory["period"]["to"], record["end"]);
  const std::string described = record["description"].get<std::string>();
  EXPECT_EQ(described.rfind("Last 20 commits (", 0), 0u) << described;
  EXPECT_NE(text(dir, "summary.txt").find("\nWindow: " + described + "\n"), std::string::npos);
  EXPECT_NE(text(dir, "chat.txt").find("\n" + described + "\n"), std::string::npos);
  EXPECT_NE(text(dir, "investigation_prompt.txt").find("during the window " + described + "."), std::string::npos);
  // The printed summary ends with the shifts that began in the window; the
  // files keep to the advisory.
  const std::string summary = text(dir, "summary.txt");
  EXPECT_EQ(run.out.rfind(summary + "\n\nSUSTAINED SHIFTS (", 0), 0u) << run.out;
  EXPECT_EQ(summary.find("SUSTAINED"), std::string::npos);
}

TEST_F(Windows, AWindowOverTheWholeHistoryReportsWhatTheDefaultDoes) {
  ScratchDir dir;
  copy_run(dir);
  ASSERT_EQ(velquor({"advise", dir.str(), "--since", "2000-01-01"}).status, 0);
  const Json fresh = phase5(dir, "advisory.json");
  const Json whole = phase5(*whole_, "advisory.json");
  EXPECT_EQ(fresh["changes"], whole["changes"]);
  for (const char* list : {"commits", "files_affected", "tests_impacted", "dependencies_changed", "timeline"})
    EXPECT_EQ(fresh["evidence"][list], whole["evidence"][list]) << list;
  // Without a window option nothing of the window shows.
  EXPECT_FALSE(whole.contains("window"));
  EXPECT_EQ(text(*whole_, "summary.txt").find("Window:"), std::string::npos);
  EXPECT_NE(text(*whole_, "summary.txt").find("\nPeriod: "), std::string::npos);
}

TEST_F(Windows, EmptyWindowsAreAnAllClearAndVerifyKeepsTheWindowKind) {
  ScratchDir dir;
  copy_run(dir);
  Outcome future = velquor({"advise", dir.str(), "--since", "2100-01-01"});
  EXPECT_EQ(future.out.rfind("No events since 2100-01-01\n", 0), 0u) << future.out;
  EXPECT_TRUE(phase5(dir, "advisory.json")["changes"].empty());
  EXPECT_EQ(phase5(dir, "advisory.json")["status"]["state"], "clear");

  ASSERT_EQ(velquor({"advise", dir.str(), "--last", "10"}).status, 0);
  const std::string end = phase5(dir, "advisory.json")["period"]["to"].get<std::string>();
  // verify with no window option compares a --last 10 advisory with a fresh one.
  Outcome verify = velquor({"verify", dir.str()});
  ASSERT_EQ(verify.status, 0) << verify.err;
  EXPECT_NE(verify.out.find("Fix Verification Report"), std::string::npos) << verify.out;
  EXPECT_EQ(phase5(dir, "advisory.json")["window"]["argument"], "10");
  // Nothing happened after the advisory's period.
  Outcome after = velquor({"verify", dir.str(), "--new"});
  EXPECT_EQ(after.out, "No new events since " + end.substr(0, 10) + ": nothing to verify.\n");
  Outcome fresh = velquor({"advise", dir.str(), "--new"});
  EXPECT_EQ(fresh.out.rfind("No new events since " + end.substr(0, 10) + "\n", 0), 0u) << fresh.out;
}

TEST_F(Windows, AnUnusableEarlierAdvisoryIsARuntimeErrorNamingIt) {
  const char* faulty[] = {"{\"period\": {\"to\": \"soon\"}}", "{\"period\": 5}", "{\"peri", ""};
  for (const char* content : faulty) {
    for (const char* command : {"run", "advise", "verify"}) {
      ScratchDir dir;
      copy_run(dir);
      write_file_atomic(dir.path() / "phase5" / "advisory.json", content);
      Outcome outcome = velquor({command, dir.str(), "--new"});
      EXPECT_EQ(outcome.status, 1) << command << " " << content;
      EXPECT_NE(outcome.err.find("advisory.json"), std::string::npos) << outcome.err;
    }
  }
}

TEST_F(Windows, EventsTheRunSkipsAreInNoWindow) {
  ScratchDir dir;
  copy_run(dir);
  write_file_atomic(dir.path() / "events" / "zz-unreadable.json", "{\"broken");
  Outcome run = velquor({"run", dir.str(), "--skip-bad-events", "--last", "5"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(phase5(dir, "advisory.json")["window"]["argument"], "5");
}

TEST(WindowOptions, UsageErrorsNameTheOption) {
  ScratchDir dir;
  fs::create_directories(dir.path() / "events");
  // The messages themselves are checked with the window arithmetic.
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"--since", "yesterday"}, "--since"},
      {{"--last", "0"}, "--last"},
      {{"--since", "30d", "--last", "5"}, "--since and --last"},
  };
  for (const char* command : {"run", "advise", "verify"}) {
    for (const auto& [options, named] : cases) {
      std::vector<std::string> args = {command, dir.str()};
      args.insert(args.end(), options.begin(), options.end());
      Outcome outcome = velquor(args);
      EXPECT_EQ(outcome.status, 2) << command << " " << options[0];
      EXPECT_NE(outcome.err.find(named), std::string::npos) << outcome.err;
    }
  }
}

}  // namespace
}  // namespace velquor::cli::testing
