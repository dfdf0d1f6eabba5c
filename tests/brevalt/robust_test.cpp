// The robust deviation of an observation from its baseline sample.
#include <gtest/gtest.h>

#include "shared/errors.h"
#include "tests/brevalt/test_support.h"

namespace velquor::brevalt {
namespace {

using testing::integers;

TEST(RobustDeviation, ModifiedZscoreOnTheMad) {
  RobustDeviation r = compute_robust_deviation(20, integers({10, 12, 11, 13, 14}));
  EXPECT_EQ(r.unit, DeviationUnit::kModifiedZscore);
  EXPECT_EQ(dump_compact(r.to_json()),
            R"({"measure": 5.396, "unit": "modified_zscore", "median": 12, "mad": 1, "degenerate": false})");
  // Below the median the measure keeps its sign.
  EXPECT_EQ(*compute_robust_deviation(4, integers({10, 12, 11, 13, 14})).measure, -5.396);
}

TEST(RobustDeviation, IqrWhenTheMadIsZero) {
  RobustDeviation r = compute_robust_deviation(3, integers({1, 1, 1, 5}));
  EXPECT_EQ(dump_compact(r.to_json()),
            R"({"measure": 0.675, "unit": "iqr_normalized", "median": 1.0, "mad": 0.0, "degenerate": false})");
}

TEST(RobustDeviation, DegenerateBaselines) {
  RobustDeviation same = compute_robust_deviation(7, integers({7, 7, 7, 7, 7}));
  EXPECT_EQ(dump_compact(same.to_json()),
            R"({"measure": 0.0, "unit": "degenerate", "median": 7, "mad": 0.0, "degenerate": true})");
  RobustDeviation other = compute_robust_deviation(9, integers({7, 7, 7, 7, 7}));
  EXPECT_FALSE(other.measure.has_value());
  EXPECT_TRUE(other.degenerate);
  // One value: MAD and IQR are both zero.
  EXPECT_TRUE(compute_robust_deviation(1, integers({1})).degenerate);
  EXPECT_THROW(compute_robust_deviation(1, {}), ValueError);
}

TEST(RobustDeviation, DegenerateEqualityIsExact) {
  // 2^53 + 1 as an integer median differs from the double 2^53.
  const long long big = (1LL << 53) + 1;
  RobustDeviation r = compute_robust_deviation(0x1p53, integers({big, big, big}));
  EXPECT_FALSE(r.measure.has_value());
}

TEST(RobustDeviation, MeasureRoundsTheExactBinaryValueToSixDecimals) {
  // 0.6745 * 1 / 3 = 0.22483333...
  RobustDeviation r = compute_robust_deviation(1, integers({-3, 0, 0, 3, 9}));
  EXPECT_EQ(*r.measure, 0.224833);
  std::vector<SampleValue> reals{SampleValue::real(0.0), SampleValue::real(1.0), SampleValue::real(2.0)};
  // z prints as 0.0762185 but its double lies below the tie; 0.0789165 above.
  EXPECT_EQ(*compute_robust_deviation(1.113, reals).measure, 0.076218);
  EXPECT_EQ(*compute_robust_deviation(1.117, reals).measure, 0.078917);
}

TEST(RobustDeviation, HelpersKeepKinds) {
  EXPECT_EQ(_median_absolute_deviation(integers({10, 12, 11, 13, 14})).to_json(), Json(1));
  EXPECT_EQ(dump_compact(_iqr(integers({1, 1, 1, 5})).to_json()), "4");
  std::vector<SampleValue> mixed{SampleValue::integer(1), SampleValue::real(2.5), SampleValue::integer(4),
                                 SampleValue::integer(5)};
  EXPECT_EQ(dump_compact(_iqr(mixed).to_json()), "2.5");  // s[3] - s[1]: a real
  mixed.pop_back();
  EXPECT_EQ(dump_compact(_iqr(mixed).to_json()), "3");  // s[2] - s[0]: two integers
}

}  // namespace
}  // namespace velquor::brevalt
