// Window arithmetic: spans, option checks, which events a window holds and
// how it is described; and the reading of a data directory.

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <fstream>

#include "shared/file_io.h"
#include "velquor/window/plain_stamp.h"
#include "velquor/window/window.h"

namespace velquor::window {
namespace {

TimePoint at(const std::string& text) { return parse_iso8601(text)->utc; }

TEST(Window, SpansCountBackByCalendar) {
  struct Case {
    const char* span;
    const char* from;
    const char* expected;  // "" when the span does not parse
  };
  const Case cases[] = {
      {"30d", "2024-10-17T08:00:00Z", "2024-09-17T08:00:00Z"},
      {"1d", "2024-03-01T00:30:00Z", "2024-02-29T00:30:00Z"},
      {"12w", "2024-10-17T08:00:00Z", "2024-07-25T08:00:00Z"},
      {"1m", "2024-03-31T10:00:00Z", "2024-02-29T10:00:00Z"},  // leap February's last day
      {"1m", "2023-03-31T10:00:00Z", "2023-02-28T10:00:00Z"},
      {"6m", "2024-08-31T23:59:59Z", "2024-02-29T23:59:59Z"},
      {"1m", "2024-05-31T00:00:00Z", "2024-04-30T00:00:00Z"},
      {"13m", "2024-01-15T12:00:00Z", "2022-12-15T12:00:00Z"},  // across a year
      {"1y", "2024-02-29T06:00:00Z", "2023-02-28T06:00:00Z"},
      // Spans reaching before the first year stop at its first instant.
      {"9999y", "2024-03-15T12:00:00Z", "0001-01-01T00:00:00Z"},
      {"9999w", "0150-06-01T00:00:00Z", "0001-01-01T00:00:00Z"},
      {"9999d", "0010-06-01T00:00:00Z", "0001-01-01T00:00:00Z"},
      {"2024y", "2024-03-15T12:00:00Z", "0001-01-01T00:00:00Z"},
      {"2023y", "2024-03-15T12:00:00Z", "0001-03-15T12:00:00Z"},
      {"0d", "", ""}, {"d", "", ""}, {"30", "", ""}, {"-3d", "", ""}, {"3h", "", ""}, {"10000d", "", ""},
  };
  for (const Case& c : cases) {
    const std::optional<Span> span = parse_span(c.span);
    ASSERT_EQ(span.has_value(), *c.expected != '\0') << c.span;
    if (span) {
      EXPECT_EQ(format_timestamp(back_from(at(c.from), *span)), c.expected) << c.span << " from " << c.from;
    }
  }
}

TEST(Window, OptionsAreCheckedAndNamed) {
  struct Case {
    std::optional<std::string> since, last;
    bool is_new;
    const char* error;  // a word the message holds; "" when accepted
    Kind kind;
  };
  const Case cases[] = {
      {"30d", {}, false, "", Kind::kSince},
      {"2024-09-01", {}, false, "", Kind::kSince},
      {"2024-09-01T10:00:00+02:00", {}, false, "", Kind::kSince},
      {{}, "500", false, "", Kind::kLast},
      {{}, {}, true, "", Kind::kNew},
      {"yesterday", {}, false, "--since", Kind::kSince},
      {"2024-13-01", {}, false, "--since", Kind::kSince},
      {"", {}, false, "--since", Kind::kSince},
      {{}, "0", false, "--last", Kind::kLast},
      {{}, "-4", false, "--last", Kind::kLast},
      {{}, "5x", false, "--last", Kind::kLast},
      {{}, "99999999999999999999", false, "--last", Kind::kLast},
      {"30d", "5", false, "--since and --last", Kind::kSince},
      {{}, "5", true, "--last and --new", Kind::kLast},
      {"30d", {}, true, "--since and --new", Kind::kSince},
  };
  for (const Case& c : cases) {
    const std::string label = c.since.value_or("-") + " " + c.last.value_or("-");
    if (*c.error == '\0') {
      const std::optional<Request> request = request_from_options(c.since, c.last, c.is_new);
      ASSERT_TRUE(request) << label;
      EXPECT_EQ(request->kind, c.kind) << label;
      continue;
    }
    try {
      request_from_options(c.since, c.last, c.is_new);
      ADD_FAILURE() << label << " was accepted";
    } catch (const OptionError& error) {
      EXPECT_NE(std::string(error.what()).find(c.error), std::string::npos) << error.what();
    }
  }
  EXPECT_FALSE(request_from_options({}, {}, false));
}

EventStamp commit(const std::string& id, const std::string& observed, const std::string& sha) {
  return EventStamp{id, observed, parse_iso8601(observed) ? std::optional(at(observed)) : std::nullopt, true, sha};
}

EventStamp other(const std::string& id, const std::string& observed, const std::string& trigger = "") {
  EventStamp stamp = commit(id, observed, trigger);
  stamp.is_commit = false;
  return stamp;
}

// Four commits (c2 committed before c1, as rebased histories do), their CI
// runs, an error event without a commit and an undated CI run.
std::vector<EventStamp> history() {
  return {commit("c1", "2024-09-10T10:00:00Z", "a1"), commit("c2", "2024-09-01T10:00:00Z", "a2"),
          commit("c3", "2024-10-01T10:00:00Z", "a3"), commit("c4", "2024-10-17T08:00:00Z", "a4"),
          other("ci1", "2024-09-10T10:05:00Z", "a1"), other("ci3", "2024-10-01T10:05:00Z", "a3"),
          other("ci4", "2024-10-17T08:05:00Z", "a4"), other("err", "2024-10-05T00:00:00Z"),
          other("undated", "", "a4")};
}

TEST(Window, ResolvesEachKindOverAHistory) {
  struct Case {
    Request request;
    const char* previous_end;  // nullptr: no earlier advisory
    const char* members;  // the events inside, in history() order
    const char* description;
    const char* empty_notice;
  };
  const Case cases[] = {
      {{Kind::kSince, "30d"}, {}, "c3 c4 ci3 ci4 err", "Last 30 days (2024-09-17 to 2024-10-17)", ""},
      {{Kind::kSince, "1d"}, {}, "c4 ci4", "Last 1 day (2024-10-16 to 2024-10-17)", ""},
      {{Kind::kSince, "2024-10-01T10:00:00Z"}, {}, "c3 c4 ci3 ci4 err", "Since 2024-10-01 (2024-10-01 to 2024-10-17)", ""},
      {{Kind::kSince, "2025-01-01"}, {}, "", "Since 2025-01-01 (2025-01-01 to 2025-01-01)", "No events since 2025-01-01"},
      // The newest two commits in observed order are c3 and c4; the error
      // event has no commit and comes after c3, the undated run is c4's.
      {{Kind::kLast, "2"}, {}, "c3 c4 ci3 ci4 err undated", "Last 2 commits (2024-10-01 to 2024-10-17)", ""},
      // c1 is newer than c2 by time although its file comes first.
      {{Kind::kLast, "3"}, {}, "c1 c3 c4 ci1 ci3 ci4 err undated", "Last 3 commits (2024-09-10 to 2024-10-17)", ""},
      {{Kind::kLast, "500"}, {}, "c1 c2 c3 c4 ci1 ci3 ci4 err undated", "All 4 commits (2024-09-01 to 2024-10-17)", ""},
      // The boundary itself is old news: strictly after it.
      {{Kind::kNew, ""}, "2024-10-01T10:05:00Z", "c4 ci4 err", "New since 2024-10-01 (2024-10-01 to 2024-10-17)", ""},
      {{Kind::kNew, ""}, "2024-10-17T08:05:00Z", "", "New since 2024-10-17 (2024-10-17 to 2024-10-17)",
       "No new events since 2024-10-17"},
      {{Kind::kNew, ""}, {}, "c1 c2 c3 c4 ci1 ci3 ci4 err undated",
       "Whole history (no earlier advisory) (2024-09-01 to 2024-10-17)", ""},
  };
  const std::vector<EventStamp> events = history();
  for (const Case& c : cases) {
    const std::string label = kind_name(c.request.kind) + " " + c.request.argument;
    const Window window =
        resolve(c.request, events, c.previous_end ? std::optional(at(c.previous_end)) : std::nullopt);
    std::string members;
    for (const EventStamp& event : events)
      if (window.contains(event.event_id)) members += (members.empty() ? "" : " ") + event.event_id;
    EXPECT_EQ(members, c.members) << label;
    EXPECT_EQ(window.description(), c.description) << label;
    EXPECT_EQ(window.empty(), *c.empty_notice != '\0') << label;
    if (window.empty()) {
      EXPECT_EQ(window.empty_notice(), c.empty_notice) << label;
    }
  }
}

TEST(Window, HistoriesWithoutCommitsOrTimes) {
  const std::vector<EventStamp> no_commits = {other("ci1", "2024-09-10T10:05:00Z", "a1")};
  const Window last = resolve({Kind::kLast, "5"}, no_commits, std::nullopt);
  EXPECT_TRUE(last.empty());
  EXPECT_EQ(last.empty_notice(), "No commits in the history");
  const Window since = resolve({Kind::kSince, "30d"}, {other("x", "")}, std::nullopt);
  EXPECT_TRUE(since.empty());
  EXPECT_EQ(since.empty_notice(), "No events in the history");
  EXPECT_EQ(since.record(), (Json{{"kind", "since"}, {"argument", "30d"}, {"start", nullptr}, {"end", nullptr},
                                  {"description", "Last 30 days"}}));
}

// A stamp read from the scanned text equals the one read from the parsed
// event; what the scan cannot read plainly is left to the parsed event.
TEST(Window, PlainStampsMatchParsedOnes) {
  const struct {
    const char* text;
    bool plain;  // read from the scan
  } cases[] = {
      {R"({"event_id": "git-a1", "source_type": "git", "observed_at": "2024-10-01T10:00:00+02:00",
          "payload": {"commit_hash": "a1", "files": ["x.py"]}})", true},
      {R"({"event_id": "ci-1", "source_type": "github_actions", "observed_at": "2024-10-01T09:00:00Z",
          "payload": {"trigger": {"commit_sha": "a1"}}})", true},
      {R"({"event_id": 7, "observed_at": null, "payload": {"trigger": null}})", true},  // known by its file
      {R"({"source_type": "git", "payload": [{"commit_hash": "a2"}]})", true},       // a payload no map
      {R"({"event_id": "e", "payload": {"trigger": "a3"}, "observed_at": "yesterday"})", true},
      {R"({"event_id": "e", "source_type": 5, "payload": {"commit_hash": "a4", "trigger": {"commit_sha": 9}}})", true},
      {"{\"event_id\": \"caf\xC3\xA9\", \"payload\": {\"trigger\": {\"commit_sha\": \"\xC3\xBC\"}}}", false},
      {R"({"event_id": "caf\u00e9", "source_type": "git", "payload": {"commit_hash": "a\"5"}})", false},
      {R"({"event_id": "e", "observed_at": 17})", false},  // an error, worded by the parsed event
      {R"({"event_id": "e", "event_id": "f"})", false},    // a member named twice
      {R"({})", true},
  };
  for (const auto& c : cases) {
    cindrel::ScannedRecord record;
    const bool scanned = cindrel::RecordScanner(c.text).scan_plain_object(record);
    const std::optional<EventStamp> plain = scanned ? plain_stamp(record, "events/x-1.json") : std::nullopt;
    EXPECT_EQ(plain.has_value(), c.plain) << c.text;
    if (!plain) continue;
    const EventStamp parsed = stamp_of(parse_json(c.text, "x", NonFinite::kReject), "events/x-1.json");
    EXPECT_EQ(plain->event_id, parsed.event_id) << c.text;
    EXPECT_EQ(plain->observed_text, parsed.observed_text) << c.text;
    EXPECT_EQ(plain->observed, parsed.observed) << c.text;
    EXPECT_EQ(plain->is_commit, parsed.is_commit) << c.text;
    EXPECT_EQ(plain->commit, parsed.commit) << c.text;
  }
}

