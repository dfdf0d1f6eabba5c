// The knowledge store: what pattern discovery learns about one project.
//
// Four kinds of rows live in one SQLite file (named "knowledge.db" by its
// users, but the store is given the full path):
//
//  - patterns:        candidates, i.e. changes seen to happen together. A
//                     pattern is active while `expired` is 0 and archived
//                     (never deleted) once expired; re-creating an archived
//                     pattern re-activates it.
//  - knowledge:       approved knowledge, each row derived from one pattern.
//  - pattern_signals: the evidence trail; a signal is linked to a pattern at
//                     most once and keeps its first observation time.
//  - pattern_history: the audit log of every change to a pattern, with the
//                     actions "created", "un-expired", "updated",
//                     "incremented", "promoted", "expired" and "shared".
//
// A fifth kind of row, scope "community", gathers what several repositories
// sharing one store have found: one pattern per fingerprint whose
// `repo_count` counts each repository once (see count_repository).
//
// Records come back as ordered `Json` maps from column name to value, keys in
// table column order, with SQLite integers, reals, texts and nulls keeping
// their kinds. The JSON columns `sources`, `metrics` and `details` are
// decoded back into lists and maps (a null stays null); pattern_signals rows
// are returned as stored.
//
// Arguments are `Json` values because they usually come straight from JSON
// files; their kinds are checked on entry (a text argument must be a string,
// `pattern`, `knowledge` and `updates` objects, `signal_refs` an array of
// strings, `decay_window_days` and `min_occurrences` integers), and a wrong
// kind raises velquor::TypeError before anything is written. A null stands
// for "none" wherever an argument is optional. A missing required member of
// a `pattern` or `knowledge` map raises velquor::MissingMember.
//
// Every writing operation runs in its own transaction: either all its rows
// (record, evidence links, history entry) reach the file together, or, on
// any failure, none of them does. A caller that makes many changes as one
// (a whole learning run) opens an outer transaction with
// begin_transaction(): the writing operations then join it, each still all
// or nothing within it, and nothing reaches the file before
// commit_transaction(); rollback_transaction(), a failure to commit, or the
// process dying first leaves the file as it was. SQLite failures (constraint violations such
// as an unknown `derived_from` pattern or a repeated knowledge id included)
// raise velquor::DatabaseError naming the database file.
//
// The file uses write-ahead logging and enforced foreign keys, so other
// processes may read it while one writes; a store object itself belongs to
// one thread.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "shared/json.h"

struct sqlite3;
struct sqlite3_stmt;

namespace velquor::lorvessa {

class StatementCache;

// The operations every storage backend supplies.
class LorvessaBase {
 public:
  virtual ~LorvessaBase() = default;

  // Stores a new pattern and returns its id: `pattern_id` when given and
  // non-empty, else the content hash of {fingerprint, scope,
  // discovery_method, sources, metrics}. Required members: `fingerprint`,
  // `discovery_method`, `sources`, `metrics`, `pattern_type`. Optional:
  // `scope` ("local"), `description_statistical`, `description_semantic`,
  // `correlation_strength` (null), `occurrence_count` (1), `repo_count` (0),
  // `first_seen` / `last_seen` (now), `confidence_tier` ("statistical"),
  // `confidence_status` ("emerging"), `signal_refs` (list of texts to link,
  // empty). An active pattern with that id is left untouched; an archived
  // one is re-activated (last_seen = now) without linking the new refs.
  virtual std::string create_pattern(const Json& pattern) = 0;

  // The pattern with that id, active or archived.
  virtual std::optional<Json> get_pattern(const Json& pattern_id) const = 0;

  // An active pattern with that fingerprint in `scope` (any scope when
  // `scope` is null or ""). Backends choose their own default scope, so
  // callers through this interface pass it explicitly.
  virtual std::optional<Json> get_pattern_by_fingerprint(const Json& fingerprint,
                                                         const Json& scope) const = 0;

