// Construction and the five loaders: order, keys, missing inputs and the
// errors that name a malformed file.

#include <gtest/gtest.h>
#include <sqlite3.h>

#include "fixture.h"
#include "shared/errors.h"
#include "velquor/lorvessa/lorvessa.h"

namespace velquor::esperlin::testing {
namespace {

using InputsTest = DataDir;

TEST_F(InputsTest, ConstructionCreatesOutputFolderAndTidiesThePath) {
  Esperlin engine(dir.string() + "//./", 2);
  EXPECT_TRUE(fs::is_directory(dir / "phase5"));
  EXPECT_EQ(engine.output_path, dir / "phase5");
  EXPECT_EQ(engine.phase1_path, dir / "events");
  EXPECT_EQ(engine.significance_threshold, 2.0);
}

TEST_F(InputsTest, MissingInputsAreEmpty) {
  Esperlin engine(dir);
  EXPECT_EQ(engine._load_signals(), Json::array());
  EXPECT_EQ(engine._load_explanations(), Json::object());
  EXPECT_EQ(engine._load_events(), Json::object());
  EXPECT_EQ(engine._load_phase4_knowledge(), Json::array());
  EXPECT_EQ(engine._load_phase4_patterns(), Json::array());
  EXPECT_FALSE(fs::exists(dir / "phase4" / "knowledge.db"));
}

TEST_F(InputsTest, SignalsFollowTheFamilyTableOrder) {
  write_signals("ci", Json::array({signal("ci", "run_duration", "c1", 5, 0.5)}));
  write_signals("git", Json::array({signal("git", "files_touched", "g1", 5, 0.5),
                                    signal("git", "dispersion", "g1", 0.5, 0.1)}));
  const Json signals = Esperlin(dir)._load_signals();
  ASSERT_EQ(signals.size(), 3u);
  EXPECT_EQ(signals[0]["metric"], "files_touched");
  EXPECT_EQ(signals[1]["metric"], "dispersion");
  EXPECT_EQ(signals[2]["metric"], "run_duration");
}

TEST_F(InputsTest, ExplanationsArePrimaryKeyedWithFirstRecordAsFallback) {
  write_json("phase3/explanations.json",
             Json::array({{{"signal_ref", "e1"}, {"engine_id", "git"}, {"details", {{"metric", "m"}}}, {"summary", "one"}},
                          {{"signal_ref", "e2"}, {"engine_id", "git"}, {"details", {{"metric", "m"}}}, {"summary", "two"}},
                          {{"signal_ref", ""}, {"engine_id", "ci"}, {"details", {{"metric", "d"}}}, {"summary", "three"}},
                          {{"summary", "bare"}},
                          {{"signal_ref", nullptr}, {"summary", "second bare"}}}));
  const Json index = Esperlin(dir)._load_explanations();
  EXPECT_EQ(index["e1:git:m"]["summary"], "one");
  EXPECT_EQ(index["e2:git:m"]["summary"], "two");
  EXPECT_EQ(index["git:m"]["summary"], "one");
  EXPECT_EQ(index["ci:d"]["summary"], "three");
  EXPECT_FALSE(index.contains(":ci:d"));
  EXPECT_EQ(index[":"]["summary"], "bare");
  std::vector<std::string> keys;
  for (const auto& item : index.items()) keys.push_back(item.key());
  EXPECT_EQ(keys, (std::vector<std::string>{"e1:git:m", "git:m", "e2:git:m", "ci:d", ":"}));
}

TEST_F(InputsTest, EventsAreKeyedByIdOrFileName) {
  write_event(git_event("g1", "sha1", "2025-01-01"));
  write_json("events/abc.json", Json{{"source_family", "ci"}});
  write_json("events/zz.json", Json{{"event_id", "g1"}, {"source_family", "later"}});
  write("events/notes.txt", "ignored");
  const Json events = Esperlin(dir)._load_events();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events["abc"]["source_family"], "ci");
  EXPECT_EQ(events["g1"]["source_family"], "later");
  EXPECT_EQ(events.begin().key(), "abc");
}

TEST_F(InputsTest, StoreIsReadByScope) {
  {
    lorvessa::SQLiteLorvessa store(dir / "phase4" / "knowledge.db");
    for (const char* scope : {"local", "community"}) {
      store.create_pattern({{"fingerprint", std::string("fp-") + scope}, {"discovery_method", "cooccurrence"},
                            {"sources", {"git", "ci"}}, {"metrics", {"files_touched"}},
                            {"pattern_type", "co_occurrence"}, {"scope", scope}});
    }
  }
  Esperlin engine(dir);
  EXPECT_EQ(engine._load_phase4_patterns().size(), 2u);
  EXPECT_EQ(engine._load_phase4_patterns("").size(), 2u);
  ASSERT_EQ(engine._load_phase4_patterns("community").size(), 1u);
  EXPECT_EQ(engine._load_phase4_patterns("community")[0]["scope"], "community");
  EXPECT_EQ(engine._load_phase4_knowledge(), Json::array());
}

TEST_F(InputsTest, AnOlderOrEmptyStoreFileIsBroughtUpToDate) {
  const fs::path db = dir / "phase4" / "knowledge.db";
  write("phase4/knowledge.db", "");
  EXPECT_EQ(Esperlin(dir)._load_phase4_patterns(), Json::array());
  {
    lorvessa::SQLiteLorvessa store(db);
    store.create_pattern({{"fingerprint", "fp"}, {"discovery_method", "presence"}, {"sources", {"git"}},
                          {"metrics", {"dispersion"}}, {"pattern_type", "presence"}});
  }
  sqlite3* conn = nullptr;
  ASSERT_EQ(sqlite3_open(db.c_str(), &conn), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(conn, "ALTER TABLE patterns DROP COLUMN repo_count", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(conn);
  const Json patterns = Esperlin(dir)._load_phase4_patterns();
  ASSERT_EQ(patterns.size(), 1u);
  EXPECT_EQ(patterns[0]["repo_count"], 0);
}

// Each loader stops on a malformed record with an error naming the file.
TEST_F(InputsTest, MalformedRecordsNameTheirFile) {
  Esperlin engine(dir);
  auto expect_error_naming = [&](auto load, const std::string& file) {
    try {
      load();
      ADD_FAILURE() << "no error for " << file;
    } catch (const Error& error) {
      EXPECT_NE(std::string(error.what()).find(file), std::string::npos) << error.what();
    }
  };
  write_json("phase2/git_signals.json", Json{{"not", "a list"}});
  expect_error_naming([&] { engine._load_signals(); }, "git_signals.json");
  write_json("phase2/git_signals.json", Json::array({{{"deviation", nullptr}}}));
  expect_error_naming([&] { engine._load_signals(); }, "git_signals.json[0]");
  Json no_baseline = signal("git", "files_touched", "g1", 5, 3.0);
  no_baseline.erase("baseline");
  write_json("phase2/git_signals.json", Json::array({signal("git", "x", "", 1, 0.1), no_baseline}));
  expect_error_naming([&] { engine._load_signals(); }, "git_signals.json[1]");

  write_json("phase3/explanations.json", Json::array({{{"details", nullptr}}}));
  expect_error_naming([&] { engine._load_explanations(); }, "explanations.json[0]");

  write_json("events/bad.json", Json{{"event_id", "b"}, {"payload", {{"trigger", "sha"}}}});
  expect_error_naming([&] { engine._load_events(); }, "bad.json");
  write_json("events/bad.json", Json{{"event_id", "b"}, {"source_type", "git"}, {"payload", {{"files", {1, 2}}}}});
  expect_error_naming([&] { engine._load_events(); }, "bad.json");
  write_json("events/bad.json", family_event("b", "testing", "2025-01-01", {{"cases", {"t1"}}}));
  expect_error_naming([&] { engine._load_events(); }, "bad.json");
  write_json("events/bad.json", Json{{"event_id", "b"}, {"source_family", "version_control"}, {"attestation", "abc"}});
  expect_error_naming([&] { engine._load_events(); }, "bad.json");
  write_json("events/bad.json", Json{{"source_type", "git"}, {"payload", {{"committed_at", 5}}}});
  expect_error_naming([&] { engine._load_events(); }, "bad.json");
  write("events/bad.json", "{\"event_id\": NaN}");
  expect_error_naming([&] { engine._load_events(); }, "bad.json");
}

// Members are judged only where some step reads them: a CI run never has
// its files, test cases, findings or commit hash read, whatever they hold.
TEST_F(InputsTest, MembersOfOtherKindsOfEventAreNotJudged) {
  Json odd = family_event("c1", "ci", "2025-01-01T00:00:00Z",
                          {{"files", "a.py"}, {"cases", {"t1"}}, {"findings", {1}}, {"dependencies", 3},
                           {"commit_hash", 5}, {"trigger", {{"commit_sha", "abc"}}}});
  odd["attestation"] = "signed";
  write_json("events/c1.json", odd);
  write_json("events/g1.json", Json{{"event_id", "g1"}, {"source_type", "git"},
                                    {"observed_at", "2025-01-01T00:00:00Z"},
                                    {"payload", {{"commit_hash", "abc"}, {"trigger", "none"}}}});
  write_json("phase2/ci_signals.json", Json::array({signal("ci", "run_duration", "c1", 900.0, 4.0)}));
  Esperlin engine(dir);
  EXPECT_EQ(engine._load_events().size(), 2u);
  const Json result = engine.run("proj");
  ASSERT_EQ(result["status"], "complete");
  EXPECT_EQ(result["advisory"]["changes"][0]["trigger_commit"], "abc");
  EXPECT_EQ(result["advisory"]["evidence"]["timeline"].size(), 1u);
}

// Every proper prefix of a valid file is an error naming the file, never a
// crash or a partial result.
TEST_F(InputsTest, TruncatedFilesAreErrors) {
  const std::string signals = dump_compact(Json::array({signal("git", "files_touched", "g1", 42, 3.25)}));
  const std::string explanations =
      dump_compact(Json::array({{{"signal_ref", "g1"}, {"engine_id", "git"}, {"details", {{"metric", "m"}}}}}));
  const std::string event = dump_compact(git_event("g1", "abc", "2025-01-01", {"a.py"}, "msg"));
  Esperlin engine(dir);
  struct Case {
    const char* file;
    const std::string* content;
    std::function<void()> load;
  };
  const Case cases[] = {{"phase2/git_signals.json", &signals, [&] { engine._load_signals(); }},
                        {"phase3/explanations.json", &explanations, [&] { engine._load_explanations(); }},
                        {"events/g1.json", &event, [&] { engine._load_events(); }}};
  for (const Case& c : cases) {
    for (size_t length = 0; length < c.content->size(); ++length) {
      write(c.file, c.content->substr(0, length));
      EXPECT_THROW(c.load(), Error) << c.file << " cut at " << length;
    }
    write(c.file, *c.content);
    EXPECT_NO_THROW(c.load());
  }
}

}  // namespace
}  // namespace velquor::esperlin::testing
