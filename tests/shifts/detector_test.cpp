// The change-point detector on planted series: what must be found, where,
// and what must not be mistaken for a shift.

#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "velquor/shifts/shifts.h"

namespace velquor::shifts {
namespace {

std::vector<double> noise(size_t count, double centre, double spread, uint64_t seed) {
  std::mt19937_64 random(seed);
  std::normal_distribution<double> normal(centre, spread);
  std::vector<double> values(count);
  for (double& value : values) value = normal(random);
  return values;
}

// `values` with everything from `at` on moved by `offset`.
std::vector<double> stepped(std::vector<double> values, size_t at, double offset) {
  for (size_t i = at; i < values.size(); ++i) values[i] += offset;
  return values;
}

struct Case {
  const char* name;
  std::vector<double> values;
  std::vector<size_t> starts;  // expected change points, each within `slack`
  size_t slack = 2;
};

std::vector<Case> cases() {
  std::vector<Case> all;
  all.push_back({"step up", stepped(noise(400, 100, 5, 1), 250, 40), {250}});
  all.push_back({"step down", stepped(noise(400, 100, 5, 2), 120, -30), {120}});
  all.push_back({"two steps", stepped(stepped(noise(600, 100, 5, 3), 200, 50), 400, -80), {200, 400}});
  all.push_back({"step near the start", stepped(noise(300, 100, 5, 4), 12, 60), {12}});
  all.push_back({"step near the end", stepped(noise(300, 100, 5, 5), 287, 60), {287}});
  all.push_back({"step too close to the end", stepped(noise(300, 100, 5, 6), 295, 60), {}});
  all.push_back({"noise only", noise(2000, 100, 20, 7), {}});
  std::vector<double> outlier = noise(500, 100, 5, 8);
  outlier[250] = 100000;
  all.push_back({"a single outlier", outlier, {}});
  std::vector<double> burst = noise(500, 100, 5, 9);
  for (size_t i = 300; i < 305; ++i) burst[i] = 5000;
  all.push_back({"a burst shorter than a level", burst, {}});
  // Integer counts with many ties: 3 or 4 before, 6 or 7 after.
  std::vector<double> ties;
  for (size_t i = 0; i < 400; ++i) ties.push_back((i < 180 ? 3 : 6) + static_cast<double>(i % 2));
  all.push_back({"ties", ties, {180}});
  // A failure flag that is mostly zero: one failure in ten, then three.
  std::vector<double> flags;
  for (size_t i = 0; i < 1000; ++i) flags.push_back((i < 600 ? i % 10 == 0 : i % 10 < 3) ? 1.0 : 0.0);
  all.push_back({"zero median, failures triple", flags, {600}, 10});
  // Error counts: mostly near 40, one in fifty a spike of thousands.
  std::vector<double> heavy = noise(3000, 40, 10, 10);
  std::mt19937_64 random(11);
  for (double& value : heavy)
    if (std::uniform_real_distribution<double>(0, 1)(random) < 0.02)
      value = 1000 * std::pow(std::uniform_real_distribution<double>(0.01, 1)(random), -1.5);
  all.push_back({"heavy tail without a shift", heavy, {}});
  all.push_back({"all equal", std::vector<double>(300, 7.0), {}});
  all.push_back({"too few values", {1, 1, 1, 1, 1, 9, 9, 9, 9, 9}, {}});
  return all;
}

TEST(Detector, FindsPlantedShiftsAndNothingElse) {
  for (const Case& c : cases()) {
    const auto points = detect_change_points(c.values, ShiftSettings{}, 42);
    ASSERT_EQ(points.size(), c.starts.size()) << c.name;
    for (size_t i = 0; i < points.size(); ++i) {
      EXPECT_NEAR(static_cast<double>(points[i].index), static_cast<double>(c.starts[i]),
                  static_cast<double>(c.slack)) << c.name;
      EXPECT_GE(points[i].before.count, 10u) << c.name;
      EXPECT_GE(points[i].after.count, 10u) << c.name;
      EXPECT_LE(points[i].significance, 0.01) << c.name;
    }
  }
}

TEST(Detector, LevelsAreMediansOrMeansWhenBothMediansAreZero) {
  std::vector<double> values = stepped(std::vector<double>(100, 10.0), 50, 10);
  values[3] = 1000;  // moves a mean, not a median
  const auto step = detect_change_points(values, ShiftSettings{}, 1);
  ASSERT_EQ(step.size(), 1u);
  EXPECT_EQ(step[0].index, 50u);
  EXPECT_EQ(step[0].level_before, 10);
  EXPECT_EQ(step[0].level_after, 20);
  EXPECT_DOUBLE_EQ(*step[0].relative_change, 1.0);
  EXPECT_EQ(step[0].before.mad, 0);
  EXPECT_FALSE(step[0].levels_are_means);

  std::vector<double> flags;
  for (size_t i = 0; i < 400; ++i) flags.push_back((i < 200 ? i % 10 == 0 : i % 10 < 3) ? 1.0 : 0.0);
  const auto rate = detect_change_points(flags, ShiftSettings{}, 1);
  ASSERT_EQ(rate.size(), 1u);
  EXPECT_EQ(rate[0].before.median, 0);
  EXPECT_DOUBLE_EQ(rate[0].level_before, 0.1);
  EXPECT_DOUBLE_EQ(rate[0].level_after, 0.3);
  EXPECT_TRUE(rate[0].levels_are_means);

  std::vector<double> from_zero = stepped(std::vector<double>(100, 0.0), 40, 5);
  const auto rise = detect_change_points(from_zero, ShiftSettings{}, 1);
  ASSERT_EQ(rise.size(), 1u);
  EXPECT_FALSE(rise[0].relative_change.has_value());
}

TEST(Detector, ARampBecomesStepsThatEachMoveEnough) {
  std::vector<double> ramp = noise(2000, 0, 2, 12);
  for (size_t i = 0; i < ramp.size(); ++i) ramp[i] += 100 + 0.2 * static_cast<double>(i);
  const auto points = detect_change_points(ramp, ShiftSettings{}, 1);
  ASSERT_GE(points.size(), 3u);
  for (const ChangePoint& point : points) {
    EXPECT_GE(*point.relative_change, 0.15);
    EXPECT_GE(point.after.count, 10u);
  }
}

TEST(Detector, SettingsAndSeedDecide) {
  const std::vector<double> values = stepped(noise(400, 100, 5, 13), 200, 12);  // a 12% move
  EXPECT_TRUE(detect_change_points(values, ShiftSettings{}, 1).empty());
  ShiftSettings loose;
  loose.min_change = 0.10;
  const auto found = detect_change_points(values, loose, 1);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].index, detect_change_points(values, loose, 1)[0].index);
  ShiftSettings long_runs;
  long_runs.min_run = 250;
  EXPECT_TRUE(detect_change_points(stepped(noise(400, 100, 5, 14), 200, 40), long_runs, 1).empty());
}

}  // namespace
}  // namespace velquor::shifts
