// Engine set-up and inputs: parameter merge, environment, client choice,
// signal and explanation loading, and the two event indexes.

#include <fstream>
#include <unordered_map>

#include "fixture.h"
#include "shared/errors.h"
#include "velquor/dornath/dornath.h"
#include "velquor/dornath/signal_table.h"

namespace velquor::dornath {
namespace {

using testing::ci_event;
using testing::git_event;
using testing::make_signal;
using testing::ScopedEnv;
using testing::VelDir;

// A plain write: these tests rewrite one file hundreds of times, and the
// atomic writer's flush to disk would make that slow.
void put(const fs::path& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

// A client that only records that it was made.
class NamedModel : public LanguageModel {
 public:
  explicit NamedModel(std::string name) : name(std::move(name)) {}
  std::string generate(const std::string&) override { return name; }
  std::string name;
};

LanguageModelFactories named_models(int* anthropic_calls, int* openrouter_calls,
                                    bool anthropic_fails = false, bool openrouter_fails = false) {
  LanguageModelFactories f;
  f.anthropic = [=](const std::string& model) -> std::unique_ptr<LanguageModel> {
    ++*anthropic_calls;
    if (anthropic_fails) throw Error("no service");
    return std::make_unique<NamedModel>("anthropic:" + model);
  };
  f.openrouter = [=](const std::string& model) -> std::unique_ptr<LanguageModel> {
    ++*openrouter_calls;
    if (openrouter_fails) throw Error("no key");
    return std::make_unique<NamedModel>("openrouter:" + model);
  };
  return f;
}

TEST(DornathSetup, MergesParamsOverDefaultsAndCreatesTheStore) {
  VelDir dir;
  Dornath engine(dir.path() / "nested", Json{{"min_support", 3}, {"extra", "kept"}});
  EXPECT_EQ(dump_compact(engine.params),
            "{\"min_support\": 3, \"min_correlation\": 0.4, \"min_lift\": 2.0, "
            "\"min_effect_size\": 0.35, \"promotion_threshold\": 10, \"decay_window\": 90, "
            "\"semantic_multiplier\": 3, \"direction_threshold\": 1.5, \"confidence_full_at\": 30, "
            "\"temporal_window_hours\": 24, \"extra\": \"kept\"}");
  EXPECT_TRUE(fs::exists(dir.path() / "nested" / "phase4" / "knowledge.db"));
  engine.close();
  engine.close();
  Dornath defaults(dir.path(), Json::object());
  EXPECT_EQ(defaults.params, DEFAULT_PARAMS);
  EXPECT_THROW(Dornath(dir.path(), Json::array()), TypeError);
}

TEST(DornathSetup, EnvironmentChoosesWhetherAndWhichModel) {
  VelDir dir;
  {
    ScopedEnv a("PHASE4B_ENABLED", "false"), b("PHASE31_ENABLED", "true"), m("PHASE4B_MODEL", nullptr);
    Dornath engine(dir.path());
    EXPECT_FALSE(engine._llm_enabled);
    EXPECT_EQ(engine._llm_model, "anthropic/claude-sonnet-4.5");
  }
  {
    ScopedEnv a("PHASE4B_ENABLED", nullptr), b("PHASE31_ENABLED", "TRUE"), m("PHASE4B_MODEL", "x/y");
    Dornath engine(dir.path());
    EXPECT_TRUE(engine._llm_enabled);
    EXPECT_EQ(engine._llm_model, "x/y");
  }
  ScopedEnv a("PHASE4B_ENABLED", "1"), b("PHASE31_ENABLED", "true");
  EXPECT_FALSE(Dornath(dir.path())._llm_enabled);
}

TEST(GetLlm, PrefersAnthropicWithAKeyAndFallsBackOnce) {
  VelDir dir;
  ScopedEnv on("PHASE4B_ENABLED", "true"), model("PHASE4B_MODEL", "m");
  int anthropic = 0, openrouter = 0;
  {
    ScopedEnv key("ANTHROPIC_API_KEY", "k");
    Dornath engine(dir.path(), Json(), named_models(&anthropic, &openrouter));
    auto* client = dynamic_cast<NamedModel*>(engine._get_llm());
    ASSERT_NE(client, nullptr);
    EXPECT_EQ(client->name, "anthropic:m");
    EXPECT_EQ(engine._get_llm(), client);  // made once
    EXPECT_EQ(anthropic, 1);
  }
  {
    ScopedEnv key("ANTHROPIC_API_KEY", "k");
    Dornath engine(dir.path(), Json(), named_models(&anthropic, &openrouter, true));
    auto* client = dynamic_cast<NamedModel*>(engine._get_llm());
    ASSERT_NE(client, nullptr);
    EXPECT_EQ(client->name, "openrouter:m");
  }
  {
    ScopedEnv key("ANTHROPIC_API_KEY", "");
    anthropic = openrouter = 0;
    Dornath engine(dir.path(), Json(), named_models(&anthropic, &openrouter, false, true));
    EXPECT_EQ(engine._get_llm(), nullptr);
    EXPECT_EQ(engine._get_llm(), nullptr);
    EXPECT_FALSE(engine._llm_enabled);
    EXPECT_EQ(anthropic, 0);
    EXPECT_EQ(openrouter, 1);  // a failed fallback disables the client for good
  }
  Dornath absent(dir.path(), Json(), LanguageModelFactories{});
  EXPECT_EQ(absent._get_llm(), nullptr);
}

TEST(LoadSignals, ReadsTheTableFamiliesInOrder) {
  VelDir dir;
  dir.write_signals("ci", Json::array({make_signal("ci", "run_duration", 1, "c1")}));
  dir.write_signals("git", Json::array({make_signal("git", "files_touched", 1, "g1"),
                                        make_signal("git", "dispersion", 1, "g1")}));
  dir.write_signals("coverage", Json::array({make_signal("coverage", "line_rate", 1, "v1")}));
  Dornath engine(dir.path());
  Json signals = engine._load_all_signals();
  ASSERT_EQ(signals.size(), 3u);
  EXPECT_EQ(signals[0]["event_ref"], "g1");
  EXPECT_EQ(signals[1]["metric"], "dispersion");
  EXPECT_EQ(signals[2]["engine_id"], "ci");
}

TEST(LoadSignals, AcceptsNonFiniteTokensAndRejectsNonLists) {
  VelDir dir;
  fs::create_directories(dir.path() / "phase2");
  write_file_atomic(dir.path() / "phase2" / "git_signals.json", "[{\"observed\": Infinity}]");
  Dornath engine(dir.path());
  EXPECT_TRUE(std::isinf(engine._load_all_signals()[0]["observed"].get<double>()));
  write_file_atomic(dir.path() / "phase2" / "git_signals.json", "{}");
  EXPECT_THROW(engine._load_all_signals(), TypeError);
}

TEST(LoadSignals, ReadsRecordsOneByOneExactlyAsTheWholeDocument) {
  VelDir dir;
  fs::create_directories(dir.path() / "phase2");
  const std::string text =
      " [ {\"a\": \"x]}\\\"\", \"b\": [1, {\"c\": NaN}], \"a\": 2} ,3,\"s,]\" ,-Infinity,[[]],{}\n]\n";
  put(dir.path() / "phase2" / "git_signals.json", text);
  Dornath engine(dir.path());
  EXPECT_EQ(dump_compact(engine._load_all_signals()),
            dump_compact(parse_json(text, "t", NonFinite::kAccept)));
  for (const char* bad : {"\xEF\xBB\xBF[]", "[1,]", "[1 2]", "[] x", "[{\"a\": tru}]", "[\"\xFF\"]"}) {
    put(dir.path() / "phase2" / "git_signals.json", bad);
    EXPECT_THROW(engine._load_all_signals(), JsonError) << bad;
  }
  put(dir.path() / "phase2" / "git_signals.json", " 3 ");
  EXPECT_THROW(engine._load_all_signals(), TypeError);
  put(dir.path() / "phase2" / "git_signals.json", " [ ] ");
  EXPECT_TRUE(engine._load_all_signals().empty());
}

TEST(LoadExplanations, KeysByNonEmptySignalRefLaterWins) {
  VelDir dir;
  Dornath engine(dir.path());
  EXPECT_TRUE(engine._load_explanations().empty());
  dir.write_explanations(Json::array({{{"signal_ref", "e1"}, {"summary", "first"}},
                                      {{"signal_ref", nullptr}, {"summary", "none"}},
                                      {{"signal_ref", ""}, {"summary", "empty"}},
                                      {{"signal_ref", "e1"}, {"summary", "second"}}}));
  auto by_ref = engine._load_explanations();
  ASSERT_EQ(by_ref.size(), 1u);
  EXPECT_EQ(by_ref["e1"]["summary"], "second");
}

TEST(Loaders, EveryTruncationOfAValidFileIsAClearError) {
  VelDir dir;
  Json signals = Json::array({make_signal("git", "files_touched", 2.5, "\xC3\xA9v1")});
  std::string text = dump_pretty(signals);
  Json explanations = Json::array({{{"signal_ref", "e\xC3\xA9"}, {"summary", "s"}}});
  std::string explained = dump_pretty(explanations);
  fs::create_directories(dir.path() / "phase2");
  fs::create_directories(dir.path() / "phase3");
  Dornath engine(dir.path());
  for (size_t n = 0; n < text.size(); ++n) {
    put(dir.path() / "phase2" / "git_signals.json", text.substr(0, n));
    EXPECT_THROW(engine._load_all_signals(), Error) << "prefix " << n;
  }
  for (size_t n = 0; n < explained.size(); ++n) {
    put(dir.path() / "phase3" / "explanations.json", explained.substr(0, n));
    EXPECT_THROW(engine._load_explanations(), Error) << "prefix " << n;
  }
}

TEST(EventIndexes, TruncatedEventFilesAreSkippedOrRejectedNeverFatal) {
  VelDir dir;
  std::string text = dump_pretty(git_event("g\xC3\xA9", "c1", "2024-05-01T10:00:00Z"));
  for (size_t n = 0; n < text.size(); ++n) {
    fs::remove_all(dir.path() / "events");
    fs::create_directories(dir.path() / "events");
    put(dir.path() / "events" / "a.json", text.substr(0, n));
    Dornath engine(dir.path());
    try {
      EXPECT_TRUE(engine._build_commit_index().empty()) << "prefix " << n;
      EXPECT_TRUE(engine._build_temporal_index().empty()) << "prefix " << n;
    } catch (const JsonError&) {
      // a prefix that cuts a character in two is not UTF-8: reported, not skipped
    }
  }
}

// Whatever makes a file unreadable as JSON, only bytes that are no UTF-8
// stop the index; anything else leaves the file out.
TEST(EventIndexes, OnlyBytesThatAreNoUtf8AnywhereInAFileAreAnError) {
  const std::string event = R"({"event_id": "g1", "source_type": "git", "payload": {"commit_hash": "c1"}})";
  struct Case {
    const char* name;
    std::string text;
    bool error;
  };
  const Case cases[] = {
      {"valid", event, false},
      {"byte-order mark", "\xEF\xBB\xBF" + event, false},
      {"valid UTF-8 after the document", event + " \xC3\xA9", false},
      {"valid UTF-8 outside any string", "{\xC3\xA9}", false},
      {"stray byte after the document", event + "\xFF", true},
      {"stray byte before the document", "\x80" + event, true},
      {"overlong slash in a string", "{\"event_id\": \"\xC0\xAF\"}", true},
      {"encoded surrogate in a string", "{\"event_id\": \"\xED\xA0\x80\"}", true},
      {"beyond U+10FFFF in a member name", "{\"\xF4\x90\x80\x80\": 1}", true},
      {"cut character in invalid JSON", "{\"event_id\": \"\xC3", true},
  };
  for (const Case& c : cases) {
    VelDir dir;
    fs::create_directories(dir.path() / "events");
    put(dir.path() / "events" / "a.json", c.text);
    Dornath engine(dir.path());
    if (c.error) {
      EXPECT_THROW(engine._build_commit_index(), JsonError) << c.name;
    } else {
      EXPECT_EQ(engine._build_commit_index().size(), c.text == event ? 1u : 0u) << c.name;
    }
  }
}

TEST(GroupSignals, GroupsByFirstAppearanceAndDropsUnreferenced) {
  VelDir dir;
  Dornath engine(dir.path());
  Json signals = Json::array({make_signal("git", "a", 1, "e2"), make_signal("git", "b", 1, ""),
                              make_signal("ci", "c", 1, "e1"), make_signal("git", "d", 1, "e2")});
  auto groups = engine._group_signals_by_event(signals);
  ASSERT_EQ(groups.size(), 2u);
  EXPECT_EQ(groups[0].first, "e2");
  ASSERT_EQ(groups[0].second.size(), 2u);
  EXPECT_EQ(groups[0].second[1]["metric"], "d");
  EXPECT_EQ(groups[1].first, "e1");
}

TEST(EventIndexes, MapEventsToCommitsAndTimes) {
  VelDir dir;
  dir.add_event(git_event("g1", "c1", "2024-05-01T10:00:00Z"));
  dir.add_event(ci_event("r1", "c1", "2024-05-01T11:00:00Z"));
  Json null_trigger = ci_event("r2", "", "2024-05-01T12:00:00Z");
  null_trigger["payload"]["trigger"] = nullptr;
  dir.add_event(null_trigger);
  Json no_id = git_event("x", "c9", "2024-05-01T13:00:00Z");
  no_id.erase("event_id");
  write_json_file(dir.path() / "events" / "no_id.json", no_id);
  write_file_atomic(dir.path() / "events" / "broken.json", "{\"event_id\": ");
  write_file_atomic(dir.path() / "events" / "nan.json", "{\"event_id\": \"n\", \"x\": NaN}");
  fs::create_directories(dir.path() / "events" / "dir.json");
  write_json_file(dir.path() / "events" / "other.txt", git_event("t", "c8", "2024-05-01"));
  // The later file name wins for a repeated event id.
  dir.add_event(git_event("z1", "c2", "2024-05-02T10:00:00Z"));
  Json repeat = git_event("z1", "c3", "2024-05-03T10:00:00Z");
  write_json_file(dir.path() / "events" / "zz.json", repeat);

  Dornath engine(dir.path());
  const auto& commits = engine._build_commit_index();
  EXPECT_EQ(commits.size(), 3u);
  EXPECT_EQ(commits.at("g1"), "c1");
  EXPECT_EQ(commits.at("r1"), "c1");
  EXPECT_EQ(commits.at("z1"), "c3");
  const auto& times = engine._build_temporal_index();
  EXPECT_EQ(times.size(), 4u);
  EXPECT_EQ(times.at("r1"), "2024-05-01T11:00:00Z");
  EXPECT_EQ(times.at("r2"), "2024-05-01T12:00:00Z");

  // Built once: later files are not seen by this engine.
  dir.add_event(git_event("g2", "c4", "2024-05-04T10:00:00Z"));
  EXPECT_EQ(engine._build_commit_index().size(), 3u);
  EXPECT_EQ(Dornath(dir.path())._build_commit_index().size(), 4u);
}

TEST(EventIndexes, MalformedMembersFailOnlyTheIndexThatReadsThem) {
  VelDir dir;
  Json bad_timing = ci_event("r1", "c1", "2024-05-01T11:00:00Z");
  bad_timing["payload"]["timing"] = 5;
  dir.add_event(bad_timing);
  Dornath engine(dir.path());
  EXPECT_EQ(engine._build_commit_index().at("r1"), "c1");
  EXPECT_THROW(engine._build_temporal_index(), TypeError);

  VelDir other;
  Json bad_trigger = ci_event("r1", "", "2024-05-01T11:00:00Z");
  bad_trigger["payload"]["trigger"] = "c1";
  other.add_event(bad_trigger);
  Dornath second(other.path());
  EXPECT_THROW(second._build_commit_index(), TypeError);
  EXPECT_EQ(second._build_temporal_index().size(), 1u);

  VelDir invalid;
  fs::create_directories(invalid.path() / "events");
  write_file_atomic(invalid.path() / "events" / "a.json", "{\"event_id\": \"\xFF\"}");
  EXPECT_THROW(Dornath(invalid.path())._build_commit_index(), JsonError);
}

// Texts of one length share a slot of the recent texts: whichever a text
// meets there, it keeps the id of its first appearance.
TEST(TextIds, TextsKeepTheIdsOfTheirFirstAppearance) {
  TextIds ids;
  const std::pair<const char*, uint32_t> interned[] = {
      {"ci", 0}, {"run", 1}, {"ci", 0}, {"", 2}, {"abcdefghij", 3}, {"ab", 4}, {"", 2},
      {"ci", 0}, {"abcdefghij", 3}, {"ab", 4}, {"run", 1}, {"rum", 5}, {"run", 1}};
  for (const auto& [text, id] : interned) EXPECT_EQ(ids.intern(text), id) << text;
  EXPECT_EQ(ids.size(), 6u);
  EXPECT_EQ(ids.text(5), "rum");
  EXPECT_EQ(ids.find("ab"), std::optional<uint32_t>(4));
  EXPECT_FALSE(ids.find("abc").has_value());
}

// Thousands of texts make the table regrow many times; every text keeps its
// first id through that, and texts never interned are not found.
TEST(TextIds, IdsSurviveTheTableGrowing) {
  TextIds ids;
  std::unordered_map<std::string, uint32_t> expected;
  for (uint32_t round = 0; round < 3; ++round)
    for (uint32_t i = 0; i < 5000; i += 1 + round) {
      const std::string text = (i % 3 ? "ref-" : "") + std::to_string(i * 7919 % 10007);
      auto [known, added] = expected.try_emplace(text, static_cast<uint32_t>(expected.size()));
      ASSERT_EQ(ids.intern(text), known->second) << text << (added ? " (new)" : "");
    }
  EXPECT_EQ(ids.size(), expected.size());
  for (const auto& [text, id] : expected) {
    EXPECT_EQ(ids.find(text), std::optional<uint32_t>(id)) << text;
    EXPECT_EQ(ids.text(id), text);
  }
  for (const char* absent : {"ref-10007", "10008", "", "ref-"})
    EXPECT_FALSE(ids.find(absent).has_value()) << absent;
}

}  // namespace
}  // namespace velquor::dornath
