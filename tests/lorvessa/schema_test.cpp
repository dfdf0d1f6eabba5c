// The database file itself: its schema, the repo_count migration of older
// files, and a second connection reading while the first writes.
#include <regex>

#include "shared/errors.h"
#include "shared/file_io.h"
#include "tests/lorvessa/store_fixture.h"

namespace velquor::lorvessa {
namespace {

using SchemaTest = StoreTest;

// Runs `sql` on a raw connection to `path`; fails the test on any error.
void raw_exec(const std::filesystem::path& path, const std::string& sql) {
  sqlite3* conn = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &conn), SQLITE_OK);
  char* error = nullptr;
  EXPECT_EQ(sqlite3_exec(conn, sql.c_str(), nullptr, nullptr, &error), SQLITE_OK)
      << (error ? error : "");
  sqlite3_free(error);
  sqlite3_close(conn);
}

// Every table and index statement, whitespace runs folded to one space.
std::vector<std::string> schema_of(const StoreTest& test) {
  std::string text = test.raw_text(
      "SELECT group_concat(sql, '|') FROM (SELECT sql FROM sqlite_master "
      "WHERE sql IS NOT NULL ORDER BY rowid)");
  text = std::regex_replace(text, std::regex("\\s+"), " ");
  std::vector<std::string> statements;
  size_t start = 0;
  for (size_t bar; (bar = text.find('|', start)) != std::string::npos; start = bar + 1)
    statements.push_back(text.substr(start, bar - start));
  statements.push_back(text.substr(start));
  return statements;
}

const std::vector<std::string> kExpectedSchema = {
    "CREATE TABLE patterns ( pattern_id TEXT PRIMARY KEY, fingerprint TEXT NOT NULL, scope TEXT "
    "NOT NULL, discovery_method TEXT NOT NULL, pattern_type TEXT NOT NULL, sources JSON NOT "
    "NULL, metrics JSON NOT NULL, description_statistical TEXT, description_semantic TEXT, "
    "correlation_strength REAL, occurrence_count INTEGER DEFAULT 1, repo_count INTEGER DEFAULT "
    "0, first_seen TEXT NOT NULL, last_seen TEXT NOT NULL, confidence_tier TEXT NOT NULL, "
    "confidence_status TEXT NOT NULL, expired INTEGER DEFAULT 0, created_at TEXT NOT NULL, "
    "updated_at TEXT NOT NULL )",
    "CREATE TABLE knowledge ( knowledge_id TEXT PRIMARY KEY, derived_from TEXT REFERENCES "
    "patterns(pattern_id), fingerprint TEXT NOT NULL, scope TEXT NOT NULL, pattern_type TEXT NOT "
    "NULL, sources JSON NOT NULL, metrics JSON NOT NULL, description_statistical TEXT NOT NULL, "
    "description_semantic TEXT, support_count INTEGER NOT NULL, first_seen TEXT NOT NULL, "
    "last_seen TEXT NOT NULL, approval_method TEXT NOT NULL, approval_timestamp TEXT NOT NULL, "
    "created_at TEXT NOT NULL )",
    "CREATE TABLE pattern_signals ( pattern_id TEXT REFERENCES patterns(pattern_id), signal_ref "
    "TEXT NOT NULL, observed_at TEXT NOT NULL, PRIMARY KEY (pattern_id, signal_ref) )",
    "CREATE TABLE pattern_history ( id INTEGER PRIMARY KEY AUTOINCREMENT, pattern_id TEXT NOT "
    "NULL, action TEXT NOT NULL, details JSON, timestamp TEXT NOT NULL )",
    "CREATE TABLE sqlite_sequence(name,seq)",
    "CREATE INDEX idx_patterns_fingerprint ON patterns(fingerprint)",
    "CREATE INDEX idx_patterns_scope ON patterns(scope)",
    "CREATE INDEX idx_patterns_expired ON patterns(expired)",
    "CREATE INDEX idx_knowledge_fingerprint ON knowledge(fingerprint)",
    "CREATE INDEX idx_knowledge_scope ON knowledge(scope)",
    "CREATE INDEX idx_pattern_history_pattern ON pattern_history(pattern_id)",
};

TEST_P(SchemaTest, NewFileHoldsTheFullSchemaInWriteAheadMode) {
  // The fixture opened the store below a folder that did not exist yet.
  EXPECT_TRUE(std::filesystem::is_regular_file(db));
  EXPECT_EQ(schema_of(*this), kExpectedSchema);
  EXPECT_EQ(raw_text("PRAGMA journal_mode"), "wal");
}

