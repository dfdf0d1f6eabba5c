// The compact forms the advisory run keeps of every signal and every event:
// texts shared in an arena, traces by family and metric, facts by event id.

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "fixture.h"
#include "velquor/esperlin/advisory_inputs.h"
#include "velquor/esperlin/text_arena.h"

namespace velquor::esperlin::testing {
namespace {

TEST(TextArenaTest, ViewsStayValidThroughGrowthLongTextsTakingAndMoving) {
  TextArena arena, other;
  std::vector<std::string> texts;
  std::vector<std::string_view> views;
  auto keep = [&](TextArena& into, std::string text) {
    views.push_back(into.keep(text));
    texts.push_back(std::move(text));
  };
  for (int i = 0; i < 20000; ++i) keep(i % 2 ? arena : other, numbered("event-", i));  // many blocks
  keep(arena, std::string(100000, 'x'));  // a block of its own
  keep(other, "");
  keep(other, std::string(70000, 'y'));
  arena.take(std::move(other));
  keep(arena, "after taking");
  TextArena moved = std::move(arena);
  keep(moved, "after moving");
  for (size_t i = 0; i < texts.size(); ++i) ASSERT_EQ(views[i], texts[i]) << i;
}

TEST(SignalTracesTest, TracesKeepFileOrderPerMetricAcrossAppendedFiles) {
  SignalTraces traces;
  {
    SignalTraces later;
    later.add(signal("git", "files_touched", "a-reference-longer-than-fifteen-2", 3, 2.5));
    later.add("ci", "run_duration", SignalTrace{"ci-1", Json(1.5), false, Json(7)});
    traces.add(signal("git", "files_touched", "a-reference-longer-than-fifteen-1", 2, 1.0));
    traces.add(Json{{"engine_id", "git"}, {"metric", "files_touched"}, {"event_ref", nullptr}});  // no ref
    traces.add(Json{{"engine_id", 3}, {"metric", "files_touched"}, {"event_ref", "n"}});        // no family
    traces.append(std::move(later));
  }  // the appended traces' references outlive their first owner
  const std::vector<SignalTraces::Kept>* git = traces.find(Json("git"), Json("files_touched"));
  ASSERT_NE(git, nullptr);
  ASSERT_EQ(git->size(), 2u);
  EXPECT_EQ((*git)[0].event_ref, "a-reference-longer-than-fifteen-1");
  EXPECT_EQ((*git)[1].event_ref, "a-reference-longer-than-fifteen-2");
  EXPECT_EQ((*git)[1].measure, 2.5);
  EXPECT_EQ((*git)[1].observed, 3);
  ASSERT_NE(traces.find(Json("ci"), Json("run_duration")), nullptr);
  EXPECT_EQ(traces.find(Json("ci"), Json("run_duration"))->front().observed, 7);
  EXPECT_EQ(traces.find(Json("ci"), Json("files_touched")), nullptr);
  EXPECT_EQ(traces.find(Json(3), Json("files_touched")), nullptr);
}

TEST(EventDigestTest, ALaterEventOfAnIdReplacesTheEarlierInItsPlace) {
  EventDigest digest;
  digest.add("first", {"2025-01-03T00:00:00Z", "2025-01-03", "sha-first"});
  digest.add("second", {"2025-01-02T00:00:00Z", "2025-01-02", "sha-second"});
  digest.add("none", {"", "2025-01-01", ""});
  digest.add("first", {"2025-01-05T00:00:00Z", "2025-01-02", "sha-first-again"});  // ties on observed_at
  EXPECT_EQ(digest.time_of("first"), "2025-01-05T00:00:00Z");
  EXPECT_EQ(digest.time_of("none"), "");
  EXPECT_EQ(digest.time_of("unknown"), std::nullopt);
  EXPECT_EQ(digest.commit_list(), (std::vector<std::string>{"sha-first-again", "sha-second"}));
}

// The table of ids grows as events come without a reserve, and keeps finding
// every id, replaced ones included.
TEST(EventDigestTest, FindsEveryIdOfAGrowingHistory) {
  EventDigest digest;
  constexpr int kEvents = 5000;
  for (int i = 0; i < kEvents; ++i) digest.add("ev-" + std::to_string(i), {"t" + std::to_string(i), "", ""});
  for (int i = 0; i < kEvents; i += 7) digest.add("ev-" + std::to_string(i), {"again", "", ""});
  for (int i = 0; i < kEvents; ++i)
    EXPECT_EQ(digest.time_of("ev-" + std::to_string(i)), i % 7 ? "t" + std::to_string(i) : "again") << i;
  EXPECT_EQ(digest.time_of("ev-" + std::to_string(kEvents)), std::nullopt);
}

TEST(LatestDeviationTest, TheTraceOfTheLatestKnownEventWinsTheFirstOnTies) {
  SignalTraces traces;
  for (const char* ref : {"e1", "e2", "e3", "e4", "e5"})
    traces.add(signal("git", "files_touched", ref, std::string(ref) == "e3" ? 30 : 10, 1.234));
  EventDigest digest;
  digest.add("e1", {"2025-01-01T00:00:00Z", "", ""});
  digest.add("e2", {"2025-01-04T00:00:00Z", "", ""});
  digest.add("e3", {"2025-01-05T00:00:00Z", "", ""});
  digest.add("e4", {"2025-01-05T00:00:00Z", "", ""});  // a tie: the earlier trace stays
  Json changes = Json::array({{{"family", "git"}, {"metric", "files_touched"}, {"event_ref", "e3"}},
                              {{"family", "ci"}, {"metric", "files_touched"}, {"event_ref", "e3"}}});
  add_latest_deviation(changes, traces, [&](std::string_view ref) { return digest.time_of(ref); });
  EXPECT_EQ(changes[0]["latest_event_ref"], "e3");
  EXPECT_EQ(changes[0]["latest_value"], 30);
  EXPECT_EQ(changes[0]["latest_deviation"], 1.23);
  EXPECT_EQ(changes[0]["is_latest_event"], true);
  EXPECT_FALSE(changes[1].contains("latest_event_ref"));
}

// A signal file lists the signals of one event in a row; appended files
// number their events after the earlier ones, so that no trace takes the time
// of another file's event.
TEST(LatestDeviationTest, EachEventOfARowIsLookedUpOnceAndAppendedFilesKeepTheirOwnTimes) {
  SignalTraces traces, later;
  for (const char* ref : {"g1", "g2"})
    for (const char* metric : {"files_touched", "dispersion"}) traces.add(signal("git", metric, ref, 1, 2.0));
  for (const char* ref : {"c1", "c2"}) later.add(signal("ci", "run_duration", ref, ref[1] - '0', 2.0));
  traces.append(std::move(later));
  const std::map<std::string, std::string> times = {{"g1", "2025-01-02T00:00:00Z"}, {"g2", "2025-01-01T00:00:00Z"},
                                                    {"c1", "2025-01-01T00:00:00Z"}, {"c2", "2025-01-03T00:00:00Z"}};
  std::map<std::string, int> lookups;
  Json changes = Json::array({{{"family", "git"}, {"metric", "files_touched"}},
                              {{"family", "git"}, {"metric", "dispersion"}},
                              {{"family", "ci"}, {"metric", "run_duration"}}});
  add_latest_deviation(changes, traces, [&](std::string_view ref) -> std::optional<std::string_view> {
    ++lookups[std::string(ref)];
    return times.at(std::string(ref));
  });
  EXPECT_EQ(lookups, (std::map<std::string, int>{{"g1", 1}, {"g2", 1}, {"c1", 1}, {"c2", 1}}));
  EXPECT_EQ(changes[0]["latest_event_ref"], "g1");
  EXPECT_EQ(changes[1]["latest_event_ref"], "g1");
  EXPECT_EQ(changes[2]["latest_event_ref"], "c2");
  EXPECT_EQ(changes[2]["latest_value"], 2);
}

}  // namespace
}  // namespace velquor::esperlin::testing
