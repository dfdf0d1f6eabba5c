// Wrong arguments, constraint failures and the decay cut-off: a failing
// operation must leave the database exactly as it was.
#include "shared/errors.h"
#include "tests/lorvessa/store_fixture.h"

namespace velquor::lorvessa {
namespace {

using FailuresTest = StoreTest;

Json knowledge_from(const std::string& pattern_id) {
  return {{"derived_from", pattern_id},
          {"fingerprint", "fp1"},
          {"pattern_type", "co_occurrence"},
          {"sources", {"git"}},
          {"metrics", {"git:files_touched"}},
          {"description_statistical", "d"},
          {"support_count", 3},
          {"first_seen", "2025-01-01T00:00:00Z"},
          {"last_seen", "2025-01-02T00:00:00Z"}};
}

TEST_P(FailuresTest, WrongArgumentKindsAreTypeErrorsThatWriteNothing) {
  std::string id = store->create_pattern(candidate("fp1"));
  const std::string before = snapshot();

  EXPECT_THROW(store->create_pattern(Json::array({1})), TypeError);
  EXPECT_THROW(store->create_pattern(candidate("fp2", {{"signal_refs", "e1"}})), TypeError);
  EXPECT_THROW(store->create_pattern(candidate("fp2", {{"signal_refs", {"e1", 7}}})),
               TypeError);
  EXPECT_THROW(store->create_pattern(candidate("fp2", {{"pattern_id", 12}})), TypeError);
  // A list or map cannot be a column value; the half-made row is rolled back.
  EXPECT_THROW(store->create_pattern(candidate("fp2", {{"description_semantic", {"x"}}})),
               TypeError);
  EXPECT_THROW(store->update_pattern(id, Json::array()), TypeError);
  EXPECT_THROW(store->update_pattern(id, {{"correlation_strength", {{"r", 1}}}}), TypeError);
  EXPECT_THROW(store->update_pattern(7, {{"description_semantic", "x"}}), TypeError);
  EXPECT_THROW(store->increment_pattern(id, "e1", "2025-01-01"), TypeError);
  EXPECT_THROW(store->increment_pattern(id, Json{"e1"}, nullptr), TypeError);
  EXPECT_THROW(store->expire_pattern(nullptr), TypeError);
  EXPECT_THROW(store->create_knowledge("k"), TypeError);
  EXPECT_EQ(snapshot(), before);

  EXPECT_THROW(store->get_pattern(5), TypeError);
  EXPECT_THROW(store->get_pattern_by_fingerprint("fp1", 3), TypeError);
  EXPECT_THROW(store->list_patterns(nullptr, nullptr, true), TypeError);
  EXPECT_THROW(store->list_patterns(nullptr, nullptr, 1.0), TypeError);
  EXPECT_THROW(store->get_decayed_patterns("30"), TypeError);
  EXPECT_THROW(store->get_decayed_patterns(30.0), TypeError);
  try {
    store->create_pattern(Json::array());
    FAIL();
  } catch (const TypeError& error) {
    EXPECT_EQ(std::string(error.what()),
              origin + ": create_pattern: argument 'pattern' is array, expected object");
  }
}

TEST_P(FailuresTest, MissingMembersAreReportedBeforeWriting) {
  Json incomplete = candidate("fp1");
  incomplete.erase("metrics");
  EXPECT_THROW(store->create_pattern(incomplete), MissingMember);

  // pattern_type is needed only when a new row is made.
  Json untyped = candidate("fp1");
  untyped.erase("pattern_type");
  EXPECT_THROW(store->create_pattern(untyped), MissingMember);
  std::string id = store->create_pattern(candidate("fp1"));
  EXPECT_EQ(store->create_pattern(untyped), id);

  Json knowledge = knowledge_from(id);
  knowledge.erase("support_count");
  const std::string before = snapshot();
  EXPECT_THROW(store->create_knowledge(knowledge), MissingMember);
  EXPECT_EQ(snapshot(), before);
}

TEST_P(FailuresTest, ForeignKeyFailuresLeaveNothingBehind) {
  std::string id = store->create_pattern(candidate("fp1"));
  const std::string before = snapshot();

  try {
    store->create_knowledge(knowledge_from("no-such-pattern"));
    FAIL();
  } catch (const DatabaseError& error) {
    EXPECT_NE(std::string(error.what()).find(origin), std::string::npos);
    EXPECT_NE(std::string(error.what()).find("FOREIGN KEY"), std::string::npos);
  }
  // The links are made after the count and before the history entry; all go.
  EXPECT_THROW(store->increment_pattern("no-such-pattern", Json{"e1"}, "2025-01-01"),
               DatabaseError);
  EXPECT_EQ(snapshot(), before);
  EXPECT_TRUE(store->get_pattern_history("no-such-pattern").empty());

  // Knowledge derived from nothing passes the foreign key but cannot be
  // logged; the row already inserted must not stay pending on the connection.
  Json orphan = knowledge_from("");
  orphan["derived_from"] = nullptr;
  auto message = [&](const Json& knowledge) {
    try {
      store->create_knowledge(knowledge);
    } catch (const DatabaseError& error) {
      return std::string(error.what());
    }
    return std::string("no error");
  };
  EXPECT_EQ(message(orphan), origin + ": NOT NULL constraint failed: pattern_history.pattern_id");
  EXPECT_TRUE(store->list_knowledge().empty());
  EXPECT_EQ(snapshot(), before);

  store->create_knowledge(knowledge_from(id));
  const std::string promoted = snapshot();
  EXPECT_EQ(message(knowledge_from(id)),
            origin + ": UNIQUE constraint failed: knowledge.knowledge_id");
  EXPECT_EQ(snapshot(), promoted);
}

TEST_P(FailuresTest, ChangesToUnknownPatternsOnlyLeaveHistory) {
  store->update_pattern("ghost", {{"description_semantic", "x"}});
  store->increment_pattern("ghost", Json::array(), "2025-01-01");
  store->expire_pattern("ghost");
  EXPECT_FALSE(store->get_pattern("ghost"));
  EXPECT_EQ(store->get_pattern_history("ghost").size(), 3u);
}

TEST_P(FailuresTest, ClosedStoreRefusesWork) {
  store->close();
  store->close();
  EXPECT_THROW(store->list_patterns(), DatabaseError);
  EXPECT_THROW(store->create_pattern(candidate("fp1")), DatabaseError);
}

TEST_P(FailuresTest, DecayCutOffIsStrictAndComparesTexts) {
  auto seen = [&](const char* fingerprint, const char* last_seen) {
    store->create_pattern(candidate(fingerprint, {{"last_seen", last_seen}}));
  };
  seen("exact", "2025-03-01T09:30:00Z");
  seen("before", "2025-03-01T09:29:59.999999Z");
  seen("naive", "2025-03-01T09:30:00");  // a shorter text sorts first
  seen("later", "2025-03-20T00:00:00Z");
  seen("future", "2025-04-01T12:00:00Z");
  store->expire_pattern(store->get_pattern_by_fingerprint("before", nullptr).value()["pattern_id"]);
  seen("old", "2024-12-31T00:00:00Z");

  at("2025-03-31T09:30:00Z");  // 30 days after "exact"
  auto decayed = [&](const Json& days) {
    std::string out;
    for (const Json& record : store->get_decayed_patterns(days))
      out += record["fingerprint"].get<std::string>() + " ";
    return out;
  };
  EXPECT_EQ(decayed(30), "old naive ");
  EXPECT_EQ(decayed(0), "old naive exact later ");
  EXPECT_EQ(decayed(-1), "old naive exact later ");
  EXPECT_EQ(decayed(-2), "old naive exact later future ");
  EXPECT_EQ(decayed(700000), "");
  EXPECT_THROW(store->get_decayed_patterns(1000000000), ValueError);
  EXPECT_THROW(store->get_decayed_patterns(-1000000000), ValueError);
}

STORE_TEST_ON_BOTH_BACKENDS(FailuresTest);

}  // namespace
}  // namespace velquor::lorvessa
