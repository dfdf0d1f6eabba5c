// The advisory engine: from deviation signals to advisories people act on.
//
// Esperlin is the last pipeline stage. It reads the signal files of stage 2
// (phase2/*_signals.json), the explanations of stage 3
// (phase3/explanations.json), the raw events (events/*.json) and what stage 4
// learned (phase4/knowledge.db), keeps the signals whose robust deviation
// reaches the significance threshold, turns each into a change record, sets
// aside the changes the maintainers accepted (accepted_deviations.json),
// groups the rest by the event that triggered them, attaches matching
// patterns and the evidence behind them, and writes into phase5/:
//
//   advisory.json             the structured advisory
//   evidence.json             the evidence package (commits, files, failing
//                             tests, direct dependencies, timeline)
//   summary.txt               human summary: normal against current values
//   chat.txt                  a chat-sized digest
//   investigation_prompt.txt  a ready-made prompt for an AI assistant
//
// After a fix, verify() runs the pipeline again and compares the fresh
// advisory with an earlier one (verification.json, verification.txt).
//
// Every file is replaced atomically and byte-exactly: JSON in the system's
// two-space layout, texts as rendered with no final line feed added. Runs are
// reproducible when VELQUOR_NOW pins the clock. Malformed input (a signal,
// explanation, event or accepted-deviations file) ends the run with an error
// naming the file before any output is written.
//
// Operations whose names begin with an underscore are the engine's internal
// steps; they are public so that tests and tools can drive one step alone.
// Records are plain JSON maps and lists (see the member comments for their
// shapes); list arguments that are not JSON arrays, and map arguments that are
// not JSON objects, raise TypeError.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "shared/json.h"
#include "velquor/esperlin/prepared_events.h"
#include "velquor/lorvessa/lorvessa.h"
#include "velquor/morvic/morvic.h"
#include "velquor/window/window.h"

namespace velquor::esperlin {

namespace fs = std::filesystem;

// An ordered name -> text table.
using NameTable = std::vector<std::pair<std::string, std::string>>;

// Source family -> signal file name inside phase2/, in loading order.
extern const NameTable SIGNAL_FILES;
// Source family -> display label ("git" -> "Version Control").
extern const NameTable FAMILY_LABELS;
// Metric name -> display label ("files_touched" -> "Files Changed").
extern const NameTable METRIC_LABELS;

// The label of a family or metric; a name the table lacks is its own label.
std::string family_label(std::string_view family);
std::string metric_label(std::string_view metric);

// A metric's value as the texts show it: shares of one as percentages
// ("12.5%"), other reals to four significant digits (two decimals below 1),
// integers as they are.
std::string format_metric_value(const std::string& metric, const Json& value);

// First 16 hex digits of SHA-256 over the sorted compact JSON of `data`: the
// id rule shared with the knowledge store, so equal content gives equal ids.
std::string _content_hash(const Json& data);

// At most `limit` distinct patterns for display. Patterns over the same
// families and (canonical) metrics are one pattern; change_locality counts
// as dispersion. Of each such group the one with the strongest |correlation|
// stays (the first on ties); the survivors are ordered by severity
// (pellan::pattern_risk_assessment), then |correlation|, descending, stably.
Json _dedup_and_limit_patterns(const Json& patterns, long long limit = 5);

class Esperlin {
 public:
  // Derives the input and output paths from `vel_dir` and creates phase5/.
  explicit Esperlin(const fs::path& vel_dir, double significance_threshold = 1.5);

  // The whole pipeline. Returns one of
  //   {"status": "no_signals", "advisory": null}
  //   {"status": "no_significant_changes", "advisory": null[, "accepted_count": 0]}
  //   {"status": "complete", "advisory", "human_summary", "formats"}    (all clear)
  //   {"status": "complete", "advisory", "formats", "human_summary",
  //    "chat_format", "investigation_prompt"}                            (main)
  // `formats` maps json/human/chat/investigation to the written paths.
  Json run(const std::string& scope = "velquor-engine");

  // Runs the pipeline and compares its advisory with the one stored at
  // `previous_advisory_path`, which is read before the run (so the current
  // phase5/advisory.json may be named). Returns
  //   {"status": "no_current_data", "message", "verification"}
  //   {"status": "no_previous_advisory", "message", "advisory"}
  //   {"status": "verified", "advisory", "verification", "verification_text", "formats"}
  Json verify(const std::string& scope, const std::string& previous_advisory_path);

