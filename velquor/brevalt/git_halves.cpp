// The git family in two halves. Its four metrics fall into two independent
// pairs: files_touched and dispersion of each commit alone, and
// change_locality and cochange_novelty_ratio measured against the co-change
// window. A rolling window holds one entry per event whatever metrics it
// carries, so an emitter fed one pair gives exactly the signals of that pair
// that an emitter fed all four gives. Each half runs its own emitter; merged
// event by event in metric order, their signals are the family's.
#include "shared/errors.h"
#include "velquor/brevalt/internal.h"

namespace velquor::brevalt {

GitHalves::GitHalves(const Brevalt& engine, FamilyInput input)
    : engine_(engine), input_(std::move(input)) {}

void GitHalves::run_half(int half) {
  std::call_once(ordered_, [this] {
    if (!input_.error) order_events(input_);
  });
  if (input_.error) return;
  const Family& git = families()[kGitFamily];
  SignalEmitter emitter(engine_.window_size, engine_.min_baseline, git.name, git.label);
  std::optional<CochangeWindow> cochange;
  if (half == 1) cochange.emplace(static_cast<size_t>(engine_.window_size));
  Half& out = halves_[half];
  out.ends.reserve(input_.events.size());
  out.signals.reserve(2 * input_.events.size());  // two metrics per event and half
  MetricMap windowed;
  for (size_t i = 0; i < input_.events.size(); ++i) {
    FamilyEvent& event = input_.events[i];  // half 1 alone touches the paths
    try {
      if (event.error) std::rethrow_exception(event.error);
      if (cochange) {
        windowed.clear();
        cochange->measure_and_add(event.paths, windowed);
        event.paths = {};  // the window keeps its own ids; free the texts early
      }
      const MetricMap& metrics = cochange ? windowed : event.metrics;
      emitter.emit(metrics, [&] { return stored_event_ref(event); }, event.file, out.signals);
      emitter.push(metrics, event.file);
    } catch (...) {
      out.failed_at = i;
      out.error = std::current_exception();
      return;
    }
    out.ends.push_back(out.signals.size());
  }
}

void GitHalves::check() const {
  if (input_.error) std::rethrow_exception(input_.error);
  // The failure the whole family would meet first: the earlier event, and at
  // the same event the first pair (its signals come first).
  const Half& failed = halves_[1].failed_at < halves_[0].failed_at ? halves_[1] : halves_[0];
  if (failed.error) std::rethrow_exception(failed.error);
}

template <class Visit>
void GitHalves::each_in_order(Visit visit) {
  size_t taken[2] = {0, 0};
  for (size_t i = 0; i < input_.events.size(); ++i) {
    for (int h = 0; h < 2; ++h) {
      for (; taken[h] < halves_[h].ends[i]; ++taken[h]) visit(halves_[h].signals[taken[h]]);
    }
  }
}

FamilyRun GitHalves::write() {
  check();
  std::vector<const Signal*> order;
  order.reserve(halves_[0].signals.size() + halves_[1].signals.size());
  each_in_order([&](const Signal& signal) { order.push_back(&signal); });
  write_signal_file(engine_.output_path / families()[kGitFamily].signal_file, order);
  FamilyRun run{order.size(), {}};
  if (engine_.keeps_signals()) {
    run.signals.reserve(order.size());
    each_in_order([&](Signal& signal) { run.signals.push_back(std::move(signal)); });
  }
  for (Half& half : halves_) half = Half{};
  return run;
}

}  // namespace velquor::brevalt
