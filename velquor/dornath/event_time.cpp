// When an event happened, and which time bucket that puts it in. Stage 5 uses
// _extract_event_timestamp too, so both stages date an event alike.

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

// Seconds since the epoch of an offset-less date-time read as local time.
double local_epoch_seconds(TimePoint wall) {
  using namespace std::chrono;
  auto day_point = floor<days>(wall);
  year_month_day date{day_point};
  hh_mm_ss<microseconds> tod{wall - day_point};
  std::tm tm{};
  tm.tm_year = static_cast<int>(date.year()) - 1900;
  tm.tm_mon = static_cast<int>(static_cast<unsigned>(date.month())) - 1;
  tm.tm_mday = static_cast<int>(static_cast<unsigned>(date.day()));
  tm.tm_hour = static_cast<int>(tod.hours().count());
  tm.tm_min = static_cast<int>(tod.minutes().count());
  tm.tm_sec = static_cast<int>(tod.seconds().count());
  tm.tm_isdst = -1;
  std::time_t seconds = std::mktime(&tm);
  return static_cast<double>(seconds) + static_cast<double>(tod.subseconds().count()) / 1e6;
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
