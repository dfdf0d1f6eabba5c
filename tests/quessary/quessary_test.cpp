#include <gtest/gtest.h>

#include <cmath>

#include "shared/errors.h"
#include "velquor/quessary/quessary.h"

namespace velquor::quessary {
namespace {

Json change(const std::string& family, const std::string& metric, const Json& deviation,
            const Json& observed_at = nullptr) {
  Json record = {{"family", family}, {"metric", metric}, {"deviation_stddev", deviation},
                 {"current", 7}};
  if (!observed_at.is_null()) record["observed_at"] = observed_at;
  return record;
}

Json advisory(const Json& changes, const std::string& period_to = "") {
  Json record = {{"advisory_id", "a"}, {"changes", changes}};
  if (!period_to.empty()) record["period"] = {{"from", "2025-01-01T00:00:00Z"}, {"to", period_to}};
  return record;
}

TEST(DiffAdvisories, ClassifiesEveryChangeInAdvisoryOrder) {
  const Json before = advisory(Json::array({change("git", "dispersion", 3.5),
                                            change("ci", "run_duration", -2.0),
                                            change("git", "files_touched", 4)}));
  const Json after = advisory(Json::array({change("git", "files_touched", -2.5),
                                           change("testing", "failure_rate", 6.25, "2025-02-01"),
                                           change("git", "dispersion", 3.5)}));
  const Json diff = diff_advisories(before, after);
  EXPECT_EQ(dump_compact(diff),
            R"({"resolved": [{"family": "ci", "metric": "run_duration", "before_deviation": -2.0}], )"
            R"("persisting": [{"family": "git", "metric": "files_touched", "before_deviation": 4, )"
            R"("now_deviation": -2.5, "improved": true}, {"family": "git", "metric": "dispersion", )"
            R"("before_deviation": 3.5, "now_deviation": 3.5, "improved": false}], )"
            R"("new": [{"family": "testing", "metric": "failure_rate", "deviation_stddev": 6.25, )"
            R"("current": 7, "observed_at": "2025-02-01"}], "regressions": []})");
}

TEST(DiffAdvisories, ImprovedComparesMagnitudes) {
  const std::tuple<Json, Json, bool> cases[] = {
      {3.0, -2.9, true}, {-3.0, 3.0, false}, {2, 4.5, false}, {-5, 0, true},
      {NAN, 1.0, false}, {INFINITY, 9.0, true}};
  for (const auto& [was, now, improved] : cases) {
    const Json diff = diff_advisories(advisory(Json::array({change("ci", "run_failed", was)})),
                                      advisory(Json::array({change("ci", "run_failed", now)})));
    EXPECT_EQ(diff["persisting"][0]["improved"], improved) << was << " -> " << now;
  }
}

TEST(DiffAdvisories, NewChangesObservedAfterTheEarlierPeriodAreRegressions) {
  const Json before = advisory(Json::array(), "2025-03-01T10:00:00Z");
  const Json after = advisory(Json::array({change("a", "later", 2.0, "2025-03-01T10:00:01Z"),
                                           change("a", "equal", 2.0, "2025-03-01T10:00:00Z"),
                                           change("a", "earlier", 2.0, "2025-02-28"),
                                           change("a", "no_time", 2.0),
                                           change("a", "empty_time", 2.0, "")}));
  const Json diff = diff_advisories(before, after);
  ASSERT_EQ(diff["regressions"].size(), 1u);
  EXPECT_EQ(diff["regressions"][0]["metric"], "later");
  ASSERT_EQ(diff["new"].size(), 4u);
  EXPECT_EQ(diff["new"][2]["metric"], "no_time");
  EXPECT_EQ(diff["new"][2]["observed_at"], "");
  // Without a period end in the earlier advisory nothing counts as regression.
  const Json no_period = diff_advisories(advisory(Json::array()), after);
  EXPECT_TRUE(no_period["regressions"].empty());
  EXPECT_EQ(no_period["new"].size(), 5u);
}

TEST(DiffAdvisories, TheFirstChangeOfAKeyCounts) {
  const Json before = advisory(Json::array({change("git", "dispersion", 2.0),
                                            change("git", "dispersion", 9.0)}));
  const Json after = advisory(Json::array({change("git", "dispersion", 3.0),
                                           change("git", "dispersion", 1.0),
                                           change("ci", "run_failed", 4.0),
                                           change("ci", "run_failed", 5.0)}));
  const Json diff = diff_advisories(before, after);
  ASSERT_EQ(diff["persisting"].size(), 1u);
  EXPECT_EQ(diff["persisting"][0]["before_deviation"], 2.0);
  EXPECT_EQ(diff["persisting"][0]["now_deviation"], 3.0);
  ASSERT_EQ(diff["new"].size(), 1u);
  EXPECT_EQ(diff["new"][0]["deviation_stddev"], 4.0);
}

TEST(DiffAdvisories, AbsentChangesAreEmptyAndAbsentValuesNull) {
  const Json diff = diff_advisories(Json::object(), {{"changes", {{{"family", "ci"}, {"metric", "m"}}}}});
  EXPECT_EQ(dump_compact(diff),
            R"({"resolved": [], "persisting": [], "new": [{"family": "ci", "metric": "m", )"
            R"("deviation_stddev": null, "current": null, "observed_at": ""}], "regressions": []})");
  EXPECT_EQ(dump_compact(diff_advisories(Json::object(), Json::object())),
            R"({"resolved": [], "persisting": [], "new": [], "regressions": []})");
}

TEST(DiffAdvisories, MalformedAdvisoriesRaiseNamingThePlace) {
  const Json good = advisory(Json::array({change("ci", "m", 2.0)}));
  EXPECT_THROW(diff_advisories(nullptr, good), TypeError);
  EXPECT_THROW(diff_advisories(good, Json::array()), TypeError);
  EXPECT_THROW(diff_advisories({{"changes", nullptr}}, good), TypeError);
  EXPECT_THROW(diff_advisories({{"changes", {1}}}, good), TypeError);
  EXPECT_THROW(diff_advisories({{"changes", {{{"family", "ci"}}}}}, good), MissingMember);
  try {
    diff_advisories(good, advisory(Json::array({change("ci", "m", "high")})));
    ADD_FAILURE() << "no error";
  } catch (const TypeError& e) {
    EXPECT_NE(std::string(e.what()).find("after.changes[0].deviation_stddev"), std::string::npos)
        << e.what();
  }
}

}  // namespace
}  // namespace velquor::quessary
