// What the commands do when runs fail, overlap, are killed or meet bad
// input: nothing is learned from a failing run, writers take turns, a killed
// run is reported and its leftovers removed, and every error is one line on
// stderr naming the file.

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <future>

#include "shared/file_io.h"
#include "tests/cli/cli_test_support.h"
#include "velquor/guard/guard.h"

namespace velquor::cli::testing {
namespace {

// Sets an environment variable for the commands a test runs.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value) : name_(name) {
    ::setenv(name, value.c_str(), 1);
  }
  ~ScopedEnv() { ::unsetenv(name_); }

 private:
  const char* name_;
};

std::string last_line(const std::string& text) {
  std::string trimmed = text.substr(0, text.find_last_not_of('\n') + 1);
  return trimmed.substr(trimmed.rfind('\n') + 1);
}

class Reliability : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    demo_ = new ScratchDir;
    ASSERT_EQ(velquor({"demo", demo_->str(), "--commits", "40"}).status, 0);
  }
  static void TearDownTestSuite() {
    delete demo_;
    demo_ = nullptr;
  }

  // A copy of the demo's events in `to`, run once through every stage.
  static void prepare(const ScratchDir& to) {
    fs::copy(demo_->path() / "events", to.path() / "events", fs::copy_options::recursive);
    Outcome run = velquor({"run", to.str()});
    ASSERT_EQ(run.status, 0) << run.err;
  }

  static fs::path first_event(const ScratchDir& dir) {
    return list_json_files(dir.path() / "events").front();
  }

  static ScratchDir* demo_;
};

ScratchDir* Reliability::demo_ = nullptr;

TEST_F(Reliability, AFailingRunStopsBeforeLearningAndSaysWhatFailed) {
  struct Breakage {
    const char* name;
    std::function<fs::path(const ScratchDir&)> apply;  // the file the error must name
    std::string expected;
  };
  const std::vector<Breakage> breakages = {
      {"truncated event",
       [](const ScratchDir& dir) {
         write_file_atomic(first_event(dir), "{");
         return first_event(dir);
       },
       "invalid JSON: unexpected end of input at byte 1; stage 2 failed for all 10 families"},
      {"number beyond the double range",
       [](const ScratchDir& dir) {
         const fs::path event = list_json_files(dir.path() / "events").back();
         std::string text = read_file(event);
         text.insert(text.rfind('}'), ", \"huge\": 1e400");
         write_file_atomic(event, text);
         return event;
       },
       "member huge: number 1e400 is beyond the range of a double"},
      {"damaged accepted deviations",
       [](const ScratchDir& dir) {
         const fs::path accepted = dir.path() / "accepted_deviations.json";
         write_file_atomic(accepted, R"([{"family": "ci", "expires_at": 7}])");
         return accepted;
       },
       "[0]: member 'expires_at' is integer, expected string"},
      {"advisory folder that is a file",
       [](const ScratchDir& dir) {
         fs::remove_all(dir.path() / "phase5");
         write_file_atomic(dir.path() / "phase5", "");
         return dir.path() / "phase5";
       },
       "not a directory"},
  };
  for (const auto& breakage : breakages) {
    SCOPED_TRACE(breakage.name);
    ScratchDir dir;
    prepare(dir);
    const fs::path knowledge = dir.path() / "phase4" / "knowledge.db";
    const std::string before = read_file(knowledge);
    const fs::path named = breakage.apply(dir);

    Outcome run = velquor({"run", dir.str()});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "") << "stdout carries the advisory alone";
    const std::string last = last_line(run.err);
    EXPECT_EQ(last.rfind("velquor: error: " + named.string(), 0), 0u) << run.err;
    EXPECT_NE(last.find(breakage.expected), std::string::npos) << run.err;
    EXPECT_EQ(run.err.find("Ensure"), std::string::npos) << run.err;
    EXPECT_EQ(run.err.find("stage 4"), std::string::npos) << "stage 4 never started";
    EXPECT_EQ(read_file(knowledge), before) << "the knowledge base is byte-identical";
  }
}

