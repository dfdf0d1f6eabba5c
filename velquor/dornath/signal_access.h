// Reading the members of a signal record that pattern discovery relies on,
// with the defaults and errors every step of the engine shares.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "shared/json.h"
#include "shared/json_access.h"

namespace velquor::dornath {

// What a signal's deviation says. A missing measure counts as 0 for the
// batch fingerprint, while discovery keeps only signals that carry one.
enum class MeasureState : uint8_t { kValue, kAbsent, kNull, kDegenerate };

struct Measure {
  MeasureState state = MeasureState::kAbsent;
  double value = 0.0;            // 0 unless kValue
  bool degenerate_unit = false;  // unit "degenerate": never deviates
};

// The signal's deviation: degenerate when `deviation.degenerate` is set,
// else its measure. TypeError when the signal or its `deviation` is not a
// map, or the measure is not a number.
Measure read_deviation(const Json& signal, const std::string& where);

// The text member `key` of a signal; MissingMember when absent, TypeError
// when not text.
std::string signal_text(const Json& signal, std::string_view key, const std::string& where);

// The signal's `event_ref` when it is text, else "".
std::string_view event_ref_of(const Json& signal);

}  // namespace velquor::dornath
