// Co-occurrence and presence discovery on small, hand-computed histories.

#include <chrono>
#include <ctime>

#include "fixture.h"
#include "shared/errors.h"
#include "shared/file_io.h"
#include "velquor/dornath/dornath.h"

namespace velquor::dornath {
namespace {

using testing::ci_event;
using testing::git_event;
using testing::make_signal;
using testing::ScopedEnv;
using testing::VelDir;

// "2024-01-01T10:00:00Z" plus `day` days (and `hour` hours).
std::string stamp(int day, int hour = 10) {
  using namespace std::chrono;
  sys_days date = sys_days(year{2024} / January / 1) + days(day);
  year_month_day ymd(date);
  char buf[32];
  std::snprintf(buf, sizeof buf, "%04d-%02u-%02uT%02d:00:00Z", static_cast<int>(ymd.year()),
                static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()), hour);
  return buf;
}

std::string numbered(char prefix, int i) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%c%03d", prefix, i);
  return buf;
}

// One git commit per day (g001 on c001, ...), and the signals of each family.
struct History {
  VelDir dir;
  Json git = Json::array();
  Json ci = Json::array();

  void commit(int i) { dir.add_event(git_event(numbered('g', i), numbered('c', i), stamp(i))); }
  // A CI run on day i, triggered by commit i unless `aligned` is false.
  void ci_run(int i, bool aligned = true, const std::string& suffix = "", int hour = 11) {
    dir.add_event(
        ci_event(numbered('r', i) + suffix, aligned ? numbered('c', i) : "", stamp(i, hour)));
  }
  void git_signal(int i, double measure, const char* metric = "files_touched") {
    git.push_back(make_signal("git", metric, measure, numbered('g', i)));
  }
  void ci_signal(int i, double measure, const std::string& suffix = "") {
    ci.push_back(make_signal("ci", "run_duration", measure, numbered('r', i) + suffix));
  }
  Json signals() const {
    Json all = git;
    for (const Json& s : ci) all.push_back(s);
    return all;
  }
};

// Commits 1..n with aligned CI runs; git deviations xs, CI deviations ys.
void paired(History& h, const std::vector<double>& xs, const std::vector<double>& ys,
            bool aligned = true) {
  for (size_t k = 0; k < xs.size(); ++k) {
    int i = static_cast<int>(k) + 1;
    h.commit(i);
    h.ci_run(i, aligned);
    h.git_signal(i, xs[k]);
    h.ci_signal(i, ys[k]);
  }
}

class Discovery : public ::testing::Test {
 protected:
  ScopedEnv now_{"VELQUOR_NOW", "2025-01-01T00:00:00Z"};
};

TEST_F(Discovery, AdmitsByCorrelationWithTheFullRecord) {
  History h;
  std::vector<double> xs = {2.0, 3.0, -2.0, 4.0, 2.5, -3.0}, ys;
  for (double x : xs) ys.push_back(2 * x);
  paired(h, xs, ys);
  Dornath engine(h.dir.path(), Json{{"confidence_full_at", 6}});
  Json found = engine._discover_cooccurrences(h.signals());
  ASSERT_EQ(found.size(), 1u);  // the same pair is not reported again on days
  EXPECT_EQ(dump_compact(found[0]),
            "{\"fingerprint\": \"fff7fdc968c86d3c\", \"scope\": \"local\", \"discovery_method\": "
            "\"statistical\", \"alignment\": \"commit_sha\", \"pattern_type\": \"co_occurrence\", "
            "\"sources\": [\"ci\", \"git\"], \"metrics\": [\"files_touched\", \"run_duration\"], "
            "\"description_statistical\": \"Signals git.files_touched and ci.run_duration co-occur "
            "with correlation 1.00 across 6 commit-aligned observations (of 6 shared commits).\", "
            "\"correlation_strength\": 1.0, \"raw_correlation\": 1.0, \"confidence_weight\": 1.0, "
            "\"lift\": null, \"accepted_via\": \"correlation\", \"occurrence_count\": 6, "
            "\"signal_refs\": [\"g001\", \"g002\", \"g003\", \"g004\", \"g005\", \"g006\", \"r001\", "
            "\"r002\", \"r003\", \"r004\", \"r005\", \"r006\"], \"first_seen\": "
            "\"2025-01-01T00:00:00Z\", \"last_seen\": \"2025-01-01T00:00:00Z\", "
            "\"confidence_tier\": \"statistical\", \"confidence_status\": \"emerging\"}");
}

