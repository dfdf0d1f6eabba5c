#include "tests/cli/cli_test_support.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>

#include "shared/subprocess.h"
#include "shared/file_io.h"

namespace velquor::cli::testing {

Outcome velquor(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {std::string(VELQUOR_BINARY_DIR) + "/cli/velquor"};
  argv.insert(argv.end(), args.begin(), args.end());
  ProcessOutput output = run_program(argv);
  return {output.exit_status, output.out, output.err};
}

std::string must_run(const std::vector<std::string>& argv) {
  ProcessOutput output = run_program(argv);
  EXPECT_EQ(output.exit_status, 0) << argv[0] << " " << argv[1] << ": " << output.err;
  return output.out;
}

ScratchDir::ScratchDir() {
  static std::atomic<int> counter{0};
  path_ = fs::temp_directory_path() /
          ("velquor-cli-test-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
  fs::remove_all(path_);
  fs::create_directories(path_);
}

ScratchDir::~ScratchDir() {
  std::error_code ec;
  fs::remove_all(path_, ec);
}

size_t line_count(const std::string& text) {
  size_t lines = 0;
  for (char c : text) lines += c == '\n';
  return lines + (!text.empty() && text.back() != '\n');
}

Json read_json(const fs::path& path) { return read_json_file(path); }

}  // namespace velquor::cli::testing
