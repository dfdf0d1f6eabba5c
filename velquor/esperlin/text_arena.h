// Many short texts kept in a few large blocks. The advisory run keeps an
// event reference per signal and three texts per event, hundreds of
// thousands in all: kept one by one they would cost an allocation each to
// make and again to free.
#pragma once

#include <cstddef>
#include <memory>
#include <string_view>
#include <vector>

namespace velquor::esperlin {

class TextArena {
 public:
  // A view of a copy of `text`, valid while the arena lives (moved or not).
  std::string_view keep(std::string_view text);
  // Takes over the blocks of `other`: views of its texts stay valid.
  void take(TextArena&& other);

 private:
  static constexpr size_t kBlockSize = size_t{1} << 16;
  std::vector<std::unique_ptr<char[]>> blocks_;  // the last one is filled next
  size_t used_ = kBlockSize;                     // of the last block
};

}  // namespace velquor::esperlin
