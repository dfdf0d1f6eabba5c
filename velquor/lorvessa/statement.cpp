#include "velquor/lorvessa/statement.h"

#include <sqlite3.h>

#include <cstdint>
#include <limits>

#include "shared/errors.h"

namespace velquor::lorvessa {

void throw_database_error(sqlite3* db, const std::string& origin) {
  throw DatabaseError(origin + ": " + sqlite3_errmsg(db));
}

Statement::Statement(sqlite3* db, std::string_view sql, const std::string& origin)
    : db_(db), origin_(origin) {
  if (sqlite3_prepare_v2(db_, sql.data(), static_cast<int>(sql.size()), &stmt_, nullptr) !=
      SQLITE_OK)
    throw_database_error(db_, origin_);
}

Statement::~Statement() { sqlite3_finalize(stmt_); }

void Statement::bind(int index, const Json& value, std::string_view name) {
  int rc = SQLITE_OK;
  switch (value.type()) {
    case Json::value_t::null:
      rc = sqlite3_bind_null(stmt_, index);
      break;
    case Json::value_t::boolean:
      rc = sqlite3_bind_int64(stmt_, index, value.get<bool>() ? 1 : 0);
      break;
    case Json::value_t::number_integer:
      rc = sqlite3_bind_int64(stmt_, index, value.get<std::int64_t>());
      break;
    case Json::value_t::number_unsigned: {
      auto number = value.get<std::uint64_t>();
      // SQLite integers are signed 64-bit; a larger one cannot be stored.
      if (number > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
        throw ValueError(origin_ + ": " + std::string(name) + " " + std::to_string(number) +
                         " is too large for a 64-bit integer column");
      rc = sqlite3_bind_int64(stmt_, index, static_cast<std::int64_t>(number));
      break;
    }
    case Json::value_t::number_float:
      rc = sqlite3_bind_double(stmt_, index, value.get<double>());
      break;
    case Json::value_t::string: {
      const auto& text = value.get_ref<const std::string&>();
      rc = sqlite3_bind_text64(stmt_, index, text.data(), text.size(), SQLITE_TRANSIENT,
                               SQLITE_UTF8);
      break;
    }
    default:
      throw TypeError(origin_ + ": " + std::string(name) + " is " + json_kind(value) +
                      ", expected a string, number or null");
  }
  if (rc != SQLITE_OK) throw_database_error(db_, origin_);
}

bool Statement::step() {
  int rc = sqlite3_step(stmt_);
  if (rc == SQLITE_ROW) return true;
  if (rc == SQLITE_DONE) return false;
  throw_database_error(db_, origin_);
}

void Statement::reset() {
  // The error of a failed step was raised already; reset repeats it.
  sqlite3_reset(stmt_);
  sqlite3_clear_bindings(stmt_);
}

StatementCache::Lease StatementCache::get(sqlite3* db, std::string_view sql, const std::string& origin) {
  auto found = statements_.find(std::string(sql));
  if (found == statements_.end())
    found = statements_.emplace(std::string(sql), std::make_unique<Statement>(db, sql, origin)).first;
  return Lease(*found->second);
}

Json column_value(sqlite3_stmt* stmt, int index) {
  switch (sqlite3_column_type(stmt, index)) {
    case SQLITE_INTEGER:
      return static_cast<std::int64_t>(sqlite3_column_int64(stmt, index));
    case SQLITE_FLOAT:
      return sqlite3_column_double(stmt, index);
    case SQLITE_NULL:
      return nullptr;
    default: {
      // Text and blob alike: the bytes as stored.
      const auto* bytes = static_cast<const char*>(sqlite3_column_blob(stmt, index));
      return std::string(bytes ? bytes : "", sqlite3_column_bytes(stmt, index));
    }
  }
}

}  // namespace velquor::lorvessa
