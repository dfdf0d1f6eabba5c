// The pipeline run: result cases, change records, de-duplication, grouping
// and the accepted-deviation paths.

#include <gtest/gtest.h>

#include "fixture.h"
#include "shared/errors.h"
#include "velquor/morvic/morvic.h"

namespace velquor::esperlin::testing {
namespace {

class RunTest : public DataDir {
 protected:
  Json run() { return Esperlin(dir).run("proj"); }

  Json change(const std::string& family, const std::string& metric, double deviation,
              const std::string& event_ref) {
    return Json{{"family", family}, {"metric", metric}, {"deviation_stddev", deviation}, {"event_ref", event_ref}};
  }
};

TEST_F(RunTest, WithoutSignalsNothingIsWrittenButExpiredAcceptancesAreCleaned) {
  write_json("accepted_deviations.json",
             Json::array({{{"family", "git"}, {"metric", "m"}, {"reason", "r"}, {"accepted_at", "2025-01-01T00:00:00Z"},
                           {"from_commit", ""}, {"since", ""}, {"expires_at", "2025-02-01T00:00:00Z"}}}));
  EXPECT_EQ(run(), (Json{{"status", "no_signals"}, {"advisory", nullptr}}));
  EXPECT_EQ(read_file(dir / "accepted_deviations.json"), "[]");
  EXPECT_TRUE(fs::is_empty(dir / "phase5"));

  write_signals("git", Json::array({signal("git", "files_touched", "g1", 5, 1.0)}));
  EXPECT_EQ(run(), (Json{{"status", "no_significant_changes"}, {"advisory", nullptr}}));
  EXPECT_TRUE(fs::is_empty(dir / "phase5"));
}

TEST_F(RunTest, ChangeRecordCarriesNormalValuesAndTheTrigger) {
  Esperlin engine(dir);
  const Json events = {{"g1", git_event("g1", "abc", "2025-01-01", {"x.py"}, "msg")},
                       {"c1", family_event("c1", "ci", "2025-01-02", {{"trigger", {{"commit_sha", "abc"}}}})}};
  const Json explanations = {{"c1:ci:run_duration", {{"summary", "by ref"}}}, {"git:files_touched", Json::object()}};
  Json s = signal("git", "files_touched", "g1", 12, 2.675,
                  {{"mean", 1.23456}, {"stddev", 0.00005}, {"median", 2}});
  s["deviation"].erase("unit");
  EXPECT_EQ(engine._format_change(s, explanations, events),
            (Json{{"family", "git"}, {"metric", "files_touched"},
                  {"normal", {{"mean", 1.2346}, {"stddev", 0.0001}, {"median", 2}, {"mad", 0}}},
                  {"current", 12}, {"deviation_stddev", 2.67}, {"deviation_unit", "modified_zscore"},
                  {"description", ""}, {"event_ref", "g1"}, {"trigger_commit", "abc"}, {"commit_message", "msg"},
                  {"observed_at", "2025-01-01"}, {"trigger_files", {"x.py"}}}));
  const Json ci = engine._format_change(signal("ci", "run_duration", "c1", 5, -3), explanations, events);
  EXPECT_EQ(ci["description"], "by ref");
  EXPECT_EQ(ci["deviation_stddev"], -3);
  EXPECT_EQ(ci["trigger_commit"], "abc");
  EXPECT_EQ(ci["commit_message"], "");
  EXPECT_EQ(ci["trigger_files"], Json::array());
  const Json alone = engine._format_change(signal("ci", "run_duration", "c1", 5, 3.0), Json::object());
  EXPECT_EQ(alone["observed_at"], "");
  EXPECT_THROW(engine._format_change(signal("ci", "x", "c1", 5, 3.0), Json::array()), TypeError);
}

TEST_F(RunTest, GroupsPutTheStrongestFirstAndUngroupedChangesLast) {
  Esperlin engine(dir);
  const Json groups = engine._group_by_trigger_event(Json::array(
      {change("git", "a", 2.0, "e1"), change("ci", "b", 9.0, ""), change("testing", "c", -4.0, "e2"),
       change("ci", "d", 3.0, "e1"), change("git", "e", 3.5, "e1"), change("git", "f", 1.6, "")}));
  ASSERT_EQ(groups.size(), 4u);
  EXPECT_EQ(groups[0]["event_ref"], "e2");
  EXPECT_EQ(groups[1]["event_ref"], "e1");
  EXPECT_EQ(groups[1]["primary"]["metric"], "e");
  EXPECT_EQ(groups[1]["families"], (Json{"ci", "git"}));
  EXPECT_EQ(groups[1]["signal_count"], 3);
  EXPECT_EQ(groups[1]["changes"][2]["metric"], "a");
  EXPECT_EQ(groups[2], (Json{{"event_ref", nullptr}, {"primary", change("ci", "b", 9.0, "")}, {"families", {"ci"}},
                             {"changes", {change("ci", "b", 9.0, "")}}, {"signal_count", 1}}));
  EXPECT_EQ(groups[3]["primary"]["metric"], "f");
}

TEST_F(RunTest, ChangesAreOnePerMetricStrongestFirst) {
  write_signals("git", Json::array({signal("git", "dispersion", "g1", 5, -3.2), signal("git", "files_touched", "g1", 5, 2.5),
                                    signal("git", "dispersion", "g2", 5, 3.2), signal("git", "change_locality", "g2", 5, 3.2),
                                    signal("git", "files_touched", "g2", 5, 2.504)}));
  const Json result = run();
  std::vector<std::string> order;
  for (const Json& c : result["advisory"]["changes"])
    order.push_back(c["metric"].get<std::string>() + " " + c["event_ref"].get<std::string>());
  // -3.2 (first of the tie) before 3.2 before 2.5; 2.504 rounds to 2.5 and does not replace.
  EXPECT_EQ(order, (std::vector<std::string>{"dispersion g1", "change_locality g2", "files_touched g1"}));
  // Events are missing: the period is the run time.
  EXPECT_EQ(result["advisory"]["period"], (Json{{"from", kNow}, {"to", kNow}}));
  EXPECT_EQ(result["advisory"]["summary"]["event_groups"], 2);
}

class AcceptedRunTest : public RunTest {
 protected:
  void SetUp() override {
    write_event(git_event("g1", "abc", "2025-03-01T00:00:00Z"));
    write_signals("git", Json::array({signal("git", "files_touched", "g1", 40, 4.0),
                                      signal("git", "dispersion", "g1", 0.9, 2.0)}));
    write_signals("ci", Json::array({signal("ci", "run_duration", "g1", 40, 3.0)}));
    write_json("phase5/chat.txt", "earlier chat");
    write_json("phase5/investigation_prompt.txt", "earlier prompt");
  }
  void accept(const std::string& family, const std::string& metric) {
    morvic::AcceptedDeviations(dir).accept(family, metric, "new normal");
  }
};

TEST_F(AcceptedRunTest, AcceptedChangesAreFilteredAndPatternsFollowTheKeptOnes) {
  accept("git", "dispersion");
  const Json result = run();
  const Json& summary = result["advisory"]["summary"];
  EXPECT_EQ(summary["significant_changes"], 2);
  EXPECT_EQ(summary["accepted_changes"], 1);
  EXPECT_EQ(summary["accepted_metrics"], (Json{"git/dispersion"}));
  EXPECT_EQ(summary["families_affected"], (Json{"ci", "git"}));
  EXPECT_NE(output("summary.txt").find("2 significant changes detected across CI / Build and Version Control "
                                       "(1 accepted — filtered: git/dispersion)."),
            std::string::npos);
}

TEST_F(AcceptedRunTest, AllAcceptedGivesTheAllClearAdvisory) {
  for (const char* metric : {"files_touched", "dispersion"}) accept("git", metric);
  accept("ci", "run_duration");
  const Json result = run();
  const Json& advisory = result["advisory"];
  std::vector<std::string> keys;
  for (const auto& item : result.items()) keys.push_back(item.key());
  EXPECT_EQ(keys, (std::vector<std::string>{"status", "advisory", "human_summary", "formats"}));
  EXPECT_EQ(result["human_summary"], "All clear — 3 accepted deviation(s), no new issues detected.");
  EXPECT_EQ(output("summary.txt"), result["human_summary"].get<std::string>());
  EXPECT_EQ(advisory["advisory_id"], _content_hash(Json{{"scope", "proj"}, {"accepted", 3}}));
  EXPECT_FALSE(advisory.contains("evidence"));
  EXPECT_EQ(advisory["summary"]["accepted_metrics"], (Json{"git/files_touched", "ci/run_duration", "git/dispersion"}));
  EXPECT_EQ(advisory["status"]["state"], "clear");
  EXPECT_EQ(advisory["period"]["from"], "2025-03-01T00:00:00Z");
  const Json evidence = parse_json(output("evidence.json"), "evidence.json");
  EXPECT_EQ(evidence.begin().key(), "commits");
  EXPECT_EQ(result["formats"], (Json{{"json", (dir / "phase5" / "advisory.json").string()},
                                     {"human", (dir / "phase5" / "summary.txt").string()}}));
  EXPECT_EQ(output("chat.txt"), "\"earlier chat\"");
  EXPECT_EQ(output("investigation_prompt.txt"), "\"earlier prompt\"");
}

TEST_F(AcceptedRunTest, AcceptanceFromACommitCoversThatCommitsSuccessorsOnly) {
  write_event(git_event("g0", "old", "2025-02-01T00:00:00Z"));
  write_event(git_event("g2", "def", "2025-03-02T00:00:00Z"));
  morvic::AcceptedDeviations(dir).accept("git", "files_touched", "later", "def");
  EXPECT_EQ(run()["advisory"]["summary"]["accepted_changes"], 0);
  morvic::AcceptedDeviations(dir).accept("git", "files_touched", "earlier", "old");
  EXPECT_EQ(run()["advisory"]["summary"]["accepted_metrics"], (Json{"git/files_touched"}));
}

TEST_F(RunTest, MalformedInputStopsTheRunBeforeAnyFileIsWritten) {
  write_signals("git", Json::array({signal("git", "files_touched", "g1", 5, 3.0)}));
  write("events/g1.json", "{\"event_id\": \"g1\", \"payload\": []}");
  EXPECT_THROW(run(), TypeError);
  write("events/g1.json", "{}");
  write("accepted_deviations.json", "{\"not\": \"a list\"}");
  EXPECT_THROW(run(), Error);
  EXPECT_TRUE(fs::is_empty(dir / "phase5"));
}

}  // namespace
}  // namespace velquor::esperlin::testing
