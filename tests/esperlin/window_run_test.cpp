// The advisory run over a window that holds no significant change: every
// such run still writes an advisory, so the next --new window starts after it.

#include <gtest/gtest.h>

#include "fixture.h"
#include "velquor/morvic/morvic.h"

namespace velquor::esperlin::testing {
namespace {

class WindowRunTest : public DataDir {
 protected:
  // g1 deviates strongly on two families; g2, nine days later, does not.
  void SetUp() override {
    write_event(git_event("g1", "abc", "2025-03-01T00:00:00Z"));
    write_event(git_event("g2", "def", "2025-03-10T00:00:00Z"));
    write_signals("git", Json::array({signal("git", "files_touched", "g1", 40, 4.0),
                                      signal("git", "files_touched", "g2", 10, 0.5)}));
    write_signals("ci", Json::array({signal("ci", "run_duration", "g1", 40, 3.0)}));
  }

  Json run(const window::Request& request, const std::vector<window::EventStamp>& stamps) {
    Esperlin engine(dir);
    engine.window = window::resolve(request, stamps, std::nullopt);
    return engine.run("proj");
  }
};

TEST_F(WindowRunTest, AWindowWithoutSignificantChangesIsAnAllClearThatSaysWhichWindow) {
  const std::vector<window::EventStamp> history = window::read_event_stamps(dir / "events");
  struct Case {
    window::Kind kind;
    const char* argument;
    std::vector<window::EventStamp> stamps;
    bool accept_all;
    const char* summary;
    const char* from;  // the period; the run time where the history has no date
    const char* to;
  };
  const Case cases[] = {
      {window::Kind::kSince, "2025-03-05", history, false,
       "No significant changes: every metric is within its normal range.\n"
       "Window: Since 2025-03-05 (2025-03-05 to 2025-03-10)",
       "2025-03-05T00:00:00Z", "2025-03-10T00:00:00Z"},
      {window::Kind::kSince, "2025-02-01", history, true,
       "All clear — 2 accepted deviation(s), no new issues detected.\n"
       "Window: Since 2025-02-01 (2025-02-01 to 2025-03-10)",
       "2025-02-01T00:00:00Z", "2025-03-10T00:00:00Z"},
      {window::Kind::kSince, "2025-04-01", history, false, "No events since 2025-04-01",
       "2025-04-01T00:00:00Z", "2025-04-01T00:00:00Z"},
      {window::Kind::kLast, "5", {}, false, "No commits in the history", kNow, kNow},
  };
  for (const Case& c : cases) {
    const window::Request request{c.kind, c.argument};
    const std::string label = c.argument;
    if (c.accept_all) {
      morvic::AcceptedDeviations(dir).accept("git", "files_touched", "new normal");
      morvic::AcceptedDeviations(dir).accept("ci", "run_duration", "new normal");
    }
    const Json result = run(request, c.stamps);
    ASSERT_EQ(result["status"], "complete") << label;
    const Json& advisory = result["advisory"];
    EXPECT_EQ(result["human_summary"], c.summary) << label;
    EXPECT_EQ(output("summary.txt"), c.summary) << label;
    EXPECT_TRUE(advisory["changes"].empty()) << label;
    EXPECT_EQ(advisory["status"]["state"], "clear") << label;
    EXPECT_EQ(advisory["period"], (Json{{"from", c.from}, {"to", c.to}})) << label;
    EXPECT_EQ(advisory["window"]["kind"], window::kind_name(c.kind)) << label;
    // The period is what the next --new starts after.
    EXPECT_EQ(format_timestamp(*window::advisory_period_end(dir / "phase5" / "advisory.json")), c.to) << label;
    fs::remove(dir / "accepted_deviations.json");
  }
}

}  // namespace
}  // namespace velquor::esperlin::testing
