// Stage 2 of the pipeline: rolling baselines and deviation signals.
//
// A Brevalt engine reads the event files of one data directory
// (`vel_dir`/events/*.json), derives numeric metrics from each event of the
// ten source families, keeps a rolling window of the last `window_size`
// events per family and writes, for every event whose window holds at least
// `min_baseline` entries, one signal record per metric into
// `vel_dir`/phase2/<family>_signals.json.
//
// Event order: the event files are read in byte order of their names, the
// events of a family kept in that order and then stably sorted by
// `observed_at` (compared as text; absent or null sorts as ""). So equal time
// stamps resolve by file name on every file system.
//
// Signal record (nine members, in this order):
//   engine_id, source_type   the family and its fixed label
//   metric                   the metric name
//   window      {type: "rolling", size: <configured window size>}
//   baseline    {mean, stddev, median, mad}  of the metric's earlier values
//   observed                 the event's value, kind kept (4 stays 4)
//   deviation   {measure, unit, degenerate}  robust deviation, 6 decimals
//   confidence  {sample_count, status: "sufficient" | "accumulating"}
//   event_ref                the event's `event_id` ("" when absent or null)
// The figures are exact (shared/exact_stats.h): the mean is the exact mean
// rounded once, the standard deviation the correctly rounded root of the exact
// variance; integer results stay integers.
//
// Robust deviation: the modified z-score 0.6745 * (observed - median) / MAD
// while the MAD is positive, else (observed - median) / (IQR / 1.35) while the
// index-based IQR is positive, else the baseline is degenerate (measure 0.0).
//
// Families and what selects their events:
//   git             source_type == "git"       label "git"
//   ci              source_family == "ci"      label "github_actions"
//   testing         ...                        label "junit_xml"
//   coverage                                   label "coverage_xml"
//   dependency                                 label "pip"
//   schema                                     label "openapi"
//   deployment                                 label "github_releases"
//   config                                     label "terraform"
//   error_tracking                             label "sentry"
//   security                                   label "trivy"
// The git family measures files_touched, dispersion (entropy of the paths
// over their top-level directories), change_locality and
// cochange_novelty_ratio against the files and file pairs of the window; the
// other nine read their metrics from fixed payload members (family_metrics).
//
// Failures are exceptions from shared/errors.h whose message names the event
// file and member: invalid JSON or UTF-8 (JsonError), an event that is not an
// object, a member of the wrong kind (TypeError), an event without `payload`
// or a git event without `event_id` once it needs one (MissingMember). A
// failing family writes nothing, so an older signal file stays as it was.
// Files not ending in ".json" and subdirectories of `events` are ignored.
//
// Threads: only run_all_parallel uses them; the engine is read-only after
// construction and each family writes its own file.
#pragma once

#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "shared/exact_stats.h"
#include "shared/file_io.h"
#include "shared/json.h"
#include "velquor/cindrel/record_scanner.h"

namespace velquor::brevalt {

namespace fs = std::filesystem;

// A commit touching more than this many distinct files contributes no
// co-change pairs (at most 435 pairs per commit).
inline constexpr size_t MAX_PAIR_FILES = 30;

// One source family: its name (= engine_id), the label written into its
// signals, and its signal file name.
struct Family {
  const char* name;
  const char* label;
  const char* signal_file;
};
// The ten families in the order of the sequential driver (git, ci, testing,
// coverage, dependency, schema, deployment, config, security, error_tracking).
std::span<const Family> families();

// One event as read from the events directory.
struct Event {
  fs::path file;  // named in error messages
  Json value;     // the whole event object
};

// One metric of an event; a null value means the metric does not apply to the
// event (it is skipped and left out of later baselines).
struct Metric {
  std::string name;
  Json value;
};
// Metrics in the order of the family's signals.
using MetricMap = std::vector<Metric>;

// The metrics of one event of a non-git family, in signal order. TypeError or
// MissingMember (naming the file and member) for unusable payloads;
// ValueError for an unknown family.
MetricMap family_metrics(const std::string& family, const Event& event);

// ---- Robust deviation -----------------------------------------------------

enum class DeviationUnit { kModifiedZscore, kIqrNormalized, kDegenerate };
const char* unit_name(DeviationUnit unit);  // "modified_zscore", ...

struct RobustDeviation {
  std::optional<double> measure;  // none only when degenerate and observed != median
  DeviationUnit unit = DeviationUnit::kDegenerate;
  SampleValue median;
  SampleValue mad;  // the MAD for modified z-scores, else 0.0
  bool degenerate = true;
  Json to_json() const;  // {measure, unit, median, mad, degenerate}
};

// `values` must not be empty (ValueError).
RobustDeviation compute_robust_deviation(double observed, std::span<const SampleValue> values);
SampleValue _median_absolute_deviation(std::span<const SampleValue> values);
SampleValue _iqr(std::span<const SampleValue> values);

// ---- Signals --------------------------------------------------------------

struct Signal {
  std::string engine_id;
  std::string source_type;
  std::string metric;
  int64_t window_size = 0;
  SampleValue mean;
  double stddev = 0.0;
  SampleValue median;
  SampleValue mad;
  Json observed;
  double measure = 0.0;
  DeviationUnit unit = DeviationUnit::kDegenerate;
  bool degenerate = true;
  int64_t sample_count = 0;
  bool sufficient = false;  // sample_count >= window size
  std::string event_ref;

