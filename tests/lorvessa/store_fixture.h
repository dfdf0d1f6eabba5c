// A fresh store with the clock pinned, on each backend in turn: a SQLite
// file in its own temporary folder, or a schema of its own on the test
// PostgreSQL server. Both must give the same answers to the same calls.
#pragma once

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <string>

#include "tests/lorvessa_pg/test_server.h"
#include "velquor/lorvessa_pg/lorvessa_pg.h"

namespace velquor::lorvessa {

inline constexpr const char* kSQLite = "SQLite";
inline constexpr const char* kPostgres = "PostgreSQL";

class StoreTest : public ::testing::TestWithParam<std::string> {
 public:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "lorvessa-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir = pattern;
    db = dir / "phase4" / "knowledge.db";
    if (on_server()) {
      if (velquor::testing::test_server_url().empty())
        GTEST_SKIP() << "no test server: run through ctest";
      server = std::make_unique<velquor::testing::ScratchSchema>();
      origin = masked_url(server->url());
    } else {
      origin = db.string();
    }
    at("2025-03-01T09:30:00Z");
    store = open();
  }

  void TearDown() override {
    store.reset();
    server.reset();
    unsetenv("VELQUOR_NOW");
    std::filesystem::remove_all(dir);
  }

  bool on_server() const { return GetParam() == kPostgres; }

  // A new connection to the test's store.
  std::unique_ptr<LorvessaBase> open() const {
    return open_store(on_server() ? server->url() : db.string());
  }

  // Moves the store's clock to `time`.
  static void at(const char* time) { setenv("VELQUOR_NOW", time, 1); }

  // The smallest pattern create_pattern accepts, plus `extra` members.
  static Json candidate(const std::string& fingerprint, Json extra = Json::object()) {
    Json pattern = {{"fingerprint", fingerprint},
                    {"discovery_method", "commit_sha"},
                    {"pattern_type", "co_occurrence"},
                    {"sources", {"git", "ci"}},
                    {"metrics", {"git:files_touched", "ci:duration"}}};
    pattern.update(extra);
    return pattern;
  }

  // One text value read through a separate raw connection.
  std::string raw_text(const std::string& sql) const {
    if (on_server()) return server->raw_text(sql);
    sqlite3* conn = nullptr;
    sqlite3_open(db.c_str(), &conn);
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v2(conn, sql.c_str(), -1, &stmt, nullptr);
    std::string text;
    if (sqlite3_step(stmt) == SQLITE_ROW && sqlite3_column_text(stmt, 0))
      text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
    sqlite3_finalize(stmt);
    sqlite3_close(conn);
    return text;
  }

  // The row counts of every table and each pattern's count and update time,
  // so that a failed call can be shown to change nothing.
  std::string snapshot() const {
    return raw_text(
        "SELECT (SELECT count(*) FROM patterns) || '/' || (SELECT count(*) FROM knowledge) || "
        "'/' || (SELECT count(*) FROM pattern_signals) || '/' || (SELECT count(*) FROM "
        "pattern_history) || '/' || (SELECT " +
        std::string(on_server() ? "string_agg(occurrence_count || updated_at, ',' ORDER BY pattern_id)"
                                : "group_concat(occurrence_count || updated_at)") +
        " FROM patterns)");
  }

  std::filesystem::path dir;
  std::filesystem::path db;
  std::string origin;  // what the store's errors name
  std::unique_ptr<velquor::testing::ScratchSchema> server;
  std::unique_ptr<LorvessaBase> store;
};

// Runs a suite of StoreTest on both backends.
#define STORE_TEST_ON_BOTH_BACKENDS(suite)                                             \
  INSTANTIATE_TEST_SUITE_P(Backends, suite, ::testing::Values(kSQLite, kPostgres), \
                           [](const auto& info) { return info.param; })

}  // namespace velquor::lorvessa
