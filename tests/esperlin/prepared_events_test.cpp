// A host prepares events from a parse that keeps only prepared_event_members():
// every event, usual or not, must prepare exactly as from the whole event.

#include <gtest/gtest.h>

#include "shared/errors.h"
#include "velquor/esperlin/prepared_events.h"

namespace velquor::esperlin {
namespace {

std::string prepared_text(const PreparedEvent& prepared) {
  if (prepared.error) {
    try {
      std::rethrow_exception(prepared.error);
    } catch (const std::exception& e) {
      return std::string("error: ") + e.what();
    }
  }
  return prepared.id + " | " + prepared.facts.time + " | " + prepared.facts.observed_at + " | " +
         prepared.facts.commit;
}

const std::vector<std::string> kEvents = {
    R"({"event_id": "g1", "source_type": "git", "observed_at": "2024-01-02T00:00:00Z",
        "payload": {"commit_hash": "abc", "committed_at": "2024-01-01T00:00:00Z", "files": ["a", "b/c"]}})",
    R"({"event_id": "g2", "source_type": "git", "payload": {"commit_hash": 5, "files": []}})",
    R"({"event_id": "g3", "source_type": "git", "payload": {"files": ["a", 7]}})",
    R"({"event_id": "g4", "source_type": "git", "payload": {"committed_at": 7}})",
    R"({"event_id": "v1", "source_family": "version_control", "attestation": {"commit_hash": "d"},
        "payload": {"files": [{"path": "x"}]}})",
    R"({"event_id": "v2", "source_family": "version_control", "attestation": [1]})",
    R"({"event_id": "t1", "source_family": "testing", "observed_at": "2024-02-01",
        "payload": {"trigger": {"commit_sha": "f", "commit_message": "m"},
                    "cases": [{"name": "a", "status": "failed", "extra": [1, 2]}, {}]}})",
    R"({"event_id": "t2", "source_family": "testing", "payload": {"cases": [{"name": "a"}, 5]}})",
    R"({"event_id": "t3", "source_family": "testing", "payload": {"cases": "many"}})",
    R"({"event_id": "d1", "source_family": "dependency", "payload": {"dependencies": [[]]}})",
    R"({"event_id": "s1", "source_family": "security", "payload": {"findings": [{"id": 1}, null]}})",
    R"({"event_id": "c1", "source_family": "ci", "payload": {"trigger": 5}})",
    R"({"event_id": "c2", "source_family": "ci", "payload": {"trigger": null,
        "timing": {"created_at": "2024-03-01T00:00:00Z", "started_at": 9}}})",
    R"({"event_id": "c3", "source_family": "ci", "payload": {"trigger": {"commit_sha": 18446744073709551616}}})",
    R"({"event_id": "r1", "source_family": "deployment", "payload": {"timing": {"completed_at": "2024-04-01"}}})",
    R"({"event_id": 12, "source_family": "ci"})",
    R"({"observed_at": 3, "source_family": "ci"})",
    R"({"event_id": "caf\u00e9", "source_family": "ci", "payload": []})",
    R"({"event_id": "x", "source_type": "git", "source_family": "testing", "payload": {"cases": [1]}})",
    R"({"event_id": "t4", "source_family": "testing", "payload": {"cases": [{}, {"status": "failed"}, [{}], {}]}})",
    R"({"event_id": "g5", "source_type": "git", "payload": {"files": ["a", "b", null, "c"]}})",
    R"({"event_id": "s2", "source_family": "security", "payload": {"findings": [{}, {}, "high"]}})",
    R"([1, 2])",
};

TEST(PreparedEvents, TheKeptMembersPrepareAsTheWholeEvent) {
  const JsonKeep keep = prepared_event_members();
  for (const std::string& text : kEvents) {
    const Json whole = parse_json(text, "events/e.json");
    const Json kept = parse_json(text, "events/e.json", NonFinite::kReject, keep);
    EXPECT_EQ(prepared_text(prepare_event(kept, "events/e.json")), prepared_text(prepare_event(whole, "events/e.json")))
        << text;
  }
  // A huge test report keeps none of its cases.
  const Json report = parse_json(R"({"source_family": "testing", "payload": {"cases": [{"name": "a",
      "status": "failed", "duration": 1.5}], "summary": {"total": 1}}})", "r", NonFinite::kReject, keep);
  EXPECT_EQ(dump_compact(report), R"({"source_family": "testing", "payload": {"cases": []}})");
}

// An event the scanner reads plainly prepares as the parsed event does; the
// rest are left to the parser, untouched.
TEST(PreparedEvents, PlainEventsPrepareAsParsedOnes) {
  std::vector<std::string> events = kEvents;
  const std::vector<std::string> plain = {
      R"({"event_id": "g1", "source_type": "git", "observed_at": "2024-01-02T00:00:00Z",
          "payload": {"commit_hash": "abc", "committed_at": "", "authored_at": "2024-01-01T00:00:00Z",
                      "message": "caf\u00e9 \"x\" café", "files": ["a", "b\u00e9"]}})",
      R"({"event_id": "", "source_type": "git", "observed_at": null, "payload": {"committed_at": null}})",
      R"({"source_type": "github_actions", "observed_at": "o", "payload": {"timing": {"created_at": "",
          "started_at": "s"}, "trigger": {"commit_sha": "f", "n": [1.50, 2e3, {"a": [null]}]}}})",
      R"({"source_type": "github_actions", "payload": {"timing": {"created_at": "c", "started_at": "s"}}})",
      R"({"source_type": "github_releases", "payload": {"timing": {"initiated_at": "i", "completed_at": "c"}}})",
      R"({"source_type": "github_releases", "observed_at": "o", "payload": {"timing": {}, "trigger": null}})",
      R"({"source_type": "github_releases", "payload": {"timing": {"completed_at": "c"}}})",
      R"({"source_family": "testing", "payload": {"cases": [{"name": "a", "status": "failed"}, {}]}})",
      R"({"source_family": "version_control", "attestation": {"commit_hash": "d"}, "payload": {}})",
  };
  events.insert(events.end(), plain.begin(), plain.end());
  events.push_back(R"({"event_id": "a", "event_id": "b"})");
  events.push_back(R"({"event_id": "\u0061"})");
  events.push_back(R"({"event_id": "n", "x": [-0, 123456789012345678901, 1e999]})");
  events.push_back(R"({"event_id": "x", "observed_at": "o", "payload": {"timing": null}})");
  size_t read_plainly = 0;
  for (const std::string& text : events) {
    PreparedEvent prepared{"events/e.json", nullptr, "", {}};
    if (!prepare_plain_event(text, prepared)) {
      EXPECT_EQ(prepared.id + prepared.facts.time + prepared.facts.commit, "") << text;
      continue;
    }
    ++read_plainly;
    const PreparedEvent parsed = prepare_event(parse_json(text, "events/e.json", NonFinite::kReject), "events/e.json");
    EXPECT_EQ(prepared_text(prepared), prepared_text(parsed)) << text;
  }
  EXPECT_GE(read_plainly, plain.size() + 2);  // of the table above, g1 and v1 too
}

}  // namespace
}  // namespace velquor::esperlin
