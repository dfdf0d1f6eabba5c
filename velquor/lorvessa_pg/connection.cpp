#include "velquor/lorvessa_pg/connection.h"

#include <libpq-fe.h>

#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <regex>

#include "shared/json_access.h"
#include "velquor/lorvessa_pg/lorvessa_pg.h"

namespace velquor::lorvessa {
namespace {

// Type oids of the column kinds the store's tables use.
constexpr Oid kInt8 = 20, kInt2 = 21, kInt4 = 23, kFloat4 = 700, kFloat8 = 701;

// Whitespace runs (the line breaks of libpq's messages included) folded
// into single spaces, so that every failure reads as one line.
std::string one_line(std::string_view text) {
  std::string line;
  for (char c : text) {
    bool space = c == '\n' || c == '\r' || c == '\t' || c == ' ';
    if (space && (line.empty() || line.back() == ' ')) continue;
    line += space ? ' ' : c;
  }
  while (!line.empty() && line.back() == ' ') line.pop_back();
  return line;
}

std::string field(const PGresult* result, int code) {
  const char* text = PQresultErrorField(result, code);
  return text ? text : "";
}

// "Key (a, b)=(...) already exists." -> {"a", "b"}.
std::vector<std::string> key_columns(const std::string& detail) {
  std::vector<std::string> columns;
  size_t open = detail.find("Key ("), close = detail.find(")=");
  if (open == std::string::npos || close == std::string::npos || close < open) return columns;
  std::string list = detail.substr(open + 5, close - open - 5);
  for (size_t start = 0, comma;; start = comma + 2) {
    comma = list.find(", ", start);
    columns.push_back(list.substr(start, comma - start));
    if (comma == std::string::npos) break;
  }
  return columns;
}

// Constraint failures in the same words the SQLite store uses, so that both
// backends report them alike; other failures in the server's words.
std::string failure_text(const PGresult* result) {
  const std::string state = field(result, PG_DIAG_SQLSTATE);
  const std::string table = field(result, PG_DIAG_TABLE_NAME);
  if (state == "23503") return "FOREIGN KEY constraint failed";
  if (state == "23502")
    return "NOT NULL constraint failed: " + table + "." + field(result, PG_DIAG_COLUMN_NAME);
  if (state == "23505") {
    std::string text = "UNIQUE constraint failed: ";
    std::vector<std::string> columns = key_columns(field(result, PG_DIAG_MESSAGE_DETAIL));
    for (size_t i = 0; i < columns.size(); ++i)
      text += (i ? ", " : "") + table + "." + columns[i];
    return text;
  }
  return one_line(field(result, PG_DIAG_MESSAGE_PRIMARY));
}

// The text form of a parameter; nothing for SQL null. A NaN is stored as
// null, as SQLite stores it.
std::optional<std::string> parameter_text(const Json& value, const std::string& name,
                                          const std::string& origin) {
  switch (value.type()) {
    case Json::value_t::null:
      return std::nullopt;
    case Json::value_t::boolean:
      return value.get<bool>() ? "1" : "0";
    case Json::value_t::number_integer:
      return std::to_string(value.get<std::int64_t>());
    case Json::value_t::number_unsigned: {
      auto number = value.get<std::uint64_t>();
      if (number > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
        throw ValueError(origin + ": " + name + " " + std::to_string(number) +
                         " is too large for a 64-bit integer column");
      return std::to_string(number);
    }
    case Json::value_t::number_float: {
      double number = value.get<double>();
      if (std::isnan(number)) return std::nullopt;
      if (std::isinf(number)) return number > 0 ? "Infinity" : "-Infinity";
      char buffer[32];
      auto end = std::to_chars(buffer, buffer + sizeof buffer, number).ptr;
      return std::string(buffer, end);
    }
    case Json::value_t::string: {
      const auto& text = value.get_ref<const std::string&>();
      if (text.find('\0') != std::string::npos)
        throw DatabaseError(origin + ": " + name + " holds a NUL character, which a text "
                            "column on the server cannot store");
      return text;
    }
    default:
      throw TypeError(origin + ": " + name + " is " + json_kind(value) +
                      ", expected a string, number or null");
  }
}

Json cell(const PGresult* result, int row, int column) {
  if (PQgetisnull(result, row, column)) return nullptr;
  std::string_view text(PQgetvalue(result, row, column), PQgetlength(result, row, column));
  switch (PQftype(result, column)) {
    case kInt8:
    case kInt4:
    case kInt2: {
      std::int64_t number = 0;
      std::from_chars(text.data(), text.data() + text.size(), number);
      return number;
    }
    case kFloat8:
    case kFloat4: {
      if (text == "NaN") return std::numeric_limits<double>::quiet_NaN();
      if (text == "Infinity") return std::numeric_limits<double>::infinity();
      if (text == "-Infinity") return -std::numeric_limits<double>::infinity();
      double number = 0;
      std::from_chars(text.data(), text.data() + text.size(), number);
      return number;
    }
    default:
      return std::string(text);
  }
}

}  // namespace

bool is_transient(const ServerError& error) {
  // serialization_failure and deadlock_detected.
  return error.sqlstate == "40001" || error.sqlstate == "40P01";
}

std::vector<Json> result_rows(const PGresult* result) {
  std::vector<Json> rows;
  const int columns = PQnfields(result);
  for (int row = 0; row < PQntuples(result); ++row) {
    Json record = Json::object();
    for (int column = 0; column < columns; ++column)
      record[PQfname(result, column)] = cell(result, row, column);
    rows.push_back(std::move(record));
  }
  return rows;
}

Connection::Connection(const std::string& conninfo, std::string origin)
    : origin_(std::move(origin)) {
  conn_ = PQconnectdb(conninfo.c_str());
  if (conn_ == nullptr) throw DatabaseError(origin_ + ": out of memory");
  if (PQstatus(conn_) != CONNECTION_OK) {
    std::string message = one_line(PQerrorMessage(conn_));
    close();
    throw DatabaseError(origin_ + ": cannot connect: " + message);
  }
  PQsetClientEncoding(conn_, "UTF8");
  // The server's notices ("relation already exists, skipping") are no news.
  PQsetNoticeProcessor(conn_, [](void*, const char*) {}, nullptr);
}

Connection::~Connection() { close(); }

void Connection::close() {
  if (conn_) PQfinish(conn_);
  conn_ = nullptr;
}

// A result that is not a success, as the error to throw.
[[noreturn]] void Connection::fail(const PGresult* result) {
  if (!result || PQstatus(conn_) != CONNECTION_OK)
    throw DatabaseError(origin_ + ": " + one_line(PQerrorMessage(conn_)));
  throw ServerError(origin_ + ": " + failure_text(result), field(result, PG_DIAG_SQLSTATE));
}

void Connection::run_script(const char* sql) {
  if (!conn_) throw DatabaseError(origin_ + ": the store is closed");
  std::unique_ptr<pg_result, void (*)(pg_result*)> result(PQexec(conn_, sql), PQclear);
  if (!result || PQresultStatus(result.get()) != PGRES_COMMAND_OK) fail(result.get());
}

std::unique_ptr<pg_result, void (*)(pg_result*)> Connection::execute(std::string_view sql,
                                                                    const Params& params) {
  if (!conn_) throw DatabaseError(origin_ + ": the store is closed");
  std::string text;
  int mark = 0;
  for (char c : sql) {
    if (c != '?') {
      text += c;
      continue;
    }
    text += '$';
    text += std::to_string(++mark);
  }
  std::vector<std::optional<std::string>> values;
  for (const auto& [name, value] : params) values.push_back(parameter_text(value, name, origin_));
  std::vector<const char*> pointers;
  for (const auto& value : values) pointers.push_back(value ? value->c_str() : nullptr);

  std::unique_ptr<pg_result, void (*)(pg_result*)> result(
      PQexecParams(conn_, text.c_str(), static_cast<int>(pointers.size()), nullptr,
                   pointers.data(), nullptr, nullptr, 0),
      PQclear);
  ExecStatusType status = result ? PQresultStatus(result.get()) : PGRES_FATAL_ERROR;
  if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) fail(result.get());
  return result;
}

std::vector<Json> Connection::run(std::string_view sql, const Params& params) {
  return result_rows(execute(sql, params).get());
}

size_t Connection::run_count(std::string_view sql, const Params& params) {
  auto result = execute(sql, params);
  const char* count = PQcmdTuples(result.get());
  return count && *count ? std::stoul(count) : static_cast<size_t>(PQntuples(result.get()));
}

std::string masked_url(const std::string& url) {
  // user:password@ in the authority of a URL.
  // Up to the last "@" of the authority, so that a stray "@" in the
  // password hides the rest of it too.
  static const std::regex kUserPassword(R"(^(postgres(?:ql)?://[^:/@?]*:)[^/?]*@)");
  // password=value as a URL parameter or a key=value setting.
  static const std::regex kPasswordSetting(R"((^|[?&\s])(password\s*=\s*)('[^']*'|[^&\s]*))");
  std::string masked = std::regex_replace(url, kUserPassword, "$1****@");
  return std::regex_replace(masked, kPasswordSetting, "$1$2****");
}

}  // namespace velquor::lorvessa
