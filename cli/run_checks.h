// What the commands that run several stages check before they write
// anything, so that a run that cannot finish stops before it learns: a
// pattern counted from a run that then fails would be counted again by the
// next one.
#pragma once

#include "cli/stages.h"
#include "shared/errors.h"

namespace velquor::cli {

// The output folders (phase2 to phase5) and the knowledge base can be
// written, and the accepted deviations can be read entry by entry. IoError,
// JsonError or TypeError naming the file and member otherwise.
// Warns about an empty knowledge base first (see warn_if_empty_knowledge_base).
void check_before_writing(const fs::path& dir);

// A knowledge base of 0 bytes (a disk that filled up while it was created,
// a slip of a tool) opens as a new, empty one: say so rather than start
// over silently.
void warn_if_empty_knowledge_base(const fs::path& dir);

// Stage 2 failed for some families: the error that names the first failure
// and how many families failed ("...; stage 2 failed for all 10 families").
class StageFailed : public Error {
 public:
  using Error::Error;
};
StageFailed stage2_failure(const BaselineOutcome& outcome);

}  // namespace velquor::cli
