// velquor_bench: times the whole pipeline on synthetic histories of 10,000
// and 100,000 events, and on the 10,000 plus one huge test report (about
// 200 MB, 1.5 million cases): the read floor (every event file opened, read
// and closed once, in this process), then each stage and `velquor run` as
// the user runs them, each in its own process so that its peak memory is its
// own, and last `velquor run --last 500`, the run that asks what is drifting
// now. Beside each wall time stands the CPU time it took on all threads: on a
// machine of few cores it shows how far parallel work can still shorten a
// step.
//
//   velquor_bench [10000] [100000] [huge]     (no argument: all three)
//
// Data goes to VELQUOR_BENCH_DIR or the build directory and is reused between
// runs (the knowledge base grows with each learning run; that is part of the
// work measured). VELQUOR_BENCH_VELQUOR names another velquor binary to time,
// such as an earlier build.
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

constexpr size_t kHugeCases = 1'500'000;

// The newest commit of a history: its hash and time.
std::pair<std::string, std::string> newest_commit(const fs::path& events) {
  std::pair<std::string, std::string> newest;
  for (const fs::path& file : velquor::list_json_files(events)) {
    if (file.filename().string().rfind("git-", 0) != 0) continue;
    const velquor::Json event = velquor::read_json_file(file);
    const std::string at = event.at("observed_at").get<std::string>();
    if (at > newest.second) newest = {event.at("payload").at("commit_hash").get<std::string>(), at};
  }
  return newest;
}

// The 10,000-event history plus one huge test report of its newest commit.
fs::path prepared_huge(const fs::path& root) {
  const fs::path base = prepared_data(root, 10000);
  const fs::path dir = root / "history-10000-huge";
  if (velquor::list_json_files(dir / "events").size() != 10001) {
    fs::remove_all(dir);
    std::printf("copying %s and adding a test report of %zu cases ...\n", base.c_str(), kHugeCases);
    std::fflush(stdout);
    fs::create_directories(dir);
    fs::copy(base / "events", dir / "events", fs::copy_options::recursive);
    const auto [commit, at] = newest_commit(dir / "events");
    velquor::bench::write_huge_test_event(dir / "events" / "testing-huge.json", kHugeCases, commit, at);
  }
  std::printf("huge event: %.0f MB\n", fs::file_size(dir / "events" / "testing-huge.json") / 1e6);
  return dir;
}

struct Measure {
  double seconds = 0;
  double cpu_seconds = 0;  // user and system, all threads
  long peak_mb = 0;
  bool ok = false;
};

double cpu_seconds(const rusage& usage) {
  auto seconds = [](const timeval& time) { return time.tv_sec + time.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

double own_cpu_seconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return cpu_seconds(usage);
}

// Reading every event file once, in this process.
Measure read_floor(const fs::path& dir) {
  const auto start = Clock::now();
  const double cpu_start = own_cpu_seconds();
  size_t bytes = 0;
  for (const fs::path& file : velquor::list_json_files(dir / "events")) bytes += velquor::read_file(file).size();
  if (bytes == 0) std::abort();  // keeps the work from being optimised away
  return {seconds_since(start), own_cpu_seconds() - cpu_start, 0, true};
}

// One timed step: a command and the options it runs with after DIR.
struct Step {
  const char* label;
  const char* command;
  std::vector<const char*> options;
};

// Runs `velquor <command> <dir> <options>` with its output discarded.
Measure run_command(const char* velquor, const Step& step, const fs::path& dir) {
  std::vector<const char*> argv = {"velquor", step.command, dir.c_str()};
  argv.insert(argv.end(), step.options.begin(), step.options.end());
  argv.push_back(nullptr);
  std::fflush(stdout);  // the child must not print what this process buffered
  const auto start = Clock::now();
  const pid_t child = ::fork();
  if (child == 0) {
    std::freopen("/dev/null", "w", stdout);
    std::freopen("/dev/null", "w", stderr);
    ::execv(velquor, const_cast<char* const*>(argv.data()));
    ::_exit(127);
  }
  int status = 0;
  rusage usage{};
  Measure measure;
  if (child < 0 || ::wait4(child, &status, 0, &usage) != child) return measure;
  measure.seconds = seconds_since(start);
  measure.cpu_seconds = cpu_seconds(usage);
  measure.peak_mb = usage.ru_maxrss / 1024;
  measure.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return measure;
}

}  // namespace

int main(int argc, char** argv) {
  const char* env = std::getenv("VELQUOR_BENCH_DIR");
  const fs::path root = env ? fs::path(env) : fs::path(VELQUOR_BENCH_DATA);
  const char* binary = std::getenv("VELQUOR_BENCH_VELQUOR");
  const char* velquor = binary ? binary : VELQUOR_COMMAND;
  std::vector<std::string> cases(argv + 1, argv + argc);
  if (cases.empty()) cases = {"10000", "100000", "huge"};
  // The last step is the run a maintainer asks what is drifting now with.
  const std::vector<Step> steps = {{"baseline", "baseline", {}}, {"explain", "explain", {}},
                                   {"learn", "learn", {}},       {"advise", "advise", {}},
                                   {"run", "run", {}},           {"run last", "run", {"--last", "500"}}};
  std::printf("%8s %-10s %9s %8s %8s %9s\n", "events", "step", "seconds", "cpu s", "peak MB", "x floor");
  for (const std::string& name : cases) {
    if (name != "10000" && name != "100000" && name != "huge") {
      std::fprintf(stderr, "velquor_bench: unknown case '%s' (10000, 100000 or huge)\n", name.c_str());
      return 2;
    }
    const fs::path dir = name == "huge" ? prepared_huge(root) : prepared_data(root, std::stoul(name));
    const char* label = name == "huge" ? "10k+huge" : name.c_str();
    // The steps find the files in the page cache; so must the floor, or a
    // history evicted since the last run makes every ratio look small.
    read_floor(dir);
    const Measure floor = read_floor(dir);
    std::printf("%8s %-10s %8.2fs %7.2fs %8s %9s\n", label, "read", floor.seconds, floor.cpu_seconds, "-", "1.00");
    for (const Step& step : steps) {
      const Measure measure = run_command(velquor, step, dir);
      std::printf("%8s %-10s %8.2fs %7.2fs %8ld %9.2f%s\n", label, step.label, measure.seconds, measure.cpu_seconds,
                  measure.peak_mb, measure.seconds / floor.seconds, measure.ok ? "" : "  (failed)");
      std::fflush(stdout);
    }
  }
  return 0;
}
