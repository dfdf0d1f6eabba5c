// velquor_bench: times stage 2 (sequential and parallel drivers) and stage 3
// (explaining the signals stage 2 wrote, on one thread and on all) on
// synthetic histories of 10,000 and 100,000 events, against merely reading
// and parsing the same event files.
// Data goes to VELQUOR_BENCH_DIR or the build directory and is reused between
// runs.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>

#include "bench/generate.h"
#include "shared/file_io.h"
#include "shared/json.h"
#include "velquor/brevalt/brevalt.h"
#include "velquor/cindrel/cindrel.h"

namespace {

namespace fs = std::filesystem;
using velquor::brevalt::Brevalt;

// Best wall-clock seconds of `runs` calls.
double best_of(int runs, const std::function<void()>& work) {
  double best = 1e300;
  for (int i = 0; i < runs; ++i) {
    auto start = std::chrono::steady_clock::now();
    work();
    best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  return best;
}

fs::path prepared_data(const fs::path& root, size_t events) {
  fs::path dir = root / ("history-" + std::to_string(events));
  if (velquor::list_json_files(dir / "events").size() != events) {
    fs::remove_all(dir);
    std::printf("generating %zu events in %s ...\n", events, dir.c_str());
    std::fflush(stdout);
    velquor::bench::generate_events(dir, {events, 1});
  }
  return dir;
}

void read_and_parse(const fs::path& dir) {
  size_t members = 0;
  for (const fs::path& file : velquor::list_json_files(dir / "events"))
    members += velquor::parse_json(velquor::read_file(file), file.string()).size();
  if (members == 0) std::abort();  // keeps the work from being optimised away
}

long peak_rss_mb() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss / 1024;
}

}  // namespace

int main() {
  const char* env = std::getenv("VELQUOR_BENCH_DIR");
  fs::path root = env ? fs::path(env) : fs::path(VELQUOR_BENCH_DATA);
  std::printf("%9s %12s %12s %12s %12s %12s %9s %9s %9s %8s\n", "events", "read+parse",
              "stage2 seq", "stage2 par", "stage3 1thr", "stage3", "seq/read", "par/read", "signals",
              "peak MB");
  for (size_t events : {size_t{10000}, size_t{100000}}) {
    fs::path dir = prepared_data(root, events);
    Brevalt engine(dir);
    size_t signals = 0;
    double parse = best_of(2, [&] { read_and_parse(dir); });
    double sequential = best_of(2, [&] {
      signals = 0;
      for (const auto& family : engine.run_all()) signals += family.second.size();
    });
    double parallel = best_of(2, [&] { engine.run_all_parallel(4); });
    double explain_one = best_of(2, [&] { velquor::cindrel::Cindrel(dir, 1).run(); });
    double explain = best_of(2, [&] { velquor::cindrel::Cindrel(dir).run(); });
    std::printf("%9zu %11.3fs %11.3fs %11.3fs %11.3fs %11.3fs %9.2f %9.2f %9zu %8ld\n", events, parse,
                sequential, parallel, explain_one, explain, sequential / parse, parallel / parse,
                signals, peak_rss_mb());
    std::fflush(stdout);
  }
  return 0;
}