TEST(Window, RecordsRoundTripThroughAnAdvisory) {
  const Window window = resolve({Kind::kLast, "2"}, history(), std::nullopt);
  const Json record = window.record();
  EXPECT_EQ(record["start"], "2024-10-01T10:00:00Z");
  EXPECT_EQ(record["end"], "2024-10-17T08:05:00Z");
  const std::optional<Request> again = request_of_advisory(Json{{"window", record}}, "advisory.json");
  ASSERT_TRUE(again);
  EXPECT_EQ(again->kind, Kind::kLast);
  EXPECT_EQ(again->argument, "2");
  EXPECT_FALSE(request_of_advisory(Json{{"period", {}}}, "advisory.json"));
  EXPECT_THROW(request_of_advisory(Json{{"window", {{"kind", "soon"}, {"argument", ""}}}}, "advisory.json"),
               ValueError);
  EXPECT_THROW(request_of_advisory(Json{{"window", {{"kind", "last"}, {"argument", "0"}}}}, "advisory.json"),
               ValueError);
}

class DataDir : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = fs::temp_directory_path() / ("window-test-" + std::to_string(::getpid()));
    fs::create_directories(dir / "events");
    fs::create_directories(dir / "phase5");
  }
  void TearDown() override { fs::remove_all(dir); }
  void write(const fs::path& relative, const std::string& text) { std::ofstream(dir / relative) << text; }
  fs::path dir;
};

