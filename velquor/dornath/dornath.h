// Pattern discovery engine (stage 4 of the pipeline).
//
// Dornath reads the signal files of stage 2 (`phase2/*_signals.json`) and the
// explanations of stage 3 (`phase3/explanations.json`), relates signals of
// different source families to one another through the events they came from
// (same commit, or same time bucket), and discovers candidate patterns:
//
//  - co-occurrences: two metrics of different families whose deviations move
//    together (confidence-weighted Pearson correlation, or lift);
//  - presence patterns: a git metric that behaves differently on commits where
//    another family produced events at all (effect size d).
//
// Every candidate is stored in, or counted against, the knowledge store
// `phase4/knowledge.db`; new ones may get a one-sentence description from a
// language model; patterns seen often enough are promoted to knowledge and
// stale ones expire. A run ends by writing `phase4/phase4_summary.json`.
//
// Stage 5 uses the plain functions `signals_to_components` and
// `Dornath::_extract_event_timestamp`; both keep no state.
//
// Logging: stage 4 logs through the logger "velquor.phase4" (see LogLevel
// below). By default nothing is shown; the host raises the level (the command
// line shows information lines with -v, debug lines with -vv).
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <future>
#include <mutex>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "shared/json.h"
#include "velquor/lorvessa/lorvessa.h"
#include "velquor/tarvon/tarvon.h"
#include "velquor/wendal/wendal.h"

namespace velquor::dornath {

namespace fs = std::filesystem;

// ---------------------------------------------------------------------------
// Fingerprints and components

// "increased", "decreased" or "unchanged".
inline constexpr std::string_view kIncreased = "increased";
inline constexpr std::string_view kDecreased = "decreased";
inline constexpr std::string_view kUnchanged = "unchanged";

// The direction of a deviation measure against a threshold. Both comparisons
// are strict (a deviation equal to +-threshold is "unchanged"); the unit
// "degenerate" is always "unchanged", every other unit is treated alike.
std::string_view classify_direction(double deviation, double threshold = 1.0,
                                    std::string_view unit = "modified_zscore");

// (family, metric, direction). Ordered element by element; texts compare by
// code point, which for UTF-8 is their byte order.
struct Component {
  std::string family;
  std::string metric;
  std::string direction;
  auto operator<=>(const Component&) const = default;
  bool operator==(const Component&) const = default;
};

// The components of the deviating signals, in signal order (duplicates
// kept). A signal is skipped when `deviation.degenerate` is true, when
// `deviation.measure` is null, or when its direction is "unchanged" (a
// missing measure counts as 0). TypeError when `signals` is not an array or a
// measure is not a number; MissingMember when a kept signal lacks `engine_id`
// or `metric`.
std::vector<Component> signals_to_components(const Json& signals, double threshold = 1.0);

// 16 hex digits of SHA-256 over the sorted components written as compact
// ASCII JSON ([["ci","run_duration","increased"],...]). Independent of the
// order of `components`, sensitive to duplicates.
std::string compute_fingerprint(const std::vector<Component>& components);

// ---------------------------------------------------------------------------
// Module tables

// Tuning parameters, in this order: min_support 5, min_correlation 0.4,
// min_lift 2.0, min_effect_size 0.35, promotion_threshold 10, decay_window 90
// (days), semantic_multiplier 3, direction_threshold 1.5, confidence_full_at
// 30, temporal_window_hours 24.
extern const Json DEFAULT_PARAMS;

// Family to signal file name, in reading order (coverage and error_tracking
// are not read by this stage).
extern const std::vector<std::pair<std::string, std::string>> SIGNAL_FILES;

// Applies one "KEY=VALUE" override (the command line's --param) to `params`:
// VALUE is read as a JSON scalar when it is one (3, 2.5, true, null), else
// kept as text. ValueError when there is no "=" or the key is empty.
void apply_param_override(Json& params, std::string_view key_equals_value);

// ---------------------------------------------------------------------------
// Logging (logger "velquor.phase4")

enum class LogLevel { kDebug = 10, kInfo = 20, kWarning = 30 };

// Messages below `level` are dropped. Default kWarning (stage 4 logs nothing
// at that level, so it is silent by default).
void set_log_level(LogLevel level);
LogLevel log_level();

// Where shown messages go. The default sink writes
// "LEVEL:velquor.phase4:message" lines ("INFO", "DEBUG") to stderr. An empty
// function restores the default.
using LogSink =
    std::function<void(LogLevel level, std::string_view logger, std::string_view message)>;
void set_log_sink(LogSink sink);

// ---------------------------------------------------------------------------
// Language-model client

// What the engine needs of a language model: one answer text per prompt
// (generate), errors reported by throwing.
using LanguageModel = tarvon::LanguageModel;

// Constructor of one client kind from a model name; may throw. An empty
// function means the client kind is absent.
using LanguageModelFactory =
    std::function<std::unique_ptr<LanguageModel>(const std::string& model)>;

struct LanguageModelFactories {
  LanguageModelFactory anthropic;   // used when ANTHROPIC_API_KEY is set
  LanguageModelFactory openrouter;  // the fallback
};

// The Anthropic and OpenRouter clients of the sibling modules.
LanguageModelFactories default_language_models();

// ---------------------------------------------------------------------------
// Engine

// An entry aligned to a commit or a time bucket: one signal's reference,
// direction and deviation measure.
struct AlignedEntry {
  std::string_view event_ref;
  std::string_view direction;
  double deviation = 0.0;
};

struct EventScan;    // the event files read once for both indexes (event_scan.h)
class SignalTable;  // private: the signals as discovery reads them
struct RefCommits;  // private: the commits of a table's event references (commit_ids.h)
// The commits of one signal table, worked out by whichever discovery step
// asks first; a step running beside it waits for them instead of working
// them out again, and an error raised on the way reaches every step asking.
using SharedRefCommits = std::shared_future<std::shared_ptr<const RefCommits>>;

class Dornath {
 public:
  // Creates `vel_dir`/phase4 (with parents), merges `params` (null or a map)
  // over DEFAULT_PARAMS, opens phase4/knowledge.db and reads the environment:
  // PHASE4B_ENABLED (or, when unset, PHASE31_ENABLED) equal to "true" in any
  // letter case enables the language model; PHASE4B_MODEL names it (default
  // "anthropic/claude-sonnet-4.5"). The environment file ".env" is loaded
  // once per process before the first engine reads the environment.
  // A `store` given replaces phase4/knowledge.db (a store shared with other
  // repositories, say); phase4/ is still created for the engine's files.
  explicit Dornath(const fs::path& vel_dir, const Json& params = Json(),
                   LanguageModelFactories language_models = default_language_models(),
                   std::unique_ptr<lorvessa::LorvessaBase> store = nullptr);
  ~Dornath();
  Dornath(const Dornath&) = delete;
  Dornath& operator=(const Dornath&) = delete;

