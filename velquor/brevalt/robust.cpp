// Robust deviation of an observation from its baseline sample: a modified
// z-score on the MAD, an IQR-scaled distance when the MAD is zero, and a
// degenerate verdict when both are zero.
#include <cmath>

#include "shared/errors.h"
#include "shared/numbers.h"
#include "velquor/brevalt/brevalt.h"

namespace velquor::brevalt {
namespace {

constexpr double kZscoreFactor = 0.6745;
constexpr double kIqrToSigma = 1.35;
constexpr int kMeasureDecimals = 6;

SampleValue absolute(const SampleValue& v) {
  if (!v.is_integer()) return SampleValue::real(std::fabs(v.real_value()));
  return SampleValue::integer(v.integer_value() < 0 ? -v.integer_value() : v.integer_value());
}

// Scratch vectors reused by every signal of a thread.
std::vector<SampleValue>& scratch(int which) {
  thread_local std::vector<SampleValue> buffers[2];
  return buffers[which];
}

SampleValue mad_around(std::span<const SampleValue> values, const SampleValue& center) {
  // Deviations in the sample's own order: among equal deviations of both
  // kinds, the stable sort keeps that order.
  std::vector<SampleValue>& deviations = scratch(1);
  deviations.clear();
  for (const SampleValue& v : values) deviations.push_back(absolute(subtract(v, center)));
  sort_by_value(deviations);
  return median_of_sorted(deviations);
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
  std::vector<SampleValue>& sorted = scratch(0);
  sorted.assign(values.begin(), values.end());
  sort_by_value(sorted);

  RobustDeviation result;
  result.median = median_of_sorted(sorted);
  const double center = result.median.to_double();
  SampleValue mad = mad_around(values, result.median);
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
