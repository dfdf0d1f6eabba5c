// Events read from their flat values against the same events read as trees:
// a text the flat reader takes must scan exactly as its tree does, and every
// text it cannot read so (damaged, unusual, or one whose reading raises an
// error) must be left to the tree.

#include <gtest/gtest.h>

#include <string>

#include "shared/errors.h"
#include "velquor/dornath/event_scan.h"
#include "velquor/dornath/plain_event.h"

namespace velquor::dornath {
namespace {

std::string error_text(const std::exception_ptr& error) {
  if (!error) return "-";
  try {
    std::rethrow_exception(error);
  } catch (const Error& e) {
    return e.what();
  }
}

std::string describe(const ScannedEvent& ev) {
  return std::to_string(ev.is_object) + std::to_string(ev.has_id) + " id=" + ev.event_id +
         " commit=" + ev.commit + " (" + error_text(ev.commit_error) + ") time=" + ev.timestamp + " (" +
         error_text(ev.timestamp_error) + ")";
}

// The event as the tree path reads it; "skipped" when the parser refuses it.
std::string tree_scan(const std::string& text) {
  JsonKeep keep;
  for (std::string_view member : kEventMembers) keep.add(member);
  Json event;
  try {
    event = parse_json(text, "e.json", NonFinite::kReject, keep);
  } catch (const JsonError&) {
    return "skipped";
  }
  return describe(scan_event(event, "e.json"));
}

struct Case {
  bool flat;  // whether the flat reader takes it
  std::string text;
};

std::string nested(int depth) { return std::string(depth, '[') + std::string(depth, ']'); }

const std::string kGit = R"("source_type": "git", "payload": {"commit_hash": "c1", "committed_at": "T1"})";
const std::string kCi = R"("source_type": "github_actions", "observed_at": "T0")";

const Case kCases[] = {
    {true, R"({"event_id": "g1", )" + kGit + "}"},
    {true, R"( {"event_id": "r1", )" + kCi + R"(, "payload": {"trigger": {"commit_sha": "c1"},
             "timing": {"created_at": "T1", "started_at": "T2"}}} )"},
    {true, R"({"event_id": "r1", )" + kCi + R"(, "payload": {"trigger": null, "timing": {"started_at": "T2"}}})"},
    {true, R"({"event_id": "r1", )" + kCi + R"(, "payload": {"trigger": 0, "timing": {"created_at": 0.0}}})"},
    {true, R"({"event_id": "r1", )" + kCi + R"(, "payload": {"trigger": {"commit_sha": 5}, "timing": {}}})"},
    {true, R"({"event_id": "r1", "source_type": "github_releases",
             "payload": {"timing": {"initiated_at": "", "completed_at": "T3"}}})"},
    {true, R"({"event_id": "g1", "source_type": "git", "payload": {"commit_hash": 7, "committed_at": null,
             "authored_at": "T4"}})"},
    {true, R"({"event_id": "g1", "source_type": "git", "payload": {"committed_at": false}, "observed_at": null})"},
    {true, R"({"event_id": "g1", "source_type": 5, "observed_at": "T0"})"},
    {true, R"({"event_id": 7, )" + kGit + "}"},
    {true, R"({"event_id": 0, )" + kGit + "}"},
    {true, R"({"event_id": null, )" + kGit + "}"},
    {true, R"({"event_id": "", "event": [1, 2.50, -3e2, true, {}]})"},
    {true, R"({"event_id": "g1", "author": "Jos\u00e9 \"Pepe\"", "note": "tab\tand caf)" "\xC3\xA9\"}"},
    {true, R"({"event_id": "g1", "note": "\ud800 lone"})"},
    {true, R"({"event_id": "g1", "deep": )" + nested(100) + "}"},
    {true, R"({})"},
    {false, R"({"event_id": "g\u0031", )" + kGit + "}"},
    {false, "{\"event_id\": \"\xC3\xA9v\", " + kGit + "}"},
    {false, R"({"event_id": "g1", "source_type": "g\u0069t", "payload": {"commit_hash": "c1"}})"},
    {false, R"({"event_id": "g1", "source_type": "git", "payload": {"commit_hash": "c\"1"}})"},
    {false, R"({"event_id": "r1", )" + kCi + R"(, "payload": {"trigger": 5}})"},
    {false, R"({"event_id": "r1", )" + kCi + R"(, "payload": {"trigger": [1]}})"},
    {false, R"({"event_id": "r1", )" + kCi + R"(, "payload": {"timing": "T1"}})"},
    {false, R"({"event_id": "r1", )" + kCi + R"(, "payload": {"timing": null}})"},
    {false, R"({"event_id": "r1", )" + kCi + R"(, "payload": {"timing": {"created_at": 1.5}}})"},
    {false, R"({"event_id": "g1", "payload": [1]})"},
    {false, R"({"event_id": "g1", "payload": null})"},
    {false, R"({"event_id": "g1", "source_type": "git", "payload": {"committed_at": 5}})"},
    {false, R"({"event_id": "g1", "observed_at": 5})"},
    {false, R"({"event_id": "g1", "event_id": "g2"})"},
    {false, R"({"event_id": "g1", "payload": {"a": 1, "a": 2}})"},
    {false, R"({"a": 1, "b": 2, "c": 3, "d": 4, "e": 5, "f": 6, "g": 7, "h": 8, "i": 9, "j": 10, "k": 11,
              "l": 12, "m": 13, "n": 14, "o": 15, "p": 16, "event_id": "g1"})"},
    {false, R"({"event_id": "g1", "size": NaN})"},
    {false, R"({"event_id": "g1", "size": -Infinity})"},
    {false, R"({"event_id": "g1", "size": 1e400})"},
    {false, R"({"event_id": "g1", "size": 123456789012345678901234})"},
    {false, R"({"event_id": "g1", "size": -0})"},
    {false, "{\"event_id\": \"g1\", \"note\": \"\xFF\"}"},
    {false, "{\"event_id\": \"g1\", \"note\": \"raw\ttab\"}"},
    {false, R"({"event_id": "g1", "note": "bad \x escape"})"},
    {false, R"({"event_id": "g1", "deep": )" + nested(600) + "}"},
    {false, "\xEF\xBB\xBF{\"event_id\": \"g1\"}"},
    {false, R"({"event_id": "g1"} {"event_id": "g2"})"},
    {false, R"({"event_id": "g1",})"},
    {false, R"([{"event_id": "g1"}])"},
    {false, R"("g1")"},
    {false, ""},
};