  // One discovery pass: recognise the whole batch by its fingerprint, count
  // every candidate that matches a stored pattern (by fingerprint, else by
  // its families and metric names) and promote it at `promotion_threshold`
  // observations, store the others (described by the language model when
  // enabled), and expire unconfirmed patterns unseen for `decay_window` days.
  //
  // Returns the summary also written to phase4/phase4_summary.json, members
  // in this order: status ("complete"), total_signals, deviating_signals,
  // batch_fingerprint (null without deviations), patterns_recognized,
  // patterns_incremented, patterns_discovered, patterns_enriched,
  // patterns_promoted, patterns_expired, knowledge_artifacts (local
  // knowledge after the run), details (recognized / promoted / discovered
  // entries). Without signals: {"status": "no_signals",
  // "patterns_discovered": 0, "patterns_recognized": 0} and no file.
  // Store and input errors propagate; language-model errors never do.
  // The run's store changes are one transaction, committed after the
  // summary file is written: a run that fails or is killed leaves the
  // knowledge base as it was.
  Json run();

  // Releases the knowledge store. Idempotent.
  void close();

  // The events as the host has read them already (scan_event over each
  // readable event file, in file-name order, see event_scan.h): run() then
  // reads no event file. Call before run().
  void use_event_scan(EventScan scan);

  // --- steps (public so that tests and stage 5 can reach them) -----------

  // The client, created lazily at most once; nullptr when disabled or when
  // no client could be made. Never throws.
  LanguageModel* _get_llm();

  // Signal records of every file of SIGNAL_FILES that exists, in table and
  // file order.
  Json _load_all_signals() const;

  // signal_ref -> explanation record (the later record wins); empty when
  // phase3/explanations.json does not exist.
  std::unordered_map<std::string, Json> _load_explanations() const;

  // event_ref -> signals, groups in order of first appearance; signals
  // without a reference are left out.
  std::vector<std::pair<std::string, std::vector<Json>>> _group_signals_by_event(
      const Json& signals) const;

  // event_id -> commit hash of every readable event; built once per engine.
  const std::unordered_map<std::string, std::string>& _build_commit_index();

  // event_id -> event time text; built once per engine.
  const std::unordered_map<std::string, std::string>& _build_temporal_index();

  // The event's time: git committed_at/authored_at, CI timing
  // created_at/started_at, release timing initiated_at/completed_at, else
  // observed_at ("" when absent or null). TypeError when the chosen value is
  // not text or a nested payload member is not a map.
  static std::string _extract_event_timestamp(const Json& ev);

