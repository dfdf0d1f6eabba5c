// Change points of one series: E-divisive means on mid-ranks, a permutation
// test per split, then pruning of the splits whose levels barely differ.

#include <algorithm>
#include <cmath>
#include <numeric>

#include "shared/splitmix.h"
#include "velquor/shifts/shifts.h"

namespace velquor::shifts {
namespace {

// The permutations only need to be fixed by the seed.
class SplitMix : public SplitMix64 {
 public:
  using SplitMix64::SplitMix64;
  // Uniform in [0, bound), by multiplication (the bias is far below 2^-32).
  size_t below(size_t bound) {
    return static_cast<size_t>((static_cast<unsigned __int128>(next()) * bound) >> 64);
  }
};

// Mid-ranks: equal values share the mean of the ranks they occupy.
std::vector<double> mid_ranks(std::span<const double> values) {
  std::vector<size_t> order(values.size());
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return values[a] < values[b]; });
  std::vector<double> ranks(values.size());
  for (size_t start = 0; start < order.size();) {
    size_t end = start;
    while (end < order.size() && values[order[end]] == values[order[start]]) ++end;
    double rank = (start + end + 1) / 2.0;  // mean of ranks start+1 .. end
    for (size_t i = start; i < end; ++i) ranks[order[i]] = rank;
    start = end;
  }
  return ranks;
}

// Scores splits of a segment whose ranks have been centred on their mean:
// with D the running sum of the first t centred ranks, q(t) = D^2 m / (t (m - t)),
// which equals t (m - t) / m * (mean before - mean after)^2.
class SplitScorer {
 public:
  SplitScorer(size_t length, size_t min_run) : min_run_(min_run), weights_(length, 0.0) {
    const double m = static_cast<double>(length);
    for (size_t t = min_run; t + min_run <= length; ++t)
      weights_[t] = m / (static_cast<double>(t) * (m - static_cast<double>(t)));
  }

  // The best split point and its score.
  std::pair<size_t, double> best(std::span<const double> centred) const {
    double running = 0, best_score = -1;
    size_t best_at = min_run_;
    const size_t last = centred.size() - min_run_;
    for (size_t t = 0; t < last; ++t) {
      running += centred[t];
      if (t + 1 < min_run_) continue;
      const double score = running * running * weights_[t + 1];
      if (score > best_score) {
        best_score = score;
        best_at = t + 1;
      }
    }
    return {best_at, best_score};
  }

  // Whether some split scores at least `threshold`: best().second >=
  // threshold, but a permutation that gets there stops early.
  bool reaches(std::span<const double> centred, double threshold) const {
    double running = 0;
    const size_t last = centred.size() - min_run_;
    for (size_t t = 0; t < last; ++t) {
      running += centred[t];
      if (t + 1 >= min_run_ && running * running * weights_[t + 1] >= threshold) return true;
    }
    return false;
  }

 private:
  size_t min_run_;
  std::vector<double> weights_;
};

struct Split {
  size_t index;
  double significance;
};

// Binary segmentation of [lo, hi): keeps each split that beats all
// permutations of its segment and searches both halves again.
class Segmenter {
 public:
  Segmenter(std::span<const double> ranks, const ShiftSettings& settings, uint64_t seed)
      : ranks_(ranks), settings_(settings), random_(seed) {}

  std::vector<Split> run() {
    std::vector<std::pair<size_t, size_t>> pending = {{0, ranks_.size()}};
    while (!pending.empty()) {
      auto [lo, hi] = pending.back();
      pending.pop_back();
      if (hi - lo < 2 * settings_.min_run) continue;
      std::optional<size_t> at = significant_split(lo, hi);
      if (!at) continue;
      pending.push_back({lo, *at});
      pending.push_back({*at, hi});
    }
    std::sort(splits_.begin(), splits_.end(), [](const Split& a, const Split& b) { return a.index < b.index; });
    return splits_;
  }

 private:
  std::optional<size_t> significant_split(size_t lo, size_t hi) {
    centred_.assign(ranks_.begin() + lo, ranks_.begin() + hi);
    const double mean = std::accumulate(centred_.begin(), centred_.end(), 0.0) / centred_.size();
    for (double& rank : centred_) rank -= mean;
    SplitScorer scorer(centred_.size(), settings_.min_run);
    auto [at, observed] = scorer.best(centred_);
    if (observed <= 0) return std::nullopt;  // all ranks equal
    // The observed score must beat every permutation: stop at the first
    // that reaches it. A tiny tolerance keeps rounding from deciding ties.
    const double threshold = observed * (1 - 1e-12);
    for (size_t round = 0; round < settings_.permutations; ++round) {
      for (size_t i = centred_.size() - 1; i > 0; --i) std::swap(centred_[i], centred_[random_.below(i + 1)]);
      if (scorer.reaches(centred_, threshold)) return std::nullopt;
    }
    splits_.push_back({lo + at, 1.0 / static_cast<double>(settings_.permutations + 1)});
    return lo + at;
  }

