// The payload families' metric extractors: defaults, conditional metrics,
// flags, guarded divisions and payloads of the wrong kind.
#include <gtest/gtest.h>

#include "shared/errors.h"
#include "tests/brevalt/test_support.h"

namespace velquor::brevalt {
namespace {

// The metric map as compact JSON text, in signal order.
std::string metrics(const std::string& family, const Json& payload) {
  Event event{"events/e.json", Json{{"source_family", family}, {"payload", payload}}};
  Json out = Json::object();
  for (const Metric& m : family_metrics(family, event)) out[m.name] = m.value;
  return dump_compact(out);
}

TEST(Extractors, CiFailureFromConclusionOrStatus) {
  EXPECT_EQ(metrics("ci", {{"conclusion", "failure"}, {"status", "completed"}}),
            R"({"run_duration": 0.0, "run_failed": 1.0})");
  EXPECT_EQ(metrics("ci", {{"status", "failure"}}), R"({"run_duration": 0.0, "run_failed": 1.0})");
  EXPECT_EQ(metrics("ci", {{"conclusion", nullptr}, {"status", "failure"}}),
            R"({"run_duration": 0.0, "run_failed": 0.0})");
  // Payload values pass through with their kind; null leaves the metric out.
  EXPECT_EQ(metrics("ci", {{"timing", {{"duration_seconds", 42}}}}), R"({"run_duration": 42, "run_failed": 0.0})");
  EXPECT_EQ(metrics("ci", {{"timing", {{"duration_seconds", nullptr}}}}), R"({"run_duration": null, "run_failed": 0.0})");
}

TEST(Extractors, TestingRatesGuardTheDenominator) {
  EXPECT_EQ(metrics("testing", {{"summary", {{"total", 0}, {"failed", 0}}}}),
            R"({"total_tests": 0, "failure_rate": 0.0, "skip_rate": 0.0, "suite_duration": 0.0})");
  EXPECT_EQ(metrics("testing", {{"summary", {{"total", 8}, {"failed", 2}, {"skipped", 1}}},
                                {"execution", {{"duration_seconds", 3.5}}}}),
            R"({"total_tests": 8, "failure_rate": 0.25, "skip_rate": 0.125, "suite_duration": 3.5})");
}

TEST(Extractors, DependencyDepthOnlyForSomeEcosystems) {
  EXPECT_EQ(metrics("dependency", {{"ecosystem", "pip"}, {"snapshot", {{"total_count", 7}}}}),
            R"({"dependency_count": 7})");
  EXPECT_EQ(metrics("dependency", {{"ecosystem", "npm"}, {"snapshot", {{"total_count", 7}}}}),
            R"({"dependency_count": 7, "max_depth": 1})");
  EXPECT_EQ(metrics("dependency", Json::object()), R"({"dependency_count": 0})");
}

TEST(Extractors, DeploymentCadenceOnlyWithAnInterval) {
  EXPECT_EQ(metrics("deployment", {{"asset_count", 3}}), R"({"is_prerelease": 0.0, "asset_count": 3})");
  EXPECT_EQ(metrics("deployment", {{"timing", {{"since_previous_seconds", 7200}}}}),
            R"({"is_prerelease": 0.0, "asset_count": 0, "release_cadence_hours": 2.0})");
  EXPECT_EQ(metrics("deployment", {{"timing", {{"since_previous_seconds", nullptr}}}}),
            R"({"is_prerelease": 0.0, "asset_count": 0})");
}

TEST(Extractors, SchemaChurnPerEndpoint) {
  Json diff = {{"endpoints_added", 2}, {"fields_removed", 3}};
  EXPECT_EQ(metrics("schema", {{"structure", {{"endpoint_count", 4}}}, {"diff", diff}}),
            R"({"endpoint_count": 4, "type_count": 0, "field_count": 0, "schema_churn": 1.25})");
  EXPECT_EQ(metrics("schema", {{"diff", diff}}),
            R"({"endpoint_count": 0, "type_count": 0, "field_count": 0, "schema_churn": 5.0})");
}

TEST(Extractors, ConfigChurnIsACountUntilARealJoins) {
  EXPECT_EQ(metrics("config", {{"structure", {{"resource_count", 9}, {"resource_types", 4}}},
                               {"diff", {{"resources_added", 1}, {"resources_modified", 2}}}}),
            R"({"resource_count": 9, "resource_type_count": 4, "config_churn": 3})");
  EXPECT_EQ(metrics("config", {{"diff", {{"resources_added", 1}, {"resources_removed", 0.5}}}}),
            R"({"resource_count": 0, "resource_type_count": 0, "config_churn": 1.5})");
}

TEST(Extractors, FlagsCountAnySetValue) {
  for (const Json& set : {Json("no"), Json(true), Json(2), Json::array({0}), Json{{"a", 1}}}) {
    EXPECT_EQ(metrics("error_tracking", {{"is_unhandled", set}}),
              R"({"event_count": 0, "user_count": 0, "is_unhandled": 1.0})") << dump_compact(set);
  }
  for (const Json& unset : {Json(""), Json(false), Json(0), Json(nullptr), Json::array()}) {
    EXPECT_EQ(metrics("deployment", {{"is_prerelease", unset}}),
              R"({"is_prerelease": 0.0, "asset_count": 0})") << dump_compact(unset);
  }
}

TEST(Extractors, SecurityFixableRatio) {
  Json findings = Json::array({{{"fixed_version", "1.2"}}, {{"fixed_version", "2.0"}}, {{"fixed_version", ""}}});
  EXPECT_EQ(metrics("security", {{"summary", {{"total", 4}, {"critical", 1}}}, {"findings", findings}}),
            R"({"vulnerability_count": 4, "critical_count": 1, "fixable_ratio": 0.5})");
  EXPECT_EQ(metrics("coverage", {{"line_rate", 0.8}}), R"({"line_rate": 0.8, "branch_rate": 0.0})");
}

// The error names the file and the member.
void expect_failure(const std::string& family, const Json& event, const std::string& fragment) {
  try {
    family_metrics(family, Event{"events/bad.json", event});
    ADD_FAILURE() << "no error for " << dump_compact(event);
  } catch (const Error& e) {
    std::string message = e.what();
    EXPECT_NE(message.find("events/bad.json"), std::string::npos) << message;
    EXPECT_NE(message.find(fragment), std::string::npos) << message;
  }
}

TEST(Extractors, UnusablePayloadsFailNamingFileAndMember) {
  expect_failure("ci", Json{{"source_family", "ci"}}, "payload");
  expect_failure("ci", Json{{"payload", nullptr}}, "payload");
  expect_failure("testing", Json{{"payload", {{"summary", 3}}}}, "payload.summary");
  expect_failure("ci", Json{{"payload", {{"timing", nullptr}}}}, "payload.timing");
  expect_failure("testing", Json{{"payload", {{"summary", {{"total", "12"}}}}}}, "payload.summary.total");
  expect_failure("testing", Json{{"payload", {{"summary", {{"total", nullptr}}}}}}, "payload.summary.total");
  expect_failure("schema", Json{{"payload", {{"diff", {{"fields_added", "2"}}}}}}, "payload.diff.fields_added");
  expect_failure("security", Json{{"payload", {{"findings", Json::array({1})}}}}, "payload.findings");
  expect_failure("security", Json{{"payload", {{"findings", "none"}}}}, "payload.findings");
  expect_failure("deployment", Json{{"payload", {{"timing", {{"since_previous_seconds", "1h"}}}}}},
                 "since_previous_seconds");
}

}  // namespace
}  // namespace velquor::brevalt
