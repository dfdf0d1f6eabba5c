// The throw-away PostgreSQL server of the tests: ctest starts it before the
// tests that need it and stops it after them (scripts/pg-test-server), and
// hands its connection URL over through the file VELQUOR_TEST_PG_STATE.
#pragma once

#include <string>

namespace velquor::testing {

// The server's URL; "" when the tests run without it (started by hand).
std::string test_server_url();

// A schema of its own on the test server for one test, so that tests never
// see each other's tables; dropped with everything in it at the end.
class ScratchSchema {
 public:
  ScratchSchema();
  ~ScratchSchema();
  ScratchSchema(const ScratchSchema&) = delete;
  ScratchSchema& operator=(const ScratchSchema&) = delete;

  // A URL whose connections use this schema.
  const std::string& url() const { return url_; }
  // The first value of the first row of `sql`, "" for none or null; runs
  // statements too (an empty text then).
  std::string raw_text(const std::string& sql) const;

 private:
  std::string name_;
  std::string url_;
};

}  // namespace velquor::testing
