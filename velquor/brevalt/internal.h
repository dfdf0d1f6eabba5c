// Building blocks of the family runs, private to the module.
#pragma once

#include <bitset>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "shared/file_io.h"
#include "velquor/cindrel/record_scanner.h"
#include "velquor/brevalt/brevalt.h"

namespace velquor::brevalt {

inline constexpr size_t kGitFamily = 0;  // index of git in families()
using FamilySet = std::bitset<10>;       // by index into families()

// ---- Event files -----------------------------------------------------------

// One event file parsed; TypeError when its top-level value is no object.
Json read_event(const fs::path& path);
// The event file `where` holding `text`, building only the members `keep`
// names (errors unchanged).
Json parse_event(std::string_view text, const std::string& where, const JsonKeep& keep);

// The members of an event that the family runs read (selection, order,
// event reference, git paths and every payload member of the extractors):
// the loader builds nothing else.
const JsonKeep& event_members();

// The sort key of an event: `observed_at`, "" when absent or null;
// TypeError for any other kind.
std::string observed_at_key(const Json& event, const std::string& where);

// `event_id` as a signal's event reference: the text, or "" when null or
// (unless `required`, as for git) absent; an error for any other kind.
std::string event_ref_of(const Json& event, const std::string& where, bool required);

// The families that select the event (git by source_type, the others by
// source_family).
FamilySet selecting_families(const Json& event);
// The same from the texts of the two members (nullopt: absent or no text).
FamilySet families_named(std::optional<std::string_view> source_type,
                         std::optional<std::string_view> source_family);

// The metrics of an event of a payload family (not git).
MetricMap payload_metrics(std::string_view family, const Json& event, const std::string& where);
// The same of a plain event; NotPlain (payload.h) where the tree must read it.
MetricMap payload_metrics(std::string_view family, const cindrel::ScannedRecord& event);

// ---- One family's events, reduced to what its run needs ------------------

struct FamilyEvent {
  std::string file;  // names the event in errors
  std::string observed_at;
  std::exception_ptr order_error;  // observed_at of a wrong kind
  std::exception_ptr error;        // raised when the run reaches the event
  std::string event_ref;
  std::exception_ptr ref_error;    // raised when a signal needs the event id
  MetricMap metrics;               // git: files_touched and dispersion
  std::vector<std::string> paths;  // git: the distinct paths, sorted
};

// The event's id for its signals, or the error reading it met.
std::string stored_event_ref(const FamilyEvent& event);

// What the families take of a plain event file read without a tree: the
// families that select it, and the wanted ones' readings in family order.
struct PlainDigest {
  FamilySet selecting;
  std::vector<std::pair<size_t, FamilyEvent>> events;
};

// The digest of the event file `where`, whose text the record scanner read
// as a plain object into `event`, when every reading the wanted families take
// of it is a plain value; nullopt when the tree readers must read it (they
// then word any error).
std::optional<PlainDigest> digest_plain_event(const cindrel::ScannedRecord& event,
                                              const std::string& where, FamilySet wanted);

struct FamilyInput {
  std::exception_ptr error;         // the family cannot run at all
  std::vector<FamilyEvent> events;  // in name order, then (order_events) processing order
};

// Puts a family's events in processing order (stably by observed_at), or
// sets its error to the first observed_at of a wrong kind in name order.
void order_events(FamilyInput& input);

// What the loader builds of each event and who else sees it.
struct EventReading {
  const JsonKeep* members = &event_members();
  const EventObserver* observer = nullptr;  // null or empty: none; see Brevalt::observe_events
  const JsonFileListing* listing = nullptr;  // the files to read; null: list the folder
};

// Reads every event file of `events_dir` once, on `threads` threads, and
// hands each event to every wanted family that selects it. The result has
// one input per family (unwanted ones empty).
// A `report` receives what EventReport describes. An observer's exception
// propagates once every file is read.
std::vector<FamilyInput> load_family_inputs(const fs::path& events_dir, FamilySet wanted,
                                            int threads, EventReport* report = nullptr,
                                            const EventReading& reading = {});

// ---- Git metrics -------------------------------------------------------------

// The distinct paths of a git event's payload.files, sorted.
std::vector<std::string> git_paths(const Json& event, const std::string& where);
// The same of a plain event; NotPlain where the tree must read it.
std::vector<std::string> git_paths(const cindrel::ScannedRecord& event);
// {files_touched, dispersion} of a commit's distinct paths.
MetricMap git_base_metrics(const std::vector<std::string>& distinct_paths);

// The files and co-change pairs of the window's commits as counted
// multisets, updated as commits enter and leave, so that measuring a commit
// costs its own size rather than the window's.
class CochangeWindow {
 public:
  explicit CochangeWindow(size_t capacity) : capacity_(capacity) {}
  // Appends change_locality and cochange_novelty_ratio of a commit (its
  // distinct sorted paths) to `metrics`, then lets the commit enter.
  void measure_and_add(const std::vector<std::string>& paths, MetricMap& metrics);

