// The engine's event loading, signal emission and the two drivers.
#include <gtest/gtest.h>

#include <random>

#include "shared/errors.h"
#include "shared/file_io.h"
#include "shared/numbers.h"
#include "tests/brevalt/test_support.h"

namespace velquor::brevalt {
namespace {

using testing::DataDir;
using testing::git_event;
using testing::payload_event;

std::string stamp(int day) {
  char text[32];
  std::snprintf(text, sizeof text, "2024-01-%02dT00:00:00Z", day);
  return text;
}

// CI events e01.json... with the given durations, one day apart.
void write_ci(const DataDir& dir, const std::vector<Json>& durations) {
  for (size_t i = 0; i < durations.size(); ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "e%02zu.json", i + 1);
    dir.write_event(name, payload_event("ci", "ci" + std::to_string(i + 1), stamp(static_cast<int>(i) + 1),
                                        {{"timing", {{"duration_seconds", durations[i]}}}}));
  }
}

std::vector<const Signal*> of_metric(const SignalList& signals, const std::string& metric) {
  std::vector<const Signal*> out;
  for (const Signal& s : signals)
    if (s.metric == metric) out.push_back(&s);
  return out;
}

TEST(Emission, FirstSignalsAfterMinBaselineEvents) {
  DataDir dir;
  write_ci(dir, {10, 11, 12, 13, 14, 15, 16});
  SignalList signals = Brevalt(dir.path()).run_ci();
  ASSERT_EQ(signals.size(), 4u);  // events 6 and 7, two metrics each
  EXPECT_EQ(signals[0].event_ref, "ci6");
  EXPECT_EQ(signals[0].metric, "run_duration");
  EXPECT_EQ(signals[1].metric, "run_failed");
  EXPECT_EQ(dump_compact(signals[0].to_json()),
            R"({"engine_id": "ci", "source_type": "github_actions", "metric": "run_duration", )"
            R"("window": {"type": "rolling", "size": 50}, )"
            R"("baseline": {"mean": 12, "stddev": 1.4142135623730951, "median": 12, "mad": 1}, )"
            R"("observed": 15, "deviation": {"measure": 2.0235, "unit": "modified_zscore", "degenerate": false}, )"
            R"("confidence": {"sample_count": 5, "status": "accumulating"}, "event_ref": "ci6"})");
}

TEST(Emission, WindowSlidesAndTurnsSufficient) {
  DataDir dir;
  write_ci(dir, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
  SignalList signals = Brevalt(dir.path(), 3, 2).run_ci();
  std::vector<const Signal*> durations = of_metric(signals, "run_duration");
  ASSERT_EQ(durations.size(), 8u);  // events 3 to 10
  EXPECT_EQ(durations.front()->event_ref, "ci3");
  EXPECT_EQ(durations.front()->sample_count, 2);
  EXPECT_FALSE(durations.front()->sufficient);
  EXPECT_EQ(durations.back()->event_ref, "ci10");
  EXPECT_EQ(durations.back()->mean.to_json(), Json(8));  // events 7, 8, 9
  EXPECT_TRUE(durations.back()->sufficient);
  EXPECT_EQ(dump_compact(durations.back()->to_json()["window"]), R"({"type": "rolling", "size": 3})");
  EXPECT_TRUE(Brevalt(dir.path(), 3, 4).run_ci().empty());
}

TEST(Emission, MissingValuesLeaveTheBaseline) {
  DataDir dir;
  write_ci(dir, {10, nullptr, 12, 14, 16, 18, 20});
  SignalList signals = Brevalt(dir.path(), 50, 5).run_ci();
  // Event 6 has only four earlier durations; event 7 has five. run_failed,
  // present in every event, is emitted for both.
  std::vector<const Signal*> durations = of_metric(signals, "run_duration");
  ASSERT_EQ(durations.size(), 1u);
  EXPECT_EQ(durations[0]->event_ref, "ci7");
  EXPECT_EQ(dump_compact(durations[0]->to_json()["baseline"]),
            R"({"mean": 14, "stddev": 2.8284271247461903, "median": 14, "mad": 2})");
  EXPECT_EQ(of_metric(signals, "run_failed").size(), 2u);
}

TEST(Emission, DegenerateBaselineWritesZero) {
  DataDir dir;
  write_ci(dir, {5, 5, 5, 5, 5, 9.5});
  Signal s = Brevalt(dir.path()).run_ci()[0];
  EXPECT_EQ(dump_compact(s.to_json()["deviation"]), R"({"measure": 0.0, "unit": "degenerate", "degenerate": true})");
  EXPECT_EQ(s.observed, Json(9.5));
}

// Counts at both ends of the 64-bit range (and two far-off reals that push
// the integer deviations to the middle): the MAD leaves 64 bits and must reach
// the file as the exact integer, not as a rounded real.
TEST(Emission, WideIntegerMadReachesTheFileExactly) {
  DataDir dir;
  const std::vector<Json> rates = {Json(INT64_MIN), Json(1e300), Json(UINT64_MAX), Json(INT64_MIN),
                                   Json(1e300), Json(0)};
  for (size_t i = 0; i < rates.size(); ++i)
    dir.write_event("c" + std::to_string(i) + ".json",
                    payload_event("coverage", "c" + std::to_string(i), "2024-01-0" + std::to_string(i + 1),
                                  Json{{"line_rate", rates[i]}, {"branch_rate", 0.5}}));
  Brevalt(dir.path(), 50, 5).run_coverage();
  // median 18446744073709551615; |INT64_MIN - median| = 27670116110564327423
  EXPECT_NE(dir.read_signals("coverage").find("\"mad\": 27670116110564327423\n"), std::string::npos)
      << dir.read_signals("coverage");
}

TEST(Emission, CustomExtractorsThroughEmitSignals) {
  DataDir dir;
  Brevalt engine(dir.path(), 50, 1);
  std::vector<Event> events;
  for (int i = 0; i < 3; ++i) events.push_back({"x.json", Json{{"event_id", "e" + std::to_string(i)}, {"v", i}}});
  SignalList signals = engine._emit_signals(
      events, "custom", "label", [](const Event& e) { return MetricMap{{"v", e.value["v"]}}; },
      [](const Event&, const MetricMap&) { return Json(); });
  ASSERT_EQ(signals.size(), 2u);
  EXPECT_EQ(signals[1].engine_id, "custom");
  EXPECT_EQ(dump_compact(signals[1].to_json()["baseline"]), R"({"mean": 0.5, "stddev": 0.5, "median": 0.5, "mad": 0.5})");
}

// The emitter keeps each metric's window sorted as entries come and go; on
// ties across kinds and signed zeros it must agree with sorting the sample
// afresh.
TEST(Emission, SlidingSortedWindowAgreesWithFreshSort) {
  DataDir dir;
  const int window = 5;
  Brevalt engine(dir.path(), window, 1);
  const std::vector<Json> pool = {Json(1), Json(1.0), Json(2), Json(2.0), Json(-0.0), Json(0.0), Json(0), Json(3),
                                  Json(nullptr)};
  std::mt19937 rng(17);
  std::vector<Event> events;
  for (int i = 0; i < 400; ++i) events.push_back({"x.json", Json{{"event_id", std::to_string(i)}, {"v", pool[rng() % pool.size()]}}});
  SignalList signals = engine._emit_signals(
      events, "e", "l", [](const Event& e) { return MetricMap{{"v", e.value["v"]}}; },
      [](const Event&, const MetricMap&) { return Json(); });
  size_t checked = 0;
  for (const Signal& s : signals) {
    int at = std::stoi(s.event_ref);
    std::vector<SampleValue> sample;
    for (int k = std::max(0, at - window); k < at; ++k)
      if (!events[k].value["v"].is_null()) sample.push_back(SampleValue::from_json(events[k].value["v"], "v"));
    RobustDeviation fresh = compute_robust_deviation(to_double(s.observed, "v"), sample);
    ASSERT_EQ(dump_compact(s.median.to_json()), dump_compact(fresh.median.to_json())) << at;
    ASSERT_EQ(dump_compact(s.mad.to_json()), dump_compact(fresh.mad.to_json())) << at;
    ASSERT_EQ(dump_compact(s.mean.to_json()), dump_compact(exact_mean(sample).to_json())) << at;
    ASSERT_EQ(Json(s.stddev), Json(exact_pstdev(sample))) << at;
    ASSERT_EQ(s.unit, fresh.unit) << at;
    ASSERT_EQ(Json(s.measure), Json(fresh.measure.value_or(0.0))) << at;
    ++checked;
  }
  EXPECT_GT(checked, 300u);
}

TEST(Loading, OrderFiltersAndIgnoredEntries) {
  DataDir dir;
  dir.write_event("b.json", payload_event("ci", "b", "2024-01-01", Json::object()));
  dir.write_event("a.json", payload_event("ci", "a", "2024-01-01", Json::object()));
  Json undated = payload_event("testing", "u", "", Json::object());
  undated.erase("observed_at");
  dir.write_event("z.json", undated);
  Json null_dated = payload_event("ci", "n", "", Json::object());
  null_dated["observed_at"] = nullptr;
  dir.write_event("y.json", null_dated);
  dir.write_text("notes.txt", "not an event");
  dir.write_event(".hidden.json", git_event("g", "2023-12-31", Json::array()));
  fs::create_directories(dir.events() / "sub.json");
  Brevalt engine(dir.path());
  auto ids = [](const std::vector<Event>& events) {
    std::string out;
    for (const Event& e : events) out += e.value["event_id"].get<std::string>();
    return out;
  };
  EXPECT_EQ(ids(engine._load_events()), "nugab");
  EXPECT_EQ(ids(engine._load_events("ci")), "nab");
  EXPECT_EQ(ids(engine._load_events("", "git")), "g");
  EXPECT_EQ(ids(engine._load_events("ci", "git")), "");
}

TEST(Loading, MissingEventsFolderIsAnEmptyHistory) {
  DataDir dir;
  fs::remove_all(dir.events());
  Brevalt engine(dir.path());
  EXPECT_TRUE(engine._load_events().empty());
  FamilySignals all = engine.run_all();
  EXPECT_EQ(all.size(), 10u);
  EXPECT_EQ(dir.read_signals("git"), "[]");
}

TEST(Loading, WrongKindOfTimeStampFailsItsFamily) {
  DataDir dir;
  Json event = payload_event("ci", "a", "", Json::object());
  event["observed_at"] = 5;
  dir.write_event("a.json", event);
  Brevalt engine(dir.path());
  EXPECT_THROW(engine.run_ci(), TypeError);
  EXPECT_TRUE(engine.run_testing().empty());
}

TEST(Loading, EveryTruncationIsAClearError) {
  DataDir dir;
  const std::string full = dump_pretty(payload_event("ci", "é1", "2024-01-01", {{"timing", {{"duration_seconds", 1.5}}}}));
  Brevalt engine(dir.path());
  for (size_t n = 0; n < full.size(); ++n) {
    dir.write_text("e.json", full.substr(0, n));
    EXPECT_THROW(engine._load_events(), JsonError) << n;
    EXPECT_THROW(engine.run_ci(), JsonError) << n;
  }
  dir.write_text("e.json", full);
  EXPECT_EQ(engine._load_events().size(), 1u);
}

TEST(Drivers, FamiliesWithoutEventsKeepOlderFiles) {
  DataDir dir;
  write_ci(dir, {1, 2, 3, 4, 5, 6});
  Brevalt engine(dir.path());
  write_file_atomic(dir.path() / "phase2" / "testing_signals.json", "old");
  std::vector<FamilyOutcome> outcomes;
  FamilySignals all = engine.run_all(&outcomes);
  ASSERT_EQ(all.size(), 10u);
  EXPECT_EQ(all[0].first, "git");
  EXPECT_EQ(all[8].first, "security");
  EXPECT_EQ(all[9].first, "error_tracking");
  EXPECT_EQ(all[1].second.size(), 2u);
  EXPECT_EQ(dir.read_signals("testing"), "old");
  EXPECT_EQ(dir.read_signals("git"), "[]");
  EXPECT_FALSE(fs::exists(dir.path() / "phase2" / "coverage_signals.json"));
  ASSERT_EQ(outcomes.size(), 10u);
  EXPECT_TRUE(outcomes[1].file_written);
  EXPECT_FALSE(outcomes[2].file_written);
  EXPECT_EQ(engine.run_all_parallel(3).size(), 10u);
}

TEST(Drivers, AReportLeavesUnreadableFilesOutOnBothDriversAndCountsUnknownFamilies) {
  DataDir dir;
  write_ci(dir, {1, 2, 3, 4, 5, 6});
  Brevalt engine(dir.path());
  engine.run_all();
  const std::string clean = dir.read_signals("ci");
  dir.write_text("a-bad.json", "[1,");
  dir.write_text("b-list.json", "[]");
  dir.write_event("c-odd.json", payload_event("weather", "w", "2024-01-01", Json::object()));
  EXPECT_THROW(engine.run_all(), Error);

  EventReport listed_only;  // without skip_unreadable a bad file still fails
  EXPECT_THROW(engine.run_all(nullptr, &listed_only), Error);
  for (int workers : {0, 3}) {
    EventReport report;
    report.skip_unreadable = true;
    if (workers == 0)
      engine.run_all(nullptr, &report);
    else
      engine.run_all_parallel(workers, nullptr, &report);
    ASSERT_EQ(report.skipped.size(), 2u) << workers;
    EXPECT_EQ(report.skipped[0].first.filename(), "a-bad.json");
    EXPECT_NE(report.skipped[0].second.find("a-bad.json: invalid JSON"), std::string::npos);
    EXPECT_NE(report.skipped[1].second.find("an event must be an object"), std::string::npos);
    EXPECT_EQ(report.unselected, 1u);
    EXPECT_EQ(dir.read_signals("ci"), clean) << "the signals of the readable events only";
  }
}

TEST(Drivers, SequentialStopsAtTheFirstFailure) {
  DataDir dir;
  write_ci(dir, {1, 2, 3, 4, 5, 6});
  dir.write_event("t.json", payload_event("testing", "t", "2024-01-01", {{"summary", "bad"}}));
  dir.write_event("s.json", payload_event("security", "s", "2024-01-01", Json::object()));
  Brevalt engine(dir.path());
  try {
    engine.run_all();
    FAIL() << "no error";
  } catch (const TypeError& e) {
    EXPECT_NE(std::string(e.what()).find("t.json"), std::string::npos);
    EXPECT_NE(std::string(e.what()).find("payload.summary"), std::string::npos);
  }
  EXPECT_TRUE(fs::exists(dir.path() / "phase2" / "ci_signals.json"));
  EXPECT_FALSE(fs::exists(dir.path() / "phase2" / "security_signals.json"));
}

TEST(Drivers, ParallelReportsOneLinePerFailedFamily) {
  DataDir dir;
  write_ci(dir, {1, 2, 3, 4, 5, 6});
  Json bad = payload_event("testing", "t", "2024-01-01", Json::object());
  bad.erase("payload");
  dir.write_event("t.json", bad);
  Brevalt engine(dir.path());
  write_file_atomic(dir.path() / "phase2" / "testing_signals.json", "older");
  std::vector<FamilyOutcome> outcomes;
  ::testing::internal::CaptureStdout();
  FamilySignals result = engine.run_all_parallel(4, &outcomes);
  std::string printed = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(printed, "  [Phase 2] testing failed: " + (dir.events() / "t.json").string() +
                         ": missing member 'payload'\n");
  ASSERT_EQ(result.size(), 10u);
  for (const auto& [family, signals] : result) {
    if (family == "testing") {
      EXPECT_TRUE(signals.empty());
    }
    if (family == "ci") {
      EXPECT_EQ(signals.size(), 2u);
    }
  }
  EXPECT_EQ(dir.read_signals("testing"), "older");
  size_t failed = std::count_if(outcomes.begin(), outcomes.end(), [](const FamilyOutcome& o) { return o.failed; });
  EXPECT_EQ(failed, 1u);
}

TEST(Drivers, UnreadableEventFailsEveryFamilyAndDamagesNothing) {
  DataDir dir;
  write_ci(dir, {1, 2, 3, 4, 5, 6});
  Brevalt engine(dir.path());
  engine.run_all();
  const std::string before = dir.read_signals("ci");
  for (const std::string& text : {std::string("{\"a\": \xff}"), std::string("[1]"), std::string("{\"x\": NaN}")}) {
    dir.write_text("zz.json", text);
    EXPECT_THROW(engine.run_all(), Error);
    EXPECT_THROW(engine.run_ci(), Error);
    ::testing::internal::CaptureStdout();
    engine.run_all_parallel(2);
    std::string printed = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(std::count(printed.begin(), printed.end(), '\n'), 10);
    EXPECT_NE(printed.find("zz.json"), std::string::npos);
    EXPECT_EQ(dir.read_signals("ci"), before);
  }
}

}  // namespace
}  // namespace velquor::brevalt
