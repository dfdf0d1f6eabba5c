// Number texts and rounding, with the exact semantics the output formats need.
//
// Rounding is half-to-even on the exact binary value of the double: 2.675 is
// stored as 2.67499999..., so it rounds to 2.67 at two decimals.
#pragma once

#include <string>

#include "shared/json.h"

namespace velquor {

// The double nearest to the n-decimal number nearest to `value` (ties to
// even on the exact binary value). Non-finite values are returned unchanged.
double round_half_even(double value, int decimals);

// `value` with exactly `decimals` digits after the point, rounded as above
// ("%.2f"). Non-finite values give "inf", "-inf", "nan".
std::string format_fixed(double value, int decimals);

// General format with `digits` significant digits ("%.4g" style, trailing
// zeros removed): 1234.5 -> "1234", 12345.0 -> "1.234e+04", 0.0001 -> "0.0001",
// 1e-05 -> "1e-05". Non-finite values give "inf", "-inf", "nan".
std::string format_general(double value, int digits = 4);

// The plain text of a value as a sentence shows it: integers as digits,
// reals in shortest round-trip form (float_repr), strings as they are,
// booleans as "True" / "False", null as "None"; lists and maps in the
// bracketed display form (['a', 1], {'k': 2.0}).
std::string plain_text(const Json& value);

// A JSON number converted to double; TypeError naming `what` otherwise
// (booleans count as 0 and 1).
double to_double(const Json& value, const std::string& what);

}  // namespace velquor
