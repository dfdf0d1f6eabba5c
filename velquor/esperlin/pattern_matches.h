// The learned patterns a run's significant signals speak to.
#pragma once

#include "shared/json.h"

namespace velquor::esperlin {

// Esperlin::_match_patterns over `knowledge` followed by
// Esperlin::_match_candidate_patterns over `patterns`, with the signals'
// components worked out once for both.
Json match_all_patterns(const Json& significant_signals, const Json& knowledge, const Json& patterns);

}  // namespace velquor::esperlin
