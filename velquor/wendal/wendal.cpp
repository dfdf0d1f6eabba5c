#include "velquor/wendal/wendal.h"

#include <array>
#include <string>

namespace velquor::wendal {

namespace {

constexpr std::array<std::string_view, 18> kForbiddenTerms = {
    "correlation", "correlations", "correlated",  "correlate",   "deviation",
    "deviations",  "deviate",      "deviates",    "stddev",      "standard deviation",
    "z-score",     "zscore",       "p-value",     "statistically", "should",
    "recommend",   "recommended",  "recommendation"};

// Word characters for the whole-word test: ASCII letters and digits, and
// every byte of a non-ASCII character (so "déviation" is one word).
bool is_word_byte(unsigned char c) {
  return c >= 0x80 || (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') ||
         (c >= 'A' && c <= 'Z');
}

// Length of the UTF-8 white-space character at `i`, 0 when there is none.
// Covers the ASCII white space (with the separators 0x1C-0x1F) and the
// Unicode spaces, so a text of non-breaking spaces counts as empty.
size_t white_space_at(std::string_view text, size_t i) {
  const unsigned char c = static_cast<unsigned char>(text[i]);
  if ((c >= 0x09 && c <= 0x0D) || (c >= 0x1C && c <= 0x20)) return 1;
  static constexpr std::string_view kUnicodeSpaces[] = {
      "\xC2\x85",     "\xC2\xA0",     "\xE1\x9A\x80", "\xE2\x80\x80", "\xE2\x80\x81",
      "\xE2\x80\x82", "\xE2\x80\x83", "\xE2\x80\x84", "\xE2\x80\x85", "\xE2\x80\x86",
      "\xE2\x80\x87", "\xE2\x80\x88", "\xE2\x80\x89", "\xE2\x80\x8A", "\xE2\x80\xA8",
      "\xE2\x80\xA9", "\xE2\x80\xAF", "\xE2\x81\x9F", "\xE3\x80\x80"};
  for (std::string_view space : kUnicodeSpaces) {
    if (text.substr(i, space.size()) == space) return space.size();
  }
  return 0;
}

bool is_blank(std::string_view text) {
  for (size_t i = 0; i < text.size();) {
    const size_t width = white_space_at(text, i);
    if (width == 0) return false;
    i += width;
  }
  return true;
}

// The terms are ASCII, so lowering ASCII letters is all the matching needs;
// other bytes stay as they are and keep counting as letters.
std::string ascii_lower(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return lower;
}

bool contains_word(const std::string& text, std::string_view term) {
  for (size_t at = text.find(term); at != std::string::npos; at = text.find(term, at + 1)) {
    const size_t end = at + term.size();
    const bool starts_word = at == 0 || !is_word_byte(static_cast<unsigned char>(text[at - 1]));
    const bool ends_word = end == text.size() || !is_word_byte(static_cast<unsigned char>(text[end]));
    if (starts_word && ends_word) return true;
  }
  return false;
}

}  // namespace

bool ValidationGate::no_forbidden_language(std::string_view text) const {
  if (is_blank(text)) return false;
  const std::string lower = ascii_lower(text);
  for (std::string_view term : kForbiddenTerms) {
    if (contains_word(lower, term)) return false;
  }
  return true;
}

}  // namespace velquor::wendal
