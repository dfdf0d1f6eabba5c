// The "velquor.phase4" logger behind set_log_level / set_log_sink.
#pragma once

#include <string>

#include "velquor/dornath/dornath.h"

namespace velquor::dornath {

inline constexpr const char* kLoggerName = "velquor.phase4";

bool log_enabled(LogLevel level);
void log_message(LogLevel level, const std::string& message);

// printf-style formatting of one log line (only when the level is enabled).
std::string format_log(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace velquor::dornath