  Json to_json() const;  // the nine-member record
};
using SignalList = std::vector<Signal>;

Json to_json(const SignalList& signals);
// The bytes of a signal file: dump_pretty(to_json(signals)), except that an
// integer figure beyond 64 bits is written as the exact integer (to_json can
// only hold it as a real).
std::string signal_file_text(const SignalList& signals);
// signal_file_text(signals) written atomically to `path`, passed on in pieces
// rather than built whole (a git file of 100,000 commits is 80 MB).
void write_signal_file(const fs::path& path, const SignalList& signals);
// The same for signals held elsewhere, written in the given order.
void write_signal_file(const fs::path& path, std::span<const Signal* const> signals);

// Signal lists by family name, in run order (run_all) or completion order
// (run_all_parallel).
using FamilySignals = std::vector<std::pair<std::string, SignalList>>;

// What a driver did with one family, for hosts that report per family.
struct FamilyOutcome {
  std::string family;
  bool failed = false;
  std::string error;        // the failure's message when failed
  size_t signal_count = 0;  // signals written when not failed
  bool file_written = false;  // false for a non-git family without events
};

// What the drivers tell a host that asks (EventReport*) about the event files
// that gave no events. With skip_unreadable set, a file that cannot be read
// or parsed as an event is left out and listed instead of failing every
// family.
struct EventReport {
  bool skip_unreadable = false;                           // set by the host
  std::vector<std::pair<fs::path, std::string>> skipped;  // file, error; name order
  size_t unselected = 0;  // events that no family selects (unknown family)
  // Selected events whose observed_at is missing or no ISO-8601 time: they
  // sort by their text and cannot be placed in time by the later stages.
  size_t undated = 0;
  // Entries of the events folder named *.json that are no regular files
  // (folders, pipes, broken links), passed over.
  size_t irregular = 0;
};

// ---- Git window -----------------------------------------------------------

using FileSet = std::set<std::string>;
using CochangePair = std::pair<std::string, std::string>;  // first < second
using PairSet = std::set<CochangePair>;

struct GitWindowEntry {
  FileSet files;
  PairSet pairs;
  MetricMap metrics;
};
using GitWindow = std::deque<GitWindowEntry>;

// ---- Engine ---------------------------------------------------------------

struct EventReading;  // how the drivers read the event files (internal)

using MetricFn = std::function<MetricMap(const Event&)>;
// Window-state function: called once per event, after its signals, for the
// extra members of its window entry. The generic baseline reads only the
// metrics, so nothing it returns changes a signal; the nine payload families
// have none.
using WindowDataFn = std::function<Json(const Event&, const MetricMap&)>;

// Sees each event file the drivers read: its position in name order, its
// path, its text, what RecordScanner::scan_plain_object read of the text when
// it took it (`plain`, else null; valid during the call), and, when the drivers built one, the event
// as a tree (an object holding the members the drivers read plus those the
// observer asked for). A plain event is read without a tree: `event` is then
// null, and the text is one object the parser accepts.
using EventObserver =
    std::function<void(size_t file_index, const fs::path& file, std::string_view text,
                       const cindrel::ScannedRecord* plain, const Json* event)>;

class Brevalt {
 public:
  // Creates `vel_dir`/phase2 (with missing parents). window_size and
  // min_baseline must be at least 1.
  explicit Brevalt(fs::path vel_dir, int64_t window_size = 50, int64_t min_baseline = 5);

