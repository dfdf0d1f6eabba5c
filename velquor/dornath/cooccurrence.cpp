// Co-occurrence discovery: pairs of metrics of different families whose
// deviations move together on shared commits, or else on shared time buckets.

#include <algorithm>
#include <cmath>
#include <future>
#include <set>

#include "shared/clock.h"
#include "shared/errors.h"
#include "shared/numbers.h"
#include "shared/two_threads.h"
#include "velquor/dornath/commit_ids.h"
#include "velquor/dornath/dornath.h"
#include "velquor/dornath/log.h"
#include "velquor/dornath/params.h"
#include "velquor/dornath/signal_table.h"

namespace velquor::dornath {
namespace {

struct MetricKey {
  std::string family;
  std::string metric;
  uint64_t id;  // family name id above metric name id: equal ids, equal keys
};

// One observation of a metric: its slot (commit rank or bucket number).
struct Slotted {
  int64_t slot;
  AlignedEntry entry;
};

// The observations of one metric: collected in signal order, then settled
// to one per slot, in slot order, for merging.
struct Series {
  MetricKey key;
  std::vector<Slotted> observed;
  // Once settled, the slots of `observed` and whether each deviates, kept
  // apart: most pairs are rejected on counts that need nothing else, and
  // these dense columns make that merge cheap.
  std::vector<int64_t> slots;
  std::vector<uint8_t> deviating;
};

// Sorts `observed` by slot and leaves one observation per slot: of those on
// one slot, taken in the order observed, each replaces the one held when
// `replaces(held, next)`.
template <typename Replaces>
void settle(std::vector<Slotted>& observed, Replaces replaces) {
  auto by_slot = [](const Slotted& a, const Slotted& b) { return a.slot < b.slot; };
  // Time buckets mostly come in order already.
  if (!std::is_sorted(observed.begin(), observed.end(), by_slot))
    std::stable_sort(observed.begin(), observed.end(), by_slot);
  size_t kept = 0;
  for (const Slotted& next : observed) {
    if (kept > 0 && observed[kept - 1].slot == next.slot) {
      if (replaces(observed[kept - 1].entry, next.entry)) observed[kept - 1] = next;
    } else {
      observed[kept++] = next;
    }
  }
  observed.resize(kept);
}

bool deviates(const AlignedEntry* e) { return e->direction != kUnchanged; }

// Metric key -> Series, keys in order of first appearance.
class Alignment {
 public:
  Series& series_for(const SignalTable& signals, uint32_t family, uint32_t metric) {
    const uint64_t id = uint64_t{family} << 32 | metric;
    auto [it, added] = index_.try_emplace(id, series_.size());
    if (added)
      series_.push_back(Series{{signals.names.text(family), signals.names.text(metric), id}, {}, {}, {}});
    return series_[it->second];
  }

  // Settles every series (see settle) and returns those with at least
  // `min_support` slots, in key order.
  template <typename Replaces>
  std::vector<const Series*> active(double min_support, Replaces replaces) {
    std::vector<const Series*> result;
    for (Series& s : series_) {
      settle(s.observed, replaces);
      if (static_cast<double>(s.observed.size()) < min_support) continue;
      for (const Slotted& o : s.observed) {
        s.slots.push_back(o.slot);
        s.deviating.push_back(deviates(&o.entry));
      }
      result.push_back(&s);
    }
    return result;
  }

