// The outer transaction: writing operations join it, each still all or
// nothing inside it, and other connections see nothing before the commit.

#include "shared/errors.h"
#include "tests/lorvessa/store_fixture.h"

namespace velquor::lorvessa {
namespace {

using TransactionTest = StoreTest;

TEST_P(TransactionTest, OperationsJoinTheOuterTransactionAndNestTheirOwn) {
  const std::string empty = snapshot();
  store->begin_transaction();
  const std::string id = store->create_pattern(candidate("fp-1", {{"signal_refs", {"s1", "s2"}}}));
  store->increment_pattern(id, Json::array({"s3"}), "2025-03-02T00:00:00Z");
  // A failing operation takes back only its own rows.
  EXPECT_THROW(store->create_knowledge({{"derived_from", "unknown"}, {"fingerprint", "f"},
                                        {"pattern_type", "t"}, {"sources", Json::array()},
                                        {"metrics", Json::array()}, {"description_statistical", "d"},
                                        {"support_count", 1}, {"first_seen", "a"}, {"last_seen", "b"}}),
               DatabaseError);
  EXPECT_EQ(store->get_pattern(id).value()["occurrence_count"], 2);
  EXPECT_EQ(snapshot(), empty);  // another connection sees nothing yet
  EXPECT_THROW(store->begin_transaction(), DatabaseError);
  store->commit_transaction();
  // One pattern counted twice, three links, two history entries.
  EXPECT_EQ(snapshot().substr(0, 10), "1/0/3/2/22");
  EXPECT_THROW(store->commit_transaction(), DatabaseError);
}

TEST_P(TransactionTest, RollbackOrCloseLeavesTheFileAsItWas) {
  store->create_pattern(candidate("kept"));
  const std::string before = snapshot();
  store->begin_transaction();
  store->create_pattern(candidate("dropped"));
  store->rollback_transaction();
  store->rollback_transaction();  // none open: nothing to do
  EXPECT_EQ(snapshot(), before);
  store->begin_transaction();
  store->create_pattern(candidate("dropped on close"));
  store->close();
  EXPECT_EQ(snapshot(), before);
}

STORE_TEST_ON_BOTH_BACKENDS(TransactionTest);

}  // namespace
}  // namespace velquor::lorvessa