TEST_P(SchemaTest, ReopeningKeepsSchemaAndRows) {
  std::string id = store->create_pattern(candidate("fp1", {{"signal_refs", {"e1"}}}));
  store.reset();
  const std::string before = snapshot();
  store = std::make_unique<SQLiteLorvessa>(db);
  EXPECT_EQ(schema_of(*this), kExpectedSchema);
  EXPECT_EQ(snapshot(), before);
  EXPECT_EQ(store->get_pattern_signals(id).size(), 1u);
}

TEST_P(SchemaTest, OlderFileGainsRepoCount) {
  store.reset();
  std::filesystem::remove(db);
  raw_exec(db,
           "CREATE TABLE patterns (pattern_id TEXT PRIMARY KEY, fingerprint TEXT NOT NULL, "
           "scope TEXT NOT NULL, discovery_method TEXT NOT NULL, pattern_type TEXT NOT NULL, "
           "sources JSON NOT NULL, metrics JSON NOT NULL, description_statistical TEXT, "
           "description_semantic TEXT, correlation_strength REAL, occurrence_count INTEGER "
           "DEFAULT 1, first_seen TEXT NOT NULL, last_seen TEXT NOT NULL, confidence_tier TEXT "
           "NOT NULL, confidence_status TEXT NOT NULL, expired INTEGER DEFAULT 0, created_at "
           "TEXT NOT NULL, updated_at TEXT NOT NULL);"
           "INSERT INTO patterns (pattern_id, fingerprint, scope, discovery_method, "
           "pattern_type, sources, metrics, first_seen, last_seen, confidence_tier, "
           "confidence_status, created_at, updated_at) VALUES ('old', 'fp0', 'local', 'm', 't', "
           "'[\"git\"]', '[]', 'a', 'b', 'statistical', 'emerging', 'c', 'd');");

  store = std::make_unique<SQLiteLorvessa>(db);
  Json old = store->get_pattern("old").value();
  EXPECT_EQ(old.back(), 0);
  EXPECT_EQ(std::prev(old.end()).key(), "repo_count");
  EXPECT_EQ(old["sources"], Json({"git"}));
  EXPECT_TRUE(schema_of(*this).front().ends_with(
      "updated_at TEXT NOT NULL, repo_count INTEGER DEFAULT 0)"))
      << schema_of(*this).front();

  // The migrated file works like a new one and opens again without error.
  std::string id = store->create_pattern(candidate("fp1", {{"repo_count", 3}}));
  store.reset();
  store = std::make_unique<SQLiteLorvessa>(db);
  EXPECT_EQ(store->get_pattern(id).value()["repo_count"], 3);
}

TEST_P(SchemaTest, FileThatIsNoDatabaseIsReportedByName) {
  std::filesystem::path bogus = dir / "bogus.db";
  write_file_atomic(bogus, std::string(4096, 'x'));
  try {
    SQLiteLorvessa broken(bogus);
    FAIL();
  } catch (const DatabaseError& error) {
    EXPECT_EQ(std::string(error.what()).rfind(bogus.string() + ": ", 0), 0u) << error.what();
  }
}

TEST_P(SchemaTest, UnusablePathsAreRefused) {
  // An empty path must not fall back to a temporary database that vanishes.
  EXPECT_THROW(SQLiteLorvessa(std::filesystem::path()), DatabaseError);
  // A folder is no database file.
  try {
    SQLiteLorvessa folder(dir);
    FAIL();
  } catch (const DatabaseError& error) {
    EXPECT_EQ(std::string(error.what()).rfind(dir.string() + ": ", 0), 0u) << error.what();
  }
}

TEST_P(SchemaTest, SecondConnectionReadsWhileFirstWrites) {
  SQLiteLorvessa reader(db);
  std::string id = store->create_pattern(candidate("fp1"));
  EXPECT_EQ(reader.get_pattern(id).value()["fingerprint"], "fp1");

  // A writer holds an open transaction; the reader is not blocked and sees
  // only what was committed.
  sqlite3* writer = nullptr;
  ASSERT_EQ(sqlite3_open(db.c_str(), &writer), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(writer,
                         "BEGIN IMMEDIATE; UPDATE patterns SET occurrence_count = 7;", nullptr,
                         nullptr, nullptr),
            SQLITE_OK);
  EXPECT_EQ(reader.list_patterns().at(0)["occurrence_count"], 1);
  EXPECT_EQ(reader.get_pattern_by_fingerprint("fp1", nullptr).value()["occurrence_count"], 1);
  ASSERT_EQ(sqlite3_exec(writer, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(writer);
  EXPECT_EQ(reader.list_patterns().at(0)["occurrence_count"], 7);

  store->increment_pattern(id, Json{"e1"}, "2025-03-02T00:00:00Z");
  EXPECT_EQ(reader.get_pattern_signals(id).size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(SQLite, SchemaTest, ::testing::Values(kSQLite));

}  // namespace
}  // namespace velquor::lorvessa
