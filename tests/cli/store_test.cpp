// Stores shared by several repositories, through the command: --store on a
// PostgreSQL server and on a SQLite file, the fleet command, and unusable
// stores.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <fstream>

#include "tests/cli/cli_test_support.h"
#include "tests/lorvessa_pg/test_server.h"

namespace velquor::cli::testing {
namespace {

class SharedStore : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    demo_ = new ScratchDir;
    Outcome demo = velquor({"demo", demo_->str(), "--commits", "80"});
    ASSERT_EQ(demo.status, 0) << demo.err;
  }
  static void TearDownTestSuite() {
    delete demo_;
    demo_ = nullptr;
  }

  void SetUp() override {
    if (velquor::testing::test_server_url().empty())
      GTEST_SKIP() << "no test server: run through ctest";
    server = std::make_unique<velquor::testing::ScratchSchema>();
    setenv("VELQUOR_NOW", "2025-06-01T00:00:00Z", 1);
  }
  void TearDown() override { unsetenv("VELQUOR_NOW"); }

  // A data directory `name` below the scratch folder with the demo's events.
  std::string repository(const std::string& name) {
    fs::create_directories(root.path() / name);
    fs::copy(demo_->path() / "events", root.path() / name / "events", fs::copy_options::recursive);
    return (root.path() / name).string();
  }

  static Json json_of(const Outcome& outcome) {
    EXPECT_EQ(outcome.status, 0) << outcome.err;
    return Json::parse(outcome.out);
  }

  static ScratchDir* demo_;
  ScratchDir root;
  std::unique_ptr<velquor::testing::ScratchSchema> server;
};

ScratchDir* SharedStore::demo_ = nullptr;

TEST_F(SharedStore, BothBackendsHoldTheSameAfterTheSameRuns) {
  const std::vector<std::string> repositories = {repository("alpha"), repository("beta")};
  const std::string file = (root.path() / "shared.db").string();
  for (const std::string& store : {server->url(), file})
    for (const std::string& dir : repositories) {
      Outcome run = velquor({"run", dir, "--store", store});
      ASSERT_EQ(run.status, 0) << run.err;
    }
  Outcome on_server = velquor({"patterns", "--store", server->url(), "--json"});
  Outcome in_file = velquor({"patterns", "--store", file, "--json"});
  EXPECT_EQ(on_server.out, in_file.out);
  Json listed = json_of(on_server);
  ASSERT_FALSE(listed["patterns"].empty());
  // Both found every pattern, so each counts twice in the community.
  Json community = json_of(velquor({"patterns", "--store", file, "--scope", "community", "--json"}));
  EXPECT_EQ(community["patterns"].size() * 3, listed["patterns"].size());
  for (const Json& pattern : community["patterns"]) EXPECT_EQ(pattern["repo_count"], 2);
  // A repository's own view of the shared store.
  Json alpha = json_of(velquor({"patterns", repositories[0], "--store", file, "--json"}));
  for (const Json& pattern : alpha["patterns"]) EXPECT_EQ(pattern["scope"], "alpha");
}

TEST_F(SharedStore, FleetRunsEveryRepositoryAndGoesOnPastAFailure) {
  const std::string alpha = repository("alpha"), beta = repository("beta");
  std::ofstream(root.path() / "beta" / "scope") << "team-b\n";
  fs::create_directories(root.path() / "empty");
  Outcome fleet = velquor({"fleet", alpha, (root.path() / "empty").string(), beta, "--jobs", "2",
                           "--store", server->url()});
  EXPECT_EQ(fleet.status, 1);
  ASSERT_EQ(line_count(fleet.out), 3u) << fleet.out;
  std::istringstream lines(fleet.out);
  std::string line;
  std::getline(lines, line);
  EXPECT_TRUE(line.starts_with("alpha: ") && line.find(" changes (") != std::string::npos) << line;
  std::getline(lines, line);
  EXPECT_TRUE(line.starts_with("empty: failed: ") && line.find("events") != std::string::npos)
      << line;
  std::getline(lines, line);
  EXPECT_TRUE(line.starts_with("team-b: ")) << line;
  EXPECT_EQ(fleet.err, "velquor: error: 1 of 3 repositories failed\n");

  setenv("VELQUOR_STORE", server->url().c_str(), 1);
  Json community = json_of(velquor({"patterns", "--scope", "community", "--json"}));
  unsetenv("VELQUOR_STORE");
  ASSERT_FALSE(community["patterns"].empty());
  for (const Json& pattern : community["patterns"]) EXPECT_EQ(pattern["repo_count"], 2);
}

TEST_F(SharedStore, UnusableStoresAreOneLineErrorsWithoutThePassword) {
  const std::string url = server->url();
  const std::string secret = "velquor-test-secret";
  std::string wrong_password = url;
  wrong_password.replace(wrong_password.find(secret), secret.size(), "not-the-password");
  std::string unreachable = url.substr(0, url.find('?')) + "?host=" + root.str() + "&port=1";
  velquor::testing::ScratchSchema foreign;
  foreign.raw_text("CREATE TABLE knowledge (id INTEGER, body TEXT)");

  const std::vector<std::pair<std::string, std::string>> cases = {
      {wrong_password, "password authentication failed"},
      {unreachable, "cannot connect"},
      {foreign.url(), "table 'knowledge' has no column 'knowledge_id'"},
  };
  for (const auto& [store, reason] : cases) {
    Outcome outcome = velquor({"patterns", "--store", store});
    EXPECT_EQ(outcome.status, 1) << store;
    EXPECT_EQ(line_count(outcome.err), 1u) << outcome.err;
    EXPECT_NE(outcome.err.find(reason), std::string::npos) << outcome.err;
    EXPECT_NE(outcome.err.find(":****@"), std::string::npos) << outcome.err;
    EXPECT_EQ(outcome.err.find(secret), std::string::npos) << outcome.err;
    EXPECT_EQ(outcome.err.find("not-the-password"), std::string::npos) << outcome.err;
  }
}

}  // namespace
}  // namespace velquor::cli::testing
