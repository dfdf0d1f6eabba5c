// The guards of the commands that write into a data directory: its lock
// (with the --wait option), the warning about an earlier command that was
// killed there, the removal of the temporary files such a command left,
// and the journal of the stages this command writes (velquor/guard).
#pragma once

#include "cli/cli.h"
#include "velquor/guard/guard.h"

namespace velquor::cli {

// --wait SECONDS, shared by every writing command.
OptionSpec wait_option();

class DirectoryWriter {
 public:
  // Takes the lock of `dir` as --wait allows, then warns about an
  // interrupted earlier command and removes its temporary files from the
  // folders `swept` names.
  DirectoryWriter(const Args& args, const fs::path& dir,
                  guard::SweptFolders swept = guard::SweptFolders::kOutputs);

  // Records that `stage` is being written.
  void stage(int stage) { journal_.stage(stage); }
  // Every stage was written again (the whole pipeline ran).
  void all_stages_done() { journal_.all_stages_done(); }

 private:
  guard::DirectoryLock lock_;
  guard::RunJournal journal_;
};

// For the commands that only read: the warning about an interrupted
// command, when there was one.
void warn_if_interrupted(const fs::path& dir);

}  // namespace velquor::cli
