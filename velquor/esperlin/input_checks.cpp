#include "velquor/esperlin/input_checks.h"

#include <cmath>

#include "shared/errors.h"
#include "shared/json_access.h"
#include "shared/numbers.h"
#include "velquor/dornath/dornath.h"
#include "velquor/esperlin/values.h"

namespace velquor::esperlin {
namespace {

// A member that may be absent or null, and otherwise must be text.
void optional_text(const Json& object, std::string_view key, const std::string& where) {
  const Json* member = find_member(object, key);
  if (member && !member->is_null()) expect_kind(*member, "string", key, where);
}

void required_numeric(const Json& object, std::string_view key, const std::string& where) {
  const Json& member = require_member(object, key, where);
  if (!is_numeric(member)) expect_kind(member, "number", key, where);
}

void optional_numeric(const Json& object, std::string_view key, const std::string& where) {
  const Json* member = find_member(object, key);
  if (member && !is_numeric(*member)) expect_kind(*member, "number", key, where);
}

void check_change_source(const Json& signal, const std::string& where) {
  expect_kind(require_member(signal, "engine_id", where), "string", "engine_id", where);
  expect_kind(require_member(signal, "metric", where), "string", "metric", where);
  required_numeric(signal, "observed", where);
  const Json& baseline = require_member(signal, "baseline", where);
  expect_kind(baseline, "object", "baseline", where);
  const std::string in_baseline = where + " baseline";
  required_numeric(baseline, "mean", in_baseline);
  required_numeric(baseline, "stddev", in_baseline);
  optional_numeric(baseline, "median", in_baseline);
  optional_numeric(baseline, "mad", in_baseline);
}

void list_of(const Json& payload, std::string_view key, std::string_view kind,
             const std::string& where) {
  const Json& list = list_or_empty(payload, key, where);
  const std::string element = std::string(key) + " element";
  for (const Json& item : list) expect_kind(item, kind, element, where);
}

}  // namespace

std::optional<double> judged_measure(const Json& signal, const std::string& where) {
  expect_map(signal, where);
  const Json& deviation = map_or_empty(signal, "deviation", where);
  const Json* measure = find_member(deviation, "measure");
  if (measure && !measure->is_null() && !is_numeric(*measure))
    expect_kind(*measure, "number", "deviation.measure", where);
  if (is_truthy(get_or(deviation, "degenerate", Json(false)))) return std::nullopt;
  if (!measure || measure->is_null()) return std::nullopt;
  return to_double(*measure, where);
}

bool is_significant(const Json& signal, double threshold, const std::string& where) {
  std::optional<double> measure = judged_measure(signal, where);
  if (!measure) return false;
  // Exclusions for records that name their metric in `metric_name` (an older
  // record layout): a direct dependency count is no drift signal, and a
  // build-duration deviation beyond 100000 is a broken baseline, not news.
  const Json& metric_name = get_or(signal, "metric_name", empty_text());
  if (metric_name == "direct_count") return false;
  if (metric_name == "run_duration" && std::fabs(*measure) > 100000) return false;
  return std::fabs(*measure) >= threshold;
}

void check_signal(const Json& signal, double threshold, const std::string& where) {
  optional_text(signal, "event_ref", where);
  if (is_significant(signal, threshold, where)) check_change_source(signal, where);
}

void check_explanation(const Json& explanation, const std::string& where) {
  expect_map(explanation, where);
  map_or_empty(explanation, "details", where);
}

const Json& trigger_of(const Json& payload, const std::string& where) {
  const Json* trigger = find_member(payload, "trigger");
  if (!trigger || trigger->is_null()) return empty_map();
  expect_kind(*trigger, "object", "trigger", where);
  return *trigger;
}

void check_event(const Json& event, const std::string& where) {
  expect_map(event, where);
  optional_text(event, "event_id", where);
  optional_text(event, "observed_at", where);
  const Json& payload = map_or_empty(event, "payload", where);
  const std::string in_payload = where + " payload";
  // The evidence goes by the family (source_type standing in when it is
  // absent), the change record and the commit list by the source type.
  const Json* family = find_member(event, "source_family");
  if (!family) family = find_member(event, "source_type");
  const bool is_commit = family && *family == "version_control";
  const bool is_git = get_or(event, "source_type", empty_text()) == "git";
  if (is_commit) optional_text(map_or_empty(event, "attestation", where), "commit_hash", where + " attestation");
  if (is_git) optional_text(payload, "commit_hash", in_payload);
  else optional_text(trigger_of(payload, in_payload), "commit_sha", in_payload + " trigger");
  if (is_commit || is_git) list_of(payload, "files", "string", in_payload);
  if (family && *family == "testing") list_of(payload, "cases", "object", in_payload);
  if (family && *family == "dependency") list_of(payload, "dependencies", "object", in_payload);
  if (family && *family == "security") list_of(payload, "findings", "object", in_payload);
  event_time(event, where);
}

std::string event_time(const Json& event, const std::string& where) {
  try {
    return dornath::Dornath::_extract_event_timestamp(event);
  } catch (const TypeError& error) {
    throw TypeError(where + ": " + error.what());
  }
}

}  // namespace velquor::esperlin
