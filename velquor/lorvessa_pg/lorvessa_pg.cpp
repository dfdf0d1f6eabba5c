#include "velquor/lorvessa_pg/lorvessa_pg.h"

#include <chrono>
#include <cstdint>
#include <set>
#include <thread>

#include "shared/clock.h"
#include "shared/errors.h"
#include "shared/json_access.h"
#include "velquor/lorvessa/arguments.h"
#include "velquor/lorvessa/rows.h"
#include "velquor/lorvessa/schema.h"
#include "velquor/lorvessa_pg/connection.h"
#include "velquor/lorvessa_pg/schema.h"

namespace velquor::lorvessa {
namespace {

using server_schema::kKnowledgeColumns;
using server_schema::kPatternColumns;

// Serializes the creation of the tables between processes starting at once
// on an empty database (concurrent CREATE TABLE IF NOT EXISTS can collide).
constexpr std::int64_t kSchemaLock = 0x76656c71756f72;

std::string patterns_query(std::string_view condition) {
  return "SELECT " + std::string(kPatternColumns) + " FROM patterns WHERE " +
         std::string(condition);
}

std::string knowledge_query(std::string_view condition) {
  return "SELECT " + std::string(kKnowledgeColumns) + " FROM knowledge WHERE " +
         std::string(condition);
}

std::string insert_or_ignore(std::string_view table, const Params& values) {
  return insert_statement("INSERT", table, values) + " ON CONFLICT DO NOTHING";
}

}  // namespace

// ---- Opening and closing ----------------------------------------------------

PostgresLorvessa::PostgresLorvessa(const std::string& url)
    : origin(masked_url(url)), _conn(std::make_unique<Connection>(url, origin)) {
  _create_tables();
}

PostgresLorvessa::~PostgresLorvessa() = default;

void PostgresLorvessa::close() {
  _conn->close();
  _run_open = false;
}

void PostgresLorvessa::_create_tables() {
  _in_transaction([&] {
    _conn->run("SELECT pg_advisory_xact_lock(?)", {{"lock", kSchemaLock}});
    // Tables of these names made by another program are left as they are.
    std::set<std::pair<std::string, std::string>> present;
    std::set<std::string> tables;
    for (const Json& row : _conn->run(
             "SELECT table_name::text AS t, column_name::text AS c FROM information_schema.columns "
             "WHERE table_schema = current_schema()")) {
      present.emplace(row["t"], row["c"]);
      tables.insert(row["t"].get<std::string>());
    }
    for (const auto& [table, columns] : server_schema::expected_columns())
      for (std::string_view column : columns)
        if (tables.contains(std::string(table)) &&
            !present.contains({std::string(table), std::string(column)}))
          throw DatabaseError(origin + ": table '" + std::string(table) + "' has no column '" +
                              std::string(column) +
                              "': the database holds another program's tables");
    _conn->run_script(server_schema::kTables);
    _conn->run_script(server_schema::kRepoCountMigration);
    _conn->run_script(kIndexScript);
  });
}

// ---- Transactions -----------------------------------------------------------

template <typename Work>
void PostgresLorvessa::_in_transaction(Work&& work) {
  if (_run_open) {
    _conn->run_script("SAVEPOINT velquor_write");
    try {
      work();
    } catch (...) {
      _conn->run_script("ROLLBACK TO SAVEPOINT velquor_write");
      throw;
    }
    _conn->run_script("RELEASE SAVEPOINT velquor_write");
    return;
  }
  for (int attempt = 1;; ++attempt) {
    _conn->run_script("BEGIN");
    try {
      work();
      _conn->run_script("COMMIT");
      return;
    } catch (const ServerError& error) {
      rollback_transaction();
      if (!is_transient(error)) throw;
      if (attempt == kWriteAttempts)
        throw DatabaseError(std::string(error.what()) + " (gave up after " +
                            std::to_string(kWriteAttempts) +
                            " attempts against concurrent writers)");
      std::this_thread::sleep_for(std::chrono::milliseconds(10 * attempt));
    } catch (...) {
      rollback_transaction();
      throw;
    }
  }
}

void PostgresLorvessa::begin_transaction() {
  if (_run_open) throw DatabaseError(origin + ": a transaction is already open");
  _conn->run_script("BEGIN");
  _run_open = true;
}

void PostgresLorvessa::commit_transaction() {
  if (!_run_open) throw DatabaseError(origin + ": no transaction is open");
  _run_open = false;
  _conn->run_script("COMMIT");
}

void PostgresLorvessa::rollback_transaction() {
  _run_open = false;
  // Nothing is lost when this fails: the server drops an unfinished
  // transaction with the connection.
  if (!_conn->is_open()) return;
  try {
    _conn->run_script("ROLLBACK");
  } catch (const DatabaseError&) {
  }
}

// ---- Internal steps ---------------------------------------------------------

std::string PostgresLorvessa::_where(std::string_view operation) const {
  return origin + ": " + std::string(operation);
}

std::vector<Json> PostgresLorvessa::_fetch_all(std::string_view sql, const Params& params) const {
  std::vector<Json> rows = _conn->run(sql, params);
  for (Json& row : rows) decode_json_columns(row, origin);
  return rows;
}

std::optional<Json> PostgresLorvessa::_fetch_first(std::string_view sql,
                                                   const Params& params) const {
  std::vector<Json> rows = _fetch_all(sql, params);
  if (rows.empty()) return std::nullopt;
  return std::move(rows.front());
}

void PostgresLorvessa::_log_history(const Json& pattern_id, std::string_view action,
                                    const Json& details) {
  const Params row = {{"pattern_id", pattern_id},
                      {"action", std::string(action)},
                      {"details", details_column(details)},
                      {"timestamp", now_timestamp()}};
  _conn->run(insert_statement("INSERT", "pattern_history", row), row);
}

// ---- Patterns ---------------------------------------------------------------

std::string PostgresLorvessa::create_pattern(const Json& pattern) {
  const std::string where = _where("create_pattern");
  const std::string id = pattern_id_of(pattern, where);
  const std::string now = now_timestamp();
  _in_transaction([&] {
    auto stored = _fetch_first("SELECT expired FROM patterns WHERE pattern_id = ? FOR UPDATE",
                               {{"pattern_id", id}});
    if (stored) {
      // A rediscovered archived pattern comes back as it was; an active one
      // is left alone (the caller counts observations with increment_pattern).
      if (!is_truthy((*stored)["expired"])) return;
      _conn->run("UPDATE patterns SET expired = 0, last_seen = ?, updated_at = ? WHERE pattern_id = ?",
                 {{"last_seen", now}, {"updated_at", now}, {"pattern_id", id}});
      _log_history(id, "un-expired", {{"reason", "rediscovered"}});
      return;
    }
    const Params row = new_pattern_row(pattern, id, where, now);
    // Another writer may have made the same pattern since the look-up; its
    // row then stands, active, as a repeated create would leave it.
    if (_conn->run_count(insert_statement("INSERT", "patterns", row) +
                             " ON CONFLICT (pattern_id) DO NOTHING",
                         row) == 0)
      return;
    for (const Json& ref : member_or(pattern, "signal_refs", Json::array())) {
      const Params link = {{"pattern_id", id}, {"signal_ref", ref}, {"observed_at", now}};
      _conn->run(insert_or_ignore("pattern_signals", link), link);
    }
    _log_history(id, "created", created_details(pattern));
  });
  return id;
}

std::optional<Json> PostgresLorvessa::get_pattern(const Json& pattern_id) const {
  check_text(pattern_id, "pattern_id", _where("get_pattern"));
  return _fetch_first(patterns_query("pattern_id = ?"), {{"pattern_id", pattern_id}});
}

std::optional<Json> PostgresLorvessa::get_pattern_by_fingerprint(const Json& fingerprint,
                                                                 const Json& scope) const {
  const std::string where = _where("get_pattern_by_fingerprint");
  check_text(fingerprint, "fingerprint", where);
  check_optional_text(scope, "scope", where);
  if (is_non_empty_text(scope))
    return _fetch_first(
        patterns_query("fingerprint = ? AND scope = ? AND expired = 0 ORDER BY row_order LIMIT 1"),
        {{"fingerprint", fingerprint}, {"scope", scope}});
  return _fetch_first(patterns_query("fingerprint = ? AND expired = 0 ORDER BY row_order LIMIT 1"),
                      {{"fingerprint", fingerprint}});
}

void PostgresLorvessa::update_pattern(const Json& pattern_id, const Json& updates) {
  const std::string where = _where("update_pattern");
  check_text(pattern_id, "pattern_id", where);
  const Json applied = applied_updates(updates, where, now_timestamp());
  if (applied.empty()) return;
  const auto [sql, params] = update_statement(applied, pattern_id);
  _in_transaction([&] {
    _conn->run(sql, params);
    _log_history(pattern_id, "updated", applied);
  });
}

void PostgresLorvessa::increment_pattern(const Json& pattern_id, const Json& signal_refs,
                                         const Json& observed_at) {
  const std::string where = _where("increment_pattern");
  check_text(pattern_id, "pattern_id", where);
  check_text_list(signal_refs, "signal_refs", where);
  check_text(observed_at, "observed_at", where);

  const std::string now = now_timestamp();
  _in_transaction([&] {
    // One statement: the row lock makes concurrent increments add up.
    _conn->run(
        "UPDATE patterns SET occurrence_count = occurrence_count + 1, last_seen = ?, "
        "updated_at = ? WHERE pattern_id = ?",
        {{"last_seen", observed_at}, {"updated_at", now}, {"pattern_id", pattern_id}});
    for (const Json& ref : signal_refs) {
      const Params link = {{"pattern_id", pattern_id}, {"signal_ref", ref}, {"observed_at", observed_at}};
      _conn->run(insert_or_ignore("pattern_signals", link), link);
    }
    _log_history(pattern_id, "incremented",
                 {{"signal_refs", signal_refs}, {"observed_at", observed_at}});
  });
}

std::vector<Json> PostgresLorvessa::list_patterns(const Json& scope, const Json& confidence_tier,
                                                  const Json& min_occurrences) const {
  const auto [condition, params] = listing_condition(
      scope, confidence_tier, min_occurrences, _where("list_patterns"));
  return _fetch_all(patterns_query(condition + " ORDER BY last_seen DESC, row_order"), params);
}

void PostgresLorvessa::expire_pattern(const Json& pattern_id) {
  check_text(pattern_id, "pattern_id", _where("expire_pattern"));
  _in_transaction([&] {
    _conn->run("UPDATE patterns SET expired = 1, updated_at = ? WHERE pattern_id = ?",
               {{"updated_at", now_timestamp()}, {"pattern_id", pattern_id}});
    _log_history(pattern_id, "expired", {{"reason", "decay_window_exceeded"}});
  });
}

bool PostgresLorvessa::count_repository(const Json& pattern_id, const Json& repository) {
  const std::string where = _where("count_repository");
  check_text(pattern_id, "pattern_id", where);
  check_text(repository, "repository", where);
  const std::string now = now_timestamp();
  const Params link = {{"pattern_id", pattern_id},
                       {"signal_ref", repository_ref(repository.get<std::string>())},
                       {"observed_at", now}};
  bool counted = false;
  _in_transaction([&] {
    // The key of the link decides: a second writer counting the same
    // repository waits for the first and then finds the link made.
    counted = _conn->run_count(insert_or_ignore("pattern_signals", link), link) == 1;
    if (!counted) return;
    _conn->run("UPDATE patterns SET repo_count = repo_count + 1, updated_at = ? WHERE pattern_id = ?",
               {{"updated_at", now}, {"pattern_id", pattern_id}});
    _log_history(pattern_id, "shared", {{"repository", repository}});
  });
  return counted;
}

std::vector<Json> PostgresLorvessa::get_pattern_signals(const Json& pattern_id) const {
  check_text(pattern_id, "pattern_id", _where("get_pattern_signals"));
  return _fetch_all(
      "SELECT pattern_id, signal_ref, observed_at FROM pattern_signals WHERE pattern_id = ? "
      "ORDER BY observed_at, signal_ref",
      {{"pattern_id", pattern_id}});
}

std::vector<Json> PostgresLorvessa::get_pattern_history(const Json& pattern_id) const {
  check_text(pattern_id, "pattern_id", _where("get_pattern_history"));
  return _fetch_all(
      "SELECT id, pattern_id, action, details, timestamp FROM pattern_history "
      "WHERE pattern_id = ? ORDER BY timestamp, id",
      {{"pattern_id", pattern_id}});
}

std::vector<Json> PostgresLorvessa::get_decayed_patterns(const Json& decay_window_days) const {
  return _fetch_all(patterns_query("expired = 0 AND last_seen < ? ORDER BY last_seen, row_order"),
                    {{"cutoff", decay_cutoff(decay_window_days, _where("get_decayed_patterns"))}});
}

// ---- Knowledge --------------------------------------------------------------

std::string PostgresLorvessa::create_knowledge(const Json& knowledge) {
  const KnowledgeRow row = new_knowledge_row(knowledge, _where("create_knowledge"), now_timestamp());
  _in_transaction([&] {
    _conn->run(insert_statement("INSERT", "knowledge", row.columns), row.columns);
    _log_history(row.derived_from, "promoted",
                 {{"knowledge_id", row.id}, {"approval_method", row.approval_method}});
  });
  return row.id;
}

std::optional<Json> PostgresLorvessa::get_knowledge(const Json& knowledge_id) const {
  check_text(knowledge_id, "knowledge_id", _where("get_knowledge"));
  return _fetch_first(knowledge_query("knowledge_id = ?"), {{"knowledge_id", knowledge_id}});
}

std::optional<Json> PostgresLorvessa::get_knowledge_by_fingerprint(const Json& fingerprint,
                                                                   const Json& scope) const {
  const std::string where = _where("get_knowledge_by_fingerprint");
  check_text(fingerprint, "fingerprint", where);
  check_optional_text(scope, "scope", where);
  return _fetch_first(knowledge_query("fingerprint = ? AND scope = ? ORDER BY row_order LIMIT 1"),
                      {{"fingerprint", fingerprint}, {"scope", scope}});
}

std::vector<Json> PostgresLorvessa::list_knowledge(const Json& scope) const {
  check_optional_text(scope, "scope", _where("list_knowledge"));
  if (is_non_empty_text(scope))
    return _fetch_all(knowledge_query("scope = ? ORDER BY last_seen DESC, row_order"),
                      {{"scope", scope}});
  return _fetch_all(knowledge_query("TRUE ORDER BY last_seen DESC, row_order"), {});
}

}  // namespace velquor::lorvessa
