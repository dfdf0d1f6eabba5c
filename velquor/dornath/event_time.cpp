// When an event happened, and which time bucket that puts it in. Stage 5 uses
// _extract_event_timestamp too, so both stages date an event alike.

#include <algorithm>
#include <cmath>
#include <ctime>

#include "shared/clock.h"
#include "shared/errors.h"
#include "shared/json_access.h"
#include "velquor/dornath/dornath.h"
#include "velquor/dornath/signal_access.h"

namespace velquor::dornath {
namespace {

const Json& empty_map() {
  static const Json empty = Json::object();
  return empty;
}

// A nested map member; absent counts as empty, anything else but a map
// (null included) is a type error.
const Json& map_member(const Json& object, std::string_view key, const std::string& where) {
  const Json* value = find_member(object, key);
  if (!value) return empty_map();
  expect_kind(*value, "object", key, where);
  return *value;
}

// The first of two members that is set (non-empty), or nullptr.
const Json* first_set(const Json& object, std::string_view a, std::string_view b) {
  for (std::string_view key : {a, b}) {
    const Json* value = find_member(object, key);
    if (value && is_truthy(*value)) return value;
  }
  return nullptr;
}

const Json* source_time(const Json& ev, const Json& payload, const std::string& where) {
  const Json* type = find_member(ev, "source_type");
  if (!type || !type->is_string()) return nullptr;
  const std::string& source_type = type->get_ref<const std::string&>();
  if (source_type == "git") return first_set(payload, "committed_at", "authored_at");
  if (source_type == "github_actions")
    return first_set(map_member(payload, "timing", where + " payload"), "created_at", "started_at");
  if (source_type == "github_releases")
    return first_set(map_member(payload, "timing", where + " payload"), "initiated_at",
                     "completed_at");
  return nullptr;
}

std::string time_text(const Json& value, const char* member, const std::string& where) {
  if (value.is_null()) return "";
  expect_kind(value, "string", member, where);
  return value.get<std::string>();
}

// The local wall-clock reading at the instant `utc` (seconds since the epoch),
// itself counted as seconds since the epoch as if that reading were UTC.
long long local_reading(long long utc) {
  using namespace std::chrono;
  std::time_t t = static_cast<std::time_t>(utc);
  std::tm tm{};
  if (!localtime_r(&t, &tm)) throw ValueError("time stamp out of range for local time conversion");
  year_month_day date{year{tm.tm_year + 1900}, month{static_cast<unsigned>(tm.tm_mon + 1)},
                      day{static_cast<unsigned>(tm.tm_mday)}};
  return static_cast<long long>(sys_days(date).time_since_epoch().count()) * 86400 +
         tm.tm_hour * 3600LL + tm.tm_min * 60LL + tm.tm_sec;
}

// Seconds since the epoch of an offset-less date-time read as local time.
// Readings that occur twice (clocks turned back) take the earlier instant;
// readings skipped by a clock turned forward are read with the offset in force
// before the change. mktime leaves both cases to the C library (glibc picks by
// its own tm_isdst guess), so the solution is searched explicitly.
double local_epoch_seconds(TimePoint wall) {
  using namespace std::chrono;
  const long long t = floor<seconds>(wall).time_since_epoch().count();
  const long long micros = (wall - floor<seconds>(wall)).count();
  constexpr long long kMaxFold = 24 * 3600;
  const long long a = local_reading(t) - t;
  const long long u1 = t - a;
  const long long t1 = local_reading(u1);
  long long b;
  if (t1 == t) {
    const long long earlier = u1 - kMaxFold;
    b = local_reading(earlier) - earlier;
    if (a == b) return static_cast<double>(u1) + static_cast<double>(micros) / 1e6;
  } else {
    b = t1 - u1;
  }
  const long long u2 = t - b;
  long long chosen;
  if (local_reading(u2) == t) chosen = u2;
  else if (t1 == t) chosen = u1;
  else chosen = std::max(u1, u2);  // inside a gap
  return static_cast<double>(chosen) + static_cast<double>(micros) / 1e6;
}

}  // namespace

std::string Dornath::_extract_event_timestamp(const Json& ev) {
  const std::string where = "event";
  if (!ev.is_object()) throw TypeError(where + ": expected an object, got " + json_kind(ev));
  const Json& payload = map_member(ev, "payload", where);
  if (const Json* chosen = source_time(ev, payload, where))
    return time_text(*chosen, "payload time", where);
  const Json* observed = find_member(ev, "observed_at");
  return observed ? time_text(*observed, "observed_at", where) : "";
}

std::optional<int64_t> Dornath::_time_bucket(std::string_view iso_ts, int64_t window_hours) {
  if (window_hours == 0) throw ValueError("temporal_window_hours: a time bucket needs a width above 0");
  std::string text;
  text.reserve(iso_ts.size() + 8);
  for (char c : iso_ts) {
    if (c == 'Z') text += "+00:00";
    else text += c;
  }
  // Calendar years start at 1: a year 0000 is no date.
  if (text.compare(0, 4, "0000") == 0) return std::nullopt;
  std::optional<ParsedTime> parsed = parse_iso8601(text);
  if (!parsed) return std::nullopt;
  double seconds;
  if (parsed->had_offset) {
    seconds = static_cast<double>(parsed->utc.time_since_epoch().count()) / 1e6;
  } else {
    seconds = local_epoch_seconds(parsed->utc);
  }
  double epoch_hours = seconds / 3600;
  return static_cast<int64_t>(std::floor(epoch_hours / static_cast<double>(window_hours)));
}

}  // namespace velquor::dornath
