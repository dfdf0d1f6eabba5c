#include "velquor/dornath/log.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace velquor::dornath {
namespace {

// Guarded because the host may change the level from another thread than the
// one running the engine.
std::mutex& log_mutex() {
  static std::mutex m;
  return m;
}
LogLevel g_level = LogLevel::kWarning;
LogSink g_sink;

const char* level_name(LogLevel level) {
  switch (level) {
    case LogLevel::kDebug: return "DEBUG";
    case LogLevel::kInfo: return "INFO";
    default: return "WARNING";
  }
}

void write_to_stderr(LogLevel level, std::string_view logger, std::string_view message) {
  std::fprintf(stderr, "%s:%.*s:%.*s\n", level_name(level), static_cast<int>(logger.size()),
               logger.data(), static_cast<int>(message.size()), message.data());
}

}  // namespace

void set_log_level(LogLevel level) {
  std::lock_guard<std::mutex> lock(log_mutex());
  g_level = level;
}

LogLevel log_level() {
  std::lock_guard<std::mutex> lock(log_mutex());
  return g_level;
}

void set_log_sink(LogSink sink) {
  std::lock_guard<std::mutex> lock(log_mutex());
  g_sink = std::move(sink);
}

bool log_enabled(LogLevel level) { return static_cast<int>(level) >= static_cast<int>(log_level()); }

void log_message(LogLevel level, const std::string& message) {
  LogSink sink;
  {
    std::lock_guard<std::mutex> lock(log_mutex());
    if (static_cast<int>(level) < static_cast<int>(g_level)) return;
    sink = g_sink;
  }
  if (sink) sink(level, kLoggerName, message);
  else write_to_stderr(level, kLoggerName, message);
}

std::string format_log(const char* format, ...) {
  char buf[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(buf, sizeof buf, format, args);
  va_end(args);
  return buf;
}

}  // namespace velquor::dornath
