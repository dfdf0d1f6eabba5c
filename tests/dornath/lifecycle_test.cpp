// The pattern life cycle against a real knowledge store: discovery, repeat
// observation, promotion at the threshold, batch recognition, decay, the run
// summary, and the guarded language-model interpretation.

#include "fixture.h"
#include "shared/errors.h"
#include "shared/file_io.h"
#include "velquor/dornath/dornath.h"

namespace velquor::dornath {
namespace {

using testing::ci_event;
using testing::day_time;
using testing::git_event;
using testing::make_signal;
using testing::ScopedEnv;
using testing::VelDir;

// Six commits, each with a CI run; run duration doubles files touched, so
// the pair is admitted by correlation (weight 1 with confidence_full_at 6).
void correlated_history(VelDir& dir) {
  const double xs[] = {2.0, 3.0, -2.0, 4.0, 2.5, -3.0};
  Json git = Json::array(), ci = Json::array();
  for (int i = 1; i <= 6; ++i) {
    std::string n = std::to_string(i);
    dir.add_event(git_event("g" + n, "c" + n, day_time(i)));
    dir.add_event(ci_event("r" + n, "c" + n, day_time(i, "11:00:00")));
    git.push_back(make_signal("git", "files_touched", xs[i - 1], "g" + n));
    ci.push_back(make_signal("ci", "run_duration", 2 * xs[i - 1], "r" + n));
  }
  dir.write_signals("git", git);
  dir.write_signals("ci", ci);
}

Json stored_pattern(const std::string& fingerprint, Json sources, Json metrics, int count,
                    const std::string& last_seen = "2024-12-30T00:00:00Z") {
  return Json{{"fingerprint", fingerprint},     {"discovery_method", "statistical"},
              {"pattern_type", "co_occurrence"}, {"sources", std::move(sources)},
              {"metrics", std::move(metrics)},   {"description_statistical", "stored"},
              {"occurrence_count", count},       {"first_seen", last_seen},
              {"last_seen", last_seen}};
}

class Lifecycle : public ::testing::Test {
 protected:
  Lifecycle() { correlated_history(dir_); }
  Json run(Json params = Json::object()) {
    params["confidence_full_at"] = 6;
    Dornath engine(dir_.path(), params);
    Json summary = engine.run();
    engine.close();
    return summary;
  }
  lorvessa::SQLiteLorvessa store() { return lorvessa::SQLiteLorvessa(dir_.path() / "phase4" / "knowledge.db"); }
  std::string batch_fingerprint() {
    Dornath engine(dir_.path());
    return compute_fingerprint(signals_to_components(engine._load_all_signals(), 1.5));
  }