 private:
  std::vector<Series> series_;
  std::unordered_map<uint64_t, size_t> index_;
};

struct Settings {
  double direction_threshold;
  double min_support;
  double min_correlation;
  double min_lift;
  double confidence_full_at;
  Json window;  // temporal_window_hours as given (its text is shown)
};

Settings read_settings(const Json& params) {
  Settings s;
  s.direction_threshold = required_param(params, "direction_threshold");
  s.min_support = required_param(params, "min_support");
  s.min_correlation = required_param(params, "min_correlation");
  s.min_lift = param_or(params, "min_lift", 1.5);
  s.confidence_full_at = param_or(params, "confidence_full_at", 30);
  s.window = param_value_or(params, "temporal_window_hours", 24);
  return s;
}

int64_t window_hours(const Json& window) {
  double hours = to_double(window, "params: member 'temporal_window_hours'");
  if (!std::isfinite(hours)) throw ValueError("params: member 'temporal_window_hours' is not finite");
  return static_cast<int64_t>(hours);  // a fractional width is truncated
}

double confidence_weight(size_t size1, size_t size2, double full_at) {
  if (full_at == 0) throw ValueError("params: member 'confidence_full_at' must not be 0");
  return std::min(1.0, static_cast<double>(std::min(size1, size2)) / full_at);
}

// What a pair of series shares, and how they deviate on it.
struct PairStatistics {
  std::vector<std::pair<const AlignedEntry*, const AlignedEntry*>> shared;
  size_t co_deviations = 0;
  double r = 0, weight = 0, effective = 0;
  std::optional<double> lift;  // set when admitted by lift
};

// Calls `take(entry of a, entry of b)` for every slot both series have, in
// slot order.
template <typename Take>
void for_each_shared(const Series& a, const Series& b, Take take) {
  auto i = a.observed.begin(), j = b.observed.begin();
  while (i != a.observed.end() && j != b.observed.end()) {
    if (i->slot < j->slot) ++i;
    else if (j->slot < i->slot) ++j;
    else take((i++)->entry, (j++)->entry);
  }
}

// The admission test; nullopt when the pair is not admitted.
std::optional<PairStatistics> admit_pair(const Series& a, const Series& b, const Settings& s) {
  // Most pairs fail on their counts: those are counted without collecting.
  size_t shared = 0, co_deviations = 0;
  for (size_t i = 0, j = 0; i < a.slots.size() && j < b.slots.size();) {
    if (a.slots[i] < b.slots[j]) {
      ++i;
    } else if (b.slots[j] < a.slots[i]) {
      ++j;
    } else {
      ++shared;
      co_deviations += a.deviating[i++] & b.deviating[j++];
    }
  }
  double n = static_cast<double>(shared);
  if (n < s.min_support || static_cast<double>(co_deviations) < s.min_support) return std::nullopt;
  PairStatistics p;
  p.co_deviations = co_deviations;
  p.shared.reserve(shared);
  for_each_shared(a, b,
                  [&](const AlignedEntry& e1, const AlignedEntry& e2) { p.shared.emplace_back(&e1, &e2); });
  std::vector<double> d1, d2;
  d1.reserve(p.shared.size());
  d2.reserve(p.shared.size());
  for (const auto& [e1, e2] : p.shared) {
    d1.push_back(e1->deviation);
    d2.push_back(e2->deviation);
  }
  p.r = Dornath::_pearson(d1, d2);
  p.weight = confidence_weight(a.observed.size(), b.observed.size(), s.confidence_full_at);
  p.effective = p.r * p.weight;
  if (std::fabs(p.effective) >= s.min_correlation) return p;
  size_t deviating1 = 0, deviating2 = 0;
  for (const auto& [e1, e2] : p.shared) {
    deviating1 += deviates(e1);
    deviating2 += deviates(e2);
  }
  double expected = (static_cast<double>(deviating1) / n) * (static_cast<double>(deviating2) / n);
  double observed = static_cast<double>(p.co_deviations) / n;
  double lift = expected > 0 ? observed / expected : 0.0;
  if (lift < s.min_lift) return std::nullopt;
  p.lift = lift;
  return p;
}

std::string describe_pair(const MetricKey& k1, const MetricKey& k2, const PairStatistics& p,
                          bool temporal, const Settings& s) {
  std::string text = "Signals " + k1.family + "." + k1.metric + " and " + k2.family + "." +
                     k2.metric;
  std::string counts = std::to_string(p.co_deviations) +
                       (temporal ? " temporally-aligned observations (of "
                                 : " commit-aligned observations (of ") +
                       std::to_string(p.shared.size()) +
                       (temporal ? " shared " + plain_text(s.window) + "h windows"
                                 : std::string(" shared commits"));
  if (!p.lift)
    return text + " co-occur with correlation " + format_fixed(p.effective, 2) + " across " +
           counts + ").";
  return text + " co-deviate " + format_fixed(*p.lift, 1) +
         "x more than expected by chance across " + counts + ", lift=" + format_fixed(*p.lift, 2) +
         ").";
}

Json sorted_pair(const std::string& a, const std::string& b) {
  return a <= b ? Json::array({a, b}) : Json::array({b, a});
}

Json candidate_record(const Series& a, const Series& b, const PairStatistics& p, bool temporal,
                      const Settings& s) {
  std::vector<const AlignedEntry*> side1, side2;
  for (const auto& [e1, e2] : p.shared) {
    side1.push_back(e1);
    side2.push_back(e2);
  }
  std::vector<Component> components = {
      {a.key.family, a.key.metric,
       std::string(Dornath::_predominant_direction(side1, s.direction_threshold))},
      {b.key.family, b.key.metric,
       std::string(Dornath::_predominant_direction(side2, s.direction_threshold))}};
  Json refs = Json::array();
  size_t first = std::min<size_t>(10, p.shared.size());
  for (size_t i = 0; i < first; ++i) refs.push_back(p.shared[i].first->event_ref);
  for (size_t i = 0; i < first; ++i) refs.push_back(p.shared[i].second->event_ref);

  Json record = Json::object();
  record["fingerprint"] = compute_fingerprint(components);
  record["scope"] = "local";
  record["discovery_method"] = "statistical";
  record["alignment"] = temporal ? "temporal" : "commit_sha";
  record["pattern_type"] = "co_occurrence";
  record["sources"] = sorted_pair(a.key.family, b.key.family);
  record["metrics"] = sorted_pair(a.key.metric, b.key.metric);
  record["description_statistical"] = describe_pair(a.key, b.key, p, temporal, s);
  record["correlation_strength"] = round_half_even(p.effective, 4);
  record["raw_correlation"] = round_half_even(p.r, 4);
  record["confidence_weight"] = round_half_even(p.weight, 4);
  record["lift"] = p.lift ? Json(round_half_even(*p.lift, 4)) : Json(nullptr);
  record["accepted_via"] = p.lift ? "lift" : "correlation";
  record["occurrence_count"] = static_cast<int64_t>(p.co_deviations);
  record["signal_refs"] = std::move(refs);
  record["first_seen"] = now_timestamp();
  record["last_seen"] = now_timestamp();
  record["confidence_tier"] = "statistical";
  record["confidence_status"] = "emerging";
  return record;
}

// One value per unordered pair of metric keys.
using PairId = std::pair<uint64_t, uint64_t>;
PairId pair_id(const MetricKey& k1, const MetricKey& k2) {
  return k1.id < k2.id ? PairId{k1.id, k2.id} : PairId{k2.id, k1.id};
}

// Both alignment maps of one call.
struct Alignments {
  Alignment by_commit;
  Alignment by_bucket;
};

// The bucket of every event reference, computed once per reference rather
// than once per signal.
class BucketOfRef {
 public:
  BucketOfRef(const SignalTable& signals, const EventScan& events, const Json& window)
      : time_of_(values_by_ref(events, kEventTime, signals.refs)), window_(window),
        cache_(signals.refs.size()) {}
  std::optional<int64_t> operator()(uint32_t ref) {
    Cached& cached = cache_[ref];
    if (cached.known) return cached.bucket;
    if (!time_of_[ref]) return std::nullopt;
    if (hours_ == 0) hours_ = window_hours(window_);
    // Known only once worked out: a reference whose bucket raised raises
    // again when looked up.
    cached.bucket = Dornath::_time_bucket(*time_of_[ref], hours_);
    cached.known = true;
    return cached.bucket;
  }

