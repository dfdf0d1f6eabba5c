// The parallel driver: event files parsed once on the workers, then one task
// per family (two for git) on the same number of workers. A failing family is
// reported and the others go on.
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <iostream>
#include <mutex>
#include <thread>

#include "shared/errors.h"
#include "velquor/brevalt/internal.h"

namespace velquor::brevalt {
namespace {

struct Completion {
  size_t family = 0;
  std::optional<FamilyRun> run;
  bool failed = false;
  std::string error;
};

// `family`'s completion from `run`, which gives its run (none: no file).
template <class Run>
Completion completion(size_t family, Run run) {
  Completion done;
  done.family = family;
  try {
    done.run = run();
  } catch (const std::exception& e) {
    done.failed = true;
    done.error = e.what();
  } catch (...) {
    done.failed = true;
    done.error = "unknown error";
  }
  return done;
}

}  // namespace

void run_on_workers(int count, const std::function<void(int)>& body) {
  std::vector<std::thread> threads;
  threads.reserve(count);
  for (int i = 0; i < count; ++i) {
    threads.emplace_back([&body, i] {
      std::string name = "p2_worker_" + std::to_string(i);
      name.resize(std::min<size_t>(name.size(), 15));  // the kernel's limit
      pthread_setname_np(pthread_self(), name.c_str());
      body(i);
    });
  }
  for (std::thread& thread : threads) thread.join();
}

FamilySignals Brevalt::run_all_parallel(int max_workers, std::vector<FamilyOutcome>* outcomes,
                                        EventReport* report) const {
  if (max_workers < 1) throw ValueError("max_workers must be at least 1");
  // Parsing is pure computation: more parser threads than cores only adds
  // switching.
  int parsers = std::min<int>(max_workers, std::max(1u, std::thread::hardware_concurrency()));
  std::vector<FamilyInput> inputs =
      load_family_inputs(events_path, FamilySet().set(), parsers, report, event_reading());

  // The git family, by far the largest, is two tasks and starts first; the
  // worker that finishes the second half merges and writes it.
  GitHalves git(*this, std::move(inputs[kGitFamily]));
  std::atomic<int> git_halves_left{2};
  std::mutex mutex;
  std::vector<Completion> completed;  // in order of completion
  std::atomic<size_t> next{0};
  const size_t count = families().size();
  const size_t tasks = count + 1;  // task t > 1 is family t - 1
  run_on_workers(static_cast<int>(std::min<size_t>(max_workers, count)), [&](int) {
    for (size_t t = next++; t < tasks; t = next++) {
      Completion done;
      if (t < 2) {
        git.run_half(static_cast<int>(t));
        if (--git_halves_left > 0) continue;
        done = completion(kGitFamily, [&] { return git.write(); });
      } else {
        done = completion(t - 1, [&] { return run_family(*this, t - 1, std::move(inputs[t - 1])); });
      }
      std::lock_guard<std::mutex> lock(mutex);
      completed.push_back(std::move(done));
    }
  });

  FamilySignals result;
  for (Completion& done : completed) {
    const char* name = families()[done.family].name;
    if (done.failed) std::cout << "  [Phase 2] " << name << " failed: " << done.error << std::endl;
    if (outcomes) {
      outcomes->push_back({name, done.failed, done.error, done.run ? done.run->signal_count : 0,
                           done.run.has_value()});
    }
    result.emplace_back(name, done.run ? std::move(done.run->signals) : SignalList{});
  }
  return result;
}

}  // namespace velquor::brevalt
