// Exact comparison of JSON numbers of mixed kinds.
//
// Converting a 64-bit integer to double can round (2^53 + 1 becomes 2^53), so
// an integer compared with a real through double may look equal to a value
// it differs from. long double with a 64-bit (or wider) significand holds
// every 64-bit integer and every double exactly, so comparisons between
// exact_value results are exact.
#pragma once

#include <limits>
#include <string>

#include "shared/json.h"

namespace velquor {

static_assert(std::numeric_limits<long double>::digits >= 64,
              "exact_value needs a long double that holds every 64-bit integer");

// The exact value of a JSON number (booleans count as 0 and 1); TypeError
// naming `what` for any other kind.
long double exact_value(const Json& value, const std::string& what);

}  // namespace velquor