TEST_F(DataDir, ReadsStampsAndTheEarlierAdvisory) {
  write("events/1-git.json",
        R"({"event_id": "g1", "source_type": "git", "observed_at": "2024-10-01T10:00:00+02:00",
            "payload": {"commit_hash": "a1"}})");
  write("events/2-ci.json",
        R"({"source_family": "ci", "observed_at": "2024-10-01T09:00:00Z",
            "payload": {"trigger": {"commit_sha": "a1"}}})");
  write("events/3-err.json", R"({"event_id": "e1", "observed_at": null, "payload": {"trigger": null}})");
  write("events/4-odd.json", R"({"event_id": ["x"], "source_type": "git", "payload": [{"commit_hash": "a2"}],
                                  "cases": [{"name": "t", "status": "failed"}]})");
  const std::vector<EventStamp> stamps = read_event_stamps(dir / "events");
  ASSERT_EQ(stamps.size(), 4u);
  EXPECT_EQ(stamps[3].event_id, "4-odd");
  EXPECT_TRUE(stamps[3].is_commit);
  EXPECT_EQ(stamps[3].commit, "");  // a payload that is no map holds none
  EXPECT_EQ(stamps[0].commit, "a1");
  EXPECT_TRUE(stamps[0].is_commit);
  EXPECT_EQ(format_timestamp(*stamps[0].observed), "2024-10-01T08:00:00Z");
  EXPECT_EQ(stamps[1].event_id, "2-ci");  // known by its file name
  EXPECT_EQ(stamps[1].commit, "a1");
  EXPECT_FALSE(stamps[2].observed);

  // Without an advisory --new is the whole history; with one, what follows it.
  EXPECT_EQ(resolve_in(dir, {Kind::kNew, ""}).size(), 4u);
  write("phase5/advisory.json", R"({"period": {"from": "2024-09-01", "to": "2024-10-01T08:30:00Z"}})");
  const Window fresh = resolve_in(dir, {Kind::kNew, ""});
  EXPECT_TRUE(fresh.contains("2-ci"));
  EXPECT_EQ(fresh.size(), 1u);
}

