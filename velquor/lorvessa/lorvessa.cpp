#include "velquor/lorvessa/lorvessa.h"

#include <signal.h>
#include <sqlite3.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <cstdlib>

#include "shared/clock.h"
#include "shared/errors.h"
#include "shared/hash.h"
#include "shared/json_access.h"
#include "velquor/lorvessa/arguments.h"
#include "velquor/lorvessa/rows.h"
#include "velquor/lorvessa/schema.h"
#include "velquor/lorvessa/statement.h"

namespace velquor::lorvessa {
namespace {

// Another process may hold the write lock for a moment (stage 4 writing while
// stage 5 opens the file); wait this long before reporting the database busy.
constexpr int kBusyTimeoutMs = 5000;

}  // namespace

std::string repository_ref(const std::string& repository) {
  return "repository:" + repository;
}

// ---- Opening and closing ----------------------------------------------------

SQLiteLorvessa::SQLiteLorvessa(const std::filesystem::path& path)
    : db_path(path), _origin(path.string()), _statements(std::make_unique<StatementCache>()) {
  // SQLite reads an empty name as a throw-away temporary database, which would
  // silently lose everything stored; an empty path names no file.
  if (db_path.empty()) throw DatabaseError("the knowledge store needs a database file path");
  std::error_code error;
  if (db_path.has_parent_path()) std::filesystem::create_directories(db_path.parent_path(), error);
  if (error)
    throw IoError(_origin + ": cannot create the parent folder: " + error.message());
  if (sqlite3_open_v2(_origin.c_str(), &_conn, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                      nullptr) != SQLITE_OK) {
    std::string message = _conn ? sqlite3_errmsg(_conn) : "out of memory";
    close();
    throw DatabaseError(_origin + ": " + message);
  }
  try {
    sqlite3_busy_timeout(_conn, kBusyTimeoutMs);
    _execute("PRAGMA journal_mode=WAL", {});
    _execute("PRAGMA foreign_keys=ON", {});
    _create_tables();
  } catch (...) {
    close();
    throw;
  }
}

SQLiteLorvessa::~SQLiteLorvessa() { close(); }

void SQLiteLorvessa::close() {
  _outer_open = false;  // SQLite rolls back what was left open
  _statements->clear();
  sqlite3_close_v2(_conn);
  _conn = nullptr;
}

void SQLiteLorvessa::_create_tables() {
  if (sqlite3_exec(_conn, kSchemaScript, nullptr, nullptr, nullptr) != SQLITE_OK)
    throw_database_error(_conn, _origin);
  if (sqlite3_exec(_conn, kIndexScript, nullptr, nullptr, nullptr) != SQLITE_OK)
    throw_database_error(_conn, _origin);
  if (sqlite3_exec(_conn, kRepoCountMigration, nullptr, nullptr, nullptr) != SQLITE_OK) {
    // Only the refusal of an existing column means "already current".
    if (!std::string_view(sqlite3_errmsg(_conn)).starts_with(kDuplicateColumnMessage))
      throw_database_error(_conn, _origin);
  }
}

// ---- Internal steps ---------------------------------------------------------

std::string SQLiteLorvessa::_content_hash(const Json& data) { return content_hash(data); }

std::string SQLiteLorvessa::_now() { return now_timestamp(); }

sqlite3* SQLiteLorvessa::_connection() const {
  if (!_conn) throw DatabaseError(_origin + ": the store is closed");
  return _conn;
}

std::string SQLiteLorvessa::_where(std::string_view operation) const {
  return _origin + ": " + std::string(operation);
}

Json SQLiteLorvessa::_row_to_dict(sqlite3_stmt* row) const {
  Json record = Json::object();
  int count = sqlite3_column_count(row);
  for (int i = 0; i < count; ++i) record[sqlite3_column_name(row, i)] = column_value(row, i);
  decode_json_columns(record, _origin);
  return record;
}

void SQLiteLorvessa::_log_history(const Json& pattern_id, std::string_view action,
                                  const Json& details) {
  _insert("INSERT", "pattern_history",
          {{"pattern_id", pattern_id},
           {"action", std::string(action)},
           {"details", details_column(details)},
           {"timestamp", _now()}});
}

// ---- Statement helpers ------------------------------------------------------

namespace {

void bind_all(Statement& statement, const std::vector<std::pair<std::string, Json>>& params) {
  int index = 1;
  for (const auto& [name, value] : params) statement.bind(index++, value, name);
}

}  // namespace

std::vector<Json> SQLiteLorvessa::_fetch_all(std::string_view sql, const Params& params) const {
  StatementCache::Lease statement = _statements->get(_connection(), sql, _origin);
  bind_all(*statement, params);
  std::vector<Json> rows;
  while (statement->step()) rows.push_back(_row_to_dict(statement->raw()));
  return rows;
}

std::optional<Json> SQLiteLorvessa::_fetch_first(std::string_view sql,
                                                 const Params& params) const {
  StatementCache::Lease statement = _statements->get(_connection(), sql, _origin);
  bind_all(*statement, params);
  if (!statement->step()) return std::nullopt;
  return _row_to_dict(statement->raw());
}

void SQLiteLorvessa::_execute(std::string_view sql, const Params& params) {
  StatementCache::Lease statement = _statements->get(_connection(), sql, _origin);
  bind_all(*statement, params);
  while (statement->step()) {
  }
}

void SQLiteLorvessa::_insert(std::string_view verb, std::string_view table,
                             const Params& values) {
  _execute(insert_statement(verb, table, values), values);
}

template <typename Work>
void SQLiteLorvessa::_in_transaction(Work&& work) {
  _count_write();
  // IMMEDIATE takes the write lock up front, so a concurrent writer makes us
  // wait (busy timeout) instead of failing halfway through.
  const bool nested = _outer_open;
  _execute(nested ? "SAVEPOINT lorvessa_operation" : "BEGIN IMMEDIATE", {});
  try {
    work();
    _execute(nested ? "RELEASE lorvessa_operation" : "COMMIT", {});
  } catch (...) {
    sqlite3_exec(_conn, nested ? "ROLLBACK TO lorvessa_operation; RELEASE lorvessa_operation" : "ROLLBACK",
                 nullptr, nullptr, nullptr);
    throw;
  }
}

void SQLiteLorvessa::_count_write() {
  const char* fault = std::getenv(kFaultVariable);
  if (!fault) return;
  char* rest = nullptr;
  const long at = std::strtol(fault, &rest, 10);
  if (++_writes != at) return;
  if (std::string_view(rest) == ":kill") ::kill(::getpid(), SIGKILL);
  throw DatabaseError(_origin + ": write " + std::to_string(at) + " failed on purpose (" +
                      kFaultVariable + ")");
}

// ---- The outer transaction --------------------------------------------------

void SQLiteLorvessa::begin_transaction() {
  if (_outer_open) throw DatabaseError(_origin + ": a transaction is already open");
  _execute("BEGIN IMMEDIATE", {});
  _outer_open = true;
}

void SQLiteLorvessa::commit_transaction() {
  if (!_outer_open) throw DatabaseError(_origin + ": no transaction to commit");
  try {
    _execute("COMMIT", {});
  } catch (...) {
    rollback_transaction();
    throw;
  }
  _outer_open = false;
}

void SQLiteLorvessa::rollback_transaction() {
  if (!_outer_open) return;
  _outer_open = false;
  if (_conn) sqlite3_exec(_conn, "ROLLBACK", nullptr, nullptr, nullptr);
}

// ---- Patterns ---------------------------------------------------------------

std::string SQLiteLorvessa::create_pattern(const Json& pattern) {
  const std::string where = _where("create_pattern");
  const std::string id = pattern_id_of(pattern, where);
  const std::string now = _now();
  _in_transaction([&] {
    auto stored = _fetch_first("SELECT pattern_id, expired FROM patterns WHERE pattern_id = ?",
                               {{"pattern_id", id}});
    if (stored) {
      // A rediscovered archived pattern comes back as it was; an active one
      // is left alone (the caller counts observations with increment_pattern).
      if (!is_truthy((*stored)["expired"])) return;
      _execute("UPDATE patterns SET expired = 0, last_seen = ?, updated_at = ? WHERE pattern_id = ?",
               {{"last_seen", now}, {"updated_at", now}, {"pattern_id", id}});
      _log_history(id, "un-expired", {{"reason", "rediscovered"}});
      return;
    }
    _insert("INSERT", "patterns", new_pattern_row(pattern, id, where, now));
    for (const Json& ref : member_or(pattern, "signal_refs", Json::array()))
      _insert("INSERT OR IGNORE", "pattern_signals",
              {{"pattern_id", id}, {"signal_ref", ref}, {"observed_at", now}});
    _log_history(id, "created", created_details(pattern));
  });
  return id;
}

std::optional<Json> SQLiteLorvessa::get_pattern(const Json& pattern_id) const {
  check_text(pattern_id, "pattern_id", _where("get_pattern"));
  return _fetch_first("SELECT * FROM patterns WHERE pattern_id = ?",
                      {{"pattern_id", pattern_id}});
}

std::optional<Json> SQLiteLorvessa::get_pattern_by_fingerprint(const Json& fingerprint,
                                                               const Json& scope) const {
  const std::string where = _where("get_pattern_by_fingerprint");
  check_text(fingerprint, "fingerprint", where);
  check_optional_text(scope, "scope", where);
  if (is_non_empty_text(scope))
    return _fetch_first(
        "SELECT * FROM patterns WHERE fingerprint = ? AND scope = ? AND expired = 0",
        {{"fingerprint", fingerprint}, {"scope", scope}});
  return _fetch_first("SELECT * FROM patterns WHERE fingerprint = ? AND expired = 0",
                      {{"fingerprint", fingerprint}});
}

void SQLiteLorvessa::update_pattern(const Json& pattern_id, const Json& updates) {
  const std::string where = _where("update_pattern");
  check_text(pattern_id, "pattern_id", where);
  const Json applied = applied_updates(updates, where, _now());
  if (applied.empty()) return;

  const auto [sql, params] = update_statement(applied, pattern_id);
  _in_transaction([&] {
    _execute(sql, params);
    _log_history(pattern_id, "updated", applied);
  });
}

void SQLiteLorvessa::increment_pattern(const Json& pattern_id, const Json& signal_refs,
                                       const Json& observed_at) {
  const std::string where = _where("increment_pattern");
  check_text(pattern_id, "pattern_id", where);
  check_text_list(signal_refs, "signal_refs", where);
  check_text(observed_at, "observed_at", where);

  const std::string now = _now();
  _in_transaction([&] {
    _execute(
        "UPDATE patterns SET occurrence_count = occurrence_count + 1, last_seen = ?, "
        "updated_at = ? WHERE pattern_id = ?",
        {{"last_seen", observed_at}, {"updated_at", now}, {"pattern_id", pattern_id}});
    for (const Json& ref : signal_refs)
      _insert("INSERT OR IGNORE", "pattern_signals",
              {{"pattern_id", pattern_id}, {"signal_ref", ref}, {"observed_at", observed_at}});
    _log_history(pattern_id, "incremented",
                 {{"signal_refs", signal_refs}, {"observed_at", observed_at}});
  });
}

std::vector<Json> SQLiteLorvessa::list_patterns(const Json& scope, const Json& confidence_tier,
                                                const Json& min_occurrences) const {
  const auto [condition, params] = listing_condition(
      scope, confidence_tier, min_occurrences, _where("list_patterns"));
  return _fetch_all("SELECT * FROM patterns WHERE " + condition + " ORDER BY last_seen DESC",
                    params);
}

void SQLiteLorvessa::expire_pattern(const Json& pattern_id) {
  check_text(pattern_id, "pattern_id", _where("expire_pattern"));
  _in_transaction([&] {
    _execute("UPDATE patterns SET expired = 1, updated_at = ? WHERE pattern_id = ?",
             {{"updated_at", _now()}, {"pattern_id", pattern_id}});
    _log_history(pattern_id, "expired", {{"reason", "decay_window_exceeded"}});
  });
}

std::vector<Json> SQLiteLorvessa::get_pattern_signals(const Json& pattern_id) const {
  check_text(pattern_id, "pattern_id", _where("get_pattern_signals"));
  return _fetch_all("SELECT * FROM pattern_signals WHERE pattern_id = ? ORDER BY observed_at",
                    {{"pattern_id", pattern_id}});
}

std::vector<Json> SQLiteLorvessa::get_pattern_history(const Json& pattern_id) const {
  check_text(pattern_id, "pattern_id", _where("get_pattern_history"));
  return _fetch_all("SELECT * FROM pattern_history WHERE pattern_id = ? ORDER BY timestamp",
                    {{"pattern_id", pattern_id}});
}

std::vector<Json> SQLiteLorvessa::get_decayed_patterns(const Json& decay_window_days) const {
  return _fetch_all(
      "SELECT * FROM patterns WHERE expired = 0 AND last_seen < ? ORDER BY last_seen",
      {{"cutoff", decay_cutoff(decay_window_days, _where("get_decayed_patterns"))}});
}

bool SQLiteLorvessa::count_repository(const Json& pattern_id, const Json& repository) {
  const std::string where = _where("count_repository");
  check_text(pattern_id, "pattern_id", where);
  check_text(repository, "repository", where);
  const std::string ref = repository_ref(repository.get<std::string>());
  const std::string now = _now();
  bool counted = false;
  _in_transaction([&] {
    // The write lock of the transaction keeps the check and the link together.
    if (_fetch_first("SELECT 1 FROM pattern_signals WHERE pattern_id = ? AND signal_ref = ?",
                     {{"pattern_id", pattern_id}, {"signal_ref", ref}}))
      return;
    _insert("INSERT", "pattern_signals",
            {{"pattern_id", pattern_id}, {"signal_ref", ref}, {"observed_at", now}});
    _execute("UPDATE patterns SET repo_count = repo_count + 1, updated_at = ? WHERE pattern_id = ?",
             {{"updated_at", now}, {"pattern_id", pattern_id}});
    _log_history(pattern_id, "shared", {{"repository", repository}});
    counted = true;
  });
  return counted;
}

// ---- Knowledge --------------------------------------------------------------

std::string SQLiteLorvessa::create_knowledge(const Json& knowledge) {
  const KnowledgeRow row = new_knowledge_row(knowledge, _where("create_knowledge"), _now());
  _in_transaction([&] {
    _insert("INSERT", "knowledge", row.columns);
    _log_history(row.derived_from, "promoted",
                 {{"knowledge_id", row.id}, {"approval_method", row.approval_method}});
  });
  return row.id;
}

std::optional<Json> SQLiteLorvessa::get_knowledge(const Json& knowledge_id) const {
  check_text(knowledge_id, "knowledge_id", _where("get_knowledge"));
  return _fetch_first("SELECT * FROM knowledge WHERE knowledge_id = ?",
                      {{"knowledge_id", knowledge_id}});
}

std::optional<Json> SQLiteLorvessa::get_knowledge_by_fingerprint(const Json& fingerprint,
                                                                 const Json& scope) const {
  const std::string where = _where("get_knowledge_by_fingerprint");
  check_text(fingerprint, "fingerprint", where);
  check_optional_text(scope, "scope", where);
  return _fetch_first("SELECT * FROM knowledge WHERE fingerprint = ? AND scope = ?",
                      {{"fingerprint", fingerprint}, {"scope", scope}});
}

std::vector<Json> SQLiteLorvessa::list_knowledge(const Json& scope) const {
  check_optional_text(scope, "scope", _where("list_knowledge"));
  if (is_non_empty_text(scope))
    return _fetch_all("SELECT * FROM knowledge WHERE scope = ? ORDER BY last_seen DESC",
                      {{"scope", scope}});
  return _fetch_all("SELECT * FROM knowledge ORDER BY last_seen DESC", {});
}

}  // namespace velquor::lorvessa
