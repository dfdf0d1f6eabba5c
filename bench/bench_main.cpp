// velquor_bench: times the whole pipeline on synthetic histories of 10,000
// and 100,000 events: the read floor (every event file opened, read and
// closed once, in this process), then each stage and `velquor run` as the
// user runs them, each in its own process so that its peak memory is its own.
// Data goes to VELQUOR_BENCH_DIR or the build directory and is reused between
// runs (the knowledge base grows with each learning run; that is part of the
// work measured).
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/generate.h"
#include "shared/file_io.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
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

// Seconds to read every event file once.
double read_floor(const fs::path& dir) {
  const auto start = Clock::now();
  size_t bytes = 0;
  for (const fs::path& file : velquor::list_json_files(dir / "events")) bytes += velquor::read_file(file).size();
  if (bytes == 0) std::abort();  // keeps the work from being optimised away
  return seconds_since(start);
}

struct Measure {
  double seconds = 0;
  long peak_mb = 0;
  bool ok = false;
};

// Runs `velquor <command> <dir>` with its output discarded.
Measure run_command(const char* command, const fs::path& dir) {
  std::fflush(stdout);  // the child must not print what this process buffered
  const auto start = Clock::now();
  const pid_t child = ::fork();
  if (child == 0) {
    std::freopen("/dev/null", "w", stdout);
    std::freopen("/dev/null", "w", stderr);
    ::execl(VELQUOR_COMMAND, "velquor", command, dir.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  int status = 0;
  rusage usage{};
  Measure measure;
  if (child < 0 || ::wait4(child, &status, 0, &usage) != child) return measure;
  measure.seconds = seconds_since(start);
  measure.peak_mb = usage.ru_maxrss / 1024;
  measure.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return measure;
}

}  // namespace

int main() {
  const char* env = std::getenv("VELQUOR_BENCH_DIR");
  const fs::path root = env ? fs::path(env) : fs::path(VELQUOR_BENCH_DATA);
  const std::vector<const char*> commands = {"baseline", "explain", "learn", "advise", "run"};
  std::printf("%8s %-10s %9s %8s %9s\n", "events", "step", "seconds", "peak MB", "x floor");
  for (size_t events : {size_t{10000}, size_t{100000}}) {
    const fs::path dir = prepared_data(root, events);
    const double floor = read_floor(dir);
    std::printf("%8zu %-10s %8.2fs %8s %9s\n", events, "read", floor, "-", "1.00");
    for (const char* command : commands) {
      const Measure measure = run_command(command, dir);
      std::printf("%8zu %-10s %8.2fs %8ld %9.2f%s\n", events, command, measure.seconds, measure.peak_mb,
                  measure.seconds / floor, measure.ok ? "" : "  (failed)");
      std::fflush(stdout);
    }
  }
  return 0;
}
