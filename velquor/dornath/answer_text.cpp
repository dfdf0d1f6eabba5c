#include "velquor/dornath/answer_text.h"

namespace velquor::dornath {
namespace {

// Length of the white-space character at text[i], or 0.
size_t space_length(std::string_view text, size_t i) {
  unsigned char c = static_cast<unsigned char>(text[i]);
  if (c == ' ' || (c >= 0x09 && c <= 0x0D) || (c >= 0x1C && c <= 0x1F)) return 1;
  auto at = [&](size_t k) { return i + k < text.size() ? static_cast<unsigned char>(text[i + k]) : 0; };
  if (c == 0xC2 && (at(1) == 0x85 || at(1) == 0xA0)) return 2;
  if (c == 0xE1 && at(1) == 0x9A && at(2) == 0x80) return 3;  // U+1680
  if (c == 0xE2 && at(1) == 0x80 &&
      ((at(2) >= 0x80 && at(2) <= 0x8A) || at(2) == 0xA8 || at(2) == 0xA9 || at(2) == 0xAF))
    return 3;                                                    // U+2000..200A, 2028, 2029, 202F
  if (c == 0xE2 && at(1) == 0x81 && at(2) == 0x9F) return 3;  // U+205F
  if (c == 0xE3 && at(1) == 0x80 && at(2) == 0x80) return 3;  // U+3000
  return 0;
}

// Whether text[i] starts a UTF-8 character (not a continuation byte).
bool starts_character(std::string_view text, size_t i) {
  return (static_cast<unsigned char>(text[i]) & 0xC0) != 0x80;
}

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// Consumes `word` (lower-case ASCII) at `pos`, ignoring letter case the way
// Unicode case-insensitive matching does: besides the ASCII capitals, 'i' also
// matches the dotted capital I (U+0130) and the dotless i (U+0131), and 's'
// the long s (U+017F).
bool take(std::string_view text, size_t& pos, std::string_view word) {
  size_t at = pos;
  for (char w : word) {
    if (at < text.size() && lower(text[at]) == w) {
      ++at;
      continue;
    }
    std::string_view rest = text.substr(at);
    if ((w == 'i' && (rest.starts_with("\xC4\xB0") || rest.starts_with("\xC4\xB1"))) ||
        (w == 's' && rest.starts_with("\xC5\xBF"))) {
      at += 2;
      continue;
    }
    return false;
  }
  pos = at;
  return true;
}

// The "Here's a description ...:" alternative; the end of the match or 0.
size_t here_preface_end(std::string_view text) {
  size_t pos = 0;
  if (!take(text, pos, "here")) return 0;
  if (!take(text, pos, "'s") && !take(text, pos, " is")) return 0;
  if (!take(text, pos, " ")) return 0;
  if (!take(text, pos, "a ")) take(text, pos, "the ");
  if (!take(text, pos, "description") && !take(text, pos, "sentence")) return 0;
  size_t colon = text.find(':', pos);
  return colon == std::string_view::npos ? 0 : colon + 1;
}

}  // namespace

std::string_view trim_space(std::string_view text) {
  size_t begin = 0;
  while (begin < text.size()) {
    size_t n = space_length(text, begin);
    if (n == 0) break;
    begin += n;
  }
  size_t end = text.size();
  while (end > begin) {
    size_t start = end - 1;
    while (start > begin && !starts_character(text, start)) --start;
    if (space_length(text, start) != end - start) break;
    end = start;
  }
  return text.substr(begin, end - begin);
}

std::string_view strip_preface(std::string_view answer) {
  size_t end = here_preface_end(answer);
  if (end == 0) {
    size_t pos = 0;
    if (!take(answer, pos, "description:")) return answer;
    end = pos;
  }
  while (end < answer.size()) {
    size_t n = space_length(answer, end);
    if (n == 0) break;
    end += n;
  }
  return answer.substr(end);
}

size_t count_sentences(std::string_view text) {
  size_t count = 0;
  size_t start = 0;
  while (true) {
    size_t dot = text.find('.', start);
    std::string_view piece =
        text.substr(start, dot == std::string_view::npos ? std::string_view::npos : dot - start);
    if (!trim_space(piece).empty()) ++count;
    if (dot == std::string_view::npos) return count;
    start = dot + 1;
  }
}

}  // namespace velquor::dornath
