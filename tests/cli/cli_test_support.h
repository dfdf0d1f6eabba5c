// Running the built velquor command from tests, and scratch directories.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "shared/json.h"

namespace velquor::cli::testing {

namespace fs = std::filesystem;

struct Outcome {
  int status = 0;
  std::string out;
  std::string err;
};

// Runs build/cli/velquor with `args`.
Outcome velquor(const std::vector<std::string>& args);

// Runs any program (git) and fails the test when it exits non-zero.
std::string must_run(const std::vector<std::string>& argv);

// A fresh directory under the system's temporary folder, removed at the end.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const fs::path& path() const { return path_; }
  std::string str() const { return path_.string(); }

 private:
  fs::path path_;
};

// Number of lines of `text` (a final line without line feed counts).
size_t line_count(const std::string& text);

Json read_json(const fs::path& path);

}  // namespace velquor::cli::testing
