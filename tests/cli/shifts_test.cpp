// velquor shifts through the command: JSON alone with --json, the same list
// in shifts.json, and a directory without signals refused.

#include <gtest/gtest.h>

#include "shared/file_io.h"
#include "tests/cli/cli_test_support.h"

namespace velquor::cli::testing {
namespace {

TEST(ShiftsCommand, JsonIsTheListAloneAndMatchesTheWrittenFile) {
  ScratchDir dir;
  ASSERT_EQ(velquor({"demo", dir.str(), "--commits", "120"}).status, 0);
  ASSERT_EQ(velquor({"baseline", dir.str()}).status, 0);
  Outcome json = velquor({"shifts", dir.str(), "--json", "--min-change", "10%"});
  ASSERT_EQ(json.status, 0) << json.err;
  EXPECT_EQ(json.err, "");
  const Json printed = parse_json(json.out, "stdout");
  ASSERT_EQ(printed.size(), 1u);
  ASSERT_TRUE(printed.at("shifts").is_array());
  EXPECT_EQ(printed, read_json_file(dir.path() / "phase5" / "shifts.json"));

  Outcome text = velquor({"shifts", dir.str(), "--min-change", "10%"});
  ASSERT_EQ(text.status, 0) << text.err;
  const size_t count = printed.at("shifts").size();
  EXPECT_NE(text.err.find(std::to_string(count) + (count == 1 ? " shift" : " shifts") + " written to"),
            std::string::npos) << text.err;
  if (count == 0) {
    EXPECT_NE(text.out.find("No sustained shifts"), std::string::npos);
  }
}

TEST(ShiftsCommand, AWindowKeepsTheShiftsThatBeganInsideItAndSaysWhichWindow) {
  ScratchDir dir;
  ASSERT_EQ(velquor({"demo", dir.str(), "--commits", "120"}).status, 0);
  ASSERT_EQ(velquor({"baseline", dir.str()}).status, 0);
  const Json all = parse_json(velquor({"shifts", dir.str(), "--json"}).out, "stdout").at("shifts");
  ASSERT_FALSE(all.empty());
  struct Case {
    std::vector<std::string> window;
    const char* heading;  // how the text begins
    bool keeps_all;
  };
  const Case cases[] = {
      {{"--last", "100000"}, "Sustained shifts that began in the window All 120 commits (", true},
      {{"--since", "2000-01-01"}, "Sustained shifts that began in the window Since 2000-01-01 (", true},
      {{"--since", "2100-01-01"}, "No events since 2100-01-01\n", false},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {"shifts", dir.str()};
    args.insert(args.end(), c.window.begin(), c.window.end());
    Outcome text = velquor(args);
    ASSERT_EQ(text.status, 0) << text.err;
    EXPECT_EQ(text.out.rfind(c.heading, 0), 0u) << text.out;
    args.push_back("--json");
    const Json kept = parse_json(velquor(args).out, "stdout").at("shifts");
    EXPECT_EQ(kept, c.keeps_all ? all : Json::array()) << c.window[1];
  }
}

TEST(ShiftsCommand, ADirectoryWithoutSignalsIsARuntimeErrorNamingPhase2) {
  ScratchDir dir;
  Outcome run = velquor({"shifts", dir.str()});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(line_count(run.err), 1u);
  EXPECT_NE(run.err.find((dir.path() / "phase2").string()), std::string::npos) << run.err;
}

}  // namespace
}  // namespace velquor::cli::testing
