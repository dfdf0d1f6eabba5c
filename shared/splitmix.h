// SplitMix64: a tiny, fast pseudo-random generator whose sequence is the same
// on every platform (unlike the standard library's distributions), for
// anything that must be reproducible from a seed. Not for secrets.
#pragma once

#include <cstdint>

namespace velquor {

class SplitMix64 {
 public:
  explicit SplitMix64(uint64_t seed) : state_(seed) {}

  uint64_t next() {
    uint64_t z = (state_ += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
  }

 private:
  uint64_t state_;
};

}  // namespace velquor
