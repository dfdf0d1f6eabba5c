// The life of a pattern in the store: creation, repeated discovery,
// observations, updates, expiry, rediscovery and promotion to knowledge.
#include <cmath>

#include "shared/errors.h"
#include "shared/hash.h"
#include "tests/lorvessa/store_fixture.h"

namespace velquor::lorvessa {
namespace {

std::vector<std::string> keys_of(const Json& record) {
  std::vector<std::string> keys;
  for (auto it = record.begin(); it != record.end(); ++it) keys.push_back(it.key());
  return keys;
}

std::vector<std::string> actions_of(const std::vector<Json>& history) {
  std::vector<std::string> actions;
  for (const Json& entry : history) actions.push_back(entry["action"]);
  return actions;
}

using LifecycleTest = StoreTest;

TEST_P(LifecycleTest, CreateDerivesIdFromContentAndFillsDefaults) {
  std::string id = store->create_pattern(candidate("fp1", {{"signal_refs", {"e1", "e2"}}}));

  // The id covers exactly these five members, whatever their order.
  Json identity = {{"metrics", {"git:files_touched", "ci:duration"}},
                   {"sources", {"git", "ci"}},
                   {"discovery_method", "commit_sha"},
                   {"scope", "local"},
                   {"fingerprint", "fp1"}};
  EXPECT_EQ(id, content_hash(identity));

  Json record = store->get_pattern(id).value();
  EXPECT_EQ(keys_of(record),
            (std::vector<std::string>{
                "pattern_id", "fingerprint", "scope", "discovery_method", "pattern_type",
                "sources", "metrics", "description_statistical", "description_semantic",
                "correlation_strength", "occurrence_count", "repo_count", "first_seen",
                "last_seen", "confidence_tier", "confidence_status", "expired", "created_at",
                "updated_at"}));
  EXPECT_EQ(record["sources"], Json({"git", "ci"}));
  EXPECT_TRUE(record["description_semantic"].is_null());
  EXPECT_EQ(record["occurrence_count"], 1);
  EXPECT_EQ(record["repo_count"], 0);
  EXPECT_EQ(record["confidence_tier"], "statistical");
  EXPECT_EQ(record["confidence_status"], "emerging");
  EXPECT_EQ(record["expired"], 0);
  EXPECT_EQ(record["first_seen"], "2025-03-01T09:30:00Z");
  EXPECT_EQ(record["updated_at"], "2025-03-01T09:30:00Z");

  std::vector<Json> links = store->get_pattern_signals(id);
  ASSERT_EQ(links.size(), 2u);
  EXPECT_EQ(links[0], Json({{"pattern_id", id},
                            {"signal_ref", "e1"},
                            {"observed_at", "2025-03-01T09:30:00Z"}}));

  std::vector<Json> history = store->get_pattern_history(id);
  ASSERT_EQ(history.size(), 1u);
  EXPECT_EQ(keys_of(history[0]),
            (std::vector<std::string>{"id", "pattern_id", "action", "details", "timestamp"}));
  EXPECT_EQ(history[0]["action"], "created");
  EXPECT_EQ(history[0]["details"].dump(),
            R"({"fingerprint":"fp1","discovery_method":"commit_sha"})");
}

TEST_P(LifecycleTest, CallerChosenValuesAreStoredAsGiven) {
  std::string id = store->create_pattern(candidate(
      "fp1", {{"pattern_id", "chosen"},
              {"scope", "team"},
              {"correlation_strength", 0.75},
              {"occurrence_count", 4},
              {"first_seen", "2024-01-01T00:00:00Z"}}));
  EXPECT_EQ(id, "chosen");
  Json record = store->get_pattern("chosen").value();
  EXPECT_EQ(record["scope"], "team");
  EXPECT_TRUE(record["correlation_strength"].is_number_float());
  EXPECT_EQ(record["occurrence_count"], 4);
  EXPECT_EQ(record["first_seen"], "2024-01-01T00:00:00Z");
  EXPECT_EQ(record["last_seen"], "2025-03-01T09:30:00Z");
}

TEST_P(LifecycleTest, StoredJsonKeepsTheCompactLayoutAndReadsNonFiniteBack) {
  std::string id = store->create_pattern(
      candidate("fp1", {{"sources", {"caf\xc3\xa9", "git"}},
                        {"metrics", {{"ratio", std::nan("")}, {"n", 2}}}}));
  EXPECT_EQ(raw_text("SELECT sources FROM patterns"), R"(["caf\u00e9", "git"])");
  EXPECT_EQ(raw_text("SELECT metrics FROM patterns"), R"({"ratio": NaN, "n": 2})");
  Json record = store->get_pattern(id).value();
  EXPECT_EQ(record["sources"][0], "caf\xc3\xa9");
  EXPECT_TRUE(std::isnan(record["metrics"]["ratio"].get<double>()));
}

TEST_P(LifecycleTest, RepeatedCreateOfActivePatternWritesNothing) {
  std::string first = store->create_pattern(candidate("fp1", {{"signal_refs", {"e1"}}}));
  at("2025-03-02T00:00:00Z");
  // Same content in another key order, with new links and another type.
  Json again = {{"metrics", {"git:files_touched", "ci:duration"}},
                {"sources", {"git", "ci"}},
                {"fingerprint", "fp1"},
                {"discovery_method", "commit_sha"},
                {"signal_refs", {"e2"}}};
  EXPECT_EQ(store->create_pattern(again), first);
  EXPECT_EQ(store->get_pattern_history(first).size(), 1u);
  EXPECT_EQ(store->get_pattern_signals(first).size(), 1u);
  Json record = store->get_pattern(first).value();
  EXPECT_EQ(record["occurrence_count"], 1);
  EXPECT_EQ(record["updated_at"], "2025-03-01T09:30:00Z");
}

TEST_P(LifecycleTest, IncrementCountsAndKeepsFirstLinkTime) {
  std::string id = store->create_pattern(candidate("fp1", {{"signal_refs", {"e1"}}}));
  at("2025-03-05T12:00:00.250000Z");
  store->increment_pattern(id, Json{"e1", "e2"}, "2025-03-04T08:00:00Z");

  Json record = store->get_pattern(id).value();
  EXPECT_EQ(record["occurrence_count"], 2);
  EXPECT_EQ(record["last_seen"], "2025-03-04T08:00:00Z");  // the caller's time
  EXPECT_EQ(record["updated_at"], "2025-03-05T12:00:00.250000Z");

  std::vector<Json> links = store->get_pattern_signals(id);
  ASSERT_EQ(links.size(), 2u);
  EXPECT_EQ(links[0]["signal_ref"], "e1");
  EXPECT_EQ(links[0]["observed_at"], "2025-03-01T09:30:00Z");
  EXPECT_EQ(links[1]["signal_ref"], "e2");
  EXPECT_EQ(links[1]["observed_at"], "2025-03-04T08:00:00Z");

  std::vector<Json> history = store->get_pattern_history(id);
  EXPECT_EQ(actions_of(history), (std::vector<std::string>{"created", "incremented"}));
  EXPECT_EQ(history[1]["details"].dump(),
            R"({"signal_refs":["e1","e2"],"observed_at":"2025-03-04T08:00:00Z"})");
  EXPECT_EQ(history[1]["timestamp"], "2025-03-05T12:00:00.250000Z");
}

TEST_P(LifecycleTest, UpdateAppliesOnlyTheDescriptiveColumns) {
  std::string id = store->create_pattern(candidate("fp1"));
  at("2025-03-02T00:00:00Z");
  store->update_pattern(id, {{"occurrence_count", 99}, {"pattern_id", "other"}, {"x", 1}});
  EXPECT_EQ(store->get_pattern_history(id).size(), 1u);
  EXPECT_EQ(store->get_pattern(id).value()["updated_at"], "2025-03-01T09:30:00Z");

  store->update_pattern(id, {{"confidence_status", "sufficient"},
                             {"expired", 1},
                             {"description_semantic", "caf\xc3\xa9"}});
  Json record = store->get_pattern(id).value();
  EXPECT_EQ(record["confidence_status"], "sufficient");
  EXPECT_EQ(record["description_semantic"], "caf\xc3\xa9");
  EXPECT_EQ(record["expired"], 0);
  EXPECT_EQ(record["occurrence_count"], 1);
  EXPECT_EQ(record["updated_at"], "2025-03-02T00:00:00Z");

  std::vector<Json> history = store->get_pattern_history(id);
  ASSERT_EQ(history.size(), 2u);
  EXPECT_EQ(history[1]["action"], "updated");
  EXPECT_EQ(history[1]["details"].dump(),
            "{\"confidence_status\":\"sufficient\",\"description_semantic\":\"caf\xc3\xa9\","
            "\"updated_at\":\"2025-03-02T00:00:00Z\"}");
  EXPECT_EQ(raw_text("SELECT details FROM pattern_history WHERE action = 'updated'"),
            R"({"confidence_status": "sufficient", "description_semantic": "caf\u00e9", )"
            R"("updated_at": "2025-03-02T00:00:00Z"})");
}

TEST_P(LifecycleTest, ExpiredPatternIsHiddenThenRediscovered) {
  std::string id = store->create_pattern(candidate("fp1", {{"signal_refs", {"e1"}}}));
  at("2025-03-01T10:00:00Z");
  store->increment_pattern(id, Json::array(), "2025-03-01T10:00:00Z");
  at("2025-06-01T00:00:00Z");
  store->expire_pattern(id);

  EXPECT_EQ(store->get_pattern(id).value()["expired"], 1);
  EXPECT_FALSE(store->get_pattern_by_fingerprint("fp1", nullptr));
  EXPECT_TRUE(store->list_patterns().empty());
  EXPECT_TRUE(store->get_decayed_patterns(1).empty());

  at("2025-06-02T00:00:00Z");
  EXPECT_EQ(store->create_pattern(candidate("fp1", {{"signal_refs", {"e9"}},
                                                   {"description_statistical", "new"}})),
            id);
  Json record = store->get_pattern(id).value();
  EXPECT_EQ(record["expired"], 0);
  EXPECT_EQ(record["last_seen"], "2025-06-02T00:00:00Z");
  EXPECT_EQ(record["updated_at"], "2025-06-02T00:00:00Z");
  EXPECT_EQ(record["occurrence_count"], 2);
  EXPECT_TRUE(record["description_statistical"].is_null());
  EXPECT_EQ(store->get_pattern_signals(id).size(), 1u);

  std::vector<Json> history = store->get_pattern_history(id);
  EXPECT_EQ(actions_of(history),
            (std::vector<std::string>{"created", "incremented", "expired", "un-expired"}));
  EXPECT_EQ(history[2]["details"], Json({{"reason", "decay_window_exceeded"}}));
  EXPECT_EQ(history[3]["details"], Json({{"reason", "rediscovered"}}));
  EXPECT_EQ(store->get_pattern_by_fingerprint("fp1", nullptr).value()["pattern_id"], id);
}

TEST_P(LifecycleTest, PromotionStoresKnowledgeAndLogsAgainstThePattern) {
  std::string pattern_id = store->create_pattern(candidate("fp1"));
  at("2025-03-03T00:00:00Z");
  Json knowledge = {{"derived_from", pattern_id},
                    {"fingerprint", "fp1"},
                    {"pattern_type", "co_occurrence"},
                    {"sources", {"git", "ci"}},
                    {"metrics", {"git:files_touched"}},
                    {"description_statistical", "together"},
                    {"support_count", 3},
                    {"first_seen", "2025-03-01T09:30:00Z"},
                    {"last_seen", "2025-03-02T00:00:00Z"}};
  std::string id = store->create_knowledge(knowledge);
  EXPECT_EQ(id, content_hash({{"fingerprint", "fp1"}, {"derived_from", pattern_id}}));

  Json record = store->get_knowledge(id).value();
  EXPECT_EQ(keys_of(record),
            (std::vector<std::string>{
                "knowledge_id", "derived_from", "fingerprint", "scope", "pattern_type",
                "sources", "metrics", "description_statistical", "description_semantic",
                "support_count", "first_seen", "last_seen", "approval_method",
                "approval_timestamp", "created_at"}));
  EXPECT_EQ(record["scope"], "local");
  EXPECT_EQ(record["metrics"], Json({"git:files_touched"}));
  EXPECT_EQ(record["approval_method"], "automatic");
  EXPECT_EQ(record["approval_timestamp"], "2025-03-03T00:00:00Z");
  EXPECT_EQ(record["created_at"], "2025-03-03T00:00:00Z");

  std::vector<Json> history = store->get_pattern_history(pattern_id);
  ASSERT_EQ(history.size(), 2u);
  EXPECT_EQ(history[1]["action"], "promoted");
  EXPECT_EQ(history[1]["details"].dump(),
            "{\"knowledge_id\":\"" + id + "\",\"approval_method\":\"automatic\"}");

  EXPECT_EQ(store->get_knowledge_by_fingerprint("fp1").value()["knowledge_id"], id);
  EXPECT_FALSE(store->get_knowledge_by_fingerprint("fp1", "team"));
  EXPECT_EQ(store->list_knowledge().size(), 1u);
  EXPECT_EQ(store->list_knowledge("").size(), 1u);
  EXPECT_TRUE(store->list_knowledge("team").empty());
}

TEST_P(LifecycleTest, ListingFiltersAndOrders) {
  store->create_pattern(candidate("a", {{"last_seen", "2025-01-01T00:00:00Z"}}));
  store->create_pattern(candidate("b", {{"last_seen", "2025-02-01T00:00:00Z"},
                                        {"scope", "team"},
                                        {"occurrence_count", 0}}));
  store->create_pattern(candidate("c", {{"last_seen", "2025-03-01T00:00:00Z"},
                                        {"confidence_tier", "confirmed"},
                                        {"occurrence_count", -1}}));
  auto fingerprints = [](const std::vector<Json>& records) {
    std::string out;
    for (const Json& record : records) out += record["fingerprint"].get<std::string>();
    return out;
  };
  EXPECT_EQ(fingerprints(store->list_patterns()), "cba");
  EXPECT_EQ(fingerprints(store->list_patterns("")), "cba");
  EXPECT_EQ(fingerprints(store->list_patterns("local")), "ca");
  EXPECT_EQ(fingerprints(store->list_patterns(nullptr, "confirmed")), "c");
  // Zero is a condition too: it leaves out the negative count.
  EXPECT_EQ(fingerprints(store->list_patterns(nullptr, nullptr, 0)), "ba");
  EXPECT_EQ(fingerprints(store->list_patterns(nullptr, nullptr, 1)), "a");

  EXPECT_EQ(store->get_pattern_by_fingerprint("b", nullptr).value()["scope"], "team");
  EXPECT_EQ(store->get_pattern_by_fingerprint("b", "").value()["scope"], "team");
  EXPECT_FALSE(store->get_pattern_by_fingerprint("b", "local"));
  // Through the interface the caller names the scope.
  const LorvessaBase& base = *store;
  EXPECT_TRUE(base.get_pattern_by_fingerprint("b", "team"));
}

TEST_P(LifecycleTest, EqualTimesKeepTheOrderOfInsertion) {
  // Under a pinned clock every time stamp is the same; records then come
  // back in the order they were made, signal links by reference.
  for (const char* fingerprint : {"m", "z", "a"}) store->create_pattern(candidate(fingerprint));
  std::string order;
  for (const Json& record : store->list_patterns()) order += record["fingerprint"];
  for (const Json& record : store->get_decayed_patterns(-1)) order += record["fingerprint"];
  EXPECT_EQ(order, "mzamza");

  std::string id = store->get_pattern_by_fingerprint("z", nullptr).value()["pattern_id"];
  store->increment_pattern(id, Json{"s9", "s1"}, "2025-03-01T09:30:00Z");
  store->update_pattern(id, {{"confidence_tier", "confirmed"}});
  EXPECT_EQ(actions_of(store->get_pattern_history(id)),
            (std::vector<std::string>{"created", "incremented", "updated"}));
  EXPECT_EQ(store->get_pattern_signals(id).at(0)["signal_ref"], "s1");
}

TEST_P(LifecycleTest, EachRepositoryCountsOnce) {
  std::string id = store->create_pattern(candidate("fp1", {{"scope", "community"}}));
  EXPECT_TRUE(store->count_repository(id, "alpha"));
  EXPECT_FALSE(store->count_repository(id, "alpha"));
  at("2025-03-02T00:00:00Z");
  EXPECT_TRUE(store->count_repository(id, "beta"));

  Json record = store->get_pattern(id).value();
  EXPECT_EQ(record["repo_count"], 2);
  EXPECT_EQ(record["occurrence_count"], 1);
  EXPECT_EQ(record["updated_at"], "2025-03-02T00:00:00Z");
  std::vector<Json> history = store->get_pattern_history(id);
  EXPECT_EQ(actions_of(history), (std::vector<std::string>{"created", "shared", "shared"}));
  EXPECT_EQ(history[2]["details"], Json({{"repository", "beta"}}));
  std::vector<Json> links = store->get_pattern_signals(id);
  ASSERT_EQ(links.size(), 2u);
  EXPECT_EQ(links[0]["signal_ref"], "repository:alpha");
  EXPECT_THROW(store->count_repository(id, 5), TypeError);
  // A pattern that does not exist cannot be counted; nothing is left behind.
  EXPECT_THROW(store->count_repository("ghost", "alpha"), DatabaseError);
  EXPECT_TRUE(store->get_pattern_history("ghost").empty());
}

STORE_TEST_ON_BOTH_BACKENDS(LifecycleTest);

}  // namespace
}  // namespace velquor::lorvessa