  ScopedEnv now_{"VELQUOR_NOW", "2025-01-01T00:00:00Z"};
  ScopedEnv llm_off_{"PHASE4B_ENABLED", "false"};
  VelDir dir_;
};

TEST_F(Lifecycle, WithoutSignalsReportsSoAndKeepsTheOldSummary) {
  VelDir empty;
  fs::create_directories(empty.path() / "phase4");
  write_file_atomic(empty.path() / "phase4" / "phase4_summary.json", "old");
  Json summary = Dornath(empty.path()).run();
  EXPECT_EQ(dump_compact(summary),
            "{\"status\": \"no_signals\", \"patterns_discovered\": 0, \"patterns_recognized\": 0}");
  EXPECT_EQ(read_file(empty.path() / "phase4" / "phase4_summary.json"), "old");
}

TEST_F(Lifecycle, FirstRunDiscoversAndWritesTheSummaryFile) {
  Json summary = run();
  std::string written = read_file(dir_.path() / "phase4" / "phase4_summary.json");
  EXPECT_EQ(written, dump_pretty(summary));
  fs::path golden = fs::path(VELQUOR_SOURCE_DIR) / "tests/dornath/golden/phase4_summary.json";
  if (std::getenv("VELQUOR_UPDATE_GOLDEN")) write_file_atomic(golden, written);
  EXPECT_EQ(written, read_file(golden));
  EXPECT_EQ(summary["patterns_discovered"], 1);
  EXPECT_EQ(store().list_patterns("local").size(), 1u);
}

TEST_F(Lifecycle, LaterRunsCountTheSamePatternAndPromoteAtTheThreshold) {
  run(Json{{"promotion_threshold", 8}});  // stored with its 6 co-deviations
  Json second = run(Json{{"promotion_threshold", 8}});
  EXPECT_EQ(second["patterns_discovered"], 0);
  EXPECT_EQ(second["patterns_incremented"], 1);
  EXPECT_EQ(second["patterns_promoted"], 0);
  Json third = run(Json{{"promotion_threshold", 8}});
  EXPECT_EQ(third["patterns_promoted"], 1);
  EXPECT_EQ(third["knowledge_artifacts"], 1);
  EXPECT_TRUE(third["details"].empty());  // candidate promotions leave no detail entry
  auto kb = store();
  auto patterns = kb.list_patterns("local");
  ASSERT_EQ(patterns.size(), 1u);
  EXPECT_EQ(patterns[0]["occurrence_count"], 8);
  EXPECT_EQ(patterns[0]["confidence_tier"], "confirmed");
  EXPECT_EQ(patterns[0]["confidence_status"], "sufficient");
  auto knowledge = kb.list_knowledge("local");
  ASSERT_EQ(knowledge.size(), 1u);
  EXPECT_EQ(knowledge[0]["derived_from"], patterns[0]["pattern_id"]);
  EXPECT_EQ(knowledge[0]["support_count"], 8);
  EXPECT_EQ(knowledge[0]["approval_method"], "automatic");
  kb.close();
  // Confirmed: counted again, never promoted twice.
  Json fourth = run(Json{{"promotion_threshold", 8}});
  EXPECT_EQ(fourth["patterns_incremented"], 1);
  EXPECT_EQ(fourth["patterns_promoted"], 0);
}

TEST_F(Lifecycle, SameFamiliesAndMetricsCountEvenWithAnotherFingerprint) {
  {
    auto kb = store();
    kb.create_pattern(stored_pattern("0000000000000000", {"git", "ci"},
                                     {"run_duration", "files_touched"}, 3));
  }
  Json summary = run();
  EXPECT_EQ(summary["patterns_discovered"], 0);
  EXPECT_EQ(summary["patterns_incremented"], 1);
  auto patterns = store().list_patterns("local");
  ASSERT_EQ(patterns.size(), 1u);
  EXPECT_EQ(patterns[0]["occurrence_count"], 4);
  EXPECT_EQ(patterns[0]["last_seen"], "2025-01-01T00:00:00Z");
}

TEST_F(Lifecycle, BatchFingerprintOfAStoredPatternIsCountedAndPromoted) {
  std::string batch = batch_fingerprint();
  std::string id;
  {
    auto kb = store();
    id = kb.create_pattern(stored_pattern(batch, {"x"}, {"y"}, 9));
  }
  Json summary = run();
  EXPECT_EQ(summary["batch_fingerprint"], batch);
  EXPECT_EQ(summary["patterns_incremented"], 1);
  EXPECT_EQ(summary["patterns_promoted"], 1);
  EXPECT_EQ(summary["patterns_discovered"], 1);
  ASSERT_EQ(summary["details"].size(), 2u);
  const Json& promoted = summary["details"][0];
  EXPECT_EQ(promoted["action"], "promoted");
  EXPECT_EQ(promoted["pattern_id"], id);
  auto knowledge = store().get_knowledge(promoted["knowledge_id"]);
  ASSERT_TRUE(knowledge);
  EXPECT_EQ((*knowledge)["support_count"], 10);
  // Recognised from then on.
  Json again = run();
  EXPECT_EQ(again["patterns_recognized"], 1);
  EXPECT_EQ(dump_compact(again["details"][0]),
            "{\"action\": \"recognized\", \"fingerprint\": \"" + batch +
                "\", \"knowledge_id\": " + dump_compact(promoted["knowledge_id"]) +
                ", \"description\": \"stored\"}");
}

TEST_F(Lifecycle, PromotionCheckHonoursTierScopeAndExistingKnowledge) {
  Dornath engine(dir_.path());
  Json pattern = stored_pattern("3333333333333333", {"git", "ci"}, {"m1", "m2"}, 10);
  pattern["pattern_id"] = engine.kb->create_pattern(pattern);
  EXPECT_TRUE(engine._check_promotion(pattern));
  pattern["occurrence_count"] = 9;
  EXPECT_FALSE(engine._check_promotion(pattern));
  pattern["occurrence_count"] = 29;
  pattern["confidence_tier"] = "speculative";
  EXPECT_FALSE(engine._check_promotion(pattern));  // 10 x 3 for a speculative pattern
  pattern["occurrence_count"] = 30;
  EXPECT_TRUE(engine._check_promotion(pattern));
  pattern["confidence_tier"] = "confirmed";
  EXPECT_FALSE(engine._check_promotion(pattern));

  // Knowledge on the same families and metric names blocks another
  // fingerprint, but only within its scope.
  Json other = stored_pattern("4444444444444444", {"ci", "git"}, {"m2", "m1"}, 10);
  other["pattern_id"] = engine.kb->create_pattern(other);
  pattern["confidence_tier"] = "statistical";
  std::string knowledge_id = engine._promote_pattern(pattern);
  EXPECT_EQ((*engine.kb->get_pattern(pattern["pattern_id"]))["confidence_tier"], "confirmed");
  EXPECT_EQ((*engine.kb->get_knowledge(knowledge_id))["description_statistical"], "stored");
  EXPECT_FALSE(engine._check_promotion(other));
  other["scope"] = "global";
  EXPECT_TRUE(engine._check_promotion(other));

  EXPECT_EQ(engine._lookup_fingerprint("3333333333333333")["match"], "knowledge");
  EXPECT_EQ(engine._lookup_fingerprint("4444444444444444")["match"], "pattern");
  EXPECT_EQ(dump_compact(engine._lookup_fingerprint("5555555555555555")), "{\"match\": null}");
}

TEST_F(Lifecycle, DecayExpiresStaleUnconfirmedPatternsOnly) {
  std::string stale, confirmed;
  {
    auto kb = store();
    stale = kb.create_pattern(stored_pattern("1111111111111111", {"a"}, {"b"}, 1, "2000-01-01T00:00:00Z"));
    confirmed = kb.create_pattern(
        stored_pattern("2222222222222222", {"c"}, {"d"}, 1, "2000-01-01T00:00:00Z"));
    kb.update_pattern(confirmed, Json{{"confidence_tier", "confirmed"}});
  }
  Json summary = run();
  EXPECT_EQ(summary["patterns_expired"], 1);
  auto kb = store();
  EXPECT_EQ((*kb.get_pattern(stale))["expired"], 1);
  EXPECT_EQ((*kb.get_pattern(confirmed))["expired"], 0);
}

// A faulty signal is reported by its file and its position in that file,
// with the kind of failure kept, whichever step of the run meets it.
TEST_F(Lifecycle, FaultySignalsAreNamedByFileAndPosition) {
  auto message_of = [this] {
    try {
      Dornath(dir_.path()).run();
    } catch (const MissingMember& e) {
      return std::string(e.what());
    }
    return std::string("no MissingMember");
  };
  const std::string file = (dir_.path() / "phase2" / "ci_signals.json").string();
  Json ci = Json::array({make_signal("ci", "run_duration", 0.1, "r1"),
                         make_signal("ci", "run_duration", 3.0, "r2")});
  ci[1].erase("engine_id");  // deviating: the batch components meet it first
  dir_.write_signals("ci", ci);
  EXPECT_EQ(message_of(), file + ": signals[1]: missing member 'engine_id'");

  ci[1]["deviation"]["measure"] = 0;  // unchanged: only discovery reads its key
  dir_.write_signals("ci", ci);
  EXPECT_EQ(message_of(), file + ": signals[1]: missing member 'engine_id'");
}

TEST_F(Lifecycle, NoDeviationMeansNoBatchFingerprint) {
  VelDir quiet;
  quiet.write_signals("git", Json::array({make_signal("git", "files_touched", 0.5, "g1")}));
  Json summary = Dornath(quiet.path()).run();
  EXPECT_EQ(summary["deviating_signals"], 0);
  EXPECT_TRUE(summary["batch_fingerprint"].is_null());
}

// A language model with a canned answer that remembers its prompts.
class FakeModel : public LanguageModel {
 public:
  explicit FakeModel(std::string answer, bool fails = false) : answer_(std::move(answer)), fails_(fails) {}
  std::string generate(const std::string& prompt) override {
    prompts.push_back(prompt);
    if (fails_) throw Error("service down");
    return answer_;
  }
  std::vector<std::string> prompts;

