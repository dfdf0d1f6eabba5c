// Robust deviation of an observation from its baseline sample: a modified
// z-score on the MAD, an IQR-scaled distance when the MAD is zero, and a
// degenerate verdict when both are zero.
#include <cmath>

#include "shared/errors.h"
#include "shared/numbers.h"
#include "velquor/brevalt/brevalt.h"
#include "velquor/brevalt/internal.h"

namespace velquor::brevalt {
namespace {

constexpr double kZscoreFactor = 0.6745;
constexpr double kIqrToSigma = 1.35;
constexpr int kMeasureDecimals = 6;

// Scratch vector reused by every signal of a thread.
std::vector<SampleValue>& sorted_scratch() {
  thread_local std::vector<SampleValue> buffer;
  return buffer;
}

}  // namespace

const char* unit_name(DeviationUnit unit) {
  switch (unit) {
    case DeviationUnit::kModifiedZscore: return "modified_zscore";
    case DeviationUnit::kIqrNormalized: return "iqr_normalized";
    default: return "degenerate";
  }
}

SampleValue _median_absolute_deviation(std::span<const SampleValue> values) {
  return median_absolute_deviation(values);
}

SampleValue _iqr(std::span<const SampleValue> values) { return interquartile_range(values); }

RobustDeviation compute_robust_deviation(double observed, std::span<const SampleValue> values) {
  if (values.empty()) throw ValueError("robust deviation of an empty baseline sample");
  std::vector<SampleValue>& sorted = sorted_scratch();
  sorted.assign(values.begin(), values.end());
  sort_by_value(sorted);
  return robust_deviation_of_sorted(observed, sorted, [&] { return values; });
}

RobustDeviation robust_deviation_of_sorted(double observed, std::span<const SampleValue> sorted,
                                           const ArrivalOrder& in_arrival_order) {
  RobustDeviation result;
  result.median = median_of_sorted(sorted);
  const double center = result.median.to_double();
  std::optional<SampleValue> merged = median_absolute_deviation_of_sorted(sorted, result.median);
  SampleValue mad = merged ? *merged : median_absolute_deviation(in_arrival_order(), result.median);
  if (mad.is_positive()) {
    double z = kZscoreFactor * (observed - center) / mad.to_double();
    result.measure = round_half_even(z, kMeasureDecimals);
    result.unit = DeviationUnit::kModifiedZscore;
    result.mad = mad;
    result.degenerate = false;
    return result;
  }
  result.mad = SampleValue::real(0.0);
  SampleValue iqr = interquartile_range_of_sorted(sorted);
  if (iqr.is_positive()) {
    double scale = iqr.to_double() / kIqrToSigma;
    result.measure = round_half_even((observed - center) / scale, kMeasureDecimals);
    result.unit = DeviationUnit::kIqrNormalized;
    result.degenerate = false;
    return result;
  }
  result.unit = DeviationUnit::kDegenerate;
  result.degenerate = true;
  // Exact comparison (an integer median is not rounded); NaN equals nothing.
  if (!std::isnan(observed) && compare(SampleValue::real(observed), result.median) == 0)
    result.measure = 0.0;
  return result;
}

Json RobustDeviation::to_json() const {
  Json out = Json::object();
  out["measure"] = measure ? Json(*measure) : Json(nullptr);
  out["unit"] = unit_name(unit);
  out["median"] = median.to_json();
  out["mad"] = mad.to_json();
  out["degenerate"] = degenerate;
  return out;
}

}  // namespace velquor::brevalt