TEST_F(Discovery, NegativeCorrelationCountsByItsSize) {
  History h;
  std::vector<double> xs = {2.0, 3.0, -2.0, 4.0, 2.5, -3.0}, ys;
  for (double x : xs) ys.push_back(-x);
  paired(h, xs, ys);
  Json found = Dornath(h.dir.path(), Json{{"confidence_full_at", 6}})._discover_cooccurrences(h.signals());
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0]["correlation_strength"], -1.0);
  EXPECT_NE(found[0]["description_statistical"].get<std::string>().find("correlation -1.00 "),
            std::string::npos);
  EXPECT_EQ(found[0]["fingerprint"], compute_fingerprint({{"git", "files_touched", "increased"},
                                                          {"ci", "run_duration", "decreased"}}));
}

TEST_F(Discovery, WeakCorrelationFallsBackToLift) {
  // 12 shared commits, both metrics deviating on the same 5: lift
  // (5/12) / (5/12)^2 = 2.4, while the weight 12/30 keeps |r| * 0.4 below 0.4.
  History h;
  paired(h, {2, 2, 2, 2, 2, 0.5, -0.5, 0.5, -0.5, 0.5, -0.5, 0.1},
         {2, -2, 2, -2, 2, 0.5, 0.5, -0.5, -0.5, 0, 0, 0});
  Json found = Dornath(h.dir.path())._discover_cooccurrences(h.signals());
  ASSERT_EQ(found.size(), 1u);
  const Json& p = found[0];
  EXPECT_EQ(p["accepted_via"], "lift");
  EXPECT_EQ(p["lift"], 2.4);
  EXPECT_EQ(p["confidence_weight"], 0.4);
  EXPECT_EQ(p["occurrence_count"], 5);
  EXPECT_EQ(p["description_statistical"],
            "Signals git.files_touched and ci.run_duration co-deviate 2.4x more than expected by "
            "chance across 5 commit-aligned observations (of 12 shared commits, lift=2.40).");
}

TEST_F(Discovery, MinSupportBoundsSharedCommitsAndCoDeviations) {
  for (int n : {4, 5}) {
    History h;
    std::vector<double> xs = {2, 3, 4, 5, 6};
    xs.resize(n);
    paired(h, xs, xs);
    Json found =
        Dornath(h.dir.path(), Json{{"confidence_full_at", 1}})._discover_cooccurrences(h.signals());
    EXPECT_EQ(found.size(), n == 5 ? 1u : 0u) << n << " shared commits";
  }
  // Enough shared commits, but only 4 on which both deviate.
  History h;
  paired(h, {2, 3, 4, 5, 0.1, 0.2}, {2, 3, 4, 5, 6, 7});
  EXPECT_TRUE(
      Dornath(h.dir.path(), Json{{"confidence_full_at", 1}})._discover_cooccurrences(h.signals()).empty());
}

TEST_F(Discovery, NeverPairsMetricsOfOneFamily) {
  History h;
  for (int i = 1; i <= 8; ++i) {
    h.commit(i);
    h.git_signal(i, i + 1.0);
    h.git_signal(i, i + 1.0, "dispersion");
  }
  EXPECT_TRUE(Dornath(h.dir.path(), Json{{"confidence_full_at", 1}})
                  ._discover_cooccurrences(h.signals())
                  .empty());
}

TEST_F(Discovery, FindsOnTimeBucketsWhatCommitsCannotAlign) {
  History h;
  std::vector<double> xs = {2.0, 3.0, -2.0, 4.0, 2.5, -3.0};
  paired(h, xs, xs, /*aligned=*/false);
  std::vector<std::string> lines;
  set_log_sink([&](LogLevel, std::string_view, std::string_view m) { lines.emplace_back(m); });
  set_log_level(LogLevel::kInfo);
  Json found = Dornath(h.dir.path(), Json{{"confidence_full_at", 6}})._discover_cooccurrences(h.signals());
  set_log_level(LogLevel::kWarning);
  set_log_sink(nullptr);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0]["alignment"], "temporal");
  EXPECT_EQ(found[0]["description_statistical"],
            "Signals git.files_touched and ci.run_duration co-occur with correlation 1.00 across 6 "
            "temporally-aligned observations (of 6 shared 24h windows).");
  EXPECT_EQ(lines, std::vector<std::string>{"Temporal alignment discovered 1 additional candidate patterns"});
}

