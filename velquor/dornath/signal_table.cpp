#include "velquor/dornath/signal_table.h"

#include "shared/errors.h"
#include "velquor/dornath/dornath.h"

namespace velquor::dornath {

uint32_t TextIds::intern(std::string_view text) {
  Recent& recent = recent_[text.size() % kRecent];
  if (recent.text.data() && recent.text == text) return recent.id;
  auto found = ids_.find(text);
  if (found == ids_.end()) {
    const uint32_t id = static_cast<uint32_t>(texts_.size());
    found = ids_.emplace(texts_.emplace_back(text), id).first;
  }
  recent = {found->first, found->second};
  return found->second;
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