  // Has the runs take every event's id and facts from `events` (one per
  // event file in file-name order, the skipped files left out; see
  // prepared_events.h) instead of reading events/: only the files of the
  // events a significant signal refers to are read again.
  void use_prepared_events(std::vector<PreparedEvent> events);
  const std::optional<std::vector<PreparedEvent>>& prepared_events() const { return prepared_events_; }
  // Lets go of the prepared events (a host that has had them read frees them
  // while it works on); later runs read events/.
  void drop_prepared_events();

  // --- Inputs (read afresh on every call; missing inputs are empty) ---

  // All signal records, families in SIGNAL_FILES order, each file in order.
  Json _load_signals() const;
  // "signal_ref:engine_id:metric" and "engine_id:metric" -> explanation.
  Json _load_explanations() const;
  // event id (file name without ".json" when absent) -> event.
  Json _load_events() const;
  // Knowledge of scope "local", most recently seen first.
  Json _load_phase4_knowledge() const;
  // Active patterns of `scope` (all scopes when none or empty).
  Json _load_phase4_patterns(const std::optional<std::string>& scope = std::nullopt) const;

  // --- Significance and evidence ---

  // The non-degenerate signals with |deviation.measure| >= the threshold
  // (inclusive; a null or absent measure is never significant). Records of
  // the older layout that name their metric in `metric_name` skip
  // "direct_count" and a "run_duration" measure beyond 100000.
  Json _filter_significant(const Json& signals) const;
  // {commits, files_affected, tests_impacted, dependencies_changed, timeline}.
  Json _collect_evidence(const Json& significant_signals, const Json& all_events) const;
  // Commit SHAs of all events, ordered by observed_at (repeats kept).
  Json _get_commit_list(const Json& all_events) const;
  // Adds latest_deviation, latest_value, latest_event_ref, is_latest_event.
  void _enrich_with_latest_deviation(Json& changes, const Json& all_signals,
                                     const Json& all_events) const;

  // --- Pattern matching ---

  Json _match_patterns(const Json& significant_signals, const Json& knowledge) const;
  Json _match_candidate_patterns(const Json& significant_signals, const Json& patterns) const;

  // --- Change records and groups ---

  // The twelve-member change record of one significant signal.
  Json _format_change(const Json& signal, const Json& explanations,
                      const Json& all_events = nullptr) const;
  // Changes grouped by their event_ref, strongest group first, then one
  // group per change without event_ref.
  Json _group_by_trigger_event(const Json& changes) const;

  // --- Text renderings ---

  std::string _format_human_summary(const Json& advisory) const;
  void _append_change_lines(std::vector<std::string>& lines, const Json& change,
                            const std::string& indent = "") const;
  std::string _fmt_value(const std::string& metric, const Json& value) const;
  std::string _format_chat(const Json& advisory) const;
  std::string _format_investigation_prompt(const Json& advisory) const;

  // --- Fix verification ---

  // The advisory stored at `advisory_path` (a map, or null).
  Json _load_previous_advisory(const fs::path& advisory_path) const;
  // quessary::diff_advisories(before, after).
  Json _diff_advisories(const Json& before, const Json& after) const;
  std::string _format_verification_summary(const Json& before, const Json& after,
                                           const Json& diff) const;

  fs::path vel_dir;
  fs::path phase1_path;  // events/
  fs::path phase2_path;  // phase2/
  fs::path phase3_path;  // phase3/
  fs::path phase4_path;  // phase4/
  fs::path output_path;  // phase5/
  double significance_threshold;
  morvic::AcceptedDeviations _accepted_devs;
  // When set, run() reports only the signals of the window's events, takes
  // the window's bounds as its period and records the window in the
  // advisory. A window without significant changes still gets an advisory,
  // an all-clear that says which window it covers (or, for an empty one,
  // that nothing happened), so that the next --new window starts after it.
  // Baselines and acceptances still see the whole history.
  std::optional<window::Window> window;
  // Event files the host left out of this run (unreadable ones it chose to
  // skip in stage 2); _load_events and the run pass over them.
  std::set<fs::path> skipped_events;
  // Opens the store stage 4 learned into, when that is not
  // phase4/knowledge.db (a store shared with other repositories, say).
  std::function<std::unique_ptr<lorvessa::LorvessaBase>()> open_store;
  // Set by a command that ends after one run: what the run read, and the
  // prepared events it drops, are left for the process's exit to reclaim
  // (see shared/left_for_exit.h) instead of being freed.
  bool process_ends_after_run = false;

 private:
  std::optional<std::vector<PreparedEvent>> prepared_events_;

  // The store the loaders read: open_store's, else phase4/knowledge.db;
  // nothing when that file does not exist.
  std::unique_ptr<lorvessa::LorvessaBase> _knowledge_store() const;
};

}  // namespace velquor::esperlin
