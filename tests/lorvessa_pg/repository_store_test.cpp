// Repositories sharing one store, on both backends: each sees its own
// patterns as "local", and the community counts each repository once.
#include "tests/lorvessa/store_fixture.h"

namespace velquor::lorvessa {
namespace {

using RepositoryStoreTest = StoreTest;

TEST_P(RepositoryStoreTest, EachRepositorySeesItsOwnAndCountsOnceForTheCommunity) {
  RepositoryStore alpha(open(), "alpha");
  RepositoryStore beta(open(), "beta");
  Json local = candidate("fp1", {{"scope", "local"}, {"description_statistical", "d"}});
  std::string alpha_id = alpha.create_pattern(local);
  std::string beta_id = beta.create_pattern(local);
  EXPECT_NE(alpha_id, beta_id);
  EXPECT_EQ(alpha.create_pattern(local), alpha_id);  // seen again: counted once only
  alpha.create_pattern(candidate("fp2"));

  // "local", "" and null mean the repository's own scope.
  EXPECT_EQ(alpha.get_pattern_by_fingerprint("fp1", nullptr).value()["pattern_id"], alpha_id);
  EXPECT_EQ(beta.get_pattern_by_fingerprint("fp1", "local").value()["scope"], "beta");
  EXPECT_EQ(alpha.list_patterns("local").size(), 2u);
  EXPECT_EQ(beta.list_patterns("").size(), 1u);

  std::vector<Json> community = beta.list_patterns(RepositoryStore::kCommunityScope);
  ASSERT_EQ(community.size(), 2u);
  Json shared = beta.get_pattern_by_fingerprint("fp1", "community").value();
  EXPECT_EQ(shared["repo_count"], 2);
  EXPECT_EQ(shared["description_statistical"], "d");
  EXPECT_EQ(beta.get_pattern_by_fingerprint("fp2", "community").value()["repo_count"], 1);

  // Knowledge goes to the repository's scope too.
  Json knowledge = {{"derived_from", alpha_id}, {"fingerprint", "fp1"},
                    {"pattern_type", "co_occurrence"}, {"sources", {"git"}},
                    {"metrics", {"git:churn"}}, {"description_statistical", "d"},
                    {"support_count", 3}, {"first_seen", "2025-01-01T00:00:00Z"},
                    {"last_seen", "2025-01-02T00:00:00Z"}, {"scope", "local"}};
  alpha.create_knowledge(knowledge);
  EXPECT_EQ(alpha.list_knowledge("local").size(), 1u);
  EXPECT_TRUE(beta.list_knowledge("local").empty());
  EXPECT_TRUE(alpha.get_knowledge_by_fingerprint("fp1"));
  EXPECT_FALSE(beta.get_knowledge_by_fingerprint("fp1"));
}

TEST_P(RepositoryStoreTest, DecayTouchesOnlyTheRepositorysOwnPatterns) {
  RepositoryStore alpha(open(), "alpha");
  RepositoryStore beta(open(), "beta");
  alpha.create_pattern(candidate("fp1", {{"last_seen", "2024-01-01T00:00:00Z"}}));
  beta.create_pattern(candidate("fp1", {{"last_seen", "2024-01-01T00:00:00Z"}}));
  at("2025-06-01T00:00:00Z");
  std::vector<Json> decayed = alpha.get_decayed_patterns(30);
  ASSERT_EQ(decayed.size(), 1u);
  EXPECT_EQ(decayed[0]["scope"], "alpha");
  // Every scope decays in the store itself: alpha, beta and the community.
  EXPECT_EQ(store->get_decayed_patterns(0).size(), 3u);
}

STORE_TEST_ON_BOTH_BACKENDS(RepositoryStoreTest);

}  // namespace
}  // namespace velquor::lorvessa