  const fs::path vel_dir;
  const fs::path events_path;  // vel_dir/events
  const fs::path output_path;  // vel_dir/phase2
  const int64_t window_size;
  const int64_t min_baseline;

  // The events whose `source_family` (and then `source_type`) equal the
  // given texts; an empty text turns that filter off. Sorted as described
  // at the top of this file.
  std::vector<Event> _load_events(const std::string& source_family = "",
                                  const std::string& source_type = "") const;

  // The signals of one family's events (in the given order). Writes nothing.
  SignalList _emit_signals(const std::vector<Event>& events, const std::string& engine_id,
                           const std::string& source_type, const MetricFn& metric_fn,
                           const WindowDataFn& window_data_fn) const;

  // Each runner recomputes its family from all event files, writes its signal
  // file (a non-git family without events writes none) and returns the list.
  SignalList run_git() const;
  SignalList run_ci() const;
  SignalList run_testing() const;
  SignalList run_coverage() const;
  SignalList run_dependency() const;
  SignalList run_schema() const;
  SignalList run_deployment() const;
  SignalList run_config() const;
  SignalList run_error_tracking() const;
  SignalList run_security() const;

  // All ten families in driver order; the first failure propagates and later
  // families are not run. Every event file is parsed once for all families;
  // the result equals running each runner alone. `outcomes`, when given,
  // receives one entry per family run; `report`, when given, the event files
  // left out (see EventReport).
  FamilySignals run_all(std::vector<FamilyOutcome>* outcomes = nullptr,
                        EventReport* report = nullptr) const;

  // All ten families on `max_workers` threads named "p2_worker_<i>". A
  // failing family prints "  [Phase 2] <family> failed: <message>" to
  // standard output and maps to an empty list; the result has all ten keys
  // in completion order. `outcomes` receives one entry per family in the
  // same order.
  FamilySignals run_all_parallel(int max_workers = 4,
                                 std::vector<FamilyOutcome>* outcomes = nullptr,
                                 EventReport* report = nullptr) const;

  // Lets a host read the events once for several stages: from now on
  // run_all and run_all_parallel build `extra_members` (dotted paths, see
  // JsonKeep) besides their own in every event tree they build, and call
  // `observer` (see EventObserver) with every event file that parses as an
  // object, the ones a failing run never reaches included, from the reading
  // threads in any order. An exception from the observer
  // ends the driver before any family runs. The runners of one family never
  // call it. Nothing a driver writes or returns changes.
  void observe_events(const JsonKeep& extra_members, EventObserver observer);

  // From now on the drivers and runners return empty signal lists (the
  // outcomes still count the signals): each family's signals are let go as
  // soon as its file is written, for hosts that want only the files.
  void discard_signals() { keep_signals_ = false; }
  bool keeps_signals() const { return keep_signals_; }

  // Has the drivers read the event files of `listing`, a listing of
  // events_path the host already made, instead of listing the folder again.
  void use_event_listing(JsonFileListing listing);

  // Entropy in bits of the paths over their top-level components.
  static double _dispersion(const FileSet& files);
  // Every pair (a, b) of distinct paths with a < b.
  static PairSet _cochange_pairs(const FileSet& files);
  // {files_touched, dispersion} of a git event.
  MetricMap _git_metrics(const Event& event) const;
  // Appends change_locality and cochange_novelty_ratio computed against
  // `window` (no file limit on pairs) and returns `metrics`.
  MetricMap& _git_extended_metrics(const Event& event, MetricMap& metrics,
                                   const GitWindow& window) const;

 private:
  EventReading event_reading() const;

  JsonKeep observed_members_;  // the drivers' members plus the observer's
  EventObserver observer_;
  std::optional<JsonFileListing> listing_;
  bool keep_signals_ = true;
};

}  // namespace velquor::brevalt