  // Changes the descriptive members of a pattern. Only the keys
  // description_statistical, description_semantic, correlation_strength,
  // confidence_tier and confidence_status are applied (others are dropped
  // silently); `updated_at` is set with them. Nothing is written when no
  // allowed key is left.
  virtual void update_pattern(const Json& pattern_id, const Json& updates) = 0;

  // Counts one more observation: occurrence_count + 1, last_seen =
  // `observed_at` (the caller's time), and links each of `signal_refs`
  // (already linked refs keep their first observation time).
  virtual void increment_pattern(const Json& pattern_id, const Json& signal_refs,
                                 const Json& observed_at) = 0;

  // Active patterns, newest last_seen first, optionally restricted to a
  // scope, a confidence tier (null or "" means any) and a minimum
  // occurrence count (null means none; 0 is a real condition).
  virtual std::vector<Json> list_patterns(const Json& scope = nullptr,
                                          const Json& confidence_tier = nullptr,
                                          const Json& min_occurrences = nullptr) const = 0;

  // Stores approved knowledge derived from a stored pattern and logs
  // "promoted" against that pattern; returns the id (`knowledge_id` when
  // given and non-empty, else the content hash of {derived_from,
  // fingerprint}). Required members: `derived_from`, `fingerprint`,
  // `pattern_type`, `sources`, `metrics`, `description_statistical`,
  // `support_count`, `first_seen`, `last_seen`. Optional: `scope` ("local"),
  // `description_semantic` (null), `approval_method` ("automatic"),
  // `approval_timestamp` (now). An existing id is a DatabaseError.
  virtual std::string create_knowledge(const Json& knowledge) = 0;

  virtual std::optional<Json> get_knowledge(const Json& knowledge_id) const = 0;

  virtual std::optional<Json> get_knowledge_by_fingerprint(const Json& fingerprint,
                                                           const Json& scope = "local") const = 0;

  // All knowledge, newest last_seen first; only `scope` when it is non-empty.
  virtual std::vector<Json> list_knowledge(const Json& scope = nullptr) const = 0;

  // The evidence links of a pattern, oldest observation first.
  virtual std::vector<Json> get_pattern_signals(const Json& pattern_id) const = 0;

  // The audit log of a pattern, oldest entry first.
  virtual std::vector<Json> get_pattern_history(const Json& pattern_id) const = 0;

  // Active patterns whose last_seen text sorts strictly before the store
  // timestamp of (now - decay_window_days days), oldest first. A negative
  // window puts the cut-off in the future.
  virtual std::vector<Json> get_decayed_patterns(const Json& decay_window_days) const = 0;

  // Archives a pattern (expired = 1); it keeps its links and history.
  virtual void expire_pattern(const Json& pattern_id) = 0;

  // Counts the repository `repository` towards the repo_count of a pattern,
  // once: the repository is linked to the pattern as the evidence
  // "repository:<name>", and only a new link adds one to repo_count and logs
  // "shared" ({"repository": name}). Returns whether it counted.
  virtual bool count_repository(const Json& pattern_id, const Json& repository) = 0;

  // Closes the connection; later operations raise DatabaseError. Closing
  // twice is harmless, and the destructor closes a store left open.
  virtual void close() = 0;

  // The outer transaction: opening a second one while one is open is a
  // DatabaseError, and so is committing none. Rolling back when none is open
  // does nothing, so a caller's failure path can always call it.
  virtual void begin_transaction() = 0;
  virtual void commit_transaction() = 0;
  virtual void rollback_transaction() = 0;
};

// The evidence reference that marks a repository as counted.
std::string repository_ref(const std::string& repository);

// The store on one SQLite database file, for local, single-repository use.
class SQLiteLorvessa : public LorvessaBase {
 public:
  // Opens or creates the database at `db_path`, creating missing parent
  // folders, and brings its schema up to date (databases made before the
  // `repo_count` column existed get it, old rows reading 0).
  explicit SQLiteLorvessa(const std::filesystem::path& db_path);
  ~SQLiteLorvessa() override;

