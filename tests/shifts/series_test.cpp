// Reading series out of signal files: both reading paths, what is left out,
// and faulty or cut-off files.

#include <gtest/gtest.h>

#include <fstream>

#include <unistd.h>

#include "shared/errors.h"
#include "tests/shifts/signal_text.h"
#include "velquor/shifts/shifts.h"

namespace velquor::shifts {
namespace {

std::string record(const std::string& metric, const std::string& observed, const std::string& ref) {
  return testing::signal_record("ci", metric, observed, ref);
}

class SeriesFile : public ::testing::Test {
 protected:
  void write(const std::string& text) {
    fs::remove(path);
    std::ofstream(path, std::ios::binary) << text;
  }
  void TearDown() override { fs::remove(path); }
  fs::path path = fs::temp_directory_path() / ("velquor-shifts-series-" + std::to_string(::getpid()) + ".json");
};

const std::string kSignals = "[\n" + record("run_duration", "300", "ci-1") + ",\n" +
                             record("run_failed", "false", "ci-1") + ",\n" +
                             record("run_duration", "null", "ci-2") + ",\n" +
                             record("run_failed", "true", "ci-2") + ",\n" +
                             record("run_duration", "412.5", "ci-\\u00e93") + ",\n" +
                             record("run_duration", "1e3", "ci-4") + "\n]";

TEST_F(SeriesFile, ReadsMetricsInFirstAppearanceOrderWithoutNulls) {
  write(kSignals);
  const auto series = read_signal_series(path, "ci");
  ASSERT_EQ(series.size(), 2u);
  EXPECT_EQ(series[0].family, "ci");
  EXPECT_EQ(series[0].metric, "run_duration");
  EXPECT_EQ(series[0].values, (std::vector<double>{300, 412.5, 1000}));
  // The escaped reference takes the strict parser's path.
  EXPECT_EQ(series[0].event_refs, (std::vector<std::string>{"ci-1", "ci-\xC3\xA9" "3", "ci-4"}));
  EXPECT_EQ(series[1].metric, "run_failed");
  EXPECT_EQ(series[1].values, (std::vector<double>{0, 1}));
  EXPECT_TRUE(read_signal_series(path.string() + ".missing", "ci").empty());
  write("[]");
  EXPECT_TRUE(read_signal_series(path, "ci").empty());
}

TEST_F(SeriesFile, EveryCutOffFileIsAnErrorNamingIt) {
  for (size_t length = 0; length < kSignals.size(); length += 7) {
    write(kSignals.substr(0, length));
    try {
      read_signal_series(path, "ci");
      ADD_FAILURE() << "no error at length " << length;
    } catch (const JsonError& e) {
      EXPECT_NE(std::string(e.what()).find(path.string()), std::string::npos) << e.what();
    }
  }
}

TEST_F(SeriesFile, MembersOfTheWrongKindAreTypeErrorsNamingTheRecord) {
  const std::vector<std::string> faulty = {
      "[" + record("run_duration", "300", "ci-1") + ", " + record("run_duration", "\"slow\"", "ci-2") + "]",
      "[" + record("run_duration", "300", "ci-1") + ", " + record("run_duration", "[1]", "ci-2") + "]",
      "[" + record("run_duration", "300", "ci-1") + ", 17]",
  };
  for (const std::string& text : faulty) {
    write(text);
    try {
      read_signal_series(path, "ci");
      ADD_FAILURE() << text;
    } catch (const TypeError& e) {
      EXPECT_NE(std::string(e.what()).find(path.string() + ": signal 1"), std::string::npos) << e.what();
    }
  }
}

}  // namespace
}  // namespace velquor::shifts
