// Values a command that is about to end leaves for the process's exit.
//
// Freeing the records read from a long history, one allocation at a time,
// takes a good part of a second; the end of the process returns the same
// memory at once. A command that ends after its work hands such values over
// here instead of destroying them. They stay reachable, so a leak checker does
// not report them, until the process ends; a long-lived process must not use
// this.
#pragma once

#include <memory>
#include <mutex>
#include <type_traits>
#include <utility>
#include <vector>

namespace velquor {

template <typename T>
void leave_for_exit(T&& value) {
  static std::mutex guard;
  static auto* const kept = new std::vector<std::shared_ptr<void>>();  // never destroyed
  auto held = std::make_shared<std::decay_t<T>>(std::forward<T>(value));
  const std::lock_guard<std::mutex> lock(guard);
  kept->push_back(std::move(held));
}

}  // namespace velquor