  SQLiteLorvessa(const SQLiteLorvessa&) = delete;
  SQLiteLorvessa& operator=(const SQLiteLorvessa&) = delete;

  std::string create_pattern(const Json& pattern) override;
  std::optional<Json> get_pattern(const Json& pattern_id) const override;
  // Here the default scope is null: any scope.
  std::optional<Json> get_pattern_by_fingerprint(const Json& fingerprint,
                                                 const Json& scope = nullptr) const override;
  void update_pattern(const Json& pattern_id, const Json& updates) override;
  void increment_pattern(const Json& pattern_id, const Json& signal_refs,
                         const Json& observed_at) override;
  std::vector<Json> list_patterns(const Json& scope = nullptr,
                                  const Json& confidence_tier = nullptr,
                                  const Json& min_occurrences = nullptr) const override;
  std::string create_knowledge(const Json& knowledge) override;
  std::optional<Json> get_knowledge(const Json& knowledge_id) const override;
  std::optional<Json> get_knowledge_by_fingerprint(const Json& fingerprint,
                                                   const Json& scope = "local") const override;
  std::vector<Json> list_knowledge(const Json& scope = nullptr) const override;
  std::vector<Json> get_pattern_signals(const Json& pattern_id) const override;
  std::vector<Json> get_pattern_history(const Json& pattern_id) const override;
  std::vector<Json> get_decayed_patterns(const Json& decay_window_days) const override;
  void expire_pattern(const Json& pattern_id) override;
  bool count_repository(const Json& pattern_id, const Json& repository) override;
  void close() override;
  void begin_transaction() override;
  void commit_transaction() override;
  void rollback_transaction() override;

  // Tests make a store fail at its K-th writing operation, before it writes,
  // by setting VELQUOR_STORE_FAULT_AT to "K" (the operation raises
  // DatabaseError) or "K:kill" (the process is killed on the spot).
  static constexpr const char* kFaultVariable = "VELQUOR_STORE_FAULT_AT";

  // The 16-hex-digit id of a map: equal content gives the same id whatever
  // the key order (the shared content_hash).
  static std::string _content_hash(const Json& data);

  // The database file, as given.
  const std::filesystem::path db_path;

 private:
  // Runs the schema script and the repo_count migration.
  void _create_tables();
  // Store timestamp: "YYYY-MM-DDTHH:MM:SS.ffffffZ", fraction left out when 0.
  static std::string _now();
  // The current row of `row` as a record, JSON columns decoded.
  Json _row_to_dict(sqlite3_stmt* row) const;
  // Appends one history entry (details stored as null when empty) inside the
  // caller's transaction.
  void _log_history(const Json& pattern_id, std::string_view action,
                    const Json& details = Json::object());

  using Params = std::vector<std::pair<std::string, Json>>;  // as in rows.h

  // Every converted row of `sql`, or the first one.
  std::vector<Json> _fetch_all(std::string_view sql, const Params& params) const;
  std::optional<Json> _fetch_first(std::string_view sql, const Params& params) const;
  // Runs one statement to its end; rows it returns are ignored.
  void _execute(std::string_view sql, const Params& params);
  // "<verb> INTO <table> (<names>) VALUES (?, ...)" with `values`.
  void _insert(std::string_view verb, std::string_view table, const Params& values);
  // Runs `work` in one transaction: committed when it returns, rolled back
  // when it throws, so that a failing operation leaves nothing behind. Inside
  // an outer transaction it is a savepoint of that one.
  template <typename Work>
  void _in_transaction(Work&& work);
  // The fault point of kFaultVariable, passed by every writing operation.
  void _count_write();
  sqlite3* _connection() const;
  // "<db_path>: <operation>", the prefix of argument errors.
  std::string _where(std::string_view operation) const;

  // The database file as text, the prefix of database errors.
  const std::string _origin;
  sqlite3* _conn = nullptr;
  std::unique_ptr<StatementCache> _statements;  // finalized before _conn closes
  bool _outer_open = false;
  long _writes = 0;
};

}  // namespace velquor::lorvessa
