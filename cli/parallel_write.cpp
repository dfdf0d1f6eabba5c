#include "cli/parallel_write.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

#include "shared/file_batch.h"

namespace velquor::cli {

void write_files_concurrently(size_t count, const FileMaker& file_at,
                              const std::function<void(size_t done)>& on_progress,
                              size_t progress_every) {
  FileBatch batch;
  std::atomic<size_t> next{0}, done{0};
  std::atomic<bool> stop{false};
  std::mutex mutex;  // guards `failure` and the progress callback
  std::exception_ptr failure;
  auto worker = [&] {
    for (size_t index; !stop && (index = next++) < count;) {
      try {
        auto [path, content] = file_at(index);
        batch.add(path, content);
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
  const size_t writers = std::max(2u, std::thread::hardware_concurrency());
  std::vector<std::thread> threads;
  for (size_t i = 0; i < std::min(writers, count); ++i) threads.emplace_back(worker);
  for (auto& thread : threads) thread.join();
  if (!failure) return batch.commit();
  // The files made before the failure are kept, as when each was committed
  // on its own; the failure is the one reported.
  try {
    batch.commit();
  } catch (const std::exception&) {
  }
  std::rethrow_exception(failure);
}

}  // namespace velquor::cli
