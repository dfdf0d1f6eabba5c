#include "tests/lorvessa_pg/test_server.h"

#include <libpq-fe.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <stdexcept>

namespace velquor::testing {
namespace {

std::string query(const std::string& url, const std::string& sql) {
  PGconn* conn = PQconnectdb(url.c_str());
  if (PQstatus(conn) != CONNECTION_OK) {
    std::string message = PQerrorMessage(conn);
    PQfinish(conn);
    throw std::runtime_error("test server: " + message);
  }
  PQsetNoticeProcessor(conn, [](void*, const char*) {}, nullptr);
  PGresult* result = PQexec(conn, sql.c_str());
  std::string text;
  ExecStatusType status = PQresultStatus(result);
  std::string error = PQresultErrorMessage(result);
  if (status == PGRES_TUPLES_OK && PQntuples(result) > 0 && !PQgetisnull(result, 0, 0))
    text = PQgetvalue(result, 0, 0);
  PQclear(result);
  PQfinish(conn);
  if (status != PGRES_TUPLES_OK && status != PGRES_COMMAND_OK)
    throw std::runtime_error("test server: " + sql + ": " + error);
  return text;
}

}  // namespace

std::string test_server_url() {
  const char* state = std::getenv("VELQUOR_TEST_PG_STATE");
  if (state == nullptr) return "";
  std::ifstream in(state);
  std::string url;
  std::getline(in, url);
  return url;
}

ScratchSchema::ScratchSchema() {
  static std::atomic<int> counter{0};
  name_ = "scratch_" + std::to_string(::getpid()) + "_" + std::to_string(counter++);
  const std::string base = test_server_url();
  if (base.empty()) throw std::runtime_error("no test server (run the tests through ctest)");
  query(base, "DROP SCHEMA IF EXISTS " + name_ + " CASCADE; CREATE SCHEMA " + name_);
  url_ = base + (base.find('?') == std::string::npos ? "?" : "&") +
         "options=-csearch_path%3D" + name_;
}

ScratchSchema::~ScratchSchema() {
  try {
    query(test_server_url(), "DROP SCHEMA IF EXISTS " + name_ + " CASCADE");
  } catch (const std::exception&) {
  }
}

std::string ScratchSchema::raw_text(const std::string& sql) const { return query(url_, sql); }

}  // namespace velquor::testing