// A pair found on commits is not reported again on time buckets; pairs that
// only share a family or a metric name with it are.
TEST_F(Discovery, OnlyTheSamePairIsLeftOutOnTimeBuckets) {
  History h;
  std::vector<double> xs = {2.0, 3.0, -2.0, 4.0, 2.5, -3.0};
  paired(h, xs, xs);
  for (size_t k = 0; k < xs.size(); ++k) {
    const int i = static_cast<int>(k) + 1;
    h.ci_run(i, /*aligned=*/false, "u", 12);
    h.ci.push_back(make_signal("deploy", "run_duration", -xs[k], numbered('r', i) + "u"));
  }
  const Json found =
      Dornath(h.dir.path(), Json{{"confidence_full_at", 6}})._discover_cooccurrences(h.signals());
  std::vector<std::string> pairs;
  for (const Json& c : found)
    pairs.push_back(c["alignment"].get<std::string>() + " " + dump_compact(c["sources"]));
  EXPECT_EQ(pairs, (std::vector<std::string>{"commit_sha [\"ci\", \"git\"]", "temporal [\"deploy\", \"git\"]",
                                             "temporal [\"ci\", \"deploy\"]"}));
}

TEST_F(Discovery, BucketKeepsTheLargestDeviationAndTheFirstOnTies) {
  History h;
  for (int i = 1; i <= 5; ++i) {
    h.commit(i);
    h.git_signal(i, 2.0 + i);
    h.ci_run(i, false, "a", 11);
    h.ci_run(i, false, "b", 12);
  }
  h.ci_signal(1, 2.0, "a");
  h.ci_signal(1, -3.0, "b");  // larger: stands for day 1
  h.ci_signal(2, 2.0, "a");   // equal size: the first stays
  h.ci_signal(2, -2.0, "b");
  for (int i = 3; i <= 5; ++i) {
    h.ci_signal(i, 2.0, "a");
    h.ci_signal(i, 0.1, "b");
  }
  Json found = Dornath(h.dir.path(), Json{{"confidence_full_at", 5}, {"min_correlation", 0.0}})
                   ._discover_cooccurrences(h.signals());
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(dump_compact(found[0]["signal_refs"]),
            "[\"g001\", \"g002\", \"g003\", \"g004\", \"g005\", "
            "\"r001b\", \"r002a\", \"r003a\", \"r004a\", \"r005a\"]");
}

TEST_F(Discovery, OnACommitTheLaterSignalStandsAndCommitsGoInTextOrder) {
  History h;
  for (int i = 5; i >= 1; --i) {  // the commits appear against their text order
    h.commit(i);
    h.git_signal(i, 2.0 + i);
    h.ci_run(i, true, "a", 11);
    h.ci_run(i, true, "b", 12);
    h.ci_signal(i, -1.0, "a");
    h.ci_signal(i, 2.0 + i, "b");  // later on the same commit: stands
  }
  Json found = Dornath(h.dir.path(), Json{{"confidence_full_at", 5}})._discover_cooccurrences(h.signals());
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0]["alignment"], "commit_sha");
  EXPECT_EQ(dump_compact(found[0]["signal_refs"]),
            "[\"g001\", \"g002\", \"g003\", \"g004\", \"g005\", "
            "\"r001b\", \"r002b\", \"r003b\", \"r004b\", \"r005b\"]");
}

// The pairs are tested on two threads: the candidates still come in pair
// order (series in order of first appearance), and a pair's error still
// aborts the call.
TEST_F(Discovery, ManyPairsComeInPairOrderAndTheirErrorsAbort) {
  const std::vector<const char*> metrics = {"zeta", "alpha", "mid", "beta", "omega", "delta"};
  History h;
  std::vector<double> xs = {2.0, 3.0, -2.0, 4.0, 2.5, -3.0};
  paired(h, xs, xs);
  h.git.clear();
  for (size_t k = 0; k < xs.size(); ++k)
    for (const char* metric : metrics) h.git_signal(static_cast<int>(k) + 1, xs[k], metric);
  const Json found = Dornath(h.dir.path(), Json{{"confidence_full_at", 6}})._discover_cooccurrences(h.signals());
  std::vector<std::string> paired_metrics;
  for (const Json& candidate : found) {
    EXPECT_EQ(candidate["alignment"], "commit_sha");
    paired_metrics.push_back(candidate["description_statistical"].get<std::string>().substr(0, 40));
  }
  std::vector<std::string> expected;
  for (const char* metric : metrics)
    expected.push_back(("Signals git." + std::string(metric) + " and ci.run_duration co-occur").substr(0, 40));
  EXPECT_EQ(paired_metrics, expected);
  EXPECT_THROW(Dornath(h.dir.path(), Json{{"confidence_full_at", 0}})._discover_cooccurrences(h.signals()),
               ValueError);
}

