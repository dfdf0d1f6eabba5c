#include "velquor/dornath/signal_access.h"

#include <cmath>

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

Measure to_measure(const Json& deviation, const Json& value, const std::string& where) {
  Measure m;
  m.value = to_double(value, where + ": member 'deviation.measure'");
  const Json* unit = find_member(deviation, "unit");
  if (!unit) m.unit = "modified_zscore";
  else if (unit->is_string()) m.unit = unit->get_ref<const std::string&>();
  else m.unit = "";  // a non-text unit is no known unit: treated like any other
  return m;
}

}  // namespace

std::optional<Measure> read_measure(const Json& signal, const std::string& where) {
  const Json& deviation = deviation_of(signal, where);
  const Json* degenerate = find_member(deviation, "degenerate");
  if (degenerate && is_truthy(*degenerate)) return std::nullopt;
  const Json* measure = find_member(deviation, "measure");
  static const Json zero = 0;
  if (!measure) measure = &zero;
  if (measure->is_null()) return std::nullopt;
  return to_measure(deviation, *measure, where);
}

std::optional<Measure> read_present_measure(const Json& signal, const std::string& where,
                                            bool* degenerate) {
  const Json& deviation = deviation_of(signal, where);
  const Json* flag = find_member(deviation, "degenerate");
  *degenerate = flag && is_truthy(*flag);
  if (*degenerate) return std::nullopt;
  const Json* measure = find_member(deviation, "measure");
  if (!measure || measure->is_null()) return std::nullopt;
  return to_measure(deviation, *measure, where);
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
