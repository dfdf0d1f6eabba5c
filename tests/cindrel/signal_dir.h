// A fresh data directory with an empty phase2/ for each test, and the clock
// pinned so that runs write the same bytes every time.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <unistd.h>

namespace velquor::cindrel::testing {

namespace fs = std::filesystem;

class SignalDirTest : public ::testing::Test {
 protected:
  explicit SignalDirTest(std::string pinned_now) : pinned_now_(std::move(pinned_now)) {}

  void SetUp() override {
    vel_dir = fs::temp_directory_path() /
              ("velquor-cindrel-" + std::to_string(::getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->test_suite_name() + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(vel_dir);
    fs::create_directories(vel_dir / "phase2");
    setenv("VELQUOR_NOW", pinned_now_.c_str(), 1);
  }
  void TearDown() override {
    unsetenv("VELQUOR_NOW");
    fs::remove_all(vel_dir);
  }

  // A plain write to a fresh file: some tests write a thousand files, and
  // truncating a file in place can flush it to disk each time.
  void write_signals(const std::string& file, const std::string& text) {
    fs::remove(vel_dir / "phase2" / file);
    std::ofstream(vel_dir / "phase2" / file, std::ios::binary) << text;
  }
  fs::path explanations() const { return vel_dir / "phase3/explanations.json"; }

  fs::path vel_dir;

 private:
  std::string pinned_now_;
};

}  // namespace velquor::cindrel::testing
