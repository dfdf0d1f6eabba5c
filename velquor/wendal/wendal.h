// The gate that vets language-model output before it is stored as a pattern
// description for non-technical readers.
//
// A text passes when it has content and none of the statistical jargon or
// advice words below occurs in it as a whole word (case ignored; a term
// matches only where the characters just before and after it are not
// letters or digits; letters and digits are the ASCII ones, and every byte
// of a non-ASCII character counts as a letter):
//
//   correlation correlations correlated correlate deviation deviations
//   deviate deviates stddev "standard deviation" z-score zscore p-value
//   statistically should recommend recommended recommendation
#pragma once

#include <string_view>

namespace velquor::wendal {

class ValidationGate {
 public:
  ValidationGate() = default;

  // False when `text` is empty or white space only, or holds a forbidden
  // term; true otherwise.
  bool no_forbidden_language(std::string_view text) const;
};

}  // namespace velquor::wendal
