// A learning run is one transaction: stopped at any store write, by an error
// or by a kill, it leaves the knowledge base as it was, and running it again
// counts every observation once.

#include <sys/wait.h>
#include <unistd.h>

#include "fixture.h"
#include "shared/errors.h"
#include "shared/file_io.h"
#include "velquor/dornath/dornath.h"
#include "velquor/lorvessa/lorvessa.h"

namespace velquor::dornath {
namespace {

using testing::ci_event;
using testing::day_time;
using testing::git_event;
using testing::make_signal;
using testing::ScopedEnv;
using testing::VelDir;

// Commits with CI runs whose durations follow the files touched: the first
// run stores the pattern, the next counts it again and promotes it (three
// store writes).
void history(VelDir& dir, int commits) {
  const double xs[] = {2.0, 3.0, -2.0, 4.0, 2.5, -3.0, 3.5, -2.5};
  Json git = Json::array(), ci = Json::array();
  for (int i = 1; i <= commits; ++i) {
    const std::string n = std::to_string(i);
    dir.add_event(git_event("g" + n, "c" + n, day_time(i)));
    dir.add_event(ci_event("r" + n, "c" + n, day_time(i, "11:00:00")));
    git.push_back(make_signal("git", "files_touched", xs[(i - 1) % 8], "g" + n));
    ci.push_back(make_signal("ci", "run_duration", 2 * xs[(i - 1) % 8], "r" + n));
  }
  dir.write_signals("git", git);
  dir.write_signals("ci", ci);
}

// Everything the store holds that a run changes, as text.
std::string contents(const fs::path& db) {
  lorvessa::SQLiteLorvessa store(db);
  Json all = Json::array();
  for (const Json& pattern : store.list_patterns()) {
    all.push_back(pattern);
    all.push_back(store.get_pattern_history(pattern["pattern_id"]));
    all.push_back(store.get_pattern_signals(pattern["pattern_id"]));
  }
  for (const Json& knowledge : store.list_knowledge()) all.push_back(knowledge);
  return dump_pretty(all);
}

Json learn(const fs::path& dir) {
  Dornath engine(dir, Json{{"confidence_full_at", 6}, {"promotion_threshold", 7}});
  Json summary = engine.run();
  engine.close();
  return summary;
}

class InterruptedRun : public ::testing::Test {
 protected:
  // Two bases in the same state: learned once from the first six commits,
  // with two more commits to learn from.
  InterruptedRun() {
    for (VelDir* dir : {&dir_, &twin_}) {
      history(*dir, 6);
      learn(dir->path());
      history(*dir, 8);
    }
  }
  fs::path db() const { return dir_.path() / "phase4" / "knowledge.db"; }

  ScopedEnv now_{"VELQUOR_NOW", "2025-01-01T00:00:00Z"};
  ScopedEnv llm_off_{"PHASE4B_ENABLED", "false"};
  VelDir dir_, twin_;
};

TEST_F(InterruptedRun, AFailedWriteLeavesTheBaseAndTheRetryCountsOnce) {
  const std::string before = contents(db());
  learn(twin_.path());
  const std::string once = contents(twin_.path() / "phase4" / "knowledge.db");
  ASSERT_NE(once, before);
  for (const char* at : {"1", "2", "3"}) {
    SCOPED_TRACE(at);
    ScopedEnv fault(lorvessa::SQLiteLorvessa::kFaultVariable, at);
    EXPECT_THROW(learn(dir_.path()), DatabaseError);
    EXPECT_EQ(contents(db()), before);
  }
  learn(dir_.path());
  EXPECT_EQ(contents(db()), once);
}

TEST_F(InterruptedRun, AKilledRunLeavesTheBaseAndTheRetryCountsOnce) {
  const std::string before = contents(db());
  for (const char* at : {"1:kill", "3:kill"}) {
    SCOPED_TRACE(at);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      ::setenv(lorvessa::SQLiteLorvessa::kFaultVariable, at, 1);
      try {
        learn(dir_.path());
      } catch (...) {
      }
      ::_exit(0);  // not reached when the fault point kills the process
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
    EXPECT_EQ(contents(db()), before);
  }
  learn(dir_.path());
  learn(twin_.path());
  EXPECT_EQ(contents(db()), contents(twin_.path() / "phase4" / "knowledge.db"));
}

}  // namespace
}  // namespace velquor::dornath