  std::span<const double> ranks_;
  const ShiftSettings& settings_;
  SplitMix random_;
  std::vector<double> centred_;
  std::vector<Split> splits_;
};

double median_of(std::vector<double>& values) {
  const size_t half = values.size() / 2;
  std::nth_element(values.begin(), values.begin() + half, values.end());
  double upper = values[half];
  if (values.size() % 2) return upper;
  return (*std::max_element(values.begin(), values.begin() + half) + upper) / 2;
}

LevelSummary summarise(std::span<const double> values) {
  std::vector<double> scratch(values.begin(), values.end());
  LevelSummary summary;
  summary.count = values.size();
  summary.mean = std::accumulate(values.begin(), values.end(), 0.0) / values.size();
  summary.median = median_of(scratch);
  for (size_t i = 0; i < values.size(); ++i) scratch[i] = std::fabs(values[i] - summary.median);
  summary.mad = median_of(scratch);
  return summary;
}

// Fills the levels and relative change of a split between two summaries.
ChangePoint compare(size_t index, const LevelSummary& before, const LevelSummary& after, double significance) {
  ChangePoint point{index, before, after, before.median, after.median, false, std::nullopt, significance};
  if (before.median == 0 && after.median == 0) {
    point.level_before = before.mean;
    point.level_after = after.mean;
    point.levels_are_means = true;
  }
  if (point.level_before != 0)
    point.relative_change = (point.level_after - point.level_before) / std::fabs(point.level_before);
  else if (point.level_after == 0)
    point.relative_change = 0.0;
  return point;
}

bool moves_enough(const ChangePoint& point, double min_change) {
  return !point.relative_change || std::fabs(*point.relative_change) >= min_change;
}

// Drops, smallest move first, the splits whose neighbouring levels differ by
// less than min_change, merging the segments around each.
std::vector<ChangePoint> prune(std::span<const double> values, const std::vector<Split>& splits,
                               double min_change) {
  std::vector<size_t> bounds = {0};
  for (const Split& split : splits) bounds.push_back(split.index);
  bounds.push_back(values.size());
  std::vector<LevelSummary> segments;
  for (size_t i = 0; i + 1 < bounds.size(); ++i)
    segments.push_back(summarise(values.subspan(bounds[i], bounds[i + 1] - bounds[i])));
  std::vector<Split> kept = splits;
  for (;;) {
    std::vector<ChangePoint> points;
    for (size_t i = 0; i < kept.size(); ++i)
      points.push_back(compare(kept[i].index, segments[i], segments[i + 1], kept[i].significance));
    size_t weakest = points.size();
    for (size_t i = 0; i < points.size(); ++i)
      if (!moves_enough(points[i], min_change) &&
          (weakest == points.size() ||
           std::fabs(*points[i].relative_change) < std::fabs(*points[weakest].relative_change)))
        weakest = i;
    if (weakest == points.size()) return points;
    const size_t start = weakest == 0 ? 0 : kept[weakest - 1].index;
    const size_t end = weakest + 1 < kept.size() ? kept[weakest + 1].index : values.size();
    segments[weakest] = summarise(values.subspan(start, end - start));
    segments.erase(segments.begin() + static_cast<std::ptrdiff_t>(weakest) + 1);
    kept.erase(kept.begin() + static_cast<std::ptrdiff_t>(weakest));
  }
}

}  // namespace

std::vector<ChangePoint> detect_change_points(std::span<const double> values,
                                              const ShiftSettings& settings, uint64_t seed) {
  const size_t min_run = std::max<size_t>(settings.min_run, 1);
  if (values.size() < 2 * min_run) return {};
  if (std::all_of(values.begin(), values.end(), [&](double v) { return v == values[0]; })) return {};
  ShiftSettings effective = settings;
  effective.min_run = min_run;
  const std::vector<double> ranks = mid_ranks(values);
  return prune(values, Segmenter(ranks, effective, seed).run(), settings.min_change);
}

}  // namespace velquor::shifts
