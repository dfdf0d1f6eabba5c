// velquor_shifts_bench: times `find_shifts` over a history of 100,000 events
// with a planted drift, after stage 2 has written its signal files (the
// time the shifts command needs on top of any run). Data goes to
// VELQUOR_BENCH_DIR or the build directory and is reused between runs.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "bench/generate.h"
#include "shared/file_io.h"
#include "velquor/brevalt/brevalt.h"
#include "velquor/shifts/shifts.h"

namespace {

namespace fs = std::filesystem;

constexpr size_t kEvents = 100000;
constexpr int64_t kDriftCommit = 22000;  // about 60% into the history

fs::path prepared_data(const fs::path& root) {
  fs::path dir = root / ("drift-" + std::to_string(kEvents));
  if (velquor::list_json_files(dir / "events").size() != kEvents || !fs::exists(dir / "phase2")) {
    fs::remove_all(dir);
    std::printf("generating %zu events with a drift at commit %lld in %s ...\n", kEvents,
                static_cast<long long>(kDriftCommit), dir.c_str());
    std::fflush(stdout);
    velquor::bench::GeneratorOptions options{kEvents, 1};
    options.drift_commit = kDriftCommit;
    velquor::bench::generate_events(dir, options);
    velquor::brevalt::Brevalt(dir).run_all_parallel(4);
  }
  return dir;
}

}  // namespace

int main() {
  const char* env = std::getenv("VELQUOR_BENCH_DIR");
  const fs::path dir = prepared_data(env ? fs::path(env) : fs::path(VELQUOR_BENCH_DATA));
  uintmax_t bytes = 0;
  for (const fs::path& file : velquor::list_json_files(dir / "phase2")) bytes += fs::file_size(file);
  // On a shared machine the wall clock also counts waiting for a core, so
  // the processor time is shown beside it.
  double best = 1e300, best_cpu = 1e300;
  size_t found = 0;
  for (int run = 0; run < 3; ++run) {
    auto start = std::chrono::steady_clock::now();
    std::clock_t cpu_start = std::clock();
    found = velquor::shifts::find_shifts(dir).size();
    best_cpu = std::min(best_cpu, static_cast<double>(std::clock() - cpu_start) / CLOCKS_PER_SEC);
    best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  std::printf("%zu events, %.1f MB of signals: %zu shifts in %.3f s wall, %.3f s processor (best of 3)\n",
              kEvents, static_cast<double>(bytes) / 1e6, found, best, best_cpu);
  return 0;
}
