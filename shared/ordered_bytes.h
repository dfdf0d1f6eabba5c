// Texts ordered by their leading bytes as numbers: sorts of many texts that
// mostly differ early compare one word before reaching the texts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace velquor {

// The eight bytes of `text` from `from` (zeros past its end), big-endian, as a
// number that orders as the bytes do.
inline uint64_t ordered_word(std::string_view text, size_t from = 0) {
  uint64_t word = 0;
  for (size_t i = from; i < from + 8; ++i)
    word = word << 8 | (i < text.size() ? static_cast<unsigned char>(text[i]) : 0u);
  return word;
}

}  // namespace velquor
