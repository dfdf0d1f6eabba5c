// Keeping a data directory sound when commands overlap, stop half-way or
// are killed.
//
// Every command that writes into a data directory DIR goes through three
// guards:
//
//  - The writers' lock: DIR/.velquor.lock, an advisory flock(2) lock held for
//    the whole command. A second writer either waits for it (a bounded
//    wait, with one message when the waiting starts) or is refused with
//    LockBusy. The file holds the pid and command of its last holder, for
//    the refusal message; its content is never trusted for anything else.
//    Readers never take it.
//
//  - The run journal: DIR/.velquor/run.json names the command, its pid and
//    the stage it is writing. It is rewritten atomically when a stage
//    starts and removed when the command ends, failure included; a journal
//    whose writer no longer holds the lock was left by a command that was
//    killed, so the outputs of that stage may be a mix of old and new
//    files. The next command says so.
//
//  - Leftover temporary files: an atomic write goes through a temporary
//    "<name>.tmp.<pid>.<n>" beside its target. A process killed before the
//    rename leaves it behind; a writer that holds the lock removes those
//    whose process is gone.
//
// Fault points let the tests stop a command at a known moment as a kill
// would: when the environment variable VELQUOR_FAULT_POINT equals the name
// of a point the command reaches, the process kills itself with SIGKILL
// there.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "shared/errors.h"

namespace velquor::guard {

namespace fs = std::filesystem;

// ---- The writers' lock ---------------------------------------------------------

// Another command holds the lock of the directory.
class LockBusy : public IoError {
 public:
  using IoError::IoError;
};

// DIR/.velquor.lock
fs::path lock_path(const fs::path& dir);

class DirectoryLock {
 public:
  // Takes the lock of `dir` for `command` ("velquor run"). While another
  // process holds it, retries for up to `wait_seconds` (0: not at all),
  // calling `on_wait` once when the waiting starts; LockBusy naming the
  // directory and the holder when it is still held then. IoError when the
  // lock file cannot be opened.
  DirectoryLock(const fs::path& dir, const std::string& command, double wait_seconds,
                const std::function<void()>& on_wait);
  ~DirectoryLock();
  DirectoryLock(const DirectoryLock&) = delete;
  DirectoryLock& operator=(const DirectoryLock&) = delete;

 private:
  int fd_ = -1;
};

// Whether some process holds the lock of `dir` now (false when the lock file
// does not exist). Takes nothing and creates nothing.
bool lock_is_held(const fs::path& dir);

// ---- The run journal -------------------------------------------------------------

// DIR/.velquor/run.json
fs::path journal_path(const fs::path& dir);

// What a journal left by a killed command says.
struct Interruption {
  std::string command;  // "velquor run"
  int stage = 0;        // 2 to 5
  std::string started_at;
};

// The journal found in `dir`, for the holder of its lock: any journal is
// then one a killed command left. A damaged journal is reported as stage 0.
std::optional<Interruption> journal_left(const fs::path& dir);

// The same for a command that does not hold the lock: nothing while another
// process holds it (its writer is at work).
std::optional<Interruption> interrupted_run(const fs::path& dir);

// The one-line warning for an interruption, without the "velquor: " prefix.
std::string interruption_warning(const fs::path& dir, const Interruption& interruption);

// The journal of one writing command; create it while holding the lock.
// It takes over the journal a killed command left (`left()`); when it is
// destroyed, only a command that redid every stage drops that record, any
// other puts it back, so that only a killed command leaves a journal of its
// own behind.
class RunJournal {
 public:
  RunJournal(const fs::path& dir, std::string command);
  ~RunJournal();
  RunJournal(const RunJournal&) = delete;
  RunJournal& operator=(const RunJournal&) = delete;

  const std::optional<Interruption>& left() const { return left_; }

  // Records that `stage` (2 to 5) is being written, then passes the fault
  // point "stage-<N>".
  void stage(int stage);
  // Every stage was written again: the outputs are no longer mixed.
  void all_stages_done() { all_stages_done_ = true; }

 private:
  fs::path dir_;
  std::string command_;
  std::string started_at_;
  std::optional<Interruption> left_;
  std::string left_text_;  // the journal left behind, as it was
  bool wrote_ = false;
  bool all_stages_done_ = false;
};

// ---- Leftover temporary files ----------------------------------------------------

// Which folders of a data directory a sweep lists. Only a command that
// writes events can leave a temporary file in the events folder, which may
// hold hundreds of thousands of files to list.
enum class SweptFolders { kOutputs, kOutputsAndEvents };

// Removes the temporary files "<name>.tmp.<pid>.<n>" whose process no longer
// exists from `dir` and its output folders (phase2 to phase5, .velquor), and
// its events folder when `folders` says so. Returns the paths removed.
std::vector<fs::path> remove_stale_temporaries(const fs::path& dir, SweptFolders folders);

// ---- Fault points ----------------------------------------------------------------

// Kills the process with SIGKILL when VELQUOR_FAULT_POINT equals `name`.
void fault_point(const std::string& name);

}  // namespace velquor::guard
