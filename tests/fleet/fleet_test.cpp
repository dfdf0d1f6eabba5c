// Scheduling the children of a fleet run and telling their outcomes.
#include "velquor/fleet/fleet.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace velquor::fleet {
namespace {

TEST(FleetTest, RunsEveryCommandWithinTheBoundAndKeepsTheOrder) {
  std::vector<std::vector<std::string>> commands;
  for (int i = 0; i < 9; ++i) commands.push_back({"child", std::to_string(i)});
  std::atomic<int> running{0}, most{0};
  std::vector<size_t> finished;
  auto results = run_all(
      commands, 3,
      [&](const std::vector<std::string>& argv) {
        int now = ++running;
        for (int seen = most; now > seen && !most.compare_exchange_weak(seen, now);) {
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        --running;
        if (argv[1] == "4") throw std::runtime_error("cannot start");
        return ChildResult{argv[1] == "7" ? 1 : 0, "out " + argv[1], ""};
      },
      [&](size_t i, const ChildResult&) { finished.push_back(i); });
  ASSERT_EQ(results.size(), 9u);
  EXPECT_EQ(results[2].out, "out 2");
  EXPECT_EQ(results[7].exit_status, 1);
  EXPECT_EQ(results[4].exit_status, 1);  // one that fails to start is a failure, not an abort
  EXPECT_EQ(results[4].err, "cannot start");
  EXPECT_EQ(finished.size(), 9u);
  EXPECT_LE(most.load(), 3);
  EXPECT_TRUE(run_all({}, 4, nullptr).empty());
}

TEST(FleetTest, OneLinePerRepository) {
  auto change = [](const Json& deviation) { return Json{{"deviation_stddev", deviation}}; };
  const Json advisory = {{"status", "complete"},
                         {"advisory", {{"changes", {change(6), change(-3.2), change(5.5),
                                                    change(1.6), change("bad")}}}}};
  const std::vector<std::pair<ChildResult, std::string>> cases = {
      {{0, advisory.dump(), ""}, "r: 4 changes (2 CRITICAL, 1 HIGH, 1 NOTABLE)"},
      {{0, R"({"status": "no_significant_changes", "advisory": null})", ""},
       "r: no significant changes"},
      {{0, R"({"status": "no_signals", "advisory": null})", ""}, "r: not enough history yet"},
      {{1, "", "stage 2: ...\nvelquor: error: r/events: no such directory\n"},
       "r: failed: r/events: no such directory"},
      {{139, "", ""}, "r: failed: exit status 139"},
      {{0, "{\"status\": ", ""}, "r: failed: r output: "},
  };
  for (const auto& [result, line] : cases)
    EXPECT_TRUE(repository_line("r", result).starts_with(line)) << repository_line("r", result);
}

}  // namespace
}  // namespace velquor::fleet
