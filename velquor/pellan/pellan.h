// Plain-language wording: the phrases that turn numbers into everyday words.
//
// The explanation engine (stage 3) and the advisory engine (stage 5) word
// every comparison, risk and pattern through these six operations, so that
// one change reads alike in every file and text the system writes. The texts,
// thresholds and number formats below are part of the output formats: they
// must not change without changing every golden file that shows them.
//
// "Number" means a JSON integer or real; booleans, null and text are not
// numbers. One-decimal and two-decimal texts are fixed-point, rounded
// half-to-even on the exact binary value of the double.
#pragma once

#include <string>
#include <string_view>

#include "shared/json.h"

namespace velquor::pellan {

// A short phrase comparing `current` with its usual value `base`:
//  - either is not a number:       "no baseline to compare with";
//  - base is 0:                    "unchanged from zero" / "up from zero" /
//                                  "down from zero" (current = 0, > 0, else);
//  - base > 0, current >= 2 base:  "3.5x the usual level" (current / base);
//  - |change| below 0.05 %:        "the same as usual";
//  - otherwise the size of the percentage change (one decimal below 10,
//    none from 10 on): "2.5% higher than usual", "25% lower than usual".
// The percentage is (current - base) / |base| * 100 on doubles.
std::string relative_change(const Json& current, const Json& base);

// A sentence telling why a move of `metric` in `direction` ("up" or "down")
// matters ("The API surface grew."), or "" for every pair without one.
std::string metric_insight(std::string_view metric, std::string_view direction);

// How unusual a deviation is, by its size: {"level", "label", "description"},
// e.g. {"level": "high", "label": "HIGH", "description": "Highly unusual"}.
// Levels by |deviation|: >= 5 critical, >= 3 high, >= 2 elevated, >= 1.5
// notable, otherwise normal. TypeError when `deviation` is not a number.
Json risk_level(const Json& deviation);

// One line describing a pattern or a knowledge match:
// "<head> [known pattern, seen N times]" when the pattern has a
// `knowledge_id`, else "<head> [candidate pattern, strength 0.82]". The head
// is the pattern's `description` when it is non-empty text, else
// "<families joined by ' + '>: <metrics joined by ', '> tend to change
// together" (families from `families`, else `sources`).
std::string friendly_pattern(const Json& pattern);

// {"severity", "reason"} of a pattern: "critical" when its metrics include
// critical_count, "concern" when they include a failure or vulnerability
// metric, "watch" when its link strength is at least 0.7, else "info".
Json pattern_risk_assessment(const Json& pattern);

// {"state", "highest_risk", "message"} of an advisory from its `changes`:
// "clear" without changes, else "action_needed" when the largest
// |deviation_stddev| reaches 3 and "watch" below, with the risk label of
// that largest deviation and "N significant change(s); highest risk LABEL.".
Json advisory_status(const Json& advisory);

}  // namespace velquor::pellan
