#include "cli/parallel_write.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

#include "shared/file_io.h"

namespace velquor::cli {
namespace {

constexpr size_t kWriters = 16;  // enough to hide the flush latency

}  // namespace

void write_files_concurrently(size_t count, const FileMaker& file_at,
                              const std::function<void(size_t done)>& on_progress,
                              size_t progress_every) {
  std::atomic<size_t> next{0}, done{0};
  std::atomic<bool> stop{false};
  std::mutex mutex;  // guards `failure` and the progress callback
  std::exception_ptr failure;
  auto worker = [&] {
    for (size_t index; !stop && (index = next++) < count;) {
      try {
        auto [path, content] = file_at(index);
        write_file_atomic(path, content);
      } catch (...) {
        std::lock_guard<std::mutex> lock(mutex);
        if (!failure) failure = std::current_exception();
        stop = true;
        return;
      }
      size_t finished = ++done;
      if (on_progress && progress_every > 0 && finished % progress_every == 0) {
        std::lock_guard<std::mutex> lock(mutex);
        on_progress(finished);
      }
    }
  };
  std::vector<std::thread> threads;
  for (size_t i = 0; i < std::min(kWriters, count); ++i) threads.emplace_back(worker);
  for (auto& thread : threads) thread.join();
  if (failure) std::rethrow_exception(failure);
}

}  // namespace velquor::cli
