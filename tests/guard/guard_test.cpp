// The writers' lock, the run journal, leftover temporary files and fault
// points.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <thread>

#include "shared/file_io.h"
#include "velquor/guard/guard.h"

namespace velquor::guard {
namespace {

class Guard : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("velquor-guard-test-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  fs::path dir_;
};

// The pid of a process that has ended.
pid_t dead_pid() {
  const pid_t child = ::fork();
  if (child == 0) ::_exit(0);
  ::waitpid(child, nullptr, 0);
  return child;
}

TEST_F(Guard, SecondWriterIsRefusedOrWaitsForTheFirst) {
  EXPECT_FALSE(lock_is_held(dir_));
  int waits = 0;
  auto first = std::make_unique<DirectoryLock>(dir_, "velquor run", 0, [&] { ++waits; });
  EXPECT_TRUE(lock_is_held(dir_));
  try {
    DirectoryLock second(dir_, "velquor learn", 0, [&] { ++waits; });
    FAIL() << "the second writer got the lock";
  } catch (const LockBusy& e) {
    const std::string message = e.what();
    EXPECT_NE(message.find(dir_.string()), std::string::npos) << message;
    EXPECT_NE(message.find("pid " + std::to_string(::getpid()) + " velquor run"), std::string::npos)
        << message;
    EXPECT_NE(message.find("--wait"), std::string::npos) << message;
  }
  EXPECT_EQ(waits, 0) << "no waiting without --wait";

  std::thread release([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    first.reset();
  });
  DirectoryLock waited(dir_, "velquor learn", 30, [&] { ++waits; });
  release.join();
  EXPECT_EQ(waits, 1) << "one message when the waiting starts";
  EXPECT_THROW(DirectoryLock(dir_, "velquor run", 0.2, [] {}), LockBusy);
}

TEST_F(Guard, JournalOfAKilledCommandIsReportedUntilEveryStageIsRedone) {
  EXPECT_FALSE(interrupted_run(dir_));
  {
    RunJournal journal(dir_, "velquor run");
    journal.stage(3);
    const auto written = journal_left(dir_);
    ASSERT_TRUE(written);
    EXPECT_EQ(written->stage, 3);
    EXPECT_EQ(written->command, "velquor run");
  }
  EXPECT_FALSE(fs::exists(journal_path(dir_))) << "an ended command leaves no journal";

  // A killed command: its journal stays.
  write_file_atomic(journal_path(dir_),
                    R"({"command": "velquor run", "pid": 1, "stage": 4, "started_at": "T"})");
  auto left = interrupted_run(dir_);
  ASSERT_TRUE(left);
  const std::string warning = interruption_warning(dir_, *left);
  for (const std::string& part : {std::string("velquor run"), std::string("stage 4"), dir_.string(), std::string("mix")})
    EXPECT_NE(warning.find(part), std::string::npos) << warning;
  {
    DirectoryLock lock(dir_, "velquor learn", 0, [] {});
    EXPECT_FALSE(interrupted_run(dir_)) << "a writer at work is no interruption";
    RunJournal single_stage(dir_, "velquor learn");
    ASSERT_TRUE(single_stage.left());
    single_stage.stage(4);
  }
  ASSERT_TRUE(interrupted_run(dir_)) << "one stage redone: the others may still be mixed";
  EXPECT_EQ(interrupted_run(dir_)->stage, 4);
  {
    RunJournal whole(dir_, "velquor run");
    whole.stage(2);
    whole.all_stages_done();
  }
  EXPECT_FALSE(interrupted_run(dir_));

  write_file_atomic(journal_path(dir_), R"({"command": "velq)");  // cut short by the kill
  ASSERT_TRUE(interrupted_run(dir_));
  EXPECT_EQ(interrupted_run(dir_)->stage, 0);
}

TEST_F(Guard, OnlyTemporariesOfEndedProcessesAreRemoved) {
  const std::string dead = std::to_string(dead_pid());
  const std::string alive = std::to_string(::getppid());
  const std::string self = std::to_string(::getpid());
  const std::vector<std::pair<std::string, bool>> cases = {
      {"phase2/ci_signals.json.tmp." + dead + ".0", true},
      {"phase4/advisory.json.tmp." + dead + ".17", true},
      {"phase2/git_signals.json.tmp." + alive + ".0", false},
      {"phase2/git_signals.json.tmp." + self + ".0", false},
      {"phase2/notes.tmp." + dead, false},
      {"phase2/notes.tmp.x" + dead + ".0", false},
      {"phase2/tmp." + dead + ".0", false},
      {"phase2/ci_signals.json", false},
      {"other/ci_signals.json.tmp." + dead + ".0", false},
  };
  // The events folder is listed only when the sweep says so.
  const fs::path in_events = dir_ / ("events/x.json.tmp." + dead + ".3");
  for (const auto& [name, _] : cases) {
    fs::create_directories((dir_ / name).parent_path());
    write_file_atomic(dir_ / name, "x");
  }
  fs::create_directories(in_events.parent_path());
  write_file_atomic(in_events, "x");
  const auto removed = remove_stale_temporaries(dir_, SweptFolders::kOutputs);
  size_t expected = 0;
  for (const auto& [name, stale] : cases) {
    EXPECT_EQ(fs::exists(dir_ / name), !stale) << name;
    expected += stale;
  }
  EXPECT_EQ(removed.size(), expected);
  EXPECT_TRUE(fs::exists(in_events));
  EXPECT_EQ(remove_stale_temporaries(dir_, SweptFolders::kOutputsAndEvents), std::vector<fs::path>{in_events});
}

TEST(FaultPoint, KillsTheProcessOnlyAtTheNamedPoint) {
  for (const std::string name : {"stage-3", "stage-4"}) {
    const pid_t child = ::fork();
    if (child == 0) {
      ::setenv("VELQUOR_FAULT_POINT", "stage-3", 1);
      fault_point(name);
      ::_exit(0);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    if (name == "stage-3") {
      EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
    } else {
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
  }
}

}  // namespace
}  // namespace velquor::guard
