// The significance filter, the evidence package, the commit list and the
// latest-deviation annotation.

#include <gtest/gtest.h>

#include "fixture.h"
#include "shared/errors.h"

namespace velquor::esperlin::testing {
namespace {

class EvidenceTest : public DataDir {
 protected:
  Esperlin engine{dir};

  Json with_deviation(Json signal, const Json& deviation) {
    signal["deviation"] = deviation;
    return signal;
  }
};

TEST_F(EvidenceTest, ThresholdIsInclusiveAndDegenerateOrNullMeasuresAreNeverSignificant) {
  const Json s = signal("git", "files_touched", "g1", 5, 0.0);
  const Json signals = Json::array({
      with_deviation(s, {{"measure", -1.5}}),                                  // kept: exactly the threshold
      with_deviation(s, {{"measure", 1.4999999}}),                             // dropped
      with_deviation(s, {{"measure", 9.0}, {"degenerate", true}}),            // dropped
      with_deviation(s, {{"measure", nullptr}}),                               // dropped
      with_deviation(s, Json::object()),                                       // dropped: no measure
      with_deviation(s, {{"measure", 2}, {"degenerate", false}}),             // kept
      with_deviation(s, {{"measure", std::numeric_limits<double>::quiet_NaN()}}),  // dropped
  });
  const Json kept = engine._filter_significant(signals);
  ASSERT_EQ(kept.size(), 2u);
  EXPECT_EQ(kept[0]["deviation"]["measure"], -1.5);
  EXPECT_EQ(kept[1]["deviation"]["measure"], 2);
  EXPECT_EQ(Esperlin(dir, 2)._filter_significant(signals).size(), 1u);
  EXPECT_THROW(engine._filter_significant(Json::object()), TypeError);
  EXPECT_THROW(engine._filter_significant(Json::array({with_deviation(s, {{"measure", "big"}})})), TypeError);
}

TEST_F(EvidenceTest, OlderRecordsNamingTheirMetricInMetricNameKeepTheirExclusions) {
  Json direct = signal("dependency", "x", "d1", 5, 4.0);
  direct["metric_name"] = "direct_count";
  Json broken = signal("ci", "x", "c1", 5, 100000.5);
  broken["metric_name"] = "run_duration";
  Json large = signal("ci", "run_duration", "c1", 5, 100000.5);
  const Json kept = engine._filter_significant(Json::array({direct, broken, large}));
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_FALSE(kept[0].contains("metric_name"));
}

TEST_F(EvidenceTest, EvidenceDeduplicatesCommitsAndFilesAndOrdersTheTimeline) {
  const Json events = {
      {"g1", git_event("g1", "sha1", "2025-03-02T00:00:00Z", {"a.py", "b.py"}, "first")},
      {"g2", git_event("g2", "sha2", "2025-03-01T00:00:00Z", {"b.py", "c.py"}, "second")},
      {"t1", family_event("t1", "testing", "2025-03-01T00:00:00Z",
                          {{"trigger", nullptr},
                           {"cases", {{{"name", "a"}, {"status", "failed"}}, {{"status", "errored"}},
                                      {{"name", "c"}, {"status", "skipped"}}}}})},
      {"d1", family_event("d1", "dependency", "2025-03-03",
                          {{"dependencies", {{{"name", "x"}, {"version", "1"}, {"direct", true}},
                                             {{"name", "y"}, {"version", "2"}}}}})},
      {"s1", family_event("s1", "security", "2025-03-04",
                          {{"findings", {{{"severity", "critical"}, {"package", "p"}},
                                         {{"id", "V2"}, {"severity", "medium"}, {"package", "q"}}}}})},
  };
  const Json signals = Json::array({
      signal("git", "files_touched", "g1", 42, 3.25),
      signal("git", "dispersion", "g1", 0.000025, -2.0),
      signal("git", "files_touched", "g1", 42, 3.25),  // same description again: dropped
      signal("git", "files_touched", "g2", 0.12345, 3.0),
      signal("testing", "total_tests", "t1", 7, 2.0),
      signal("dependency", "dependency_count", "d1", 7, 2.0),
      signal("security", "critical_count", "s1", 1, 0.0),
      signal("git", "files_touched", "missing", 1, 9.0),
  });
  const Json evidence = engine._collect_evidence(signals, events);
  std::vector<std::string> keys;
  for (const auto& item : evidence.items()) keys.push_back(item.key());
  EXPECT_EQ(keys, (std::vector<std::string>{"commits", "files_affected", "tests_impacted",
                                            "dependencies_changed", "timeline"}));
  ASSERT_EQ(evidence["commits"].size(), 2u);
  EXPECT_EQ(evidence["commits"][0], (Json{{"sha", "sha1"}, {"message", "first"}, {"author", "dev"},
                                          {"timestamp", "2025-03-02T00:00:00Z"}, {"files_changed", {"a.py", "b.py"}}}));
  ASSERT_EQ(evidence["files_affected"].size(), 3u);
  EXPECT_EQ(evidence["files_affected"][2],
            (Json{{"path", "c.py"}, {"change_type", "modified"}, {"first_seen_in", "sha2"}}));
  EXPECT_EQ(evidence["tests_impacted"],
            (Json::array({{{"name", "a"}, {"status_before", "passed"}, {"status_now", "failed"}, {"since_commit", ""}},
                          {{"name", "unknown"}, {"status_before", "passed"}, {"status_now", "errored"}, {"since_commit", ""}}})));
  EXPECT_EQ(evidence["dependencies_changed"],
            (Json::array({{{"name", "x"}, {"change", "present"}, {"version", "1"}}})));
  std::vector<std::string> timeline;
  for (const Json& entry : evidence["timeline"])
    timeline.push_back(entry["timestamp"].get<std::string>() + " " + entry["family"].get<std::string>() + " " +
                       entry["event"].get<std::string>());
  EXPECT_EQ(timeline, (std::vector<std::string>{
                          "2025-03-01T00:00:00Z version_control Files Changed: 0.1235 (3.0 stddev above normal)",
                          "2025-03-01T00:00:00Z testing Test Count: 7 (2.0 stddev above normal)",
                          "2025-03-02T00:00:00Z version_control Files Changed: 42 (3.2 stddev above normal)",
                          "2025-03-02T00:00:00Z version_control Change Dispersion: 2.5e-05 (2.0 stddev below normal)",
                          "2025-03-03 dependency Total Dependencies: 7 (2.0 stddev above normal)",
                          "2025-03-04 security Critical Vulnerabilities: 1 (0.0 stddev below normal)",
                          "2025-03-04 security Vulnerability unknown: critical in p"}));
}

TEST_F(EvidenceTest, EvidenceListsAreCut) {
  Json files = Json::array();
  for (int i = 0; i < 60; ++i) files.push_back(numbered("f", i));
  Json events = Json::object();
  Json signals = Json::array();
  for (int i = 0; i < 25; ++i) {
    const std::string id = numbered("g", i);
    events[id] = git_event(id, numbered("sha", i), "2025-01-01", i == 0 ? files : Json::array());
    for (int m = 0; m < 3; ++m)
      signals.push_back(signal("git", numbered("m", m), id, i, 2.0 + m));
  }
  const Json evidence = engine._collect_evidence(signals, events);
  EXPECT_EQ(evidence["commits"].size(), 20u);
  EXPECT_EQ(evidence["files_affected"].size(), 50u);
  EXPECT_EQ(evidence["files_affected"][49]["path"], "f49");
  EXPECT_EQ(evidence["timeline"].size(), 50u);
  EXPECT_EQ(evidence["timeline"][0]["event"], "m0: 0 (2.0 stddev above normal)");
}

// The timeline describes only the signals it shows, yet a signal it would
// not show must still raise its error, and one of an unusual kind must still
// be described as before.
TEST_F(EvidenceTest, SignalsPastTheTimelineStillRaiseTheirErrors) {
  Json events = Json::object();
  Json signals = Json::array();
  for (int i = 0; i < 60; ++i) {
    const std::string id = numbered("g", i);
    events[id] = git_event(id, numbered("sha", i), i < 10 ? "2025-01-01" : "2025-02-01");
    signals.push_back(signal("git", numbered("m", i), id, i, 2.0));
  }
  signals[0]["observed"] = true;  // a boolean counts as 1
  EXPECT_EQ(engine._collect_evidence(signals, events)["timeline"][0]["event"], "m0: 1 (2.0 stddev above normal)");
  for (const Json& odd : {Json("text"), Json(nullptr)}) {
    Json broken = signals;
    broken[59]["observed"] = odd;
    EXPECT_THROW(engine._collect_evidence(broken, events), TypeError) << odd;
  }
  Json unnamed = signals;
  unnamed[59].erase("metric");
  EXPECT_THROW(engine._collect_evidence(unnamed, events), MissingMember);
}

TEST_F(EvidenceTest, CommitListIsOrderedByObservationTimeWithRepeatsKept) {
  Json ci = family_event("c1", "ci", "2025-01-02", {{"trigger", {{"commit_sha", "s1"}}}});
  Json untriggered = family_event("c2", "ci", "2025-01-01", {{"trigger", nullptr}});
  Json undated = git_event("g0", "s0", "");
  undated.erase("observed_at");
  const Json events = {{"c1", ci}, {"g1", git_event("g1", "s1", "2025-01-01")}, {"c2", untriggered},
                       {"g0", undated}, {"g2", git_event("g2", "s2", "2025-01-02")}};
  EXPECT_EQ(engine._get_commit_list(events), (Json{"s0", "s1", "s1", "s2"}));
}

TEST_F(EvidenceTest, LatestDeviationComesFromTheLatestDatedEvent) {
  const Json events = {{"g1", git_event("g1", "a", "2025-01-01")},
                       {"g2", git_event("g2", "b", "2025-01-03")},
                       {"g3", git_event("g3", "c", "2025-01-03")},
                       {"g4", git_event("g4", "d", "")}};
  const Json signals = Json::array({signal("git", "files_touched", "g1", 9, 4.0),
                                    signal("git", "files_touched", "g2", 7, 2.675),
                                    signal("git", "files_touched", "g3", 8, 9.0),   // same time: earlier wins
                                    signal("git", "files_touched", "g4", 8, 9.0),   // no time
                                    signal("git", "files_touched", "gone", 8, 9.0),
                                    signal("git", "dispersion", "gone", 8, 9.0)});
  Json changes = Json::array({{{"family", "git"}, {"metric", "files_touched"}, {"event_ref", "g1"}},
                              {{"family", "git"}, {"metric", "dispersion"}, {"event_ref", "gone"}},
                              {{"family", "ci"}, {"metric", "run_duration"}}});
  engine._enrich_with_latest_deviation(changes, signals, events);
  EXPECT_EQ(changes[0], (Json{{"family", "git"}, {"metric", "files_touched"}, {"event_ref", "g1"},
                              {"latest_deviation", 2.67}, {"latest_value", 7},
                              {"latest_event_ref", "g2"}, {"is_latest_event", false}}));
  EXPECT_EQ(changes[1].size(), 3u);
  EXPECT_EQ(changes[2].size(), 2u);
  EXPECT_THROW(engine._enrich_with_latest_deviation(changes, Json::object(), events), TypeError);
}

}  // namespace
}  // namespace velquor::esperlin::testing
