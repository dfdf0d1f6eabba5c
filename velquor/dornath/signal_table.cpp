#include "velquor/dornath/signal_table.h"

#include <algorithm>
#include <functional>

#include "shared/errors.h"
#include "velquor/dornath/dornath.h"

namespace velquor::dornath {

namespace {

constexpr uint64_t kIdBits = 0xFFFFFFFF;

// The hash half a slot keeps; it holds every bit of the hash a slot index
// takes while the table has at most 2^32 slots, as 32-bit ids imply.
uint64_t hash_tag(uint64_t hash) { return hash << 32; }

}  // namespace

size_t TextIds::slot_of(std::string_view text, uint64_t hash) const {
  const size_t mask = slots_.size() - 1;
  const uint64_t tag = hash_tag(hash);
  for (size_t slot = hash & mask;; slot = (slot + 1) & mask) {
    const uint64_t held = slots_[slot];
    if (held == 0 || ((held & ~kIdBits) == tag && texts_[(held & kIdBits) - 1] == text)) return slot;
  }
}

// Keeps the table at most half full, so that probes stay short.
void TextIds::grow() {
  std::vector<uint64_t> held = std::move(slots_);
  slots_.assign(std::max<size_t>(64, held.size() * 2), 0);
  const size_t mask = slots_.size() - 1;
  for (uint64_t entry : held) {
    if (entry == 0) continue;
    size_t slot = (entry >> 32) & mask;
    while (slots_[slot] != 0) slot = (slot + 1) & mask;
    slots_[slot] = entry;
  }
}

std::optional<uint32_t> TextIds::find(std::string_view text) const {
  if (slots_.empty()) return std::nullopt;
  const uint64_t held = slots_[slot_of(text, std::hash<std::string_view>{}(text))];
  if (held == 0) return std::nullopt;
  return static_cast<uint32_t>((held & kIdBits) - 1);
}

uint32_t TextIds::intern(std::string_view text) {
  uint32_t& recent = recent_[text.size() % kRecent];
  if (recent != 0 && texts_[recent - 1] == text) return recent - 1;
  if (2 * (texts_.size() + 1) > slots_.size()) grow();
  const uint64_t hash = std::hash<std::string_view>{}(text);
  const size_t slot = slot_of(text, hash);
  if (slots_[slot] == 0) {
    texts_.emplace_back(text);
    slots_[slot] = hash_tag(hash) | texts_.size();
  }
  recent = static_cast<uint32_t>(slots_[slot] & kIdBits);
  return recent - 1;
}

SignalTable::SignalTable() { refs.intern(""); }

SignalTable SignalTable::from_json(const Json& signals) {
  if (!signals.is_array()) throw TypeError("signals: expected an array, got " + json_kind(signals));
  SignalTable table;
  for (const Json& signal : signals) table.add_record(signal);
  return table;
}

void SignalTable::add_record(const Json& signal) {
  const std::string where = "signals[" + std::to_string(rows_.size()) + "]";
  SignalRow row;
  RowErrors errors;
  errors.row = rows_.size();
  row.event_ref = refs.intern(event_ref_of(signal));
  try {
    row.measure = read_deviation(signal, where);
  } catch (const Error&) {
    errors.measure = std::current_exception();
  }
  auto name_id = [&](std::string_view key, uint32_t& id, std::exception_ptr& error) {
    if (errors.measure) return;  // no map: the measure's error comes first
    try {
      id = names.intern(signal_text(signal, key, where));
    } catch (const Error&) {
      error = std::current_exception();
    }
  };
  name_id("engine_id", row.family, errors.family);
  name_id("metric", row.metric, errors.metric);
  if (errors.measure || errors.family || errors.metric) {
    errors_.push_back(std::move(errors));
    row.errors = static_cast<uint32_t>(errors_.size());
  }
  rows_.push_back(row);
}

void SignalTable::truncate(size_t size) {
  rows_.resize(size);
  while (!errors_.empty() && errors_.back().row >= size) errors_.pop_back();
}

const Measure& SignalTable::measure(size_t i) const {
  if (const RowErrors* e = errors_of(i); e && e->measure) std::rethrow_exception(e->measure);
  return rows_[i].measure;
}

uint32_t SignalTable::family(size_t i) const {
  if (const RowErrors* e = errors_of(i); e && e->family) std::rethrow_exception(e->family);
  return rows_[i].family;
}

uint32_t SignalTable::metric(size_t i) const {
  if (const RowErrors* e = errors_of(i); e && e->metric) std::rethrow_exception(e->metric);
  return rows_[i].metric;
}

std::string_view direction_of(const Measure& measure, double threshold) {
  return classify_direction(measure.value, threshold,
                            measure.degenerate_unit ? "degenerate" : "modified_zscore");
}

}  // namespace velquor::dornath
