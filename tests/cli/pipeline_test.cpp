// The whole pipeline through the command, on a small generated history.

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>

#include "shared/file_io.h"
#include "tests/cli/cli_test_support.h"

namespace velquor::cli::testing {
namespace {

constexpr const char* kCommits = "80";

class Pipeline : public ::testing::Test {
 protected:
  // One demo history for the whole suite; tests that change a directory
  // work on a copy of its events.
  static void SetUpTestSuite() {
    demo_ = new ScratchDir;
    Outcome demo = velquor({"demo", demo_->str(), "--commits", kCommits});
    ASSERT_EQ(demo.status, 0) << demo.err;
  }
  static void TearDownTestSuite() {
    delete demo_;
    demo_ = nullptr;
  }

  // A data directory holding a copy of the demo's events.
  static void copy_events(const ScratchDir& to) {
    fs::copy(demo_->path() / "events", to.path() / "events", fs::copy_options::recursive);
  }

  static Outcome run_ok(const std::vector<std::string>& args) {
    Outcome run = velquor(args);
    EXPECT_EQ(run.status, 0) << args[0] << ": " << run.err;
    return run;
  }

  static ScratchDir* demo_;
};

ScratchDir* Pipeline::demo_ = nullptr;

TEST_F(Pipeline, ReportNeedsAnAdvisoryAndWritesWhereAsked) {
  ScratchDir dir;
  copy_events(dir);
  Outcome early = velquor({"report", dir.str()});
  EXPECT_EQ(early.status, 1);
  EXPECT_NE(early.err.find("advisory.json"), std::string::npos) << early.err;
  run_ok({"run", dir.str()});
  const std::string page = (dir.path() / "page.html").string();
  Outcome report = run_ok({"report", dir.str(), "--last", "20", "-o", page});
  EXPECT_EQ(report.out.rfind("wrote " + page, 0), 0u) << report.out;
  EXPECT_NE(read_file(page).find("Window: Last 20 commits"), std::string::npos);
  EXPECT_FALSE(fs::exists(dir.path() / "phase5" / "report.html"));
}

TEST_F(Pipeline, DemoIsDeterministicAndCoversEveryFamily) {
  ScratchDir again;
  run_ok({"demo", again.str(), "--commits", kCommits});
  std::set<std::string> families;
  const auto files = list_json_files(demo_->path() / "events");
  ASSERT_EQ(files.size(), list_json_files(again.path() / "events").size());
  for (const auto& file : files) {
    EXPECT_EQ(read_file(file), read_file(again.path() / "events" / file.filename()));
    families.insert(read_json(file)["source_family"].get<std::string>());
  }
  EXPECT_EQ(families.size(), 10u);
  // A second demo into the same place would mix two histories.
  EXPECT_EQ(velquor({"demo", again.str()}).status, 1);
}

TEST_F(Pipeline, RunWritesEveryStageAndReportsProgress) {
  ScratchDir dir;
  copy_events(dir);
  Outcome run = run_ok({"run", dir.str()});
  EXPECT_NE(run.out.find("Velquor Advisory"), std::string::npos) << run.out;
  for (const char* stage : {"stage 2 baseline: ", "stage 3 explain: ", "stage 4 learn: ",
                            "stage 5 advise: "})
    EXPECT_NE(run.err.find(stage), std::string::npos) << run.err;
  for (const char* file : {"phase2/git_signals.json", "phase3/explanations.json",
                           "phase4/knowledge.db", "phase4/phase4_summary.json",
                           "phase5/advisory.json", "phase5/evidence.json", "phase5/summary.txt",
                           "phase5/chat.txt", "phase5/investigation_prompt.txt"})
    EXPECT_TRUE(fs::exists(dir.path() / file)) << file;
  // The drift at the end of the demo is what the advisory reports.
  const Json advisory = read_json(dir.path() / "phase5" / "advisory.json");
  EXPECT_GE(advisory["changes"].size(), 5u);
  EXPECT_GT(advisory["summary"]["known_patterns_matched"].get<int>(), 0);
  EXPECT_EQ(read_file(dir.path() / "phase5" / "summary.txt") + "\n", run.out);

  Outcome patterns = run_ok({"patterns", dir.str()});
  EXPECT_NE(patterns.out.find("Active patterns ("), std::string::npos);
  const Json listed = parse_json(run_ok({"patterns", dir.str(), "--json"}).out, "stdout");
  ASSERT_FALSE(listed["patterns"].empty());
  const std::string id = listed["patterns"][0]["pattern_id"].get<std::string>();
  Outcome history = run_ok({"patterns", dir.str(), "--history", id});
  EXPECT_NE(history.out.find("created"), std::string::npos) << history.out;
  EXPECT_EQ(velquor({"patterns", dir.str(), "--history", "0000000000000000"}).status, 1);
}

TEST_F(Pipeline, JsonOutputIsTheRunResultAloneAndTheGateTrips) {
  ScratchDir dir;
  copy_events(dir);
  Outcome run =
      velquor({"run", dir.str(), "--json", "--fail-on", "HIGH", "--sequential", "--quiet"});
  EXPECT_EQ(run.status, 3) << run.err;
  EXPECT_EQ(line_count(run.err), 1u) << run.err;  // --quiet: the gate's line alone
  const Json result = parse_json(run.out, "stdout");
  EXPECT_EQ(result["status"], "complete");
  EXPECT_EQ(result["advisory"], read_json(dir.path() / "phase5" / "advisory.json"));
  EXPECT_NE(run.err.find("HIGH"), std::string::npos);
}

TEST_F(Pipeline, AcceptingEveryChangeGivesAnAllClear) {
  ScratchDir dir;
  copy_events(dir);
  run_ok({"run", dir.str()});
  const Json changes = read_json(dir.path() / "phase5" / "advisory.json")["changes"];
  ASSERT_FALSE(changes.empty());
  for (const auto& change : changes)
    run_ok({"accept", dir.str(), change["family"].get<std::string>(),
            change["metric"].get<std::string>(), "--reason", "the restructuring was planned",
            "--since", "2025-01-01"});
  Outcome listed = run_ok({"accepted", dir.str()});
  EXPECT_EQ(line_count(listed.out), 2 * changes.size());
  EXPECT_NE(listed.out.find("since 2025-01-01T00:00:00Z"), std::string::npos) << listed.out;

  Outcome clear = velquor({"run", dir.str(), "--fail-on", "NOTABLE"});
  EXPECT_EQ(clear.status, 0) << clear.err;
  EXPECT_EQ(clear.out.rfind("All clear", 0), 0u) << clear.out;

  // Verifying against the advisory before the acceptance: everything resolved.
  Outcome verify = run_ok({"verify", dir.str()});
  EXPECT_NE(verify.out.find("Fix Verification Report"), std::string::npos) << verify.out;
  EXPECT_EQ(read_json(dir.path() / "phase5" / "verification.json")["summary"]["total_before"], 0)
      << "the all-clear advisory was the previous one";
}

TEST_F(Pipeline, AcceptedMetricLeavesTheAdvisoryAndVerifyCountsItResolved) {
  ScratchDir dir;
  copy_events(dir);
  run_ok({"run", dir.str()});
  const fs::path advisory_path = dir.path() / "phase5" / "advisory.json";
  const Json before = read_json(advisory_path);
  const Json top = before["changes"][0];
  run_ok({"accept", dir.str(), top["family"].get<std::string>(), top["metric"].get<std::string>(),
          "--reason", "known and planned"});

  Outcome verify = run_ok({"verify", dir.str()});
  EXPECT_NE(verify.out.find("RESOLVED:"), std::string::npos) << verify.out;
  const Json verification = read_json(dir.path() / "phase5" / "verification.json");
  EXPECT_EQ(verification["summary"]["resolved"], 1);
  EXPECT_EQ(verification["resolved"][0]["metric"], top["metric"]);
  const Json after = read_json(advisory_path);
  EXPECT_EQ(after["changes"].size() + 1, before["changes"].size());
  EXPECT_EQ(after["summary"]["accepted_changes"], 1);

  Outcome missing = velquor({"verify", dir.str(), "--previous", (dir.path() / "old.json").string()});
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.err.find("old.json"), std::string::npos) << missing.err;
}

TEST_F(Pipeline, StagesRunAloneAndAFailingFamilyDoesNotStopTheOtherFamilies) {
  ScratchDir dir;
  copy_events(dir);
  // One CI event whose duration is text breaks the CI family only.
  const auto events = list_json_files(dir.path() / "events");
  auto ci = std::find_if(events.begin(), events.end(), [](const fs::path& p) {
    return p.filename().string().find("-ci.json") != std::string::npos;
  });
  ASSERT_NE(ci, events.end());
  Json broken = read_json(*ci);
  broken["payload"]["timing"]["duration_seconds"] = "slow";
  write_json_file(*ci, broken);

  Outcome baseline = velquor({"baseline", dir.str()});
  EXPECT_EQ(baseline.status, 1);
  EXPECT_NE(baseline.out.find("  ci              failed: "), std::string::npos) << baseline.out;
  EXPECT_NE(baseline.out.find(ci->filename().string()), std::string::npos) << baseline.out;
  EXPECT_NE(baseline.out.find("  git             "), std::string::npos);
  EXPECT_FALSE(fs::exists(dir.path() / "phase2" / "ci_signals.json"));
  EXPECT_TRUE(fs::exists(dir.path() / "phase2" / "testing_signals.json"));

  Outcome sequential = velquor({"baseline", dir.str(), "--sequential"});
  EXPECT_EQ(sequential.status, 1);
  EXPECT_NE(sequential.err.find(ci->filename().string()), std::string::npos) << sequential.err;

  EXPECT_NE(run_ok({"explain", dir.str()}).out.find("explanations"), std::string::npos);
  Outcome learn = run_ok({"learn", dir.str(), "-vv", "--param", "min_support=4"});
  EXPECT_NE(learn.out.find("patterns: "), std::string::npos) << learn.out;
  EXPECT_NE(learn.err.find("velquor.phase4"), std::string::npos) << learn.err;
  Outcome advise = run_ok({"advise", dir.str(), "--scope", "shop"});
  EXPECT_NE(advise.out.find("advisory.json"), std::string::npos) << advise.out;
  EXPECT_EQ(read_json(dir.path() / "phase5" / "advisory.json")["scope"], "shop");

  Outcome run = velquor({"run", dir.str()});
  EXPECT_EQ(run.status, 1) << "a failed family is a runtime error";
  EXPECT_NE(run.err.find("stage 2 failed for 1 family (ci)"), std::string::npos) << run.err;
  EXPECT_EQ(run.err.find("stage 3"), std::string::npos) << "the run stops before learning";
}

TEST(Examples, EveryExampleEventIsReadByItsFamily) {
  // The README points collector authors at these files; each must be an
  // event that stage 2 reads without complaint.
  ScratchDir dir;
  fs::create_directories(dir.path() / "events");
  for (const auto& file : list_json_files(fs::path(VELQUOR_SOURCE_DIR) / "examples" / "events"))
    fs::copy_file(file, dir.path() / "events" / file.filename());
  Outcome run = velquor({"baseline", dir.str(), "--min-baseline", "1"});
  EXPECT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_EQ(run.out.find("failed"), std::string::npos) << run.out;
  EXPECT_EQ(run.out.find("no events"), std::string::npos) << run.out;
}

TEST(Demo, ShortestHistoryRunsAndUnwritablePlacesFailCleanly) {
  ScratchDir dir;
  ASSERT_EQ(velquor({"demo", dir.str(), "--commits", "10"}).status, 0);
  Outcome run = velquor({"run", dir.str(), "-v"});
  EXPECT_EQ(run.status, 0) << run.err;

  ScratchDir blocked;
  write_file_atomic(blocked.path() / "events", "a file where the folder should be");
  Outcome demo = velquor({"demo", blocked.str()});
  EXPECT_EQ(demo.status, 1);
  EXPECT_EQ(line_count(demo.err), 1u) << demo.err;
  EXPECT_NE(demo.err.find("events"), std::string::npos) << demo.err;
}

TEST_F(Pipeline, AcceptKnowsExactlyTheMetricsTheSignalsCarry) {
  ScratchDir dir;  // long enough for every family to reach its baseline
  run_ok({"demo", dir.str(), "--commits", "200"});
  run_ok({"baseline", dir.str()});
  std::map<std::string, std::set<std::string>> from_signals;
  for (const auto& file : list_json_files(dir.path() / "phase2"))
    for (const auto& signal : read_json(file))
      from_signals[signal["engine_id"].get<std::string>()].insert(signal["metric"].get<std::string>());
  ASSERT_EQ(from_signals.size(), 10u);
  for (const auto& [family, metrics] : from_signals) {
    Outcome refused = velquor({"accept", dir.str(), family, "no_such_metric", "--reason", "x"});
    const size_t start = refused.err.find("(valid: ");
    ASSERT_NE(start, std::string::npos) << refused.err;
    const std::string list = refused.err.substr(start + 8, refused.err.find(')', start) - start - 8);
    std::set<std::string> accepted;
    for (size_t from = 0; from <= list.size();) {
      size_t comma = std::min(list.find(", ", from), list.size());
      accepted.insert(list.substr(from, comma - from));
      from = comma + 2;
    }
    EXPECT_EQ(accepted, metrics) << family;
  }
}

}  // namespace
}  // namespace velquor::cli::testing