TEST_F(Reliability, BaselinePrintsEachFailingFamilyOnceAndTheCauseLast) {
  ScratchDir dir;
  fs::copy(demo_->path() / "events", dir.path() / "events", fs::copy_options::recursive);
  write_file_atomic(first_event(dir), "{");
  Outcome baseline = velquor({"baseline", dir.str()});
  EXPECT_EQ(baseline.status, 1);
  EXPECT_EQ(baseline.out.find("[Phase 2]"), std::string::npos) << "engine lines go to stderr";
  EXPECT_EQ(line_count(baseline.out), 11u) << baseline.out;  // the family table and its total
  EXPECT_EQ(line_count(baseline.err), 11u) << baseline.err;  // ten families, then the cause
  EXPECT_NE(last_line(baseline.err).find("stage 2 failed for all 10 families"), std::string::npos)
      << baseline.err;
}

TEST_F(Reliability, AKilledRunIsReportedAndItsLeftoversRemovedByTheNext) {
  ScratchDir dir;
  prepare(dir);
  {
    ScopedEnv fault("VELQUOR_FAULT_POINT", "stage-3");
    EXPECT_EQ(velquor({"run", dir.str()}).status, 128 + SIGKILL);
  }
  EXPECT_TRUE(fs::exists(guard::journal_path(dir.path())));
  // A temporary file of an atomic write whose process is gone.
  const pid_t gone = ::fork();
  if (gone == 0) ::_exit(0);
  ::waitpid(gone, nullptr, 0);
  const fs::path leftover =
      dir.path() / "phase3" / ("explanations.json.tmp." + std::to_string(gone) + ".0");
  write_file_atomic(leftover, "[");

  Outcome reader = velquor({"accepted", dir.str()});
  EXPECT_EQ(reader.status, 0);
  EXPECT_NE(reader.err.find("stopped during stage 3 (explanations)"), std::string::npos)
      << reader.err;
  EXPECT_TRUE(fs::exists(leftover)) << "readers remove nothing";

  Outcome rerun = velquor({"run", dir.str()});
  EXPECT_EQ(rerun.status, 0) << rerun.err;
  EXPECT_NE(rerun.err.find("stopped during stage 3"), std::string::npos) << rerun.err;
  EXPECT_NE(rerun.err.find("removed 1 temporary file"), std::string::npos) << rerun.err;
  EXPECT_FALSE(fs::exists(leftover));
  EXPECT_FALSE(fs::exists(guard::journal_path(dir.path())));
  EXPECT_EQ(velquor({"accepted", dir.str()}).err, "") << "redone: nothing to report";
}

TEST_F(Reliability, WritersTakeTurnsAndLoseNothing) {
  ScopedEnv clock("VELQUOR_NOW", "2026-01-01T00:00:00Z");
  ScratchDir together, apart;
  for (const ScratchDir* dir : {&together, &apart}) {
    fs::copy(demo_->path() / "events", dir->path() / "events", fs::copy_options::recursive);
    ASSERT_EQ(velquor({"baseline", dir->str()}).status, 0);
    ASSERT_EQ(velquor({"explain", dir->str()}).status, 0);
  }
  {
    guard::DirectoryLock held(together.path(), "test", 0, [] {});
    for (const char* command : {"learn", "advise", "shifts", "report"}) {
      Outcome refused = velquor({command, together.str()});
      EXPECT_EQ(refused.status, 1) << command;
      EXPECT_EQ(line_count(refused.err), 1u) << command << ": " << refused.err;
      EXPECT_NE(refused.err.find("another velquor command is writing"), std::string::npos) << command;
    }
  }
  // Two learners on one new knowledge base at once, and the same two one
  // after the other: the bases must end up the same.
  auto learn = [&] { return velquor({"learn", together.str(), "--wait", "120"}); };
  auto first = std::async(std::launch::async, learn);
  auto second = std::async(std::launch::async, learn);
  EXPECT_EQ(first.get().status, 0);
  EXPECT_EQ(second.get().status, 0);
  for (int i = 0; i < 2; ++i) ASSERT_EQ(velquor({"learn", apart.str()}).status, 0);
  EXPECT_EQ(velquor({"patterns", together.str(), "--json"}).out,
            velquor({"patterns", apart.str(), "--json"}).out);
}

