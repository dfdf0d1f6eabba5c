// The reader of `git log` output used by `velquor collect git`. Every
// commit it returns makes an event whose text is standard JSON, and a file
// name that gives the commit's hash back.

#include "cli/git_history.h"
#include "fuzz/fuzz_target.h"
#include "shared/errors.h"

using namespace velquor;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<cli::GitCommit> commits;
  try {
    commits = cli::parse_git_log(fuzz::as_text(data, size));
  } catch (const Error&) {
    return 0;
  }
  for (const cli::GitCommit& commit : commits) {
    const std::string text = dump_pretty(cli::git_commit_event(commit));
    try {
      parse_json(text, "event", NonFinite::kReject);
    } catch (const JsonError&) {
      fuzz::require(false, "the event of a commit is not standard JSON");
    }
    const std::string name = cli::git_event_file_name(commit, 0);
    fuzz::require(cli::hash_of_git_event_file(name) == commit.hash, "file name lost the hash");
  }
  return 0;
}
