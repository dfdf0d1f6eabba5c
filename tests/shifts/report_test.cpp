// Shifts of a data directory, as JSON and as lines for people.

#include <gtest/gtest.h>

#include <fstream>

#include <unistd.h>

#include "shared/file_io.h"
#include "tests/shifts/signal_text.h"
#include "velquor/shifts/shifts.h"

namespace velquor::shifts {
namespace {

Shift make_shift(const std::string& metric, double before, double after, const std::string& time) {
  Shift shift{"ci", metric, "ci-7", "45866932aa00bb11", time, {}};
  shift.change.index = 7;
  shift.change.before = {412, before, 3, before};
  shift.change.after = {600, after, 4, after};
  shift.change.level_before = before;
  shift.change.level_after = after;
  if (before != 0) shift.change.relative_change = (after - before) / before;
  shift.change.significance = 0.01;
  return shift;
}

// The same shift over a flag that is mostly zero: both medians are zero.
Shift by_means(Shift shift) {
  shift.change.before.median = shift.change.after.median = 0;
  shift.change.levels_are_means = true;
  return shift;
}

TEST(Report, JsonHasExactlyTheDocumentedMembers) {
  Shift from_zero = make_shift("run_failed", 0, 0.25, "2020-03-10T08:00:00Z");
  const Json json = shifts_json({make_shift("run_duration", 412, 865, "2020-03-10T08:00:00Z"), from_zero});
  ASSERT_EQ(json.size(), 1u);
  const Json& first = json.at("shifts").at(0);
  std::vector<std::string> members;
  for (const auto& [key, value] : first.items()) members.push_back(key);
  EXPECT_EQ(members, (std::vector<std::string>{"family", "metric", "start_event", "start_commit", "start_time",
                                               "before", "after", "relative_change", "significance"}));
  EXPECT_EQ(dump_compact(first.at("before")), R"({"count": 412, "median": 412.0, "mad": 3.0})");
  EXPECT_EQ(first.at("relative_change"), 1.0995);
  EXPECT_TRUE(json.at("shifts").at(1).at("relative_change").is_null());
}

TEST(Report, LinesUseTheAdvisoryLabelsAndNumberForms) {
  const std::vector<std::pair<Shift, std::string>> cases = {
      {make_shift("run_duration", 412, 865, "2020-03-10T08:00:00Z"),
       "CI / Build / Build Duration rose 2.1x (412 s → 865 s) from commit 45866932 on 2020-03-10, "
       "holding for 600 runs"},
      {make_shift("run_failed", 0.1, 0.3, "2020-03-10T08:00:00Z"),
       "CI / Build / Build Failure rose 3.0x (10.0% → 30.0%) from commit 45866932 on 2020-03-10, "
       "holding for 600 runs"},
      {make_shift("run_duration", 300.5, 250, ""),
       "CI / Build / Build Duration fell 17% (300.5 s → 250 s) from commit 45866932, holding for 600 runs"},
      {make_shift("failure_rate", 0.0011, 0.003, "2021-01-01T00:00:00Z"),
       "CI / Build / failure_rate rose 2.7x (0.0011 → 0.003) from commit 45866932 on 2021-01-01, "
       "holding for 600 runs"},
      {make_shift("run_failed", 0, 0.25, "2021-01-01T00:00:00Z"),
       "CI / Build / Build Failure rose from zero (0.0% → 25.0%) from commit 45866932 on 2021-01-01, "
       "holding for 600 runs"},
      {by_means(make_shift("run_failed", 0.103, 0.299, "2021-01-01T00:00:00Z")),
       "CI / Build / Build Failure rose 2.9x (mean 10.3% → 29.9%) from commit 45866932 on 2021-01-01, "
       "holding for 600 runs"},
  };
  for (const auto& [shift, line] : cases) EXPECT_EQ(shift_line(shift), line);
  Shift unknown = cases[0].first;
  unknown.start_commit = "";
  EXPECT_NE(shift_line(unknown).find("from event ci-7 on 2020-03-10"), std::string::npos);
}

TEST(Report, ThreeStepsInOneDirectionReadAsGrowth) {
  const Shift other = make_shift("run_failed", 0.1, 0.3, "2024-06-01T00:00:00Z");
  const std::vector<Shift> growing = {make_shift("run_duration", 600, 800, "2024-05-01T00:00:00Z"), other,
                                      make_shift("run_duration", 450, 600, "2024-03-01T00:00:00Z"),
                                      make_shift("run_duration", 300, 450, "2024-01-01T00:00:00Z")};
  auto lines = shift_lines(growing);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "CI / Build / Build Duration growing since commit 45866932 on 2024-01-01 "
                      "(300 s → 800 s in 3 steps)");
  EXPECT_EQ(lines[1], shift_line(other));
  EXPECT_EQ(shift_lines(growing, 1).size(), 1u);