  // Works out the buckets of every reference ahead of their lookups, up to
  // the first that raises; that one and those after it are left to their
  // lookups.
  void work_out_ahead() {
    try {
      for (uint32_t ref = 0; ref < cache_.size(); ++ref) (*this)(ref);
    } catch (...) {
    }
  }

 private:
  struct Cached {
    bool known = false;
    std::optional<int64_t> bucket;
  };
  std::vector<const std::string*> time_of_;  // per reference id
  const Json& window_;
  int64_t hours_ = 0;  // read at the first time stamp (0 is no width)
  std::vector<Cached> cache_;
};

// Places every signal with a measure on its commit and its time bucket.
void align_signals(const SignalTable& signals, const Settings& settings, const RefCommits& commits,
                   BucketOfRef& bucket_of, Alignments& out) {
  size_t skipped = 0;
  for (size_t i = 0; i < signals.size(); ++i) {
    const Measure& measure = signals.measure(i);
    if (measure.state == MeasureState::kDegenerate) ++skipped;
    if (measure.state != MeasureState::kValue) continue;
    const uint32_t ref = signals.event_ref(i);
    AlignedEntry entry{signals.refs.text(ref), direction_of(measure, settings.direction_threshold),
                       measure.value};
    const uint32_t family = signals.family(i);
    const uint32_t metric = signals.metric(i);

    if (int64_t commit = commits.of_ref[ref]; commit >= 0)
      out.by_commit.series_for(signals, family, metric).observed.push_back({commit, entry});
    if (std::optional<int64_t> bucket = bucket_of(ref))
      out.by_bucket.series_for(signals, family, metric).observed.push_back({*bucket, entry});
  }
  if (skipped > 0 && log_enabled(LogLevel::kInfo))
    log_message(LogLevel::kInfo,
                format_log("Co-occurrence: skipped %zu degenerate signals (of %zu total)", skipped,
                           signals.size()));
}

// Every admitted pair of `active` series of different families, in pair
// order, except those `skip` names; returns the ids of the pairs found.
// The admission tests, each on its own pair, are shared out over two
// threads; the candidates are made in pair order, and an error is the one
// the first failing pair raised.
template <typename Skip>
std::vector<PairId> pair_pass(const std::vector<const Series*>& active, const Settings& settings,
                              bool temporal, Skip skip, Json& candidates) {
  std::vector<std::pair<const Series*, const Series*>> pairs;
  for (size_t i = 0; i < active.size(); ++i)
    for (size_t j = i + 1; j < active.size(); ++j)
      if (active[i]->key.family != active[j]->key.family && !skip(*active[i], *active[j]))
        pairs.emplace_back(active[i], active[j]);
  struct Admission {
    std::optional<PairStatistics> statistics;
    std::exception_ptr error;
  };
  std::vector<Admission> admitted(pairs.size());
  const size_t failed = work_on_two_threads(pairs.size(), [&](size_t k) {
    try {
      admitted[k].statistics = admit_pair(*pairs[k].first, *pairs[k].second, settings);
      return true;
    } catch (...) {
      admitted[k].error = std::current_exception();
      return false;
    }
  });
  std::vector<PairId> found;
  for (size_t k = 0; k < failed; ++k) {
    if (!admitted[k].statistics) continue;
    const Series &a = *pairs[k].first, &b = *pairs[k].second;
    candidates.push_back(candidate_record(a, b, *admitted[k].statistics, temporal, settings));
    found.push_back(pair_id(a.key, b.key));
  }
  if (failed < pairs.size()) std::rethrow_exception(admitted[failed].error);
  return found;
}

}  // namespace

Json Dornath::_discover_cooccurrences(const Json& signals) {
  const SignalTable table = SignalTable::from_json(signals);
  return discover_cooccurrences(table, commits_of(table));
}

Json Dornath::discover_cooccurrences(const SignalTable& signals, SharedRefCommits shared_commits) {
  const Settings settings = read_settings(params);
  // The commits are worked out on a second thread (unless presence
  // discovery is at it already) while the time buckets are here; an error
  // of the buckets counts only after the commits have none.
  std::future<void> commits_known = std::async(std::launch::async, [shared_commits] { shared_commits.wait(); });
  std::optional<BucketOfRef> bucket_of;
  std::exception_ptr bucket_error;
  try {
    bucket_of.emplace(signals, events_scan(), settings.window);
    bucket_of->work_out_ahead();
  } catch (...) {
    bucket_error = std::current_exception();
  }
  commits_known.get();
  const RefCommits& commits = *shared_commits.get();
  if (bucket_error) std::rethrow_exception(bucket_error);
  Alignments aligned;
  align_signals(signals, settings, commits, *bucket_of, aligned);

  Json candidates = Json::array();
  // A later signal replaces an earlier one on a commit, while a bucket keeps
  // the largest absolute deviation (the earliest on ties).
  auto later = [](const AlignedEntry&, const AlignedEntry&) { return true; };
  auto larger = [](const AlignedEntry& held, const AlignedEntry& next) {
    return std::fabs(next.deviation) > std::fabs(held.deviation);
  };
  auto on_commits = aligned.by_commit.active(settings.min_support, later);
  std::vector<PairId> found = pair_pass(
      on_commits, settings, false, [](const Series&, const Series&) { return false; }, candidates);

  // Pairs already found on commits are not reported again on time buckets.
  const std::set<PairId> discovered(found.begin(), found.end());
  auto on_buckets = aligned.by_bucket.active(settings.min_support, larger);
  size_t temporal_found =
      pair_pass(on_buckets, settings, true,
                [&](const Series& a, const Series& b) { return discovered.count(pair_id(a.key, b.key)) > 0; },
                candidates)
          .size();
  if (temporal_found > 0 && log_enabled(LogLevel::kInfo))
    log_message(LogLevel::kInfo,
                format_log("Temporal alignment discovered %zu additional candidate patterns",
                           temporal_found));
  return candidates;
}

}  // namespace velquor::dornath