 private:
  std::string answer_;
  bool fails_;
};

class Interpretation : public ::testing::Test {
 protected:
  std::optional<std::string> interpret(const std::string& answer, bool fails = false) {
    auto model = std::make_unique<FakeModel>(answer, fails);
    model_ = model.get();
    engine_._llm = std::move(model);
    return engine_._interpret_pattern(pattern_, explanations_);
  }

  VelDir dir_;
  Dornath engine_{dir_.path()};
  FakeModel* model_ = nullptr;
  Json pattern_ = {{"description_statistical", "Signals a.b and c.d co-occur."},
                   {"signal_refs", {"e1", "missing", "e2", "e3", "e4", "e5", "e6"}}};
  std::unordered_map<std::string, Json> explanations_ = {
      {"e1", {{"summary", "This commit touched 40 files."}}},
      {"e2", {{"summary", 3}}},
      {"e3", Json::object()},
      {"e4", {{"other", 1}}},
      {"e6", {{"summary", "never shown: beyond the first five references"}}}};
};

TEST_F(Interpretation, AsksWithTheFixedPromptAndDropsThePreface) {
  auto text = interpret("Description: \n Bigger commits come with slower builds.  ");
  EXPECT_EQ(text, "Bigger commits come with slower builds.");
  ASSERT_EQ(model_->prompts.size(), 1u);
  EXPECT_EQ(model_->prompts[0],
            "You are explaining a recurring code change pattern to a product manager.\n"
            "\n"
            "Statistical finding: Signals a.b and c.d co-occur.\n"
            "\n"
            "Signal explanations:\n"
            "- This commit touched 40 files.\n"
            "- 3\n"
            "- \n"
            "\n"
            "Describe what this pattern means in ONE plain-English sentence.\n"
            "Write for a non-technical audience \xE2\x80\x94 avoid jargon like 'correlation', "
            "'deviation', 'stddev'.\n"
            "Do not add judgment, recommendations, or speculation.\n"
            "Describe only what is happening in practical terms.");
  EXPECT_EQ(interpret("here's the sentence you asked for:\nBuilds slow down."), "Builds slow down.");
  EXPECT_EQ(interpret("Here is a description: a. b."), "a. b.");
  EXPECT_EQ(interpret("Here we go: builds slow down."), "Here we go: builds slow down.");
}

// Case is ignored as in Unicode matching: letters whose lower case is the
// ASCII one (dotted capital I), and the long s and dotless i, count too;
// other look-alikes do not.
TEST_F(Interpretation, PrefaceCaseIgnoredLikeUnicodeMatching) {
  EXPECT_EQ(interpret("HERE'\u017f a DE\u017fCR\u0130PTION:\u2028 Builds slow down."),
            "Builds slow down.");
  EXPECT_EQ(interpret("Here \u0131s the sentence: Builds slow down."), "Builds slow down.");
  EXPECT_EQ(interpret("Here\u212as a description: Builds slow down."),
            "Here\u212as a description: Builds slow down.");
}

TEST_F(Interpretation, RejectsGateFailuresLongAnswersAndErrors) {
  EXPECT_EQ(interpret("A strong correlation appears."), std::nullopt);
  EXPECT_EQ(interpret("   "), std::nullopt);
  EXPECT_EQ(interpret("One. Two. Three. Four. Five."), std::nullopt);
  EXPECT_EQ(interpret("One. Two. Three. Four..."), "One. Two. Three. Four...");
  EXPECT_EQ(interpret("Builds slow down.", /*fails=*/true), std::nullopt);
}

TEST_F(Interpretation, NoExplanationsNoCall) {
  pattern_["signal_refs"] = {"missing", "e3"};
  EXPECT_EQ(interpret("Builds slow down."), std::nullopt);
  EXPECT_TRUE(model_->prompts.empty());
  engine_._llm.reset();
  engine_._llm_enabled = false;
  EXPECT_EQ(engine_._interpret_pattern(pattern_, explanations_), std::nullopt);
}

TEST_F(Lifecycle, DiscoveredPatternsGetTheModelsSentence) {
  Json explanations = Json::array();
  for (int i = 1; i <= 6; ++i)
    explanations.push_back({{"signal_ref", "g" + std::to_string(i)}, {"summary", "touched"}});
  dir_.write_explanations(explanations);
  Dornath engine(dir_.path(), Json{{"confidence_full_at", 6}});
  engine._llm = std::make_unique<FakeModel>("Large commits come with slow builds.");
  Json summary = engine.run();
  EXPECT_EQ(summary["patterns_enriched"], 1);
  EXPECT_EQ(summary["details"][0]["description_semantic"], "Large commits come with slow builds.");
  EXPECT_EQ(engine.kb->list_patterns("local")[0]["description_semantic"],
            "Large commits come with slow builds.");
}

}  // namespace
}  // namespace velquor::dornath
