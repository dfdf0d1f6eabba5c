#include "velquor/pellan/pellan.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "shared/errors.h"

namespace velquor::pellan {
namespace {

struct ChangeCase {
  Json current;
  Json base;
  const char* expected;
};

TEST(PellanRelativeChange, WordsEveryKindOfChange) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const ChangeCase cases[] = {
      // The documented examples.
      {42, 12, "3.5x the usual level"},
      {15, 12, "25% higher than usual"},
      {9, 12, "25% lower than usual"},
      {12.3, 12, "2.5% higher than usual"},
      {0.79, 0.8, "1.3% lower than usual"},  // -1.2500000000000011 %
      {12, 12, "the same as usual"},
      {-4, -2, "100% lower than usual"},
      {0.5, 0, "up from zero"},
      // Zero base.
      {0, 0, "unchanged from zero"},
      {0.0, -0.0, "unchanged from zero"},
      {-1, 0, "down from zero"},
      {nan, 0, "down from zero"},
      // Not numbers.
      {"12", 12, "no baseline to compare with"},
      {12, nullptr, "no baseline to compare with"},
      {true, 1, "no baseline to compare with"},
      // Thresholds: exactly twice counts as a ratio; 9.99999... % keeps a decimal
      // and rounds to 10.0; below 0.05 % is no change.
      {24, 12, "2.0x the usual level"},
      {23.9, 12, "99% higher than usual"},
      {13.2, 12, "10.0% higher than usual"},
      {12.01, 12, "0.1% higher than usual"},
      {12.005, 12, "the same as usual"},
      {-1, -2, "50% higher than usual"},  // no ratio for a negative base
      {nan, 12, "nan% lower than usual"},
      // 2^53 + 1 and just below twice it: a double comparison would call
      // this "2.0x"; the exact one does not.
      {Json(int64_t{18014398509481985}), Json(int64_t{9007199254740993}), "100% higher than usual"},
  };
  for (const ChangeCase& c : cases)
    EXPECT_EQ(relative_change(c.current, c.base), c.expected)
        << "current " << c.current.dump() << ", base " << c.base.dump();
}

TEST(PellanMetricInsight, KnownPairsHaveASentenceOthersNone) {
  EXPECT_EQ(metric_insight("files_touched", "up"),
            "Larger commits are harder to review and more likely to hide unrelated changes.");
  EXPECT_EQ(metric_insight("dispersion", "down"), "The change is more focused than usual.");
  EXPECT_EQ(metric_insight("fixable_ratio", "down"),
            "Fewer of the known vulnerabilities have a fix available.");
  EXPECT_EQ(metric_insight("files_touched", "down"), "");
  EXPECT_EQ(metric_insight("type_count", "up"), "");
  EXPECT_EQ(metric_insight("run_failed", "sideways"), "");
}

TEST(PellanRiskLevel, LevelsBySizeOfDeviation) {
  struct Case {
    Json deviation;
    const char* level;
    const char* label;
    const char* description;
  } cases[] = {
      {5, "critical", "CRITICAL", "Extremely unusual"},
      {-7.5, "critical", "CRITICAL", "Extremely unusual"},
      {-3, "high", "HIGH", "Highly unusual"},
      {2.0, "elevated", "ELEVATED", "Clearly unusual"},
      {1.5, "notable", "NOTABLE", "Somewhat unusual"},
      {1.4999, "normal", "NORMAL", "Within the normal range"},
      {0, "normal", "NORMAL", "Within the normal range"},
  };
  for (const Case& c : cases) {
    Json expected = {{"level", c.level}, {"label", c.label}, {"description", c.description}};
    EXPECT_EQ(risk_level(c.deviation).dump(), expected.dump()) << c.deviation.dump();
  }
  EXPECT_THROW(risk_level("3"), TypeError);
  EXPECT_THROW(risk_level(true), TypeError);
  EXPECT_THROW(risk_level(nullptr), TypeError);
}

TEST(PellanFriendlyPattern, CandidatesAndKnownPatterns) {
  Json candidate = {{"families", {"git", "ci"}},
                    {"metrics", {"files_touched", "run_duration"}},
                    {"correlation", 0.825}};  // 0.82499999... in binary
  EXPECT_EQ(friendly_pattern(candidate),
            "git + ci: files_touched, run_duration tend to change together "
            "[candidate pattern, strength 0.82]");

  Json from_sources = {{"families", Json::array()},
                       {"sources", {"schema"}},
                       {"metrics", {"endpoint_count"}},
                       {"correlation", 0},
                       {"correlation_strength", -0.7}};
  EXPECT_EQ(friendly_pattern(from_sources),
            "schema: endpoint_count tend to change together [candidate pattern, strength 0.70]");

  EXPECT_EQ(friendly_pattern(Json::object()),
            ":  tend to change together [candidate pattern, strength 0.00]");

  Json known = {{"knowledge_id", "k1"},
                {"description", "Big commits slow the build"},
                {"support_count", 7}};
  EXPECT_EQ(friendly_pattern(known), "Big commits slow the build [known pattern, seen 7 times]");
  known.erase("support_count");
  known["description"] = "";
  known["families"] = {"git"};
  known["metrics"] = {"dispersion", 3};
  EXPECT_EQ(friendly_pattern(known),
            "git: dispersion, 3 tend to change together [known pattern, seen 0 times]");
}

TEST(PellanPatternRiskAssessment, SeverityByMetricsThenStrength) {
  auto severity = [](const Json& pattern) {
    Json result = pattern_risk_assessment(pattern);
    return result["severity"].get<std::string>() + " / " + result["reason"].get<std::string>();
  };
  EXPECT_EQ(severity({{"metrics", {"run_failed", "critical_count"}}}),
            "critical / involves critical vulnerabilities");
  EXPECT_EQ(severity({{"metrics", {"files_touched", "failure_rate"}}, {"correlation", 0.99}}),
            "concern / involves failures or vulnerabilities");
  EXPECT_EQ(severity({{"metrics", {"files_touched"}}, {"correlation", -0.7}}),
            "watch / strong recurring link");
  EXPECT_EQ(severity({{"correlation", 0}, {"correlation_strength", 0.9}}),
            "watch / strong recurring link");
  EXPECT_EQ(severity({{"metrics", {"files_touched"}}, {"correlation", 0.69}}),
            "info / recurring link");
  EXPECT_EQ(pattern_risk_assessment(Json::object()).dump(),
            R"({"severity":"info","reason":"recurring link"})");
}

TEST(PellanAdvisoryStatus, ClearWatchOrActionNeeded) {
  const char* clear =
      R"({"state":"clear","highest_risk":"NORMAL","message":"No unaccepted significant changes."})";
  EXPECT_EQ(advisory_status(Json::object()).dump(), clear);
  EXPECT_EQ(advisory_status({{"changes", Json::array()}}).dump(), clear);

  Json one = {{"changes", {{{"deviation_stddev", -3.2}}}}};
  EXPECT_EQ(advisory_status(one).dump(),
            R"({"state":"action_needed","highest_risk":"HIGH",)"
            R"("message":"1 significant change; highest risk HIGH."})");

  Json two = {{"changes", {{{"deviation_stddev", 1.6}}, {{"deviation_stddev", -2.5}}}}};
  EXPECT_EQ(advisory_status(two).dump(),
            R"({"state":"watch","highest_risk":"ELEVATED",)"
            R"("message":"2 significant changes; highest risk ELEVATED."})");

  Json incomplete = {{"changes", {{{"metric", "dispersion"}}}}};
  EXPECT_THROW(advisory_status(incomplete), MissingMember);
  EXPECT_THROW(advisory_status({{"changes", "none"}}), TypeError);
}

}  // namespace
}  // namespace velquor::pellan
