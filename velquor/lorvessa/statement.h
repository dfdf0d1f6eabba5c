// A prepared SQLite statement that finalizes itself, and the conversions
// between SQLite values and Json.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>

#include "shared/json.h"

struct sqlite3;
struct sqlite3_stmt;

namespace velquor::lorvessa {

// DatabaseError "<origin>: <SQLite's message for the last failure on db>".
[[noreturn]] void throw_database_error(sqlite3* db, const std::string& origin);

class Statement {
 public:
  // Prepares `sql`; `origin` (the database file) prefixes every error.
  Statement(sqlite3* db, std::string_view sql, const std::string& origin);
  ~Statement();

  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  // Binds `value` to the 1-based parameter `index`. Strings, numbers,
  // booleans (as 0 / 1) and null fit a column; arrays and objects raise
  // TypeError naming `name`.
  void bind(int index, const Json& value, std::string_view name);

  // Advances to the next row; false once the statement is done.
  bool step();

  // Makes the statement ready to run again, its parameters unbound.
  void reset();

  sqlite3_stmt* raw() const { return stmt_; }

 private:
  sqlite3* db_;
  sqlite3_stmt* stmt_ = nullptr;
  std::string origin_;
};

// Statements kept prepared, keyed by their SQL text: a store runs the same
// few statements over and over, and preparing one costs more than running it.
class StatementCache {
 public:
  // A statement of `sql` (prepared at its first use) that is reset when the
  // lease ends, so that no finished read keeps the database locked.
  class Lease {
   public:
    explicit Lease(Statement& statement) : statement_(statement) {}
    ~Lease() { statement_.reset(); }
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;
    Statement& operator*() const { return statement_; }
    Statement* operator->() const { return &statement_; }

   private:
    Statement& statement_;
  };

  Lease get(sqlite3* db, std::string_view sql, const std::string& origin);

  // Finalizes every statement (before the connection closes).
  void clear() { statements_.clear(); }

 private:
  std::unordered_map<std::string, std::unique_ptr<Statement>> statements_;
};

// Column `index` of the current row, keeping SQLite's kind: integer, real,
// text and null (a blob comes back as the text of its bytes).
Json column_value(sqlite3_stmt* stmt, int index);

}  // namespace velquor::lorvessa
