// The run journal DIR/.velquor/run.json and the fault points.

#include <signal.h>
#include <unistd.h>

#include <cstdlib>

#include "shared/clock.h"
#include "shared/file_io.h"
#include "velquor/guard/guard.h"

namespace velquor::guard {
namespace {

const char* stage_name(int stage) {
  switch (stage) {
    case 2: return "baselines and signals";
    case 3: return "explanations";
    case 4: return "pattern learning";
    case 5: return "advisory";
    default: return "unknown stage";
  }
}

}  // namespace

std::optional<Interruption> journal_left(const fs::path& dir) {
  const fs::path path = journal_path(dir);
  std::error_code ec;
  if (!fs::exists(path, ec)) return std::nullopt;
  Interruption interruption;
  try {
    const Json journal = read_json_file(path, NonFinite::kReject);
    interruption.command = journal.value("command", "");
    interruption.stage = static_cast<int>(journal.value("stage", int64_t{0}));
    interruption.started_at = journal.value("started_at", "");
  } catch (const std::exception&) {
    // A journal cut short by the kill itself still says a command stopped.
  }
  return interruption;
}

fs::path journal_path(const fs::path& dir) { return dir / ".velquor" / "run.json"; }

std::optional<Interruption> interrupted_run(const fs::path& dir) {
  if (lock_is_held(dir)) return std::nullopt;  // its writer is still at work
  return journal_left(dir);
}

std::string interruption_warning(const fs::path& dir, const Interruption& interruption) {
  const std::string who = interruption.command.empty() ? "a velquor command" : interruption.command;
  const std::string when =
      interruption.started_at.empty() ? "" : " (started " + interruption.started_at + ")";
  const std::string where =
      interruption.stage == 0 ? "" : " during stage " + std::to_string(interruption.stage) + " (" +
                                         stage_name(interruption.stage) + ")";
  return "warning: " + who + when + " on " + dir.string() + " stopped" + where +
         "; its outputs may mix old and new files until 'velquor run " + dir.string() +
         "' redoes them";
}

RunJournal::RunJournal(const fs::path& dir, std::string command)
    : dir_(dir),
      command_(std::move(command)),
      started_at_(now_timestamp()),
      left_(journal_left(dir)) {
  if (left_) {
    try {
      left_text_ = read_file(journal_path(dir));
    } catch (const Error&) {
      left_text_ = "{}";
    }
  }
}

RunJournal::~RunJournal() {
  if (!wrote_) return;
  try {
    if (left_ && !all_stages_done_)
      write_file_atomic(journal_path(dir_), left_text_);
    else
      fs::remove(journal_path(dir_));
  } catch (const std::exception&) {
    // Leaving our own journal behind only makes the next command warn.
  }
}

void RunJournal::stage(int stage) {
  const fs::path path = journal_path(dir_);
  fs::create_directories(path.parent_path());
  Json journal = Json::object();
  journal["command"] = command_;
  journal["pid"] = static_cast<int64_t>(::getpid());
  journal["stage"] = stage;
  journal["started_at"] = started_at_;
  write_json_file(path, journal);
  wrote_ = true;
  fault_point("stage-" + std::to_string(stage));
}

void fault_point(const std::string& name) {
  const char* wanted = std::getenv("VELQUOR_FAULT_POINT");
  if (wanted != nullptr && name == wanted) ::kill(::getpid(), SIGKILL);
}

}  // namespace velquor::guard
