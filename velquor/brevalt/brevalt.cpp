#include "velquor/brevalt/brevalt.h"

#include <algorithm>

#include "shared/errors.h"
#include "shared/file_io.h"
#include "velquor/brevalt/internal.h"

namespace velquor::brevalt {
namespace {

fs::path created(const fs::path& dir) {
  std::error_code ec;
  fs::create_directories(dir, ec);
  if (ec || !fs::is_directory(dir)) throw IoError(dir.string() + ": cannot be created: " + ec.message());
  return dir;
}

size_t family_index(std::string_view name) {
  for (size_t i = 0; i < families().size(); ++i)
    if (families()[i].name == name) return i;
  throw ValueError("unknown source family '" + std::string(name) + "'");
}

// The signals of a payload family's events, in processing order.
SignalList family_signals(const Brevalt& engine, size_t family, const std::vector<FamilyEvent>& events) {
  const Family& table_entry = families()[family];
  SignalEmitter emitter(engine.window_size, engine.min_baseline, table_entry.name, table_entry.label);
  // At most one signal per metric value: reserved, the list never moves its
  // records (pages never written are never taken from the system).
  size_t most = 0;
  for (const FamilyEvent& event : events) most += event.metrics.size();
  SignalList signals;
  signals.reserve(most);
  for (const FamilyEvent& event : events) {
    if (event.error) std::rethrow_exception(event.error);
    emitter.emit(event.metrics, [&] { return stored_event_ref(event); }, event.file, signals);
    emitter.push(event.metrics, event.file);
  }
  return signals;
}

SignalList run_single(const Brevalt& engine, std::string_view name) {
  size_t family = family_index(name);
  FamilySet wanted;
  wanted.set(family);
  std::vector<FamilyInput> inputs = load_family_inputs(engine.events_path, wanted, 1);
  std::optional<FamilyRun> run = run_family(engine, family, std::move(inputs[family]));
  return run ? std::move(run->signals) : SignalList{};
}

}  // namespace

std::string stored_event_ref(const FamilyEvent& event) {
  if (event.ref_error) std::rethrow_exception(event.ref_error);
  return event.event_ref;
}

std::optional<FamilyRun> run_family(const Brevalt& engine, size_t family, FamilyInput input) {
  if (family == kGitFamily) {
    GitHalves git(engine, std::move(input));
    git.run_half(0);
    git.run_half(1);
    return git.write();
  }
  if (!input.error) order_events(input);  // here, on the family's own thread
  if (input.error) std::rethrow_exception(input.error);
  if (input.events.empty()) return std::nullopt;
  SignalList signals = family_signals(engine, family, input.events);
  write_signal_file(engine.output_path / families()[family].signal_file, signals);
  FamilyRun run{signals.size(), {}};
  if (engine.keeps_signals()) run.signals = std::move(signals);
  return run;
}

Brevalt::Brevalt(fs::path dir, int64_t window, int64_t min_base)
    : vel_dir(std::move(dir)),
      events_path(vel_dir / "events"),
      output_path(created(vel_dir / "phase2")),
      window_size(window),
      min_baseline(min_base),
      observed_members_(event_members()) {
  if (window_size < 1 || min_baseline < 1)
    throw ValueError("window_size and min_baseline must be at least 1");
}

std::vector<Event> Brevalt::_load_events(const std::string& source_family,
                                         const std::string& source_type) const {
  std::vector<Event> events;
  std::vector<std::string> keys;
  for (const fs::path& file : list_json_files(events_path)) {
    Json event = read_event(file);
    auto matches = [&](const char* member, const std::string& wanted) {
      if (wanted.empty()) return true;
      auto it = event.find(member);
      return it != event.end() && it->is_string() && it->get_ref<const std::string&>() == wanted;
    };
    if (!matches("source_family", source_family) || !matches("source_type", source_type)) continue;
    events.push_back({file, std::move(event)});
  }
  // Keys first: a wrong-kind observed_at fails the load before sorting.
  for (const Event& event : events) keys.push_back(observed_at_key(event.value, event.file.string()));
  std::vector<size_t> order(events.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return keys[a] < keys[b]; });
  std::vector<Event> sorted;
  sorted.reserve(events.size());
  for (size_t i : order) sorted.push_back(std::move(events[i]));
  return sorted;
}

SignalList Brevalt::_emit_signals(const std::vector<Event>& events, const std::string& engine_id,
                                  const std::string& source_type, const MetricFn& metric_fn,
                                  const WindowDataFn& window_data_fn) const {
  SignalEmitter emitter(window_size, min_baseline, engine_id, source_type);
  SignalList signals;
  for (const Event& event : events) {
    const std::string where = event.file.string();
    MetricMap metrics = metric_fn(event);
    emitter.emit(metrics, [&] { return event_ref_of(event.value, where, false); }, where, signals);
    // Extra window members are for window-state functions of other
    // families; the generic baseline reads only the metrics.
    window_data_fn(event, metrics);
    emitter.push(metrics, where);
  }
  return signals;
}

void Brevalt::observe_events(const JsonKeep& extra_members, EventObserver observer) {
  observed_members_ = event_members();
  observed_members_.add(extra_members);
  observer_ = std::move(observer);
}

void Brevalt::use_event_listing(JsonFileListing listing) { listing_ = std::move(listing); }

EventReading Brevalt::event_reading() const {
  return {&observed_members_, &observer_, listing_ ? &*listing_ : nullptr};
}

SignalList Brevalt::run_git() const { return run_single(*this, "git"); }
SignalList Brevalt::run_ci() const { return run_single(*this, "ci"); }
SignalList Brevalt::run_testing() const { return run_single(*this, "testing"); }
SignalList Brevalt::run_coverage() const { return run_single(*this, "coverage"); }
SignalList Brevalt::run_dependency() const { return run_single(*this, "dependency"); }
SignalList Brevalt::run_schema() const { return run_single(*this, "schema"); }
SignalList Brevalt::run_deployment() const { return run_single(*this, "deployment"); }
SignalList Brevalt::run_config() const { return run_single(*this, "config"); }
SignalList Brevalt::run_error_tracking() const { return run_single(*this, "error_tracking"); }
SignalList Brevalt::run_security() const { return run_single(*this, "security"); }

FamilySignals Brevalt::run_all(std::vector<FamilyOutcome>* outcomes, EventReport* report) const {
  std::vector<FamilyInput> inputs =
      load_family_inputs(events_path, FamilySet().set(), 1, report, event_reading());
  FamilySignals result;
  for (size_t f = 0; f < families().size(); ++f) {
    FamilyOutcome outcome;
    outcome.family = families()[f].name;
    try {
      std::optional<FamilyRun> run = run_family(*this, f, std::move(inputs[f]));
      outcome.file_written = run.has_value();
      outcome.signal_count = run ? run->signal_count : 0;
      result.emplace_back(families()[f].name, run ? std::move(run->signals) : SignalList{});
    } catch (const std::exception& e) {
      outcome.failed = true;
      outcome.error = e.what();
      if (outcomes) outcomes->push_back(outcome);
      throw;
    }
    if (outcomes) outcomes->push_back(outcome);
  }
  return result;
}

}  // namespace velquor::brevalt
