// The one wall clock of the system and the time-stamp text it writes.
//
// Every read of the current time goes through now(). When the environment
// variable VELQUOR_NOW holds an ISO-8601 time, now() returns that instant
// instead, so that whole runs can be reproduced byte for byte. A final "Z" or
// an offset is converted to UTC; a time without offset is taken as UTC;
// invalid text raises ValueError.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace velquor {

using TimePoint =
    std::chrono::time_point<std::chrono::system_clock, std::chrono::microseconds>;

TimePoint now();

// "2025-03-01T09:30:00.250000Z"; the fraction is left out when the
// microseconds are 0 ("2025-03-01T09:30:00Z").
std::string format_timestamp(TimePoint t);

// format_timestamp(now()).
std::string now_timestamp();

// Same layout without the final "Z" ("2025-03-01T09:30:00.250000"): the text
// of a naive UTC date-time.
std::string format_naive(TimePoint t);

// Reads "YYYY-MM-DD", or "YYYY-MM-DD[T ]HH:MM[:SS[.f{1,6}]]" with an optional
// "Z", "+HH:MM" or "+HH:MM:SS" offset. The instant is returned in UTC;
// `had_offset` tells whether the text carried an offset (or "Z").
struct ParsedTime {
  TimePoint utc;
  bool had_offset = false;
  // Offset-less texts: the wall-clock fields as written, read as if UTC.
};
std::optional<ParsedTime> parse_iso8601(std::string_view text);

}  // namespace velquor
