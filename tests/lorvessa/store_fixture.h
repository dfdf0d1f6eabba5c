// A fresh store in its own temporary folder, with the clock pinned.
#pragma once

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <string>

#include "velquor/lorvessa/lorvessa.h"

namespace velquor::lorvessa {

class StoreTest : public ::testing::Test {
 public:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "lorvessa-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir = pattern;
    db = dir / "phase4" / "knowledge.db";
    at("2025-03-01T09:30:00Z");
    store = std::make_unique<SQLiteLorvessa>(db);
  }

  void TearDown() override {
    store.reset();
    unsetenv("VELQUOR_NOW");
    std::filesystem::remove_all(dir);
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
        "pattern_history) || '/' || (SELECT group_concat(occurrence_count || updated_at) FROM "
        "patterns)");
  }

  std::filesystem::path dir;
  std::filesystem::path db;
  std::unique_ptr<SQLiteLorvessa> store;
};

}  // namespace velquor::lorvessa
