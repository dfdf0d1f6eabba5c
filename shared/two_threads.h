// Working through a list on two threads while keeping the outcome of doing it
// in order: the item that fails first in list order is the one reported.
#pragma once

#include <atomic>
#include <cstddef>
#include <thread>

namespace velquor {

// Calls `work(i)` for the items 0..count-1 on two threads; `work` returns
// false for an item that failed. Every item before the first failed one (in
// item order) is worked on; items after it may be left out. Returns the
// index of the first failed item, or `count`.
template <typename Work>
size_t work_on_two_threads(size_t count, Work work) {
  std::atomic<size_t> next{0}, first_failed{count};
  auto worker = [&] {
    for (size_t i = next++; i < first_failed; i = next++) {
      if (work(i)) continue;
      for (size_t failed = first_failed; i < failed && !first_failed.compare_exchange_weak(failed, i);) {
      }
    }
  };
  std::thread helper(worker);
  worker();
  helper.join();
  return first_failed;
}

}  // namespace velquor
