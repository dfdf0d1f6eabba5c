#include "velquor/dornath/statistics.h"

#include <cmath>

#include "shared/errors.h"
#include "velquor/dornath/dornath.h"
#include "velquor/dornath/log.h"

namespace velquor::dornath {

double mean_of(const std::vector<double>& xs) {
  double sum = 0.0;
  for (double x : xs) sum += x;
  return sum / static_cast<double>(xs.size());
}

double population_stddev(const std::vector<double>& xs, double mean) {
  double sum = 0.0;
  for (double x : xs) sum += (x - mean) * (x - mean);
  return std::sqrt(sum / static_cast<double>(xs.size()));
}

double Dornath::_pearson(const std::vector<double>& xs, const std::vector<double>& ys) {
  size_t n = xs.size();
  if (ys.size() != n) throw ValueError("_pearson: the two series differ in length");
  if (n < 2) return 0.0;
  double mx = mean_of(xs), my = mean_of(ys);
  double sx = population_stddev(xs, mx), sy = population_stddev(ys, my);
  if (sx == 0 || sy == 0) {
    if (log_enabled(LogLevel::kDebug))
      log_message(LogLevel::kDebug,
                  format_log("Pearson returned 0.0: constant series (sx=%.4f, sy=%.4f, n=%zu)", sx,
                             sy, n));
    return 0.0;
  }
  double cov = 0.0;
  for (size_t i = 0; i < n; ++i) cov += (xs[i] - mx) * (ys[i] - my);
  cov /= static_cast<double>(n);
  return cov / (sx * sy);
}

std::string_view Dornath::_predominant_direction(const std::vector<const AlignedEntry*>& entries,
                                                 double threshold) {
  int increased = 0, decreased = 0;
  for (const AlignedEntry* entry : entries) {
    std::string_view direction = classify_direction(entry->deviation, threshold);
    if (direction == kIncreased) ++increased;
    else if (direction == kDecreased) ++decreased;
  }
  if (increased > decreased) return kIncreased;
  if (increased < decreased) return kDecreased;
  return kUnchanged;
}

}  // namespace velquor::dornath
