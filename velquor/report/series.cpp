#include "velquor/report/series.h"

#include <algorithm>
#include <cmath>

namespace velquor::report {
namespace {

// The modified z-score scales the median absolute deviation by this factor.
constexpr double kRobustFactor = 0.6745;

// The `limit` strongest flagged points, and the focus.
std::vector<size_t> strongest(const std::vector<SeriesPoint>& points, std::vector<size_t> flagged,
                              size_t limit, size_t focus) {
  std::stable_sort(flagged.begin(), flagged.end(), [&](size_t a, size_t b) {
    return std::fabs(points[a].measure) > std::fabs(points[b].measure);
  });
  bool has_focus = focus < points.size();
  if (has_focus) std::erase(flagged, focus);
  flagged.resize(std::min(flagged.size(), limit - (has_focus ? 1 : 0)));
  if (has_focus) flagged.push_back(focus);
  std::sort(flagged.begin(), flagged.end());
  return flagged;
}

}  // namespace

double band_spread(double mad) { return kFlagThreshold * mad / kRobustFactor; }

std::vector<size_t> downsample(const std::vector<SeriesPoint>& points, size_t limit, size_t focus) {
  std::vector<size_t> kept, calm;
  for (size_t i = 0; i < points.size(); ++i)
    (points[i].flagged || i == focus ? kept : calm).push_back(i);
  if (points.size() <= limit) {
    kept.insert(kept.end(), calm.begin(), calm.end());
    std::sort(kept.begin(), kept.end());
    return kept;
  }
  if (kept.size() >= limit) return strongest(points, kept, limit, focus);
  // Each bucket of calm points gives at most two: its lowest and highest.
  size_t buckets = std::max<size_t>(1, (limit - kept.size()) / 2);
  for (size_t b = 0; b < buckets; ++b) {
    size_t from = calm.size() * b / buckets, to = calm.size() * (b + 1) / buckets;
    if (from == to) continue;
    auto by_value = [&](size_t x, size_t y) { return points[x].value < points[y].value; };
    auto [low, high] = std::minmax_element(calm.begin() + from, calm.begin() + to, by_value);
    kept.push_back(*low);
    if (*high != *low) kept.push_back(*high);
  }
  std::sort(kept.begin(), kept.end());
  return kept;
}

bool wants_log_scale(const std::vector<SeriesPoint>& points, const std::vector<size_t>& kept) {
  double low = INFINITY, high = 0;
  for (size_t i : kept) {
    double value = points[i].value;
    if (value < 0) return false;
    if (value > 0) {
      low = std::min(low, value);
      high = std::max(high, value);
    }
  }
  return high > 0 && high > 100 * low;
}

}  // namespace velquor::report
