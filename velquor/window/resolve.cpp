// Applying a window request to a history: which events are in, and the
// bounds and words a report gives it.

#include <algorithm>

#include "velquor/window/window.h"

namespace velquor::window {
namespace {

std::string date_of(const std::string& stamp) { return stamp.substr(0, 10); }

// The latest (or earliest) observation among `events`; nullopt when none is dated.
std::optional<TimePoint> observed_extreme(const std::vector<const EventStamp*>& events, bool newest) {
  std::optional<TimePoint> found;
  for (const EventStamp* event : events)
    if (event->observed && (!found || (newest ? *event->observed > *found : *event->observed < *found)))
      found = event->observed;
  return found;
}

// The events observed at or after `start` (strictly after when `exclusive`).
std::vector<const EventStamp*> observed_from(const std::vector<EventStamp>& events, TimePoint start,
                                             bool exclusive) {
  std::vector<const EventStamp*> in;
  for (const EventStamp& event : events)
    if (event.observed && (exclusive ? *event.observed > start : *event.observed >= start)) in.push_back(&event);
  return in;
}

std::vector<const EventStamp*> every(const std::vector<EventStamp>& events) {
  std::vector<const EventStamp*> in;
  for (const EventStamp& event : events) in.push_back(&event);
  return in;
}

// The commits in stage 2's order: by observed_at text, ties in file order.
std::vector<const EventStamp*> commits_in_order(const std::vector<EventStamp>& events) {
  std::vector<const EventStamp*> commits;
  for (const EventStamp& event : events)
    if (event.is_commit) commits.push_back(&event);
  std::stable_sort(commits.begin(), commits.end(), [](const EventStamp* a, const EventStamp* b) {
    return a->observed_text < b->observed_text;
  });
  return commits;
}

// The newest `count` commits, the events they triggered, and the events
// without a commit observed from the oldest of them on.
std::vector<const EventStamp*> last_commits(const std::vector<EventStamp>& events,
                                            std::vector<const EventStamp*> commits, size_t count,
                                            std::optional<TimePoint>& start) {
  commits.erase(commits.begin(), commits.end() - static_cast<std::ptrdiff_t>(count));
  start = observed_extreme(commits, false);
  std::unordered_set<std::string> shas;
  for (const EventStamp* commit : commits) shas.insert(commit->commit);
  std::vector<const EventStamp*> in = commits;
  for (const EventStamp& event : events) {
    if (event.is_commit) continue;
    const bool triggered = !event.commit.empty() && shas.count(event.commit) > 0;
    const bool after_start_without_commit = event.commit.empty() && start && event.observed && *event.observed >= *start;
    if (triggered || after_start_without_commit) in.push_back(&event);
  }
  return in;
}

std::string plural(int64_t count, const std::string& unit) {
  return std::to_string(count) + " " + unit + (count == 1 ? "" : "s");
}

std::string span_label(const std::string& argument) {
  const Span span = *parse_span(argument);
  if (argument.back() == 'y') return "Last " + plural(span.count / 12, "year");
  const char* unit = span.unit == Span::kDays ? "day" : span.unit == Span::kWeeks ? "week" : "month";
  return "Last " + plural(span.count, unit);
}

// What one kind of window selects, before it becomes a Window.
struct Selection {
  std::vector<const EventStamp*> in;
  std::optional<TimePoint> start;
  std::string label;
};

Selection whole_history(const std::vector<EventStamp>& events, std::string label) {
  Selection selection{every(events), std::nullopt, std::move(label)};
  selection.start = observed_extreme(selection.in, false);
  return selection;
}

Selection select_since(const std::vector<EventStamp>& events, const std::string& argument) {
  Selection selection;
  if (const std::optional<Span> span = parse_span(argument)) {
    selection.label = span_label(argument);
    if (const std::optional<TimePoint> newest = observed_extreme(every(events), true)) selection.start = back_from(*newest, *span);
  } else {
    selection.start = parse_iso8601(argument)->utc;
    selection.label = "Since " + date_of(format_timestamp(*selection.start));
  }
  if (selection.start) selection.in = observed_from(events, *selection.start, false);
  return selection;
}

Selection select_new(const std::vector<EventStamp>& events, std::optional<TimePoint> previous_end) {
  if (!previous_end) return whole_history(events, "Whole history (no earlier advisory)");
  return Selection{observed_from(events, *previous_end, true), previous_end,
                   "New since " + date_of(format_timestamp(*previous_end))};
}

Selection select_last(const std::vector<EventStamp>& events, const std::string& argument) {
  const std::vector<const EventStamp*> commits = commits_in_order(events);
  const size_t count = std::stoull(argument);
  if (commits.empty()) return Selection{{}, std::nullopt, "Last " + plural(static_cast<int64_t>(count), "commit")};
  if (count >= commits.size())
    return whole_history(events, "All " + plural(static_cast<int64_t>(commits.size()), "commit"));
  Selection selection;
  selection.in = last_commits(events, commits, count, selection.start);
  selection.label = "Last " + plural(static_cast<int64_t>(count), "commit");
  return selection;
}

}  // namespace

bool Window::contains(std::string_view event_id) const {
  return events_.count(std::string(event_id)) > 0;
}

std::string Window::description() const {
  if (start_.empty()) return label_;
  return label_ + " (" + date_of(start_) + " to " + date_of(end_) + ")";
}

std::string Window::empty_notice() const {
  if (kind_ == Kind::kLast) return "No commits in the history";
  if (start_.empty()) return "No events in the history";
  return std::string(kind_ == Kind::kNew ? "No new events since " : "No events since ") + date_of(start_);
}

Json Window::record() const {
  auto bound = [](const std::string& stamp) { return stamp.empty() ? Json() : Json(stamp); };
  return Json{{"kind", kind_name(kind_)},
              {"argument", argument_},
              {"start", bound(start_)},
              {"end", bound(end_)},
              {"description", description()}};
}

Window resolve(const Request& request, const std::vector<EventStamp>& events,
               std::optional<TimePoint> previous_end) {
  const Selection selection = request.kind == Kind::kSince ? select_since(events, request.argument)
                              : request.kind == Kind::kNew ? select_new(events, previous_end)
                                                           : select_last(events, request.argument);
  Window window;
  window.kind_ = request.kind;
  window.argument_ = request.argument;
  window.label_ = selection.label;
  for (const EventStamp* event : selection.in) window.events_.insert(event->event_id);
  const std::optional<TimePoint> newest_in = observed_extreme(selection.in, true);
  if (selection.start) window.start_ = format_timestamp(*selection.start);
  window.end_ = newest_in ? format_timestamp(*newest_in) : window.start_;
  return window;
}

}  // namespace velquor::window