TEST_F(DataDir, FaultyFilesAreNamed) {
  struct Case {
    const char* file;
    const char* text;
  };
  const Case cases[] = {
      {"events/1.json", R"({"event_id": "g1", "observed_at": "2024-10-0)"},  // truncated
      {"events/1.json", R"({"event_id": "g1", "observed_at": 17})"},
      {"events/1.json", R"([1, 2])"},
      {"events/1.json", R"({"event_id": "g1", "payload": {"cases": [{"ms": 1e400}]}})"},  // in a member not read
      {"phase5/advisory.json", R"({"period": {"from": "2024-09-01", "to": "2024)"},  // truncated
      {"phase5/advisory.json", R"({"period": {"from": "2024-09-01", "to": "soon"}})"},
      {"phase5/advisory.json", R"({"period": {"from": "2024-09-01"}})"},
  };
  for (const Case& c : cases) {
    fs::remove_all(dir / "events");
    fs::create_directories(dir / "events");
    fs::remove(dir / "phase5" / "advisory.json");
    write(c.file, c.text);
    try {
      resolve_in(dir, {Kind::kNew, ""});
      ADD_FAILURE() << c.text << " was accepted";
    } catch (const Error& error) {
      EXPECT_NE(std::string(error.what()).find(fs::path(c.file).filename().string()), std::string::npos)
          << error.what();
    }
  }
}

// Events are read on two threads, but the error is always the first faulty
// file's in name order.
TEST_F(DataDir, TheFirstFaultyFileInNameOrderIsNamed) {
  for (int i = 0; i < 200; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "events/%03d.json", i);
    write(name, i == 120 || i == 180 ? "[1]" : R"({"event_id": "e", "observed_at": "2024-10-01T10:00:00Z"})");
  }
  for (int round = 0; round < 5; ++round) {
    try {
      read_event_stamps(dir / "events");
      ADD_FAILURE() << "faulty files were accepted";
    } catch (const Error& error) {
      EXPECT_NE(std::string(error.what()).find("120.json"), std::string::npos) << error.what();
    }
  }
}

}  // namespace
}  // namespace velquor::window
