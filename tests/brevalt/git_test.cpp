// Version-control metrics: dispersion, co-change pairs, locality, novelty,
// and the runner's counted window against the set-based definition.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "shared/errors.h"
#include "shared/file_io.h"
#include "tests/brevalt/test_support.h"

namespace velquor::brevalt {
namespace {

using testing::DataDir;
using testing::git_event;

TEST(GitMetrics, DispersionOverTopLevelComponents) {
  EXPECT_EQ(Brevalt::_dispersion({"a/x", "a/y", "b/z", "d"}), 1.5);
  EXPECT_EQ(Brevalt::_dispersion({}), 0.0);
  EXPECT_EQ(Brevalt::_dispersion({"src/a", "src/b/c", "./src/d"}), 0.0);
  // "/" for absolute paths, "_root" for paths without components, "." and
  // empty components dropped: five groups of one.
  EXPECT_EQ(Brevalt::_dispersion({"/etc/hosts", "", "lib//x", ".//y/z", "README.md"}), std::log2(5.0));
  EXPECT_EQ(Brevalt::_dispersion({"a/1", "a/2", "b/1", "b/2", "c/1", "c/2", "d/1", "d/2"}), 2.0);
}

TEST(GitMetrics, CochangePairsAreOrdered) {
  PairSet pairs = Brevalt::_cochange_pairs({"b", "a", "c"});
  EXPECT_EQ(pairs, (PairSet{{"a", "b"}, {"a", "c"}, {"b", "c"}}));
  EXPECT_TRUE(Brevalt::_cochange_pairs({"only"}).empty());
}

TEST(GitMetrics, ExtendedMetricsAgainstAWindow) {
  DataDir dir;
  Brevalt engine(dir.path());
  Event event{"e.json", git_event("c", "t", {"a/x", "a/y", "b/z", "a/x"})};
  MetricMap metrics = engine._git_metrics(event);
  ASSERT_EQ(metrics.size(), 2u);
  EXPECT_EQ(metrics[0].value, Json(3));
  GitWindow window{{{"a/x", "q"}, {{"a/x", "a/y"}}, {}}};
  engine._git_extended_metrics(event, metrics, window);
  ASSERT_EQ(metrics.size(), 4u);
  EXPECT_EQ(metrics[2].name, "change_locality");
  EXPECT_EQ(metrics[2].value.get<double>(), 1.0 / 3.0);
  EXPECT_EQ(metrics[3].name, "cochange_novelty_ratio");
  EXPECT_EQ(metrics[3].value.get<double>(), 2.0 / 3.0);
  // Empty file list: locality 0.0, novelty 1.0.
  Event empty{"e.json", git_event("d", "t", Json::array())};
  MetricMap none = engine._git_metrics(empty);
  engine._git_extended_metrics(empty, none, window);
  EXPECT_EQ(dump_compact(Json{{"a", none[0].value}, {"b", none[1].value}, {"c", none[2].value}, {"d", none[3].value}}),
            R"({"a": 0, "b": 0.0, "c": 0.0, "d": 1.0})");
}

// The observed values of one metric in a git signal file, in order.
std::vector<Json> observed(const SignalList& signals, const std::string& metric) {
  std::vector<Json> out;
  for (const Signal& s : signals)
    if (s.metric == metric) out.push_back(s.observed);
  return out;
}

TEST(GitRunner, WideCommitsHaveNoPairs) {
  DataDir dir;
  Json wide = Json::array();
  for (int i = 0; i < 31; ++i) wide.push_back("f" + std::to_string(i));
  dir.write_event("1.json", git_event("c1", "2024-01-01", {"f0", "f1"}));
  dir.write_event("2.json", git_event("c2", "2024-01-02", wide));
  dir.write_event("3.json", git_event("c3", "2024-01-03", {"f0", "f1"}));
  dir.write_event("4.json", git_event("c4", "2024-01-04", {"f2", "f3"}));
  dir.write_event("5.json", git_event("c5", "2024-01-05", {"only"}));
  Brevalt engine(dir.path(), 2, 1);
  SignalList signals = engine.run_git();
  // c2: 31 files, novelty 1.0 although f0/f1 were paired; c3 finds c1's pair;
  // c4's pair sits only in wide c2 (no pairs); c5 has a single file.
  EXPECT_EQ(observed(signals, "cochange_novelty_ratio"),
            (std::vector<Json>{1.0, 0.0, 1.0, 1.0}));
  EXPECT_EQ(observed(signals, "change_locality"), (std::vector<Json>{2.0 / 31.0, 1.0, 1.0, 0.0}));
}

TEST(GitRunner, RequiresEventIdOnlyWhenEmitting) {
  DataDir dir;
  Json early = git_event("x", "2024-01-01", {"a"});
  early.erase("event_id");
  dir.write_event("1.json", early);
  for (int i = 2; i <= 3; ++i) dir.write_event(std::to_string(i) + ".json", git_event("c" + std::to_string(i), "2024-01-0" + std::to_string(i), {"a"}));
  EXPECT_EQ(Brevalt(dir.path(), 50, 2).run_git().size(), 4u);  // the third event's signals
  Json late = git_event("y", "2024-01-09", {"a"});
  late.erase("event_id");
  dir.write_event("9.json", late);
  fs::remove(dir.path() / "phase2" / "git_signals.json");
  EXPECT_THROW(Brevalt(dir.path(), 50, 2).run_git(), MissingMember);
  EXPECT_FALSE(fs::exists(dir.path() / "phase2" / "git_signals.json"));
}

TEST(GitRunner, EmptyHistoryWritesAnEmptyList) {
  DataDir dir;
  Brevalt engine(dir.path());
  EXPECT_TRUE(engine.run_git().empty());
  EXPECT_EQ(dir.read_signals("git"), "[]");
}

// Replays a history through the set-based helpers and compares every
// metric with the runner's counted window.
TEST(GitRunner, CountedWindowMatchesSetDefinition) {
  DataDir dir;
  std::mt19937 rng(5);
  std::vector<Event> events;
  for (int i = 0; i < 300; ++i) {
    Json files = Json::array();
    int n = std::uniform_int_distribution<int>(0, 8)(rng);
    for (int k = 0; k < n; ++k)
      files.push_back("d" + std::to_string(rng() % 4) + "/f" + std::to_string(rng() % 12));
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "2024-01-01T00:%02d:%02d", i / 60, i % 60);
    Json event = git_event("c" + std::to_string(i), stamp, files);
    dir.write_event("e" + std::to_string(1000 + i) + ".json", event);
    events.push_back({"", event});
  }
  Brevalt engine(dir.path(), 7, 3);
  SignalList signals = engine.run_git();
  GitWindow window;
  std::vector<Json> expected;
  for (const Event& event : events) {
    MetricMap metrics = engine._git_metrics(event);
    engine._git_extended_metrics(event, metrics, window);
    if (window.size() >= 3)
      for (const Metric& m : metrics) expected.push_back(m.value);
    std::vector<std::string> paths;
    for (const Json& f : event.value["payload"]["files"]) paths.push_back(f);
    FileSet files(paths.begin(), paths.end());
    window.push_back({files, Brevalt::_cochange_pairs(files), metrics});
    if (window.size() > 7) window.pop_front();
  }
  ASSERT_EQ(signals.size(), expected.size());
  for (size_t i = 0; i < signals.size(); ++i) EXPECT_EQ(signals[i].observed, expected[i]) << i;
}

// The git family runs as two halves; whichever driver runs it, the failure
// reported is the one a single pass over the events meets first, and a
// failing family keeps its older file.
TEST(GitRunner, EveryDriverReportsTheFirstFailureOfTheHistory) {
  struct Case {
    const char* name;
    int bad_files_at;   // payload.files of a wrong kind (-1: none)
    int missing_id_at;  // no event_id (-1: none)
    const char* expected_file;
  };
  const Case cases[] = {
      {"missing id", -1, 5, "e5.json"},
      {"bad files first", 3, 5, "e3.json"},
      {"missing id first", 6, 4, "e4.json"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DataDir dir;
    for (int i = 0; i < 8; ++i) {
      Json event = git_event("c" + std::to_string(i), "2024-01-0" + std::to_string(i + 1),
                             {"a/x", "b/y" + std::to_string(i % 3)});
      if (i == c.bad_files_at) event["payload"]["files"] = "a/x";
      if (i == c.missing_id_at) event.erase("event_id");
      dir.write_event("e" + std::to_string(i) + ".json", event);
    }
    Brevalt engine(dir.path(), 50, 2);
    write_file_atomic(dir.path() / "phase2" / "git_signals.json", "older");
    std::string alone;
    try {
      engine.run_git();
    } catch (const std::exception& e) {
      alone = e.what();
    }
    EXPECT_NE(alone.find(c.expected_file), std::string::npos) << alone;
    std::vector<FamilyOutcome> sequential, parallel;
    EXPECT_ANY_THROW(engine.run_all(&sequential));
    ::testing::internal::CaptureStdout();
    engine.run_all_parallel(4, &parallel);
    ::testing::internal::GetCapturedStdout();
    ASSERT_FALSE(sequential.empty());
    EXPECT_EQ(sequential.front().error, alone);
    auto git = std::find_if(parallel.begin(), parallel.end(), [](const auto& o) { return o.family == "git"; });
    ASSERT_NE(git, parallel.end());
    EXPECT_EQ(git->error, alone);
    EXPECT_EQ(dir.read_signals("git"), "older");
  }
}

// Discarding the signals changes what the drivers return, never what they
// write or count.
TEST(GitRunner, DiscardedSignalsAreStillWrittenAndCounted) {
  DataDir dir;
  for (int i = 0; i < 9; ++i)
    dir.write_event("e" + std::to_string(i) + ".json",
                    git_event("c" + std::to_string(i), "2024-01-0" + std::to_string(i + 1),
                              {"a/x", "b/y" + std::to_string(i % 4)}));
  Brevalt engine(dir.path(), 4, 2);
  std::vector<FamilyOutcome> kept_outcomes, discarded_outcomes;
  const FamilySignals returned = engine.run_all_parallel(2, &kept_outcomes);
  const SignalList& kept =
      std::find_if(returned.begin(), returned.end(), [](const auto& f) { return f.first == "git"; })->second;
  const std::string written = dir.read_signals("git");
  EXPECT_EQ(written, signal_file_text(kept));
  engine.discard_signals();
  for (const auto& [family, signals] : engine.run_all_parallel(2, &discarded_outcomes))
    EXPECT_TRUE(signals.empty()) << family;
  EXPECT_EQ(dir.read_signals("git"), written);
  auto git_count = [](const std::vector<FamilyOutcome>& outcomes) {
    return std::find_if(outcomes.begin(), outcomes.end(), [](const auto& o) { return o.family == "git"; })
        ->signal_count;
  };
  EXPECT_EQ(git_count(discarded_outcomes), kept.size());
  EXPECT_EQ(git_count(kept_outcomes), 4u * 7u);
}

}  // namespace
}  // namespace velquor::brevalt
