// Whole runs: the written file byte for byte, the order of the signal files,
// and the failures that must leave an older file in place.

#include <gtest/gtest.h>
#include <gmock/gmock.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include <unistd.h>

#include "shared/errors.h"
#include "shared/file_io.h"
#include "velquor/cindrel/cindrel.h"
#include "tests/cindrel/signal_dir.h"

namespace velquor::cindrel {
namespace {

using ::testing::HasSubstr;

const fs::path kGolden = fs::path(VELQUOR_SOURCE_DIR) / "tests/cindrel/golden";
constexpr char kOlder[] = "[\"older explanations\"]";

class CindrelRun : public testing::SignalDirTest {
 protected:
  CindrelRun() : SignalDirTest("2026-03-01T09:15:02.123456Z") {}

  void copy_golden_signals(const std::string& name = "mixed_families") {
    fs::copy(kGolden / name / "phase2", vel_dir / "phase2",
             fs::copy_options::recursive | fs::copy_options::overwrite_existing);
  }

  // Runs with an older explanations file in place; expects `Expected` with a
  // message containing every part, and the older file untouched.
  template <typename Expected>
  void expect_failure(std::initializer_list<std::string> parts) {
    Cindrel engine(vel_dir);
    write_file_atomic(explanations(), kOlder);
    try {
      engine.run();
      ADD_FAILURE() << "run succeeded";
    } catch (const Expected& e) {
      for (const std::string& part : parts) EXPECT_THAT(e.what(), HasSubstr(part));
    }
    EXPECT_EQ(read_file(explanations()), kOlder);
  }
};

// Each folder of golden/ holds a phase2/ of signal files and the expected
// explanations.json, its summaries written out by hand from the template
// rules and its ids hashed independently.
TEST_F(CindrelRun, GoldenFilesByteForByteAndRepeatable) {
  size_t cases = 0;
  for (const fs::directory_entry& entry : fs::directory_iterator(kGolden)) {
    SCOPED_TRACE(entry.path().filename().string());
    fs::remove_all(vel_dir / "phase2");
    copy_golden_signals(entry.path().filename().string());
    Cindrel engine(vel_dir);
    engine.run();
    std::string first = read_file(explanations());
    EXPECT_EQ(first, read_file(entry.path() / "explanations.json"));
    engine.run();
    EXPECT_EQ(read_file(explanations()), first);
    ++cases;
  }
  EXPECT_GE(cases, 2u);
}

TEST_F(CindrelRun, EachIdHashesItsRecordWithTheLiveClock) {
  unsetenv("VELQUOR_NOW");
  copy_golden_signals();
  Cindrel(vel_dir).run();
  Json records = read_json_file(explanations());
  ASSERT_EQ(records.size(), 6u);
  for (const Json& record : records) {
    std::string stamp = record["generated_at"].get<std::string>();
    EXPECT_EQ(stamp.back(), 'Z');
    Json without_id = record;
    without_id.erase("explanation_id");
    EXPECT_EQ(record["explanation_id"], Cindrel::_hash(without_id));
  }
}

TEST_F(CindrelRun, LoadsPresentFilesInTableOrder) {
  write_signals("security_signals.json", R"([{"n": 3}])");
  write_signals("git_signals.json", R"([{"n": 1}, {"n": 2}])");
  write_signals("error_tracking_signals.json", R"([{"n": 4}])");
  write_signals("coverage_signals.json", "[]");
  EXPECT_EQ(Cindrel(vel_dir)._load_signals().dump(), R"([{"n":1},{"n":2},{"n":3},{"n":4}])");
}

TEST_F(CindrelRun, NoSignalsFailsAndWritesNothing) {
  const std::string message =
      "No Phase 2 signals found. Ensure Phase 2 has been run for at least one source family.";
  Cindrel engine(vel_dir);
  EXPECT_TRUE(fs::is_directory(vel_dir / "phase3"));
  try {
    engine.run();
    ADD_FAILURE() << "run succeeded";
  } catch (const FileNotFound& e) {
    EXPECT_EQ(e.what(), message);
  }
  EXPECT_FALSE(fs::exists(explanations()));
  write_signals("ci_signals.json", "[]");
  expect_failure<FileNotFound>({message});
}

TEST_F(CindrelRun, BadSignalFilesNameTheFile) {
  write_signals("git_signals.json", "[{");
  expect_failure<JsonError>({"git_signals.json"});
  write_signals("git_signals.json", R"({"engine_id": "git"})");
  expect_failure<TypeError>({"git_signals.json", "array"});
  write_signals("git_signals.json", R"([3])");
  expect_failure<TypeError>({"git_signals.json[0]", "object"});
}

// Every member a record needs, removed from the second signal of ci.
TEST_F(CindrelRun, MissingMembersNameFilePositionAndMember) {
  struct Case {
    std::vector<std::string> path;  // the member to remove, outermost first
    std::string where;
  } cases[] = {
      {{"engine_id"}, "ci_signals.json[1]"},
      {{"source_type"}, "ci_signals.json[1]"},
      {{"metric"}, "ci_signals.json[1]"},
      {{"observed"}, "ci_signals.json[1]"},
      {{"baseline"}, "ci_signals.json[1]"},
      {{"baseline", "mean"}, "ci_signals.json[1].baseline"},
      {{"window"}, "ci_signals.json[1]"},
      {{"window", "size"}, "ci_signals.json[1].window"},
      {{"deviation"}, "ci_signals.json[1]"},
      {{"confidence"}, "ci_signals.json[1]"},
      {{"confidence", "status"}, "ci_signals.json[1].confidence"},
  };
  Json signals = read_json_file(kGolden / "mixed_families/phase2/ci_signals.json");
  for (const Case& c : cases) {
    Json broken = signals;
    Json* holder = &broken[1];
    for (size_t i = 0; i + 1 < c.path.size(); ++i) holder = &(*holder)[c.path[i]];
    holder->erase(c.path.back());
    write_signals("ci_signals.json", dump_pretty(broken));
    SCOPED_TRACE(c.path.back());
    expect_failure<MissingMember>({c.where + ": missing member '" + c.path.back() + "'"});
  }
}

TEST_F(CindrelRun, UnusableValuesNameTheMember) {
  Json signals = read_json_file(kGolden / "mixed_families/phase2/ci_signals.json");
  signals[0]["observed"] = "failed";
  write_signals("ci_signals.json", dump_pretty(signals));
  expect_failure<TypeError>({"ci_signals.json[0].observed"});
  // A signal with two faults reports the figure the wording reads before
  // the deviation the sentence is chosen by.
  signals[0]["deviation"] = "x";
  write_signals("ci_signals.json", dump_pretty(signals));
  expect_failure<TypeError>({"ci_signals.json[0].observed"});
  signals[0]["observed"] = 1.0;
  signals[0]["metric"] = 7;
  write_signals("ci_signals.json", dump_pretty(signals));
  expect_failure<TypeError>({"ci_signals.json[0]", "'metric'"});
}

// The clock is read once a record is complete, so a faulty signal is
// reported even when the pinned time is unusable.
TEST_F(CindrelRun, ClockIsReadAfterTheRecordIsChecked) {
  Json signals = read_json_file(kGolden / "mixed_families/phase2/ci_signals.json");
  setenv("VELQUOR_NOW", "soon", 1);
  write_signals("ci_signals.json", dump_pretty(signals));
  expect_failure<ValueError>({"VELQUOR_NOW"});
  signals[0].erase("confidence");
  write_signals("ci_signals.json", dump_pretty(signals));
  expect_failure<MissingMember>({"ci_signals.json[0]", "confidence"});
}

// Every strict prefix of a valid signal file is an error, never a crash or
// a partial result.
TEST_F(CindrelRun, TruncatedSignalFileIsAnError) {
  const std::string full = read_file(kGolden / "mixed_families/phase2/git_signals.json");
  Cindrel engine(vel_dir);
  for (size_t length = 0; length < full.size(); ++length) {
    write_signals("git_signals.json", full.substr(0, length));
    EXPECT_THROW(engine._load_signals(), JsonError) << "prefix of " << length << " bytes";
  }
  write_signals("git_signals.json", full);
  EXPECT_EQ(engine._load_signals().size(), 2u);
}

// The records of the golden ci file, `count` of them in turn, written in the
// layout the system writes; `escaped` records have their first member name
// written with an escape, which sends them to the JSON path of a run.
std::vector<std::string> ci_records(size_t count, const std::vector<size_t>& escaped = {}) {
  Json signals = read_json_file(kGolden / "mixed_families/phase2/ci_signals.json");
  std::vector<std::string> records;
  for (size_t i = 0; i < count; ++i) {
    std::string text = dump_pretty(signals[i % signals.size()]);
    if (std::find(escaped.begin(), escaped.end(), i) != escaped.end())
      text.replace(text.find("\"engine_id\""), 11, "\"\\u0065ngine_id\"");
    records.push_back(std::move(text));
  }
  return records;
}

// Elements indented as in a file the system writes.
std::string signal_file(const std::vector<std::string>& records) {
  std::string text = "[";
  for (size_t i = 0; i < records.size(); ++i) {
    text += i ? ",\n  " : "\n  ";
    for (char c : records[i]) {
      text += c;
      if (c == '\n') text += "  ";
    }
  }
  return text + "\n]";
}

std::string without_member(std::string record, const std::string& member) {
  Json signal = parse_json(record, "record", NonFinite::kAccept);
  signal.erase(member);
  return dump_pretty(signal);
}

// A run reads the signal files in place; every strict prefix of one must
// still fail as a whole, after the records of the files before it were
// explained, and leave nothing behind.
TEST_F(CindrelRun, RunOnEveryPrefixFailsAndKeepsTheOlderFile) {
  copy_golden_signals();
  const std::string full = read_file(kGolden / "mixed_families/phase2/ci_signals.json");
  Cindrel engine(vel_dir);
  write_file_atomic(explanations(), kOlder);
  for (size_t length = 0; length < full.size(); ++length) {
    write_signals("ci_signals.json", full.substr(0, length));
    try {
      engine.run();
      ADD_FAILURE() << "run succeeded on a prefix of " << length << " bytes";
    } catch (const JsonError& e) {
      EXPECT_THAT(e.what(), HasSubstr("ci_signals.json")) << length;
    } catch (const Error& e) {
      ADD_FAILURE() << "prefix of " << length << " bytes: " << e.what();
    }
  }
  EXPECT_EQ(read_file(explanations()), kOlder);
  EXPECT_EQ(std::distance(fs::directory_iterator(vel_dir / "phase3"), {}), 1);
  write_signals("ci_signals.json", full);
  EXPECT_EQ(engine.run().size(), 6u);
}

// Over a megabyte of explanations goes to disk before the run reaches the
// broken file; the older file must survive that too.
TEST_F(CindrelRun, LargeRunFailingLateKeepsTheOlderFile) {
  const std::string big = signal_file(ci_records(3000, {1, 7, 2999}));
  write_signals("git_signals.json", big);
  std::string broken = signal_file(ci_records(3000));
  broken.resize(broken.size() - 40);
  write_signals("ci_signals.json", broken);
  expect_failure<JsonError>({"ci_signals.json", "invalid JSON"});
  EXPECT_EQ(std::distance(fs::directory_iterator(vel_dir / "phase3"), {}), 1);
  write_signals("ci_signals.json", "[]");
  EXPECT_EQ(Cindrel(vel_dir).run().size(), 3000u);
}

// A record that lacks a member is not reported while the file is not JSON:
// the syntax error wins, wherever it is.
TEST_F(CindrelRun, SyntaxErrorAfterAFaultyRecordWins) {
  std::vector<std::string> records = ci_records(3);
  records[0] = without_member(records[0], "metric");
  write_signals("ci_signals.json", signal_file(records) + "x");
  expect_failure<JsonError>({"ci_signals.json", "extra data"});
  std::string text = signal_file(records);
  write_signals("ci_signals.json", text.substr(0, text.size() - 2) + ", {\"a\": tru}]");
  expect_failure<JsonError>({"ci_signals.json", "invalid JSON"});

  // In a file large enough to be explained in parts, with the fault in the
  // first part and the syntax error in the last.
  records = ci_records(4000, {3});
  records[2] = without_member(records[2], "metric");
  text = signal_file(records);
  write_signals("ci_signals.json", text.substr(0, text.size() - 2) + ", {\"a\": 1,}]");
  expect_failure<JsonError>({"ci_signals.json", "invalid JSON"});
  // And the other way round: a fault far into the file and the syntax error
  // in its first record.
  records = ci_records(4000);
  records[3500] = without_member(records[3500], "observed");
  records[0].insert(records[0].find("\"ci\""), "\"\\x\" ");
  write_signals("ci_signals.json", signal_file(records));
  expect_failure<JsonError>({"ci_signals.json", "invalid JSON"});
}

// The position in the message counts records of both paths alike.
TEST_F(CindrelRun, MissingMemberInTheMiddleNamesItsPosition) {
  for (bool escaped_fault : {false, true}) {
    SCOPED_TRACE(escaped_fault ? "faulty record on the JSON path" : "faulty record scanned");
    std::vector<size_t> escaped = {1, 3};
    if (escaped_fault) escaped.push_back(5);
    std::vector<std::string> records = ci_records(8, escaped);
    Json signal = parse_json(records[5], "record", NonFinite::kAccept);
    signal.erase("metric");
    std::string text = dump_pretty(signal);
    if (escaped_fault) text.replace(text.find("\"engine_id\""), 11, "\"\\u0065ngine_id\"");
    records[5] = text;
    write_signals("ci_signals.json", signal_file(records));
    expect_failure<MissingMember>({"phase2/ci_signals.json[5]: missing member 'metric'"});

    signal = parse_json(records[6], "record", NonFinite::kAccept);
    signal["window"].erase("size");
    records[5] = ci_records(6)[5];
    records[6] = dump_pretty(signal);
    write_signals("ci_signals.json", signal_file(records));
    expect_failure<MissingMember>({"phase2/ci_signals.json[6].window: missing member 'size'"});
  }
  // Far into a file explained in parts, after a file of its own.
  copy_golden_signals();
  for (size_t index : {1999u, 2500u, 3998u}) {
    std::vector<std::string> records = ci_records(4000, {10, 2001});
    records[index] = without_member(records[index], "confidence");
    write_signals("ci_signals.json", signal_file(records));
    expect_failure<MissingMember>({"phase2/ci_signals.json[" + std::to_string(index) +
                                   "]: missing member 'confidence'"});
  }
}

}  // namespace
}  // namespace velquor::cindrel
