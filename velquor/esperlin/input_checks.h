// What the advisory run needs of its input records, checked when the records
// are loaded, so that a malformed record stops the run with an error naming
// its file before any output is written, never halfway through the writing.
#pragma once

#include <optional>
#include <string>

#include "shared/json.h"

namespace velquor::esperlin {

// The deviation measure a signal is judged by: nullopt for a degenerate
// signal and for an absent or null measure. TypeError when the signal or its
// `deviation` is not a map or the measure is not a number.
std::optional<double> judged_measure(const Json& signal, const std::string& where);

// Whether the significance filter keeps the signal at `threshold`.
bool is_significant(const Json& signal, double threshold, const std::string& where);

// A loaded signal record: a map whose deviation can be judged and whose
// event_ref is text (or null). A significant one must also carry everything
// a change record is made of: text engine_id and metric, a numeric observed
// value and a baseline with numeric mean and stddev (median, mad optional).
void check_signal(const Json& signal, double threshold, const std::string& where);

// A loaded explanation record: a map whose `details`, when present, is a map.
void check_explanation(const Json& explanation, const std::string& where);

// A loaded event: a map whose nested maps, lists, commit texts and event time
// are of the kinds the evidence, the change records and the commit list read.
// Members are checked only for the kinds of event they are read from (the
// commit hash and files of commits, the cases of test runs, ...): a member
// that no step reads for that event never stops the run.
void check_event(const Json& event, const std::string& where);

// The payload trigger of an event; a null trigger (a run no commit
// triggered) counts as an empty map.
const Json& trigger_of(const Json& payload, const std::string& where);

// The event time by the pattern engine's rule, with errors naming `where`.
std::string event_time(const Json& event, const std::string& where);

}  // namespace velquor::esperlin
