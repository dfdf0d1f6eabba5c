// Reading the window options and counting spans back in time.

#include <algorithm>
#include <charconv>

#include "shared/json_access.h"
#include "velquor/window/window.h"

namespace velquor::window {
namespace {

// Spans stay within the calendar's range of years.
constexpr int64_t kMaxSpanCount = 9999;

std::optional<int64_t> whole_number(std::string_view text) {
  int64_t value = 0;
  const char* end = text.data() + text.size();
  auto [ptr, error] = std::from_chars(text.data(), end, value);
  if (text.empty() || error != std::errc() || ptr != end) return std::nullopt;
  return value;
}

std::optional<Kind> kind_named(std::string_view name) {
  for (Kind kind : {Kind::kSince, Kind::kLast, Kind::kNew})
    if (kind_name(kind) == name) return kind;
  return std::nullopt;
}

}  // namespace

std::string kind_name(Kind kind) {
  switch (kind) {
    case Kind::kSince: return "since";
    case Kind::kLast: return "last";
    case Kind::kNew: return "new";
  }
  return "";
}

std::optional<Span> parse_span(std::string_view text) {
  if (text.size() < 2) return std::nullopt;
  const std::optional<int64_t> count = whole_number(text.substr(0, text.size() - 1));
  if (!count || *count < 1 || *count > kMaxSpanCount) return std::nullopt;
  switch (text.back()) {
    case 'd': return Span{Span::kDays, *count};
    case 'w': return Span{Span::kWeeks, *count};
    case 'm': return Span{Span::kMonths, *count};
    case 'y': return Span{Span::kMonths, *count * 12};
    default: return std::nullopt;
  }
}

TimePoint back_from(TimePoint from, const Span& span) {
  using namespace std::chrono;
  // A long span from a recent event would reach years a time stamp cannot write.
  const TimePoint earliest = TimePoint(sys_days(year(1) / January / 1));
  if (span.unit == Span::kDays) return std::max(from - days(span.count), earliest);
  if (span.unit == Span::kWeeks) return std::max(from - weeks(span.count), earliest);
  const sys_days day = floor<days>(from);
  year_month_day date = year_month_day(day) - months(span.count);
  if (!date.ok()) date = year_month_day_last(date.year(), month_day_last(date.month()));
  return std::max(TimePoint(sys_days(date)) + (from - day), earliest);
}

std::optional<Request> request_from_options(const std::optional<std::string>& since,
                                            const std::optional<std::string>& last, bool new_events) {
  std::vector<std::string> given;
  if (since) given.push_back("--since");
  if (last) given.push_back("--last");
  if (new_events) given.push_back("--new");
  if (given.size() > 1)
    throw OptionError(given[0] + " and " + given[1] + " cannot be given together: choose one window");
  if (since) {
    if (!parse_span(*since) && !parse_iso8601(*since))
      throw OptionError("--since takes an ISO-8601 date or time, or a span back from the newest event "
                        "such as 30d, 12w, 6m or 1y; got '" + *since + "'");
    return Request{Kind::kSince, *since};
  }
  if (last) {
    const std::optional<int64_t> count = whole_number(*last);
    if (!count || *count < 1)
      throw OptionError("--last takes a whole number of commits, at least 1; got '" + *last + "'");
    return Request{Kind::kLast, *last};
  }
  if (new_events) return Request{Kind::kNew, ""};
  return std::nullopt;
}

std::optional<Request> request_of_advisory(const Json& advisory, const std::string& where) {
  const Json* record = find_member(advisory, "window");
  if (record == nullptr || record->is_null()) return std::nullopt;
  const Json& kind = require_member(*record, "kind", where + " window");
  const Json& argument = require_member(*record, "argument", where + " window");
  expect_kind(kind, "string", "kind", where + " window");
  expect_kind(argument, "string", "argument", where + " window");
  const std::optional<Kind> named = kind_named(kind.get<std::string>());
  if (!named) throw ValueError(where + ": window kind '" + kind.get<std::string>() + "' is unknown");
  // The same checks as the options the record was made from.
  const std::string& text = argument.get_ref<const std::string&>();
  try {
    return request_from_options(*named == Kind::kSince ? std::optional(text) : std::nullopt,
                                *named == Kind::kLast ? std::optional(text) : std::nullopt, *named == Kind::kNew);
  } catch (const OptionError& error) {
    throw ValueError(where + ": window argument: " + error.what());
  }
}

}  // namespace velquor::window
