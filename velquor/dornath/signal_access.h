// Reading the members of a signal record that pattern discovery relies on,
// with the defaults and errors every step of the engine shares.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "shared/json.h"
#include "shared/json_access.h"

namespace velquor::dornath {

// The usable deviation of a signal: its measure as a number and its unit.
struct Measure {
  double value = 0.0;
  std::string_view unit;  // points into the signal, or "modified_zscore"
};

// nullopt when the signal's deviation is degenerate or its measure is null;
// a missing measure counts as 0. TypeError when the signal or its
// `deviation` is not a map, or the measure is not a number.
std::optional<Measure> read_measure(const Json& signal, const std::string& where);

// Like read_measure, but a missing measure also gives nullopt (discovery
// keeps only signals that carry a measure). `*degenerate` tells whether the
// signal was dropped for being degenerate.
std::optional<Measure> read_present_measure(const Json& signal, const std::string& where,
                                            bool* degenerate);

// The text member `key` of a signal; MissingMember when absent, TypeError
// when not text.
std::string signal_text(const Json& signal, std::string_view key, const std::string& where);

// The signal's `event_ref` when it is text, else "".
std::string_view event_ref_of(const Json& signal);


}  // namespace velquor::dornath