TEST_F(Discovery, CountsSkippedDegenerateSignals) {
  History h;
  paired(h, {2, 3}, {2, 3});
  h.ci.push_back(make_signal("ci", "run_duration", 0.0, "r001", true));
  std::vector<std::string> lines;
  set_log_sink([&](LogLevel level, std::string_view, std::string_view m) {
    if (level == LogLevel::kInfo) lines.emplace_back(m);
  });
  set_log_level(LogLevel::kInfo);
  Dornath(h.dir.path())._discover_cooccurrences(h.signals());
  set_log_level(LogLevel::kWarning);
  set_log_sink(nullptr);
  EXPECT_EQ(lines, std::vector<std::string>{"Co-occurrence: skipped 1 degenerate signals (of 5 total)"});
}

TEST_F(Discovery, MissingParametersAbortTheCall) {
  History h;
  paired(h, {2}, {2});
  Dornath engine(h.dir.path());
  engine.params.erase("min_correlation");
  EXPECT_THROW(engine._discover_cooccurrences(h.signals()), MissingMember);
  engine.params.erase("min_support");
  EXPECT_THROW(engine._discover_presence_patterns(h.signals()), MissingMember);
}

// Git commits 1..treated+control with files_touched values; CI runs trigger
// the first `treated` commits.
History presence_history(const std::vector<double>& treated, const std::vector<double>& control) {
  History h;
  int i = 0;
  for (double v : treated) {
    h.commit(++i);
    h.git_signal(i, v);
    h.ci_run(i);
    h.ci_signal(i, 0.3);
  }
  for (double v : control) {
    h.commit(++i);
    h.git_signal(i, v);
  }
  return h;
}

std::vector<double> alternating(double a, double b, int n) {
  std::vector<double> values;
  for (int k = 0; k < n; ++k) values.push_back(k % 2 ? b : a);
  return values;
}

// A run works out presence patterns beside co-occurrences: its log line
// still follows theirs, and an error of co-occurrence discovery, which comes
// first, still wins over one of presence discovery.
TEST_F(Discovery, ARunKeepsTheOrderOfItsDiscoverySteps) {
  History h = presence_history(alternating(3, 1, 8), alternating(1, -1, 32));
  h.git.push_back(make_signal("git", "files_touched", 0, numbered('g', 1), /*degenerate=*/true));
  h.dir.write_signals("git", h.git);
  h.dir.write_signals("ci", h.ci);
  std::vector<std::string> lines;
  set_log_sink([&](LogLevel, std::string_view, std::string_view m) { lines.emplace_back(m); });
  set_log_level(LogLevel::kInfo);
  Json summary = Dornath(h.dir.path()).run();
  set_log_level(LogLevel::kWarning);
  set_log_sink(nullptr);
  EXPECT_EQ(summary["patterns_discovered"], 1);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "Co-occurrence: skipped 1 degenerate signals (of 49 total)");
  EXPECT_EQ(lines[1], "Presence-based discovery found 1 candidate patterns");

  const Json both_fail = {{"temporal_window_hours", "wide"}, {"min_effect_size", "large"}};
  for (int attempt = 0; attempt < 5; ++attempt) {
    try {
      Dornath(h.dir.path(), both_fail).run();
      FAIL() << "no error";
    } catch (const Error& e) {
      EXPECT_NE(std::string(e.what()).find("temporal_window_hours"), std::string::npos) << e.what();
    }
  }
}

