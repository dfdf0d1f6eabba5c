#include "velquor/dornath/signal_access.h"

#include "shared/errors.h"
#include "shared/json_access.h"
#include "shared/numbers.h"

namespace velquor::dornath {
namespace {

const Json& empty_map() {
  static const Json empty = Json::object();
  return empty;
}

const Json& deviation_of(const Json& signal, const std::string& where) {
  if (!signal.is_object()) throw TypeError(where + ": expected an object, got " + json_kind(signal));
  const Json* deviation = find_member(signal, "deviation");
  if (!deviation) return empty_map();
  expect_kind(*deviation, "object", "deviation", where);
  return *deviation;
}

}  // namespace

Measure read_deviation(const Json& signal, const std::string& where) {
  const Json& deviation = deviation_of(signal, where);
  const Json* degenerate = find_member(deviation, "degenerate");
  if (degenerate && is_truthy(*degenerate)) return Measure{MeasureState::kDegenerate};
  Measure m;
  const Json* measure = find_member(deviation, "measure");
  if (measure && measure->is_null()) return Measure{MeasureState::kNull};
  if (measure) {
    m.state = MeasureState::kValue;
    m.value = to_double(*measure, where + ": member 'deviation.measure'");
  }
  // Any other unit, a non-text one included, is read like a z-score.
  const Json* unit = find_member(deviation, "unit");
  m.degenerate_unit = unit && unit->is_string() && unit->get_ref<const std::string&>() == "degenerate";
  return m;
}

std::string signal_text(const Json& signal, std::string_view key, const std::string& where) {
  const Json& value = require_member(signal, key, where);
  expect_kind(value, "string", key, where);
  return value.get<std::string>();
}

std::string_view event_ref_of(const Json& signal) {
  const Json* ref = find_member(signal, "event_ref");
  if (ref && ref->is_string()) return ref->get_ref<const std::string&>();
  return {};
}

}  // namespace velquor::dornath
