// Directions, components, fingerprints, event times and time buckets: the
// plain functions stage 5 shares, so their results must never drift.

#include <ctime>

#include "fixture.h"
#include "shared/errors.h"
#include "velquor/dornath/dornath.h"

namespace velquor::dornath {
namespace {

using testing::make_signal;
using testing::ScopedEnv;

TEST(ClassifyDirection, ThresholdIsStrictAndDegenerateIsUnchanged) {
  EXPECT_EQ(classify_direction(1.0, 1.0, "modified_zscore"), kUnchanged);
  EXPECT_EQ(classify_direction(-1.0, 1.0, "modified_zscore"), kUnchanged);
  EXPECT_EQ(classify_direction(1.0000001, 1.0), kIncreased);
  EXPECT_EQ(classify_direction(-1.6, 1.5, "iqr_normalized"), kDecreased);
  EXPECT_EQ(classify_direction(5.0, 1.0, "degenerate"), kUnchanged);
  EXPECT_EQ(classify_direction(5.0, 1.0, "anything else"), kIncreased);
}

TEST(SignalsToComponents, KeepsDeviatingSignalsInOrderWithDuplicates) {
  Json missing_measure = make_signal("ci", "run_duration", 0, "e3");
  missing_measure["deviation"].erase("measure");
  Json null_measure = make_signal("ci", "run_duration", 0, "e4");
  null_measure["deviation"]["measure"] = nullptr;
  Json degenerate = make_signal("ci", "run_duration", 9.0, "e5", true);
  Json signals = Json::array({make_signal("git", "files_touched", 2.0, "e1"),
                              make_signal("ci", "run_duration", -3.0, "e2"), missing_measure,
                              null_measure, degenerate,
                              make_signal("git", "files_touched", 2.0, "e6"),
                              make_signal("git", "dispersion", 0.5, "e7")});
  std::vector<Component> expected = {{"git", "files_touched", "increased"},
                                     {"ci", "run_duration", "decreased"},
                                     {"git", "files_touched", "increased"}};
  EXPECT_EQ(signals_to_components(signals, 1.0), expected);
}

TEST(SignalsToComponents, RejectsMalformedInput) {
  EXPECT_THROW(signals_to_components(Json::object()), TypeError);
  Json text_measure = make_signal("git", "files_touched", 0, "e1");
  text_measure["deviation"]["measure"] = "high";
  EXPECT_THROW(signals_to_components(Json::array({text_measure})), TypeError);
  Json no_metric = make_signal("git", "files_touched", 3.0, "e1");
  no_metric.erase("metric");
  EXPECT_THROW(signals_to_components(Json::array({no_metric})), MissingMember);
  // The metric is only read for a signal that deviates.
  Json quiet = make_signal("git", "files_touched", 0.2, "e1");
  quiet.erase("metric");
  EXPECT_TRUE(signals_to_components(Json::array({quiet})).empty());
}

TEST(ComputeFingerprint, WorkedExampleAndOrderIndependence) {
  Component git{"git", "files_touched", "increased"};
  Component ci{"ci", "run_duration", "increased"};
  EXPECT_EQ(compute_fingerprint({git, ci}), "fff7fdc968c86d3c");
  EXPECT_EQ(compute_fingerprint({ci, git}), "fff7fdc968c86d3c");
  EXPECT_NE(compute_fingerprint({git, ci, ci}), compute_fingerprint({git, ci}));
  // sha256("[]")
  EXPECT_EQ(compute_fingerprint({}), "4f53cda18c2baa0c");
}

TEST(ComputeFingerprint, NonAsciiNamesAreEscaped) {
  // sha256 of the pure ASCII text [["ci","d\u00e9bit","increased"]].
  EXPECT_EQ(compute_fingerprint({{"ci", "d\xC3\xA9" "bit", "increased"}}), "895c511a4488c155");
}

TEST(ExtractEventTimestamp, FollowsTheSourceType) {
  EXPECT_EQ(Dornath::_extract_event_timestamp(
                {{"source_type", "git"},
                 {"observed_at", "o"},
                 {"payload", {{"committed_at", ""}, {"authored_at", "a"}}}}),
            "a");
  EXPECT_EQ(Dornath::_extract_event_timestamp(
                {{"source_type", "github_actions"},
                 {"payload", {{"timing", {{"created_at", nullptr}, {"started_at", "s"}}}}}}),
            "s");
  EXPECT_EQ(Dornath::_extract_event_timestamp(
                {{"source_type", "github_releases"},
                 {"payload", {{"timing", {{"completed_at", "c"}}}}}}),
            "c");
  EXPECT_EQ(Dornath::_extract_event_timestamp({{"source_type", "git"}, {"observed_at", "o"}}), "o");
  EXPECT_EQ(Dornath::_extract_event_timestamp({{"source_type", "trivy"}, {"observed_at", nullptr}}),
            "");
  EXPECT_EQ(Dornath::_extract_event_timestamp(Json::object()), "");
}

TEST(ExtractEventTimestamp, RejectsWrongKinds) {
  EXPECT_THROW(Dornath::_extract_event_timestamp({{"payload", nullptr}}), TypeError);
  EXPECT_THROW(Dornath::_extract_event_timestamp(
                   {{"source_type", "github_actions"}, {"payload", {{"timing", nullptr}}}}),
               TypeError);
  EXPECT_THROW(Dornath::_extract_event_timestamp(
                   {{"source_type", "git"}, {"payload", {{"committed_at", 17}}}}),
               TypeError);
  EXPECT_THROW(Dornath::_extract_event_timestamp({{"observed_at", 3}}), TypeError);
}

TEST(TimeBucket, DaysCountFromTheEpochInUtc) {
  auto a = Dornath::_time_bucket("2024-05-01T23:30:00Z", 24);
  auto b = Dornath::_time_bucket("2024-05-01T00:10:00+00:00", 24);
  auto c = Dornath::_time_bucket("2024-05-02T00:00:00Z", 24);
  ASSERT_TRUE(a && b && c);
  EXPECT_EQ(*a, *b);
  EXPECT_EQ(*c, *a + 1);
  EXPECT_EQ(*a, 19844);  // days from 1970-01-01 to 2024-05-01
  EXPECT_EQ(Dornath::_time_bucket("2024-05-02T01:30:00+02:00", 24), a);
  EXPECT_EQ(Dornath::_time_bucket("2024-05-01 06:00:00.123456-04:30", 1), 19844 * 24 + 10);
  EXPECT_EQ(Dornath::_time_bucket("1969-12-31T23:00:00Z", 24), -1);
  EXPECT_EQ(Dornath::_time_bucket("not a date", 24), std::nullopt);
  EXPECT_EQ(Dornath::_time_bucket("2024-13-01", 24), std::nullopt);
  EXPECT_EQ(Dornath::_time_bucket("0000-01-01T00:00:00Z", 24), std::nullopt);
  EXPECT_EQ(Dornath::_time_bucket("0001-01-01T00:00:00Z", 24), -719162);
  EXPECT_EQ(Dornath::_time_bucket("", 24), std::nullopt);
  EXPECT_THROW(Dornath::_time_bucket("2024-05-01", 0), ValueError);
}

TEST(TimeBucket, OffsetLessTimesAreLocal) {
  {
    ScopedEnv tz("TZ", "XST-5");  // five hours east of UTC, no daylight saving
    ::tzset();
    EXPECT_EQ(Dornath::_time_bucket("2024-05-02T03:00:00", 24), 19844);
    EXPECT_EQ(Dornath::_time_bucket("2024-05-02", 1), 19845 * 24 - 5);
    EXPECT_EQ(Dornath::_time_bucket("2024-05-02T03:00:00Z", 24), 19845);
  }
  ::tzset();
}

// Around daylight-saving changes a local reading can be skipped or occur twice;
// the bucket must not depend on the C library's guess of the daylight flag.
TEST(TimeBucket, LocalReadingsAroundClockChanges) {
  {
    ScopedEnv tz("TZ", "EST5EDT,M3.2.0,M11.1.0");
    ::tzset();
    const int64_t march10 = 19792 * 24;  // 2024-03-10T00:00Z in hours
    const int64_t nov3 = 20030 * 24;     // 2024-11-03T00:00Z in hours
    // Skipped reading: read with the offset in force before the change (EST).
    EXPECT_EQ(Dornath::_time_bucket("2024-03-10T02:30:00", 1), march10 + 7);
    EXPECT_EQ(Dornath::_time_bucket("2024-03-10T01:59:59", 1), march10 + 6);
    EXPECT_EQ(Dornath::_time_bucket("2024-03-10T03:00:00", 1), march10 + 7);
    // Repeated reading: the earlier instant (still EDT).
    EXPECT_EQ(Dornath::_time_bucket("2024-11-03T01:30:00", 1), nov3 + 5);
    EXPECT_EQ(Dornath::_time_bucket("2024-11-03T01:00:00.5", 1), nov3 + 5);
    EXPECT_EQ(Dornath::_time_bucket("2024-11-03T00:30:00", 1), nov3 + 4);
    EXPECT_EQ(Dornath::_time_bucket("2024-11-03T02:00:00", 1), nov3 + 7);
  }
  ::tzset();
}

TEST(ParamOverride, ReadsScalarsAndKeepsOtherTextAsText) {
  Json params = Json::object();
  apply_param_override(params, "min_support=3");
  apply_param_override(params, "min_lift=2.5");
  apply_param_override(params, "name=hello");
  apply_param_override(params, "list=[1,2]");
  EXPECT_EQ(dump_compact(params),
            "{\"min_support\": 3, \"min_lift\": 2.5, \"name\": \"hello\", \"list\": \"[1,2]\"}");
  EXPECT_THROW(apply_param_override(params, "no_equals"), ValueError);
  EXPECT_THROW(apply_param_override(params, "=3"), ValueError);
}

TEST(Pearson, PopulationStatisticsAndConstantSeries) {
  EXPECT_DOUBLE_EQ(Dornath::_pearson({1, 2, 3}, {2, 4, 6}), 1.0);
  EXPECT_DOUBLE_EQ(Dornath::_pearson({1, 2, 3}, {3, 2, 1}), -1.0);
  EXPECT_EQ(Dornath::_pearson({1}, {1}), 0.0);
  std::vector<std::string> lines;
  set_log_sink([&](LogLevel, std::string_view logger, std::string_view message) {
    lines.push_back(std::string(logger) + " " + std::string(message));
  });
  set_log_level(LogLevel::kDebug);
  EXPECT_EQ(Dornath::_pearson({2, 2, 2}, {1, 2, 3}), 0.0);
  set_log_level(LogLevel::kWarning);
  set_log_sink(nullptr);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0],
            "velquor.phase4 Pearson returned 0.0: constant series (sx=0.0000, sy=0.8165, n=3)");
}

}  // namespace
}  // namespace velquor::dornath
