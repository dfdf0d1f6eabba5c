// The summary sentence of a signal, from the few figures it is made of.
//
// Both ways of reading a signal (a JSON value, or a scanned record on the
// fast path of a run) gather these figures and call the same functions, so
// a sentence and its errors never depend on how the signal was read.
#pragma once

#include <string>
#include <string_view>

#include "shared/json.h"

namespace velquor::cindrel {

struct SummaryFacts {
  std::string_view metric;
  const Json& observed;
  const Json& mean;    // of the baseline
  const Json* median;  // of the baseline; nullptr when it has none
  const Json* mad;     // of the baseline; nullptr when it has none
  const Json& window_size;
  bool sufficient;  // the confidence status is "sufficient"
};

// The two wording phrases of a sentence.
struct Wording {
  std::string change;   // pellan::relative_change against the reference value
  std::string insight;  // pellan::metric_insight for the direction
};

// Whether the baseline's median (rather than its mean) is the value a signal
// is compared with: it is not null and the mad is a number above 0. `where`
// names the signal in error messages.
bool median_is_reference(const Json* median, const Json* mad, const std::string& where);

// "up" or "down" of `observed` against the reference value `base`.
std::string direction_of(const Json& observed, const Json& base, const std::string& where);

// The phrases of a signal. Worded before the sentence is chosen, so that a
// figure the wording cannot read is the error a faulty signal reports first.
Wording word_signal(const SummaryFacts& facts, const std::string& where);

// The degenerate sentence when `degenerate`, else the metric's sentence with
// the insight and, unless the history is sufficient, the limited-history note.
std::string summary_sentence(const SummaryFacts& facts, const Wording& wording, bool degenerate,
                             const std::string& where);

}  // namespace velquor::cindrel
