#include <algorithm>

#include "shared/exact_stats.h"
#include "velquor/brevalt/internal.h"

namespace velquor::brevalt {
namespace {

// The message is built only on failure: this runs for every metric value.
SampleValue metric_value(const Json& value, const std::string& where, const std::string& metric) {
  if (value.is_number() || value.is_boolean()) return SampleValue::from_json(value, where);
  return SampleValue::from_json(value, where + ": metric '" + metric + "'");
}

}  // namespace

SignalEmitter::SignalEmitter(int64_t window_size, int64_t min_baseline, std::string engine_id,
                             std::string label)
    : window_size_(window_size),
      min_baseline_(min_baseline),
      engine_id_(std::move(engine_id)),
      label_(std::move(label)) {}

// An event's metrics come in the same order each time, so the metric at
// position `hint` of its map usually has the id `hint`.
uint32_t SignalEmitter::metric_id(const std::string& name, size_t hint) {
  if (hint < metric_names_.size() && metric_names_[hint] == name) return static_cast<uint32_t>(hint);
  for (uint32_t id = 0; id < metric_names_.size(); ++id)
    if (metric_names_[id] == name) return id;
  metric_names_.push_back(name);
  sorted_.emplace_back();
  return static_cast<uint32_t>(metric_names_.size() - 1);
}

void SignalEmitter::emit(const MetricMap& metrics, const std::function<std::string()>& event_ref,
                         const std::string& where, SignalList& out) {
  if (static_cast<int64_t>(window_.size()) < min_baseline_) return;
  std::optional<std::string> ref;
  for (size_t position = 0; position < metrics.size(); ++position) {
    const Metric& metric = metrics[position];
    if (metric.value.is_null()) continue;
    uint32_t id = metric_id(metric.name, position);
    if (static_cast<int64_t>(sorted_[id].values.size()) < min_baseline_) continue;
    if (!ref) ref = event_ref();
    build(id, metric.value, *ref, where, out.emplace_back());
  }
}

void SignalEmitter::build(uint32_t id, const Json& observed,
                          const std::string& event_ref, const std::string& where, Signal& out) {
  const std::string& metric = metric_names_[id];
  double observed_value = metric_value(observed, where, metric).to_double();
  SortedWindow& window = sorted_[id];
  const std::span<const SampleValue> sorted = window.values;
  RobustDeviation robust = robust_deviation_of_sorted(observed_value, sorted,
                                                      [&] { return sample_in_arrival_order(id); });
  out.engine_id = engine_id_;
  out.source_type = label_;
  out.metric = metric;
  out.window_size = window_size_;
  // Exact either way: the order of the sum does not matter.
  std::optional<Moments> running = window.moments.moments(sorted);
  const Moments moments = running ? *running : exact_moments(sorted);
  out.mean = moments.mean;
  out.stddev = moments.pstdev;
  out.median = robust.median;
  out.mad = robust.mad;
  out.observed = observed;
  out.measure = robust.measure.value_or(0.0);
  out.unit = robust.unit;
  out.degenerate = robust.degenerate;
  out.sample_count = static_cast<int64_t>(sorted.size());
  out.sufficient = out.sample_count >= window_size_;
  out.event_ref = event_ref;
}

std::span<const SampleValue> SignalEmitter::sample_in_arrival_order(uint32_t id) {
  sample_.clear();
  for (const Entry& entry : window_)
    for (const auto& [entry_id, value] : entry.values)
      if (entry_id == id) sample_.push_back(value);
  return sample_;
}

void SignalEmitter::push(const MetricMap& metrics, const std::string& where) {
  Entry entry;
  entry.seq = next_seq_++;
  entry.values.reserve(metrics.size());
  for (size_t position = 0; position < metrics.size(); ++position) {
    const Metric& metric = metrics[position];
    if (metric.value.is_null()) continue;
    uint32_t id = metric_id(metric.name, position);
    entry.values.emplace_back(id, metric_value(metric.value, where, metric.name));
    insert_sorted(id, entry.values.back().second, entry.seq);
  }
  window_.push_back(std::move(entry));
  if (static_cast<int64_t>(window_.size()) > window_size_) {
    for (const auto& [id, value] : window_.front().values) erase_sorted(id, value, window_.front().seq);
    window_.pop_front();
  }
}

size_t SignalEmitter::SortedWindow::position(const SampleValue& value, uint64_t seq) const {
  size_t low = 0, high = values.size();
  while (low < high) {
    const size_t middle = (low + high) / 2;
    const int order = compare(values[middle], value);
    if (order < 0 || (order == 0 && seqs[middle] < seq)) low = middle + 1;
    else high = middle;
  }
  return low;
}

void SignalEmitter::insert_sorted(uint32_t id, const SampleValue& value, uint64_t seq) {
  SortedWindow& window = sorted_[id];
  const size_t at = window.position(value, seq);
  window.values.insert(window.values.begin() + static_cast<ptrdiff_t>(at), value);
  window.seqs.insert(window.seqs.begin() + static_cast<ptrdiff_t>(at), seq);
  window.moments.add(value);
}

void SignalEmitter::erase_sorted(uint32_t id, const SampleValue& value, uint64_t seq) {
  SortedWindow& window = sorted_[id];
  const size_t at = window.position(value, seq);
  window.values.erase(window.values.begin() + static_cast<ptrdiff_t>(at));
  window.seqs.erase(window.seqs.begin() + static_cast<ptrdiff_t>(at));
  window.moments.remove(value);
}

}  // namespace velquor::brevalt
