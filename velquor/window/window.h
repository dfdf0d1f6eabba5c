// Windows: the part of a history a command looks at.
//
// By default every command reads a data directory's whole history. A window
// narrows what is reported, never what is normal: baselines and learned
// patterns still come from every event, and a window only chooses which
// events (and so which of their signals) a report speaks about. Three kinds,
// as the options of the commands name them:
//
//   --since TIME   the events observed at or after TIME: an ISO-8601 date or
//                  date-time, or a span back from the newest event ("30d",
//                  "12w", "6m", "1y": days, weeks, calendar months, years).
//                  A month back from March 31 is the last day of February.
//   --last N       the newest N commits, in the order stage 2 reads the git
//                  events (observed_at, then file name), so the window holds
//                  even when commit times are unreliable. Other events belong
//                  to it when the commit that triggered them does, or, with
//                  no triggering commit, when they were observed at or after
//                  its oldest commit. N beyond the history is the whole of it.
//   --new          the events observed strictly after the period of the
//                  advisory in phase5/advisory.json ended; without such an
//                  advisory, the whole history.
//
// "Observed" is an event's observed_at; an event without one (or with one
// that is no time) has no place in time and is only ever in a --last window
// through its commit or in a whole-history window.
//
// Typical use, as `velquor run`, `report` and `shifts` do it:
//
//   std::optional<Request> request = request_from_options(since, last, is_new);
//   if (request) {
//     Window window = resolve_in(data_dir, *request);
//     if (window.empty()) print(window.empty_notice());
//     for (const Json& signal : signals)
//       if (window.contains(event_ref_of(signal))) ...
//   }
//
// Errors: request_from_options raises OptionError (a usage error whose
// message names the option); reading a data directory raises the system's
// typed errors naming the file and member.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "shared/clock.h"
#include "shared/errors.h"
#include "shared/json.h"

namespace velquor::window {

namespace fs = std::filesystem;

enum class Kind { kSince, kLast, kNew };

// "since", "last", "new": the names advisory.json records.
std::string kind_name(Kind kind);

// What the user asked for, checked but not yet applied to a history.
struct Request {
  Kind kind = Kind::kNew;
  std::string argument;  // "30d", "2024-09-01", "500"; "" for --new
};

// A window option that cannot be used; the message names the option.
class OptionError : public ValueError {
 public:
  using ValueError::ValueError;
};

// The request of the three options (nullopt when none is given). OptionError
// when more than one is given, --since is neither a time nor a span, or
// --last is not a whole number of at least 1.
std::optional<Request> request_from_options(const std::optional<std::string>& since,
                                            const std::optional<std::string>& last, bool new_events);

// The request an earlier advisory was made with (its "window" record), so a
// later run can compare like with like; nullopt when it had none. Errors
// name `where` (the advisory's file).
std::optional<Request> request_of_advisory(const Json& advisory, const std::string& where);

// A time span back from an instant: `count` days, weeks or months.
struct Span {
  enum Unit { kDays, kWeeks, kMonths } unit = kDays;
  int64_t count = 0;
};

// "30d" -> 30 days, "12w", "6m", "1y" (12 months); nullopt for anything else.
std::optional<Span> parse_span(std::string_view text);

// `from` moved back by `span`. Months are calendar months: the day of the
// month is kept, or becomes the month's last day where it has fewer days;
// the time of day is kept. Never earlier than 0001-01-01T00:00:00Z, the
// first instant a time stamp can write.
TimePoint back_from(TimePoint from, const Span& span);

// What a window needs to know of one event.
struct EventStamp {
  std::string event_id;            // event_id, or the file name without ".json"
  std::string observed_text;       // observed_at as written; "" when absent
  std::optional<TimePoint> observed;  // nullopt when absent or not a time
  bool is_commit = false;          // a git event
  std::string commit;              // its own commit, or the one that triggered it
};

// A resolved window: its bounds and the events inside it.
class Window {
 public:
  Kind kind() const { return kind_; }
  const std::string& argument() const { return argument_; }
  // The bounds as time stamps ("2024-09-17T08:00:00Z"); "" when the history
  // has no dated event. A --new window's start is its exclusive boundary.
  const std::string& start() const { return start_; }
  const std::string& end() const { return end_; }

  bool contains(std::string_view event_id) const;
  bool empty() const { return events_.empty(); }
  size_t size() const { return events_.size(); }

  // "Last 30 days (2024-09-17 to 2024-10-17)", "Last 500 commits (...)",
  // "New since 2024-10-17 (...)", "Since 2024-09-01 (...)".
  std::string description() const;
  // The sentence an empty window is reported with: "No new events since
  // 2024-10-17", "No events since 2025-01-01", "No commits in the history".
  std::string empty_notice() const;
  // {"kind", "argument", "start", "end", "description"}; bounds are null
  // when the history has no dated event.
  Json record() const;

 private:
  friend Window resolve(const Request&, const std::vector<EventStamp>&, std::optional<TimePoint>);
  Kind kind_ = Kind::kNew;
  std::string argument_;
  std::string start_;
  std::string end_;
  std::string label_;  // the description without its dates
  std::unordered_set<std::string> events_;
};

// Applies `request` to a history. `previous_end` is the end of the earlier
// advisory's period (--new only; nullopt: there is none). A span counts back
// from the newest observed event; the window ends at its newest event (at
// its start when empty).
Window resolve(const Request& request, const std::vector<EventStamp>& events,
               std::optional<TimePoint> previous_end);

// --- Reading a data directory ---

// The members of an event its stamp comes from (dotted paths, see JsonKeep):
// an event parsed keeping only these stamps as the whole event does.
const JsonKeep& stamp_members();

// The stamp of one event read from `file`; TypeError naming the file when
// the event is no map or its observed_at is neither text nor null.
EventStamp stamp_of(const Json& event, const fs::path& file);

// One stamp per file of `events_dir`, in file-name order, leaving out the
// files in `skipped` (unreadable ones a run chose to pass over).
std::vector<EventStamp> read_event_stamps(const fs::path& events_dir, const std::set<fs::path>& skipped = {});

// The end of the period of the advisory at `advisory_path`; nullopt when the
// file is absent or holds null. ValueError naming the file when the period's
// end is not a time.
std::optional<TimePoint> advisory_period_end(const fs::path& advisory_path);

// resolve() on DIR/events but `skipped`, with DIR/phase5/advisory.json as
// the earlier advisory of --new (or `previous_advisory` when given).
Window resolve_in(const fs::path& data_dir, const Request& request,
                  const std::optional<fs::path>& previous_advisory = std::nullopt,
                  const std::set<fs::path>& skipped = {});

// The same over stamps a host has read already: `stamps()` gives them in
// file-name order (or raises the error reading them would), and is called
// after the earlier advisory is read, so errors come in the same order.
Window resolve_in(const fs::path& data_dir, const Request& request,
                  const std::function<std::vector<EventStamp>()>& stamps,
                  const std::optional<fs::path>& previous_advisory = std::nullopt);

}  // namespace velquor::window
