#include "velquor/cindrel/chunk_pipeline.h"

#include <utility>

namespace velquor::cindrel {

ChunkPipeline::ChunkPipeline(size_t count, size_t workers, size_t lookahead, Work work)
    : lookahead_(lookahead), work_(std::move(work)), slots_(count) {
  threads_.reserve(workers);
  for (size_t worker = 0; worker < workers; ++worker)
    threads_.emplace_back([this, worker] { run_worker(worker); });
}

ChunkPipeline::~ChunkPipeline() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  for (std::thread& thread : threads_) thread.join();
}

void ChunkPipeline::run_worker(size_t worker) {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [&] {
      return stopping_ || next_chunk_ == slots_.size() || next_chunk_ < taken_ + lookahead_;
    });
    if (stopping_ || next_chunk_ == slots_.size()) return;
    size_t chunk = next_chunk_++;
    lock.unlock();
    Slot done;
    try {
      done.result = work_(worker, chunk);
    } catch (...) {
      done.error = std::current_exception();
    }
    lock.lock();
    slots_[chunk] = std::move(done);
    changed_.notify_all();
  }
}

ChunkResult ChunkPipeline::take(size_t chunk) {
  std::unique_lock<std::mutex> lock(mutex_);
  Slot& slot = slots_[chunk];
  changed_.wait(lock, [&] { return slot.result || slot.error; });
  taken_ = chunk + 1;
  changed_.notify_all();
  if (slot.error) std::rethrow_exception(slot.error);
  ChunkResult result = std::move(*slot.result);
  slot.result.reset();
  return result;
}

}  // namespace velquor::cindrel