 private:
  struct Commit {
    std::vector<uint32_t> files;
    std::vector<uint64_t> pairs;
  };
  uint32_t intern(const std::string& path);
  void add(Commit commit);
  void evict_oldest();

  size_t capacity_;
  std::unordered_map<std::string, uint32_t> ids_;
  std::vector<uint32_t> file_count_;  // by path id
  std::unordered_map<uint64_t, uint32_t> pair_count_;
  std::deque<Commit> commits_;
};

// ---- Signal emission -------------------------------------------------------

// compute_robust_deviation with the sample already sorted stably by value.
// The sample in arrival order (oldest first) is asked for only when equal
// deviations of both kinds make that order matter.
using ArrivalOrder = std::function<std::span<const SampleValue>()>;
RobustDeviation robust_deviation_of_sorted(double observed, std::span<const SampleValue> sorted,
                                           const ArrivalOrder& in_arrival_order);

// The rolling window of one family run and the signals measured against it.
class SignalEmitter {
 public:
  SignalEmitter(int64_t window_size, int64_t min_baseline, std::string engine_id,
                std::string label);

  // The signals of one event's metrics (none while the window holds fewer
  // than min_baseline entries). `event_ref` is asked once, when the first
  // signal is built. `where` names the event in errors.
  void emit(const MetricMap& metrics, const std::function<std::string()>& event_ref,
            const std::string& where, SignalList& out);
  // The event's metrics join the window; the oldest entry leaves a full one.
  void push(const MetricMap& metrics, const std::string& where);

 private:
  struct Entry {
    uint64_t seq = 0;  // arrival number: orders equal values like a stable sort
    std::vector<std::pair<uint32_t, SampleValue>> values;  // metric id, value
  };
  // One metric's window values sorted by (value, arrival), as entries come
  // and go, so that no signal sorts its sample; and their running sums.
  struct SortedWindow {
    std::vector<SampleValue> values;
    std::vector<uint64_t> seqs;  // parallel to values
    RunningMoments moments;
    // Where (value, seq) belongs among the sorted values.
    size_t position(const SampleValue& value, uint64_t seq) const;
  };
  uint32_t metric_id(const std::string& name, size_t hint);
  void insert_sorted(uint32_t id, const SampleValue& value, uint64_t seq);
  void erase_sorted(uint32_t id, const SampleValue& value, uint64_t seq);
  void build(uint32_t id, const Json& observed, const std::string& event_ref,
             const std::string& where, Signal& out);
  // The window's values of metric `id`, oldest first, in sample_.
  std::span<const SampleValue> sample_in_arrival_order(uint32_t id);

  int64_t window_size_;
  int64_t min_baseline_;
  std::string engine_id_;
  std::string label_;
  std::vector<std::string> metric_names_;  // by id
  std::deque<Entry> window_;
  std::vector<SortedWindow> sorted_;  // by metric id
  uint64_t next_seq_ = 0;
  std::vector<SampleValue> sample_;  // scratch: oldest first, built on demand
};

// What a family's run wrote: its signal count, and its signals unless the
// engine discards them.
struct FamilyRun {
  size_t signal_count = 0;
  SignalList signals;
};

// Runs a family (signals and file) from its loaded input. Returns nothing
// when a payload family has no events (no file written).
std::optional<FamilyRun> run_family(const Brevalt& engine, size_t family, FamilyInput input);

// The git family run as two halves, which may run at the same time on two
// threads: half 0 measures files_touched and dispersion, half 1 the metrics
// against the co-change window. Each half keeps its own rolling window (one
// entry per event whatever metrics it holds), so merged event by event in
// metric order their signals are those of one run over all four metrics.
class GitHalves {
 public:
  GitHalves(const Brevalt& engine, FamilyInput input);
  // Runs half 0 or 1; each half once. The first to start puts the events
  // in processing order (order_events), the other waits for it.
  void run_half(int half);
  // Once both halves ran: writes the family's signal file (the halves'
  // signals merged) and lets go of the halves, or raises the failure a
  // single run would have met first.
  FamilyRun write();

 private:
  struct Half {
    SignalList signals;
    std::vector<size_t> ends;  // per event: the signal count after it
    size_t failed_at = SIZE_MAX;
    std::exception_ptr error;
  };

  void check() const;
  // Calls visit(signal) for every signal of the halves in the family's order.
  template <class Visit>
  void each_in_order(Visit visit);

  const Brevalt& engine_;
  FamilyInput input_;
  std::once_flag ordered_;
  Half halves_[2];
};

// ---- Threads ---------------------------------------------------------------

// Runs body(worker) on `count` threads named "p2_worker_<i>" and waits for
// all of them.
void run_on_workers(int count, const std::function<void(int)>& body);

}  // namespace velquor::brevalt