  // floor(epoch hours / window_hours) of an ISO-8601 date or date-time
  // (offset-less times are local time of this machine); nullopt when the text
  // is not such a time. ValueError when window_hours is 0.
  static std::optional<int64_t> _time_bucket(std::string_view iso_ts, int64_t window_hours);

  // {"match": "knowledge"|"pattern", "artifact": record} or {"match": null}.
  Json _lookup_fingerprint(const std::string& fingerprint);

  // Pearson correlation with population statistics; 0.0 for fewer than two
  // values or a constant series (logged at debug level).
  static double _pearson(const std::vector<double>& xs, const std::vector<double>& ys);

  // "increased" when more entries classify as increased than decreased, the
  // reverse for "decreased", "unchanged" on a tie.
  static std::string_view _predominant_direction(const std::vector<const AlignedEntry*>& entries,
                                                 double threshold);

  // Candidate records of cross-family metric pairs, commit-aligned first,
  // then time-bucket aligned.
  Json _discover_cooccurrences(const Json& signals);

  // Candidate records of git metrics that differ on commits where another
  // family has events.
  Json _discover_presence_patterns(const Json& signals);

  // One plain-language sentence from the language model, or nullopt (no
  // client, no explanations, gate rejection, five or more sentences, or any
  // error).
  std::optional<std::string> _interpret_pattern(
      const Json& pattern, const std::unordered_map<std::string, Json>& explanations_by_ref);

  // Whether a stored pattern has earned promotion: not yet confirmed, no
  // knowledge with its fingerprint or its families and metric names in its
  // scope, and occurrence_count >= promotion_threshold (times
  // semantic_multiplier for "speculative" patterns).
  bool _check_promotion(const Json& pattern);

  // Stores knowledge derived from the pattern and marks the pattern
  // confirmed; returns the knowledge id.
  std::string _promote_pattern(const Json& pattern);

  // Expires every active, unconfirmed pattern unseen for `decay_window`
  // days; returns their ids.
  std::vector<std::string> _run_decay();

  // --- state ---------------------------------------------------------------
  fs::path vel_dir;
  fs::path phase2_path;
  fs::path phase3_path;
  fs::path output_path;
  Json params;
  std::unique_ptr<lorvessa::LorvessaBase> kb;
  std::unique_ptr<wendal::ValidationGate> gate;
  std::unique_ptr<LanguageModel> _llm;
  bool _llm_enabled = false;
  std::string _llm_model;
  std::optional<std::unordered_map<std::string, std::string>> _commit_index;
  std::optional<std::unordered_map<std::string, std::string>> _temporal_index;

 private:
  // The signal files of SIGNAL_FILES that exist, in table order.
  std::vector<fs::path> signal_paths() const;
  // The loaders of a run: the signals as rows (`file_starts` receives each
  // read file with the position of its first record), and the explanations
  // reduced to what the prompt reads, kept only when the language model is
  // enabled.
  SignalTable load_signal_table(std::vector<std::pair<size_t, fs::path>>& file_starts) const;
  std::unordered_map<std::string, Json> load_explanations() const;

  // The discovery steps on rows; the public steps on records call these.
  // `commits` are those of `signals` (see commits_of).
  Json discover_cooccurrences(const SignalTable& signals, SharedRefCommits commits);
  Json discover_presence_patterns(const SignalTable& signals, SharedRefCommits commits);
  // The commits of the event references of `signals`, read from the events
  // when first asked for; `signals` must outlive the result.
  SharedRefCommits commits_of(const SignalTable& signals);

  // Steps of run(); each updates the counters and details of `summary`.
  void recognize_batch(const std::string& fingerprint, const SignalTable& signals,
                       const std::string& now, Json& summary);
  void absorb_candidate(Json& candidate, const std::unordered_map<std::string, Json>& explanations,
                        const std::string& now, Json& summary);
  // The stored pattern a candidate is another observation of, if any.
  std::optional<Json> find_stored(const Json& candidate);
  // Counts one more observation of a stored pattern and promotes it once it
  // has been seen often enough; the new knowledge id, if any.
  std::optional<std::string> observe_again(const Json& pattern_id, const Json& refs,
                                           const std::string& now, Json& summary);

  // Presence discovery does not log its count itself: a run works it out
  // beside co-occurrence discovery and logs after that step's lines.
  static void log_presence_patterns(const Json& candidates);

  // The event files, read once per engine for every index of them. A run
  // starts reading them while it loads its other inputs; both discovery
  // steps may ask for them at once.
  void start_event_scan();
  const EventScan& events_scan();

  LanguageModelFactories language_models_;
  std::mutex events_mutex_;
  std::shared_future<std::shared_ptr<const EventScan>> events_;
};

}  // namespace velquor::dornath
