#include "cli/pipeline.h"

#include "cli/event_notes.h"
#include "cli/run_checks.h"


namespace velquor::cli {
namespace {

std::string count_text(size_t count, const std::string& noun) {
  return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
}

int64_t summary_count(const Json& summary, const char* key) {
  const auto it = summary.find(key);
  return it != summary.end() && it->is_number_integer() ? it->get<int64_t>() : 0;
}

}  // namespace

PipelineOutcome run_stages_2_to_4(const fs::path& dir, const PipelineSettings& settings) {
  PipelineOutcome outcome;
  check_before_writing(dir);
  auto journal = [&](int stage) {
    if (settings.writer) settings.writer->stage(stage);
  };
  {
    journal(2);
    StageProgress stage(2, "baseline", "computing the baselines of " + dir.string() + "/events...");
    BaselineOutcome baseline;
    run_baseline(dir, settings.baseline, baseline, settings.handoff);
    outcome.events = baseline.events;
    outcome.event_files = baseline.event_files;
    outcome.signals = baseline.signals;
    std::string what = "read " + count_text(baseline.event_files, "event file") + ", wrote " +
                       count_text(baseline.signals, "signal") + " to " +
                       count_text(baseline.files_written, "signal file");
    if (baseline.failed > 0) what += ", " + std::to_string(baseline.failed) + " failed";
    stage.done(what);
    report_left_out_events(dir, baseline.events);
    if (baseline.failed > 0) throw stage2_failure(baseline);
    outcome.no_signals = baseline.signals == 0 && baseline.failed == 0;
    if (outcome.no_signals) return outcome;
  }
  {
    journal(3);
    StageProgress stage(3, "explain", "explaining " + count_text(outcome.signals, "signal") + "...");
    const size_t written = run_explain(dir);
    stage.done("read " + count_text(written, "signal") + ", wrote " +
               count_text(written, "explanation") + " to phase3/explanations.json");
  }
  if (settings.before_learning) settings.before_learning(outcome);
  {
    set_learn_verbosity(settings.verbosity);
    journal(4);
    StageProgress stage(4, "learn", "learning from " + count_text(outcome.signals, "signal") + "...");
    // Files stage 2 left out are decided on by stage 4 itself.
    EventHandoff* handoff = outcome.events.skipped.empty() ? settings.handoff : nullptr;
    const Json summary = run_learn(dir, Json(), settings.store, handoff);
    stage.done("read " + count_text(summary_count(summary, "total_signals"), "signal") + ", " +
               std::to_string(summary_count(summary, "patterns_discovered")) + " new, " +
               std::to_string(summary_count(summary, "patterns_incremented")) + " seen again, " +
               std::to_string(summary_count(summary, "patterns_promoted")) +
               " promoted; " + (settings.store ? "the store" : "phase4/knowledge.db") + " holds " +
               count_text(summary_count(summary, "knowledge_artifacts"), "learned pattern"));
  }
  return outcome;
}

std::string no_signals_text(const fs::path& dir) {
  return "Not enough history yet: " + (dir / "events").string() +
         " gave no signals. A metric is judged once its family has more events than\n"
         "the minimum baseline (5); add events (velquor collect git REPO DIR) and run again.";
}

std::string advise_progress(const PipelineOutcome& inputs, const Json& result) {
  const std::string read = "read " + count_text(inputs.signals, "signal") + " and " +
                           count_text(inputs.event_files, "event file") + "; ";
  std::vector<std::string> files = written_files(result);
  if (files.empty()) return read + "nothing significant, no advisory written";
  std::string names;
  for (const auto& file : files) names += (names.empty() ? "" : ", ") + fs::path(file).filename().string();
  size_t changes = 0;
  const auto advisory = result.find("advisory");
  if (advisory != result.end() && advisory->is_object() && advisory->contains("changes"))
    changes = (*advisory)["changes"].size();
  return read + count_text(changes, "change") + " to report; wrote phase5/" + names;
}

}  // namespace velquor::cli
