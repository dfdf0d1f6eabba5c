// Chunks of a file explained on several threads, their results taken in
// order.
//
// Workers take chunks in order and never run more than `lookahead` chunks
// ahead of the caller, so memory stays bounded however large the file is.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <exception>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "velquor/cindrel/chunk_explainer.h"

namespace velquor::cindrel {

class ChunkPipeline {
 public:
  using Work = std::function<ChunkResult(size_t worker, size_t chunk)>;

  // Starts `workers` threads over chunks 0 .. count-1.
  ChunkPipeline(size_t count, size_t workers, size_t lookahead, Work work);
  // Stops the workers (chunks not yet started are skipped) and joins them.
  ~ChunkPipeline();
  ChunkPipeline(const ChunkPipeline&) = delete;
  ChunkPipeline& operator=(const ChunkPipeline&) = delete;

  // The result of `chunk`, once it is done; chunks are taken in order. An
  // exception of the work is raised here.
  ChunkResult take(size_t chunk);

 private:
  struct Slot {
    std::optional<ChunkResult> result;
    std::exception_ptr error;
  };

  void run_worker(size_t worker);

  const size_t lookahead_;
  const Work work_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Slot> slots_;
  size_t next_chunk_ = 0;  // the next chunk a worker starts
  size_t taken_ = 0;       // chunks handed to the caller
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace velquor::cindrel
