#include "shared/clock.h"

#include <cstdio>
#include <cstdlib>

#include "shared/errors.h"

namespace velquor {
namespace {

using namespace std::chrono;

bool read_digits(std::string_view text, size_t& pos, size_t count, int& out) {
  if (pos + count > text.size()) return false;
  int value = 0;
  for (size_t i = 0; i < count; ++i) {
    char c = text[pos + i];
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  pos += count;
  out = value;
  return true;
}

bool read_char(std::string_view text, size_t& pos, char c) {
  if (pos < text.size() && text[pos] == c) { ++pos; return true; }
  return false;
}

// Optional "Z" / "+HH:MM" / "+HH:MM:SS"; the offset in seconds east of UTC.
bool read_offset(std::string_view text, size_t& pos, bool& had_offset, int& seconds) {
  had_offset = false;
  seconds = 0;
  if (pos == text.size()) return true;
  if (read_char(text, pos, 'Z')) { had_offset = true; return true; }
  int sign = text[pos] == '+' ? 1 : text[pos] == '-' ? -1 : 0;
  if (sign == 0) return false;
  ++pos;
  int hh, mm, ss = 0;
  if (!read_digits(text, pos, 2, hh) || !read_char(text, pos, ':') ||
      !read_digits(text, pos, 2, mm))
    return false;
  if (read_char(text, pos, ':') && !read_digits(text, pos, 2, ss)) return false;
  if (hh > 23 || mm > 59 || ss > 59) return false;
  had_offset = true;
  seconds = sign * (hh * 3600 + mm * 60 + ss);
  return true;
}

TimePoint parse_now_variable() {
  const char* text = std::getenv("VELQUOR_NOW");
  auto parsed = parse_iso8601(text);
  if (!parsed) throw ValueError(std::string("VELQUOR_NOW is not an ISO-8601 time: ") + text);
  return parsed->utc;
}

}  // namespace

std::optional<ParsedTime> parse_iso8601(std::string_view text) {
  size_t pos = 0;
  int y = 0, mo = 0, d = 0;
  if (!read_digits(text, pos, 4, y) || !read_char(text, pos, '-') ||
      !read_digits(text, pos, 2, mo) || !read_char(text, pos, '-') ||
      !read_digits(text, pos, 2, d))
    return std::nullopt;
  year_month_day date{year{y}, month{static_cast<unsigned>(mo)}, day{static_cast<unsigned>(d)}};
  if (!date.ok()) return std::nullopt;
  int hh = 0, mi = 0, ss = 0;
  long micros = 0;
  bool had_offset = false;
  int offset = 0;
  if (pos < text.size()) {
    if (text[pos] != 'T' && text[pos] != ' ') return std::nullopt;
    ++pos;
    if (!read_digits(text, pos, 2, hh) || !read_char(text, pos, ':') ||
        !read_digits(text, pos, 2, mi))
      return std::nullopt;
    if (read_char(text, pos, ':')) {
      if (!read_digits(text, pos, 2, ss)) return std::nullopt;
      if (read_char(text, pos, '.')) {
        size_t start = pos;
        while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') ++pos;
        size_t count = pos - start;
        if (count < 1 || count > 6) return std::nullopt;
        micros = std::strtol(std::string(text.substr(start, count)).c_str(), nullptr, 10);
        for (size_t k = count; k < 6; ++k) micros *= 10;
      }
    }
    if (hh > 23 || mi > 59 || ss > 59) return std::nullopt;
    if (!read_offset(text, pos, had_offset, offset)) return std::nullopt;
    if (pos != text.size()) return std::nullopt;
  }
  TimePoint t = time_point_cast<microseconds>(sys_days(date)) + hours(hh) + minutes(mi) +
                seconds(ss) + microseconds(micros) - std::chrono::seconds(offset);
  return ParsedTime{t, had_offset};
}

TimePoint now() {
  if (std::getenv("VELQUOR_NOW")) return parse_now_variable();
  return time_point_cast<microseconds>(system_clock::now());
}

namespace {

// Appends `value` as exactly `width` digits.
void append_digits(std::string& out, long long value, int width) {
  char digits[20];
  for (int i = width - 1; i >= 0; --i, value /= 10) digits[i] = static_cast<char>('0' + value % 10);
  out.append(digits, static_cast<size_t>(width));
}

}  // namespace

// Written digit by digit: stage 3 stamps every record with the live clock,
// and a formatted print per record cost a tenth of its run.
std::string format_naive(TimePoint t) {
  auto day_point = floor<days>(t);
  year_month_day date{day_point};
  int year = static_cast<int>(date.year());
  long long total_us = (t - day_point).count();
  long long secs = total_us / 1000000, us = total_us % 1000000;
  std::string out;
  if (year >= 0 && year <= 9999) {
    append_digits(out, year, 4);
  } else {
    char buf[16];
    out.append(buf, static_cast<size_t>(std::snprintf(buf, sizeof buf, "%04d", year)));
  }
  out += '-';
  append_digits(out, static_cast<unsigned>(date.month()), 2);
  out += '-';
  append_digits(out, static_cast<unsigned>(date.day()), 2);
  out += 'T';
  append_digits(out, secs / 3600, 2);
  out += ':';
  append_digits(out, secs / 60 % 60, 2);
  out += ':';
  append_digits(out, secs % 60, 2);
  if (us != 0) {
    out += '.';
    append_digits(out, us, 6);
  }
  return out;
}

std::string format_timestamp(TimePoint t) { return format_naive(t) + "Z"; }

std::string now_timestamp() {
  // Runs that stamp every record read the clock very often; the text only
  // changes when the time does.
  thread_local TimePoint last{};
  thread_local std::string text;
  TimePoint time = now();
  if (text.empty() || time != last) {
    last = time;
    text = format_timestamp(time);
  }
  return text;
}

}  // namespace velquor