TEST(PlainEvents, ReadAsTheirTreesAndLeaveTheRestToTheTree) {
  cindrel::ScannedRecord scratch;
  for (const Case& c : kCases) {
    std::optional<ScannedEvent> flat = scan_plain_event(c.text, scratch);
    EXPECT_EQ(flat.has_value(), c.flat) << c.text;
    if (flat) {
      EXPECT_EQ(describe(*flat), tree_scan(c.text)) << c.text;
    }
  }
}

TEST(PlainEvents, EveryTruncationIsLeftToTheTreeOrReadAsIt) {
  const std::string text = R"({"event_id": "r1", )" + kCi +
                           R"(, "payload": {"trigger": {"commit_sha": "c1"}, "timing": {"created_at": "T1"},
                               "note": "caf\u00e9", "runs": [1, 2.5, null]}})";
  cindrel::ScannedRecord scratch;
  for (size_t n = 0; n < text.size(); ++n) {
    const std::string part = text.substr(0, n);
    if (std::optional<ScannedEvent> flat = scan_plain_event(part, scratch)) {
      EXPECT_EQ(describe(*flat), tree_scan(part)) << part;
    }
  }
  std::optional<ScannedEvent> whole = scan_plain_event(text, scratch);
  ASSERT_TRUE(whole.has_value());
  EXPECT_EQ(describe(*whole), "11 id=r1 commit=c1 (-) time=T1 (-)");
}

}  // namespace
}  // namespace velquor::dornath
