#include <gtest/gtest.h>

#include <algorithm>

#include "velquor/report/series.h"

namespace velquor::report {
namespace {

std::vector<SeriesPoint> calm_series(size_t count, const std::vector<size_t>& flagged_at) {
  std::vector<SeriesPoint> points(count);
  for (size_t i = 0; i < count; ++i) {
    points[i].value = 10 + static_cast<double>(i % 7);
    points[i].median = 12;
  }
  for (size_t i : flagged_at) {
    points[i].flagged = true;
    points[i].measure = 2 + static_cast<double>(i % 50);
    points[i].value = 100;
  }
  return points;
}

TEST(Downsample, KeepsFlaggedAndFocusWithinTheLimit) {
  struct Case {
    const char* name;
    size_t count, limit, focus;
    std::vector<size_t> flagged;
    size_t expected_size;  // 0: exactly the limit is not promised, only "at most"
  };
  std::vector<size_t> many;
  for (size_t i = 0; i < 300; ++i) many.push_back(i * 7);
  const Case cases[] = {
      {"short series kept whole", 500, 2000, SIZE_MAX, {3, 400}, 500},
      {"long calm series thinned", 50000, 2000, SIZE_MAX, {}, 0},
      {"flagged kept in a long series", 50000, 2000, 123, {5, 777, 49999}, 0},
      {"more flagged than the limit", 3000, 100, 21, many, 100},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto points = calm_series(c.count, c.flagged);
    auto kept = downsample(points, c.limit, c.focus);
    EXPECT_LE(kept.size(), c.limit);
    if (c.expected_size) {
      EXPECT_EQ(kept.size(), c.expected_size);
    }
    EXPECT_TRUE(std::is_sorted(kept.begin(), kept.end()));
    EXPECT_EQ(std::adjacent_find(kept.begin(), kept.end()), kept.end());
    auto has = [&](size_t i) { return std::binary_search(kept.begin(), kept.end(), i); };
    if (c.focus < c.count) {
      EXPECT_TRUE(has(c.focus));
    }
    size_t kept_flags = std::count_if(kept.begin(), kept.end(), [&](size_t i) { return points[i].flagged; });
    if (c.flagged.size() < c.limit) EXPECT_EQ(kept_flags, c.flagged.size());
    else EXPECT_EQ(kept_flags, c.limit);  // the focus is one of the flagged
  }
}

TEST(Downsample, OverflowKeepsTheStrongestFlags) {
  std::vector<SeriesPoint> points(10);
  for (size_t i = 0; i < 10; ++i) {
    points[i].flagged = true;
    points[i].measure = (i % 2 ? -1.0 : 1.0) * static_cast<double>(i);
  }
  EXPECT_EQ(downsample(points, 3), (std::vector<size_t>{7, 8, 9}));
  EXPECT_EQ(downsample(points, 3, 0), (std::vector<size_t>{0, 8, 9}));
}

TEST(Downsample, ThinningKeepsTheExtremesOfCalmStretches) {
  auto points = calm_series(10000, {});
  points[4321].value = 55;  // a spike that is not flagged (a wide baseline)
  points[8765].value = -3;
  auto kept = downsample(points, 200);
  EXPECT_TRUE(std::binary_search(kept.begin(), kept.end(), 4321));
  EXPECT_TRUE(std::binary_search(kept.begin(), kept.end(), 8765));
}

TEST(LogScale, ChosenWhenPositiveValuesSpanMoreThanTwoDecades) {
  struct Case {
    std::vector<double> values;
    bool log;
  };
  const Case cases[] = {
      {{1, 50, 100}, false},      // exactly two decades
      {{1, 50, 100.5}, true},
      {{0, 0, 2, 500}, true},     // zeros sit on the floor
      {{-1, 2, 5000}, false},     // a negative value rules it out
      {{0, 0, 0}, false},
      {{3e-5, 0.2}, true},
  };
  for (const Case& c : cases) {
    std::vector<SeriesPoint> points;
    std::vector<size_t> kept;
    for (double v : c.values) {
      kept.push_back(points.size());
      points.push_back(SeriesPoint{.value = v});
    }
    EXPECT_EQ(wants_log_scale(points, kept), c.log) << ::testing::PrintToString(c.values);
  }
}

TEST(Band, IsTheFlagThresholdInRobustDeviations) {
  // A value at the band's edge has a modified z-score of exactly 1.5.
  double mad = 4, edge = band_spread(mad);
  EXPECT_NEAR(0.6745 * edge / mad, kFlagThreshold, 1e-12);
  EXPECT_EQ(band_spread(0), 0);
}

}  // namespace
}  // namespace velquor::report
