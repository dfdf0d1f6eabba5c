// A repository with pinned commits for the collector tests, and the golden
// case folders.
#pragma once

#include <string>
#include <vector>

#include "tests/cli/cli_test_support.h"

namespace velquor::collect::testing {

namespace fs = std::filesystem;

// Two commits with fixed authors, times and messages (so fixed hashes): the
// first tagged v1.1.0, the second HEAD. Also pins the clock (VELQUOR_NOW).
class PinnedRepository {
 public:
  PinnedRepository();
  std::string str() const { return dir_.str(); }
  const fs::path& path() const { return dir_.path(); }
  std::string head() const;
  std::string git(std::vector<std::string> args) const;

 private:
  cli::testing::ScratchDir dir_;
};

// The folders under tests/collect/golden, sorted.
std::vector<fs::path> case_folders();

}  // namespace velquor::collect::testing