  std::vector<Shift> mixed = growing;
  mixed[2] = make_shift("run_duration", 600, 450, "2024-03-01T00:00:00Z");
  EXPECT_EQ(shift_lines(mixed).size(), 4u);
  EXPECT_EQ(shift_lines({growing[0], growing[2]}).size(), 2u);
}

class DataDir : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::remove_all(dir);
    fs::create_directories(dir / "phase2");
    fs::create_directories(dir / "events");
  }
  void TearDown() override { fs::remove_all(dir); }
  void write(const fs::path& file, const std::string& text) { std::ofstream(dir / file, std::ios::binary) << text; }
  fs::path dir = fs::temp_directory_path() / ("velquor-shifts-dir-" + std::to_string(::getpid()));
};

// Two families with one step each; the git event is stored under the
// collector's longer name, the CI event under its id.
TEST_F(DataDir, FindsShiftsWithTheirCommitsNewestFirst) {
  std::vector<std::string> ci, git;
  for (int i = 0; i < 60; ++i) {
    ci.push_back(testing::signal_record("ci", "run_duration", i < 40 ? "300" : "540", "ci-" + std::to_string(i)));
    ci.push_back(testing::signal_record("ci", "run_failed", "0.0", "ci-" + std::to_string(i)));
    git.push_back(testing::signal_record("git", "files_touched", i < 25 ? "2" : "5", "git-c" + std::to_string(i)));
  }
  write("phase2/ci_signals.json", testing::signal_file(ci));
  write("phase2/git_signals.json", testing::signal_file(git));
  write("events/ci-40.json", R"({"event_id": "ci-40", "observed_at": "2024-05-02T10:00:00Z",
                                 "payload": {"trigger": {"commit_sha": "abc40"}}})");
  write("events/git-20240101-0025-c25.json", R"({"event_id": "git-c25", "observed_at": "2024-01-01T10:00:00Z",
                                                "payload": {"commit_hash": "c25"}})");
  // A name that holds the id's tail but another event is passed over.
  write("events/git-20231231-0000-c25.json", R"({"event_id": "git-c250", "observed_at": "2023-12-31T10:00:00Z",
                                                "payload": {"commit_hash": "c250"}})");
  const auto shifts = find_shifts(dir);
  ASSERT_EQ(shifts.size(), 2u);
  EXPECT_EQ(shifts[0].metric, "run_duration");
  EXPECT_EQ(shifts[0].start_event, "ci-40");
  EXPECT_EQ(shifts[0].start_commit, "abc40");
  EXPECT_EQ(shifts[0].start_time, "2024-05-02T10:00:00Z");
  EXPECT_EQ(shifts[1].start_commit, "c25");
  EXPECT_EQ(shifts[1].change.after.count, 35u);
  const fs::path written = write_shifts(dir, shifts);
  EXPECT_EQ(read_json_file(written), shifts_json(shifts));
}

}  // namespace
}  // namespace velquor::shifts
