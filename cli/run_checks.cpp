#include "cli/run_checks.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>

#include "velquor/morvic/morvic.h"

namespace velquor::cli {
namespace {

void check_writable(const fs::path& path) {
  if (::access(path.c_str(), W_OK) != 0)
    throw IoError(path.string() + ": cannot be written: " + std::strerror(errno));
}

void check_output_folders(const fs::path& dir) {
  for (const char* folder : {"phase2", "phase3", "phase4", "phase5"}) {
    const fs::path path = dir / folder;
    std::error_code ec;
    if (!fs::exists(path, ec)) {
      check_writable(dir);  // the stage creates it there
      continue;
    }
    if (!fs::is_directory(path, ec)) throw IoError(path.string() + ": not a directory");
    check_writable(path);
  }
  const fs::path knowledge = dir / "phase4" / "knowledge.db";
  std::error_code ec;
  if (fs::exists(knowledge, ec)) check_writable(knowledge);
}

}  // namespace

void warn_if_empty_knowledge_base(const fs::path& dir) {
  const fs::path knowledge = dir / "phase4" / "knowledge.db";
  std::error_code ec;
  if (fs::is_regular_file(knowledge, ec) && fs::file_size(knowledge, ec) == 0 && !ec)
    std::cerr << "velquor: warning: " << knowledge.string()
              << " is empty; starting a new knowledge base\n";
}

void check_before_writing(const fs::path& dir) {
  warn_if_empty_knowledge_base(dir);
  check_output_folders(dir);
  morvic::AcceptedDeviations(dir).check();
}

StageFailed stage2_failure(const BaselineOutcome& outcome) {
  std::string first, names;
  for (const auto& family : outcome.families) {
    if (!family.failed) continue;
    if (first.empty()) first = family.error;
    names += (names.empty() ? "" : ", ") + family.family;
  }
  const size_t total = outcome.families.size();
  std::string which;
  if (outcome.failed == total && total > 1)
    which = "all " + std::to_string(total) + " families";
  else
    which = std::to_string(outcome.failed) + (outcome.failed == 1 ? " family" : " families") +
            " (" + names + ")";
  return StageFailed(first + "; stage 2 failed for " + which);
}

}  // namespace velquor::cli