TEST_F(Discovery, PresenceEffectSizeWithTheFullRecord) {
  // Treated 3,1,... (mean 2, sd 1), control 1,-1,... (mean 0, sd 1): d = 2.
  History h = presence_history(alternating(3, 1, 8), alternating(1, -1, 32));
  std::vector<std::string> lines;
  set_log_sink([&](LogLevel, std::string_view, std::string_view m) { lines.emplace_back(m); });
  set_log_level(LogLevel::kInfo);
  Json found = Dornath(h.dir.path())._discover_presence_patterns(h.signals());
  set_log_level(LogLevel::kWarning);
  set_log_sink(nullptr);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(lines, std::vector<std::string>{"Presence-based discovery found 1 candidate patterns"});
  EXPECT_EQ(dump_compact(found[0]),
            "{\"fingerprint\": \"" +
                compute_fingerprint({{"git", "files_touched", "increased"},
                                     {"ci", "_presence", "increased"}}) +
                "\", \"scope\": \"local\", \"discovery_method\": \"statistical\", \"alignment\": "
                "\"presence\", \"pattern_type\": \"co_occurrence\", \"sources\": [\"ci\", \"git\"], "
                "\"metrics\": [\"ci_presence\", \"files_touched\"], \"description_statistical\": "
                "\"When ci events occur, git.files_touched is systematically increased (effect size "
                "d=2.00, treated=8, control=32).\", \"correlation_strength\": 2.0, "
                "\"raw_correlation\": 2.0, \"confidence_weight\": 0.26666666666666666, "
                "\"effect_size\": 2.0, \"accepted_via\": \"presence\", \"occurrence_count\": 8, "
                "\"signal_refs\": [\"g001\", \"r001\", \"g002\", \"r002\", \"g003\", \"r003\", "
                "\"g004\", \"r004\", \"g005\", \"r005\", \"g006\", \"r006\", \"g007\", \"r007\", "
                "\"g008\", \"r008\"], \"first_seen\": \"2025-01-01T00:00:00Z\", \"last_seen\": "
                "\"2025-01-01T00:00:00Z\", \"confidence_tier\": \"statistical\", "
                "\"confidence_status\": \"emerging\"}");
}

TEST_F(Discovery, PresenceNeedsThirtyControlCommits) {
  for (int control : {29, 30}) {
    History h = presence_history(alternating(3, 1, 8), alternating(1, -1, control));
    EXPECT_EQ(Dornath(h.dir.path())._discover_presence_patterns(h.signals()).size(),
              control == 30 ? 1u : 0u)
        << control << " control commits";
  }
}

TEST_F(Discovery, PresenceDirectionThresholdAndConstantGroups) {
  // Mean difference -0.4 over a pooled deviation of 1: d = -0.40.
  History lower = presence_history(alternating(0.6, -1.4, 10), alternating(1, -1, 40));
  Json found = Dornath(lower.dir.path())._discover_presence_patterns(lower.signals());
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0]["effect_size"], -0.4);
  EXPECT_NE(found[0]["description_statistical"].get<std::string>().find(
                "systematically decreased (effect size d=-0.40, treated=10, control=40)"),
            std::string::npos);
  EXPECT_EQ(found[0]["confidence_weight"], 1.0 / 3.0);  // 10 / 30, not rounded

  History constant = presence_history(std::vector<double>(8, 3.0), std::vector<double>(32, 1.0));
  EXPECT_TRUE(Dornath(constant.dir.path())._discover_presence_patterns(constant.signals()).empty());

  History weak = presence_history(alternating(0.6, -1.4, 10), alternating(1, -1, 40));
  EXPECT_TRUE(Dornath(weak.dir.path(), Json{{"min_effect_size", 0.41}})
                  ._discover_presence_patterns(weak.signals())
                  .empty());
}

TEST_F(Discovery, PresenceWithoutGitCommitsFindsNothing) {
  History h;
  for (int i = 1; i <= 40; ++i) {
    h.ci_run(i);
    h.ci_signal(i, 2.0);
    h.git_signal(i, 1.0);  // no git event: the commit index knows no g###
  }
  std::vector<std::string> lines;
  set_log_sink([&](LogLevel, std::string_view, std::string_view m) { lines.emplace_back(m); });
  set_log_level(LogLevel::kInfo);
  EXPECT_TRUE(Dornath(h.dir.path())._discover_presence_patterns(h.signals()).empty());
  set_log_level(LogLevel::kWarning);
  set_log_sink(nullptr);
  EXPECT_TRUE(lines.empty());
}

// A mixed history (commit, time-bucket and presence alignments, admission by
// correlation and by lift, degenerate and equal-size deviations, offsets and
// local times) whose candidates were checked against an independent
// implementation.
TEST_F(Discovery, GoldenHistoryGivesTheRecordedCandidates) {
  fs::path golden = fs::path(VELQUOR_SOURCE_DIR) / "tests/dornath/golden";
  Json input = read_json_file(golden / "discovery_input.json");
  VelDir dir;
  for (const Json& event : input["events"]) dir.add_event(event);
  for (const auto& [family, signals] : input["signals"].items()) dir.write_signals(family, signals);
  ScopedEnv utc("TZ", "UTC");
  ::tzset();
  Dornath engine(dir.path(), input["params"]);
  Json signals = engine._load_all_signals();
  Json found = engine._discover_cooccurrences(signals);
  for (Json& record : engine._discover_presence_patterns(signals)) found.push_back(record);
  EXPECT_EQ(dump_pretty(found), read_file(golden / "discovery_candidates.json"));
}

}  // namespace
}  // namespace velquor::dornath
