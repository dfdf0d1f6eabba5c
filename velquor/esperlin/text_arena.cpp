#include "velquor/esperlin/text_arena.h"

#include <cstring>
#include <iterator>
#include <utility>

namespace velquor::esperlin {

std::string_view TextArena::keep(std::string_view text) {
  if (text.empty()) return {};
  char* start;
  if (text.size() > kBlockSize / 4) {
    // A long text gets a block of its own, placed before the one being filled.
    auto own = std::make_unique<char[]>(text.size());
    start = own.get();
    blocks_.insert(blocks_.empty() ? blocks_.end() : std::prev(blocks_.end()), std::move(own));
  } else {
    if (used_ + text.size() > kBlockSize) {
      blocks_.push_back(std::make_unique<char[]>(kBlockSize));
      used_ = 0;
    }
    start = blocks_.back().get() + used_;
    used_ += text.size();
  }
  std::memcpy(start, text.data(), text.size());
  return {start, text.size()};
}

void TextArena::take(TextArena&& other) {
  if (blocks_.empty()) {
    std::swap(blocks_, other.blocks_);
    std::swap(used_, other.used_);
    return;
  }
  // The free room of the other's last block stays unused: ours is filled on.
  blocks_.insert(std::prev(blocks_.end()), std::make_move_iterator(other.blocks_.begin()),
                 std::make_move_iterator(other.blocks_.end()));
  other.blocks_.clear();
  other.used_ = kBlockSize;
}

}  // namespace velquor::esperlin
