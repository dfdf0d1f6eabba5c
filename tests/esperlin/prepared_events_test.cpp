// A host prepares events from a parse that keeps only prepared_event_members():
// every event, usual or not, must prepare exactly as from the whole event.

#include <gtest/gtest.h>

#include "shared/errors.h"
#include "velquor/esperlin/prepared_events.h"

namespace velquor::esperlin {
namespace {

std::string prepared_text(const Json& event) {
  const PreparedEvent prepared = prepare_event(event, "events/e.json");
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

TEST(PreparedEvents, TheKeptMembersPrepareAsTheWholeEvent) {
  const std::vector<std::string> events = {
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
  const JsonKeep keep = prepared_event_members();
  for (const std::string& text : events) {
    const Json whole = parse_json(text, "events/e.json");
    const Json kept = parse_json(text, "events/e.json", NonFinite::kReject, keep);
    EXPECT_EQ(prepared_text(kept), prepared_text(whole)) << text;
  }
  // A huge test report keeps none of its cases.
  const Json report = parse_json(R"({"source_family": "testing", "payload": {"cases": [{"name": "a",
      "status": "failed", "duration": 1.5}], "summary": {"total": 1}}})", "r", NonFinite::kReject, keep);
  EXPECT_EQ(dump_compact(report), R"({"source_family": "testing", "payload": {"cases": []}})");
}

}  // namespace
}  // namespace velquor::esperlin
