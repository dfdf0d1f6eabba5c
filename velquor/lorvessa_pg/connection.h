// One libpq connection: statements with bound parameters, their results as
// Json values, and server failures as DatabaseError in the store's words.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "shared/errors.h"
#include "shared/json.h"
#include "velquor/lorvessa/rows.h"

struct pg_conn;
struct pg_result;

namespace velquor::lorvessa {

// A failed statement. `sqlstate` is the server's five-character code, so
// that callers can tell a serialization failure or deadlock (worth another
// attempt) from a real error.
class ServerError : public DatabaseError {
 public:
  ServerError(const std::string& message, std::string code)
      : DatabaseError(message), sqlstate(std::move(code)) {}
  const std::string sqlstate;
};

// The statement lost a race with another writer and may succeed when the
// transaction is tried again.
bool is_transient(const ServerError& error);

// The rows of a finished statement, each an ordered map from column name to
// value: bigint and integer columns as integers, double precision as reals
// (NaN and the infinities included), everything else as text, SQL null as
// null.
std::vector<Json> result_rows(const pg_result* result);

class Connection {
 public:
  // Connects with `conninfo` (a URL or key=value text; libpq adds .pgpass
  // and the PG* variables). `origin`, the URL with its password masked,
  // prefixes every error; a failure to connect is one line.
  Connection(const std::string& conninfo, std::string origin);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Runs `sql`, whose `?` marks (never inside literals) take `params` in
  // order, always bound, never pasted into the text. Returns the rows.
  std::vector<Json> run(std::string_view sql, const Params& params = {});

  // Runs a fixed script of several statements (no parameters).
  void run_script(const char* sql);

  // Runs `sql` and returns the number of rows it changed or returned.
  size_t run_count(std::string_view sql, const Params& params = {});

  void close();
  bool is_open() const { return conn_ != nullptr; }
  const std::string& origin() const { return origin_; }

 private:
  std::unique_ptr<pg_result, void (*)(pg_result*)> execute(std::string_view sql,
                                                          const Params& params);
  [[noreturn]] void fail(const pg_result* result);
  pg_conn* conn_ = nullptr;
  std::string origin_;
};

}  // namespace velquor::lorvessa
