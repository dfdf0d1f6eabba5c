// Whole runs: the written file byte for byte, the order of the signal files,
// and the failures that must leave an older file in place.

#include <gtest/gtest.h>
#include <gmock/gmock.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include <unistd.h>

#include "shared/errors.h"
#include "shared/file_io.h"
#include "velquor/cindrel/cindrel.h"

namespace velquor::cindrel {
namespace {

using ::testing::HasSubstr;

const fs::path kGolden = fs::path(VELQUOR_SOURCE_DIR) / "tests/cindrel/golden";
constexpr char kOlder[] = "[\"older explanations\"]";

class CindrelRun : public ::testing::Test {
 protected:
  void SetUp() override {
    vel_dir = fs::temp_directory_path() /
              ("velquor-cindrel-" + std::to_string(::getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(vel_dir);
    fs::create_directories(vel_dir / "phase2");
    setenv("VELQUOR_NOW", "2026-03-01T09:15:02.123456Z", 1);
  }
  void TearDown() override {
    unsetenv("VELQUOR_NOW");
    fs::remove_all(vel_dir);
  }

  void copy_golden_signals(const std::string& name = "mixed_families") {
    fs::copy(kGolden / name / "phase2", vel_dir / "phase2",
             fs::copy_options::recursive | fs::copy_options::overwrite_existing);
  }
  // A plain write to a fresh file: the truncation test writes a thousand
  // files, and truncating a file in place can flush it to disk each time.
  void write_signals(const std::string& file, const std::string& text) {
    fs::remove(vel_dir / "phase2" / file);
    std::ofstream(vel_dir / "phase2" / file, std::ios::binary) << text;
  }
  fs::path explanations() const { return vel_dir / "phase3/explanations.json"; }

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

  fs::path vel_dir;
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
  signals[0]["observed"] = 1.0;
  signals[0]["metric"] = 7;
  write_signals("ci_signals.json", dump_pretty(signals));
  expect_failure<TypeError>({"ci_signals.json[0]", "'metric'"});
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

}  // namespace
}  // namespace velquor::cindrel