TEST_F(Reliability, ADiskThatFillsDuringLearningIsReportedWithoutVerbose) {
  ScratchDir dir;
  fs::copy(demo_->path() / "events", dir.path() / "events", fs::copy_options::recursive);
  ASSERT_EQ(velquor({"baseline", dir.str()}).status, 0);
  ASSERT_EQ(velquor({"explain", dir.str()}).status, 0);
  // A file system with 60 KiB left once the inputs are there: too little
  // for the knowledge base.
  const fs::path small = dir.path() / "small";
  fs::create_directories(small);
  if (::mount("tmpfs", small.c_str(), "tmpfs", 0, "size=2m") != 0)
    GTEST_SKIP() << "mounting a small file system needs root";
  for (const char* folder : {"phase2", "phase3"})
    fs::copy(dir.path() / folder, small / folder, fs::copy_options::recursive);
  write_file_atomic(small / "fill", std::string(fs::space(small).available - 60 * 1024, 'x'));
  Outcome learn = velquor({"learn", small.string()});
  ::umount(small.c_str());
  EXPECT_EQ(learn.status, 1);
  EXPECT_EQ(line_count(learn.err), 1u) << learn.err;
  EXPECT_EQ(learn.err.rfind("velquor: error: ", 0), 0u) << learn.err;
}

TEST_F(Reliability, SkippedAndUnreadEventsAreListed) {
  ScratchDir dir;
  fs::copy(demo_->path() / "events", dir.path() / "events", fs::copy_options::recursive);
  const fs::path events = dir.path() / "events";
  for (int i = 0; i < 23; ++i)
    write_file_atomic(events / ("bad-" + std::to_string(100 + i) + ".json"), "[1, 2");
  write_file_atomic(events / "odd.json", R"({"source_family": "weather", "payload": {}})");
  fs::create_directories(events / "folder.json");
  fs::create_symlink("loop.json", events / "loop.json");

  Outcome refused = velquor({"baseline", dir.str()});
  EXPECT_EQ(refused.status, 1) << "without the option a bad file fails the run";

  for (const char* command : {"baseline", "run"}) {
    SCOPED_TRACE(command);
    Outcome run = velquor({command, dir.str(), "--skip-bad-events"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.err.find("velquor: skipped " + (events / "bad-100.json").string() +
                           ": invalid JSON"),
              std::string::npos)
        << run.err;
    EXPECT_NE(run.err.find("bad-119.json"), std::string::npos) << "twenty are named";
    EXPECT_EQ(run.err.find("bad-120.json"), std::string::npos) << "the rest are counted";
    EXPECT_NE(run.err.find("velquor: skipped 3 more unreadable event files"), std::string::npos);
    EXPECT_NE(run.err.find("warning: 1 event belongs to no known family"), std::string::npos);
    EXPECT_NE(run.err.find("warning: 2 entries of " + events.string()), std::string::npos)
        << run.err;
  }
  EXPECT_TRUE(fs::exists(dir.path() / "phase5" / "advisory.json"));
}

TEST_F(Reliability, DoubtfulStateIsNamedInsteadOfPassedOverInSilence) {
  ScratchDir dir;
  fs::copy(demo_->path() / "events", dir.path() / "events", fs::copy_options::recursive);
  fs::create_directories(dir.path() / "phase4");
  write_file_atomic(dir.path() / "phase4" / "knowledge.db", "");
  write_file_atomic(dir.path() / "events" / "undated.json",
                    R"({"event_id": "undated", "source_family": "ci", "observed_at": "yesterday",
                        "payload": {"status": "completed", "conclusion": "success"}})");
  Outcome run = velquor({"run", dir.str()});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.err.find("1 event has no usable time"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("knowledge.db is empty; starting a new knowledge base"), std::string::npos)
      << run.err;

  write_file_atomic(dir.path() / "accepted_deviations.json", R"([
    {"family": "ci", "metric": "run_duration", "reason": "fine", "expires_at": null},
    {"family": "cl", "metric": "run_duration", "reason": "typo", "expires_at": null},
    {"family": "ci", "metric": "duration", "reason": "typo", "expires_at": null},
    {"family": "ci", "metric": "run_failed", "reason": "soon", "expires_at": "next week"}
  ])");
  const std::string listing = velquor({"accepted", dir.str()}).out;
  EXPECT_NE(listing.find("warning: unknown family 'cl'"), std::string::npos) << listing;
  EXPECT_NE(listing.find("warning: unknown metric 'duration'"), std::string::npos) << listing;
  EXPECT_NE(listing.find("warning: expires_at 'next week' is not an ISO-8601 time"),
            std::string::npos)
      << listing;
  size_t warnings = 0;
  for (size_t at = listing.find("warning:"); at != std::string::npos;
       at = listing.find("warning:", at + 1))
    ++warnings;
  EXPECT_EQ(warnings, 3u) << listing;
}

}  // namespace
}  // namespace velquor::cli::testing
