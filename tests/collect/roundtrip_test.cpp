// collect -> velquor run: the artefacts of one kind per family, collected at
// seven commits, give every family its signals, and the signals carry the
// figures the artefacts hold.

#include <gtest/gtest.h>

#include <cmath>
#include <map>

#include "shared/file_io.h"
#include "tests/collect/collect_test_support.h"

namespace velquor::collect::testing {
namespace {

using cli::testing::Outcome;
using cli::testing::ScratchDir;
using cli::testing::velquor;

constexpr int kCommits = 7;  // above the default baseline of 5 events

// Seven releases a day apart, each with one asset.
Json daily_releases() {
  Json list = Json::array();
  for (int day = 1; day <= kCommits; ++day) {
    std::string date = "2025-02-0" + std::to_string(day) + "T12:00:00Z";
    list.push_back(Json{{"tag_name", "v0." + std::to_string(day) + ".0"}, {"prerelease", false},
                        {"assets", Json::array({Json{{"name", "app.tar.gz"}}})},
                        {"created_at", date}, {"published_at", date}});
  }
  return list;
}

// What the artefacts below say, metric by metric.
const std::map<std::string, std::map<std::string, double>>& expected_figures() {
  static const std::map<std::string, std::map<std::string, double>> kFigures = {
      {"testing", {{"total_tests", 5}, {"failure_rate", 0.4}, {"skip_rate", 0.2}, {"suite_duration", 0.412}}},
      {"coverage", {{"line_rate", 0.848}, {"branch_rate", 0.7125}}},
      {"ci", {{"run_duration", 445}, {"run_failed", 1}}},
      {"dependency", {{"dependency_count", 10}, {"max_depth", 4}}},
      {"schema", {{"endpoint_count", 5}, {"type_count", 2}, {"field_count", 4}, {"schema_churn", 0}}},
      {"config", {{"resource_count", 6}, {"resource_type_count", 4}, {"config_churn", 6}}},
      {"security", {{"vulnerability_count", 5}, {"critical_count", 1}, {"fixable_ratio", 0.6}}},
      {"deployment", {{"is_prerelease", 0}, {"asset_count", 1}, {"release_cadence_hours", 24}}},
      {"error_tracking", {{"user_count", 311}, {"event_count", 1284}, {"is_unhandled", 1}}},
  };
  return kFigures;
}

TEST(RoundTrip, CollectedArtefactsGiveEveryFamilyItsSignals) {
  PinnedRepository repo;
  for (int i = 2; i < kCommits; ++i) repo.git({"commit", "-q", "--allow-empty", "-m", "Step " + std::to_string(i)});
  ScratchDir data;
  const fs::path golden = fs::path(VELQUOR_SOURCE_DIR) / "tests/collect/golden";
  write_json_file(data.path() / "releases.json", daily_releases());
  // The second issue of the export is dropped: one issue keeps the figures single.
  Json issues = read_json_file(golden / "errors-export/issues.json");
  write_json_file(data.path() / "issues.json", Json::array({issues[0]}));
  const std::vector<std::vector<std::string>> artefacts = {
      {"junit", (golden / "junit-pytest/report.xml").string()},
      {"coverage", (golden / "cobertura-python/coverage.xml").string()},
      {"ci", (golden / "ci-run-completed/run.json").string()},
      {"npm", (golden / "npm-v3/package-lock.json").string()},
      {"openapi", (golden / "swagger2-yaml/swagger.yaml").string()},
      {"terraform", (golden / "terraform-plan/plan.json").string()},
      {"trivy", (golden / "trivy-report/trivy.json").string()},
      {"releases", (data.path() / "releases.json").string()},
      {"errors", (data.path() / "issues.json").string()},
  };
  ASSERT_EQ(velquor({"collect", "git", repo.str(), data.str()}).status, 0);
  for (int back = kCommits - 1; back >= 0; --back) {
    for (auto command : artefacts) {
      command.insert(command.begin(), "collect");
      command.insert(command.end(), {"--repo", repo.str(), "--commit", "HEAD~" + std::to_string(back),
                                     "--at", "2025-03-0" + std::to_string(kCommits - back) + "T10:00:00Z",
                                     data.str()});
      Outcome run = velquor(command);
      ASSERT_EQ(run.status, 0) << command[1] << ": " << run.err;
    }
  }
  Outcome run = velquor({"run", data.str()});
  ASSERT_EQ(run.status, 0) << run.err;

  for (const auto& [family, figures] : expected_figures()) {
    SCOPED_TRACE(family);
    const Json signals = read_json_file(data.path() / "phase2" / (family + "_signals.json"));
    ASSERT_FALSE(signals.empty());
    std::map<std::string, int> seen;
    for (const Json& signal : signals) {
      const std::string metric = signal["metric"];
      ASSERT_TRUE(figures.count(metric)) << metric;
      EXPECT_NEAR(signal["observed"].get<double>(), figures.at(metric), 1e-9) << metric;
      ++seen[metric];
    }
    EXPECT_EQ(seen.size(), figures.size());
  }
  EXPECT_FALSE(read_json_file(data.path() / "phase2" / "git_signals.json").empty());
}

}  // namespace
}  // namespace velquor::collect::testing
