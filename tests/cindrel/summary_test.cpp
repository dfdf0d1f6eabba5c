// The sentence of each metric, its number formats, and the reference value
// and direction behind the wording.

#include <gtest/gtest.h>

#include <filesystem>
#include <limits>
#include <string>

#include <unistd.h>

#include "shared/errors.h"
#include "velquor/cindrel/cindrel.h"

namespace velquor::cindrel {
namespace {

const std::string kDash = "\u2014";
const std::string kLimited =
    " (based on limited history \u2014 may change as more data arrives)";

// A signal whose reference value is `mean` (mad 0.0 makes the median unused).
Json make_signal(const std::string& metric, const Json& observed, const Json& mean,
                 const std::string& status = "sufficient") {
  return Json{{"engine_id", "x"},
              {"source_type", "x"},
              {"metric", metric},
              {"window", {{"type", "rolling"}, {"size", 50}}},
              {"baseline", {{"mean", mean}, {"stddev", 1.0}, {"median", 999}, {"mad", 0.0}}},
              {"observed", observed},
              {"deviation", {{"measure", 2.0}, {"unit", "iqr_normalized"}, {"degenerate", false}}},
              {"confidence", {{"sample_count", 50}, {"status", status}}},
              {"event_ref", "e1"}};
}

class CindrelSummary : public ::testing::Test {
 protected:
  // One folder per process: ctest runs the cases of a suite side by side.
  CindrelSummary()
      : engine(std::filesystem::temp_directory_path() /
               ("velquor-cindrel-summary-" + std::to_string(::getpid()))) {}
  ~CindrelSummary() override { std::filesystem::remove_all(engine.vel_dir); }
  Cindrel engine;
};

struct Row {
  const char* metric;
  Json observed;
  Json mean;
  std::string expected;
};

TEST_F(CindrelSummary, EveryTemplateRowWithItsNumberFormat) {
  const Row rows[] = {
      {"files_touched", 12, 10,
       "This commit touched 12 files " + kDash + " 20% higher than usual. Larger commits are "
       "harder to review and more likely to hide unrelated changes."},
      {"files_touched", 12.0, 12, "This commit touched 12.0 files " + kDash + " the same as usual. "
       "Larger commits are harder to review and more likely to hide unrelated changes."},
      {"change_locality", 0.125, 0.5,  // 0.125 is a tie: to even
       "The change locality for this commit was 0.12 " + kDash + " 75% lower than usual. More of "
       "this change lands on files that recent work did not touch."},
      {"cochange_novelty_ratio", 0.675, 0.25,  // 0.675 is stored as 0.67500000000000004
       "The co-change novelty ratio was 0.68 " + kDash + " 2.7x the usual level. Files are "
       "changing together in combinations not seen recently."},
      {"run_duration", 312.25, 300,
       "This CI build took 312.2 seconds " + kDash + " 4.1% higher than usual. Slower builds "
       "lengthen the feedback loop for every change."},
      {"run_failed", 0, 0.1, "This CI build succeeded."},
      {"total_tests", 41.5, 40, "This test run executed 42 tests " + kDash + " 3.8% higher than usual."},
      {"total_tests", 2.5, 5,
       "This test run executed 2 tests " + kDash + " 50% lower than usual. Fewer tests ran than "
       "usual; tests may have been removed or skipped."},
      {"suite_duration", 0.05, 0.05,
       "The test suite completed in 0.1 seconds " + kDash + " the same as usual. The test suite is "
       "taking longer than usual."},
      {"skip_rate", 0.05, 0.02,
       "The skip rate for this run was 5.00% " + kDash + " 2.5x the usual level. More tests are "
       "being skipped, which can hide failures."},
      {"dependency_count", 120, 100,
       "This snapshot has 120 dependencies " + kDash + " 20% higher than usual. More dependencies "
       "mean more code to keep updated and secure."},
      {"max_depth", 7, 7,
       "The maximum dependency depth is 7 " + kDash + " the same as usual. Deeper dependency "
       "chains are harder to audit."},
      {"endpoint_count", 40, 45,
       "This schema version has 40 endpoints " + kDash + " 11% lower than usual. Endpoints were "
       "removed, which can break existing clients."},
      {"type_count", 30, 30, "This schema version defines 30 types " + kDash + " the same as usual."},
      {"field_count", 180, 200,
       "This schema version contains 180 fields " + kDash + " 10% lower than usual. Fields were "
       "removed, which can break existing clients."},
      {"schema_churn", 0.3333, 0,
       "Schema churn was 0.33 " + kDash + " up from zero. The API changed more than usual in one step."},
      {"release_cadence_hours", 36.75, 48,
       "This release came 36.8 hours after the previous one " + kDash + " 23% lower than usual. "
       "Releases are coming closer together than usual."},
      {"is_prerelease", 1, 0, "This was a pre-release."},
      {"is_prerelease", 0, 0, "This was a stable release."},
      {"asset_count", 3, 3.0, "This release included 3 assets " + kDash + " the same as usual."},
      {"resource_count", 0, 12,
       "This configuration manages 0 resources " + kDash + " 100% lower than usual. "
       "Infrastructure resources were removed."},
      {"resource_type_count", 9, 4,  // 2.25x is a tie: to even
       "This configuration uses 9 distinct resource types " + kDash + " 2.2x the usual level. New "
       "kinds of infrastructure were introduced."},
      {"config_churn", 3, 1,
       "Configuration churn was 3 " + kDash + " 3.0x the usual level. More infrastructure changed "
       "at once than usual."},
      {"event_count", 250, 100,
       "This error has 250 occurrences " + kDash + " 2.5x the usual level. This error is occurring "
       "more often than usual."},
      {"user_count", 0, 0, "This error affected 0 users " + kDash + " unchanged from zero."},
      {"is_unhandled", 1, 0.5,
       "This is an unhandled exception. Unhandled exceptions usually reach users directly."},
      {"is_unhandled", 0, 0.5, "This error is handled."},
      {"vulnerability_count", 4, 2,
       "This scan found 4 vulnerabilities " + kDash + " 2.0x the usual level. New known "
       "vulnerabilities entered the project."},
      {"critical_count", 1, 0,
       "This scan found 1 critical vulnerabilities " + kDash + " up from zero. Critical "
       "vulnerabilities need prompt attention."},
      {"fixable_ratio", 0.1234, 0.5,
       "The fixable ratio is 12.34% " + kDash + " 75% lower than usual. Fewer of the known "
       "vulnerabilities have a fix available."},
      // Metrics without a row are named and shown plain.
      {"failure_rate", 0.25, 0.1,
       "Metric 'failure_rate' was 0.25 " + kDash + " 2.5x the usual level. More tests are "
       "failing than usual."},
      {"line_rate", 0.8, 0.8, "Metric 'line_rate' was 0.8 " + kDash + " the same as usual."},
      {"widgets", 1e-05, 1e-05, "Metric 'widgets' was 1e-05 " + kDash + " the same as usual."},
  };
  for (const Row& row : rows)
    EXPECT_EQ(engine._template(make_signal(row.metric, row.observed, row.mean)), row.expected)
        << row.metric << " observed " << row.observed.dump();
}

TEST_F(CindrelSummary, DispersionUsesTheMedianWhenTheMadIsPositive) {
  Json signal = make_signal("dispersion", 1.5, 1.0);
  signal["baseline"]["median"] = 0.9;
  signal["baseline"]["mad"] = 0.2;
  EXPECT_EQ(engine._template(signal),
            "This change is spread across many parts of the codebase " + kDash +
                " 67% higher than usual. The change reaches into more areas of the codebase "
                "than usual.");
}

TEST_F(CindrelSummary, LimitedHistoryNoteFollowsTheInsight) {
  EXPECT_EQ(engine._template(make_signal("run_failed", 1.0, 0.1, "accumulating")),
            "This CI build failed. A failing build blocks integration until it is fixed." +
                kLimited);
  EXPECT_EQ(engine._template(make_signal("type_count", 3, 3, "accumulating")),
            "This schema version defines 3 types " + kDash + " the same as usual." + kLimited);
  Json null_status = make_signal("type_count", 3, 3);
  null_status["confidence"]["status"] = nullptr;
  EXPECT_EQ(engine._template(null_status),
            "This schema version defines 3 types " + kDash + " the same as usual." + kLimited);
}

TEST_F(CindrelSummary, DegenerateSentenceHasNoInsightAndNoNote) {
  struct Case {
    Json median;  // null here: the baseline has no median member
    Json mean;
    Json observed;
    std::string constant;
  } cases[] = {
      {3, 3, 7, "3"},
      {12345.0, 1, 0.5, "1.234e+04"},
      {0.0001, 1, 2, "0.0001"},
      {2.5, 1, 2, "2.5"},
      {nullptr, 0.00001234, 1, "1.234e-05"},
  };
  for (const Case& c : cases) {
    Json signal = make_signal("files_touched", c.observed, c.mean, "accumulating");
    signal["deviation"] = {{"measure", 0.0}, {"unit", "degenerate"}, {"degenerate", true}};
    if (c.median.is_null()) signal["baseline"].erase("median");
    else signal["baseline"]["median"] = c.median;
    EXPECT_EQ(engine._template(signal), "Metric 'files_touched' was " + c.observed.dump() +
                                            ". Baseline was constant at " + c.constant +
                                            " across 50 observations. No meaningful deviation.");
  }
  // Only the JSON value true marks a degenerate baseline.
  Json text_flag = make_signal("type_count", 3, 3);
  text_flag["deviation"]["degenerate"] = "true";
  EXPECT_EQ(engine._template(text_flag),
            "This schema version defines 3 types " + kDash + " the same as usual.");
}

TEST_F(CindrelSummary, ReferenceValueIsTheMedianOnlyForAPositiveMad) {
  Json signal = make_signal("x", 1, 10);
  signal["baseline"]["median"] = 8;
  signal["baseline"]["mad"] = 0.5;
  EXPECT_EQ(engine._get_median(signal), Json(8));
  signal["baseline"]["mad"] = 0;
  EXPECT_EQ(engine._get_median(signal), Json(10));
  signal["baseline"]["mad"] = nullptr;
  EXPECT_EQ(engine._get_median(signal), Json(10));
  signal["baseline"].erase("mad");
  EXPECT_EQ(engine._get_median(signal), Json(10));
  signal["baseline"]["mad"] = 0.5;
  signal["baseline"]["median"] = nullptr;
  EXPECT_EQ(engine._get_median(signal), Json(10));
  signal["baseline"]["median"] = 8;
  signal["baseline"]["mad"] = "wide";
  EXPECT_THROW(engine._get_median(signal), TypeError);
}

TEST_F(CindrelSummary, DirectionAgainstTheReferenceValue) {
  struct Case {
    Json observed;
    Json mean;
    const char* expected;
  } cases[] = {
      {5, 5, "up"},     {4.9, 5, "down"}, {0, 0, "down"},   {0.1, 0, "up"},
      {-1, 0, "down"},  {1, nullptr, "up"}, {0, nullptr, "down"}, {-3, -2, "down"},
      {std::numeric_limits<double>::quiet_NaN(), 1, "down"},
      // 2^53 against 2^53 + 1: equal as doubles, below as numbers.
      {Json(int64_t{9007199254740992}), Json(int64_t{9007199254740993}), "down"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(engine._direction(make_signal("x", c.observed, c.mean)), c.expected)
        << c.observed.dump() << " against " << c.mean.dump();
  EXPECT_THROW(engine._direction(make_signal("x", "high", 3)), TypeError);
}

TEST(CindrelHash, Sha256OfTheSortedCompactForm) {
  // sha256 of {"a":"\u2014","b":1,"c":{"x":1e-05,"y":[true,null],"z":1.0}}
  Json data = {{"b", 1}, {"a", "\u2014"}, {"c", {{"z", 1.0}, {"y", {true, nullptr}}, {"x", 1e-05}}}};
  EXPECT_EQ(Cindrel::_hash(data),
            "dc90654dbdf1b619d05c7561906e6808d3a4ed0a77e330cb3114e99d713faed7");
}

}  // namespace
}  // namespace velquor::cindrel
