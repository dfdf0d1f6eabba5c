// The metric extractors of the nine payload families: direct lookups of
// payload members and a little arithmetic. Member order of each map is the
// order of the family's signals.
#include <algorithm>
#include <array>

#include "shared/errors.h"
#include "shared/json_access.h"
#include "velquor/brevalt/brevalt.h"
#include "velquor/brevalt/internal.h"
#include "velquor/brevalt/payload.h"

namespace velquor::brevalt {
namespace {

constexpr std::array<Family, 10> kFamilies{{
    {"git", "git", "git_signals.json"},
    {"ci", "github_actions", "ci_signals.json"},
    {"testing", "junit_xml", "testing_signals.json"},
    {"coverage", "coverage_xml", "coverage_signals.json"},
    {"dependency", "pip", "dependency_signals.json"},
    {"schema", "openapi", "schema_signals.json"},
    {"deployment", "github_releases", "deployment_signals.json"},
    {"config", "terraform", "config_signals.json"},
    {"security", "trivy", "security_signals.json"},
    {"error_tracking", "sentry", "error_tracking_signals.json"},
}};

const Json kZero = 0;
const Json kZeroReal = 0.0;

MetricMap ci(const Payload& p) {
  // An absent conclusion falls back to the status; a present null does not.
  const Json* conclusion = p.find({"conclusion"});
  const Json* status = p.find({"status"});
  const Json* outcome = conclusion ? conclusion : status;
  bool failed = outcome != nullptr && outcome->is_string() && outcome->get_ref<const std::string&>() == "failure";
  return {{"run_duration", p.value({"timing", "duration_seconds"}, kZeroReal)},
          {"run_failed", failed ? 1.0 : 0.0}};
}

MetricMap testing(const Payload& p) {
  Json total = p.value({"summary", "total"}, kZero);
  double denominator = p.at_least_one({"summary", "total"}, kZero);
  return {{"total_tests", total},
          {"failure_rate", p.number({"summary", "failed"}, 0) / denominator},
          {"skip_rate", p.number({"summary", "skipped"}, 0) / denominator},
          {"suite_duration", p.value({"execution", "duration_seconds"}, kZeroReal)}};
}

MetricMap coverage(const Payload& p) {
  return {{"line_rate", p.value({"line_rate"}, kZeroReal)},
          {"branch_rate", p.value({"branch_rate"}, kZeroReal)}};
}

MetricMap dependency(const Payload& p) {
  MetricMap metrics{{"dependency_count", p.value({"snapshot", "total_count"}, kZero)}};
  static const std::array<std::string, 4> kDepthEcosystems{"npm", "go", "cargo", "bundler"};
  const Json* ecosystem = p.find({"ecosystem"});
  if (ecosystem != nullptr && ecosystem->is_string() &&
      std::find(kDepthEcosystems.begin(), kDepthEcosystems.end(),
                ecosystem->get_ref<const std::string&>()) != kDepthEcosystems.end()) {
    metrics.push_back({"max_depth", p.value({"snapshot", "max_depth"}, Json(1))});
  }
  return metrics;
}

MetricMap schema(const Payload& p) {
  Json churn = p.sum("diff", {"endpoints_added", "endpoints_removed", "fields_added",
                              "fields_removed", "types_added", "types_removed"});
  double endpoints = p.at_least_one({"structure", "endpoint_count"}, kZero);
  return {{"endpoint_count", p.value({"structure", "endpoint_count"}, kZero)},
          {"type_count", p.value({"structure", "type_count"}, kZero)},
          {"field_count", p.value({"structure", "field_count"}, kZero)},
          {"schema_churn", SampleValue::from_json(churn, "schema churn").to_double() / endpoints}};
}

MetricMap deployment(const Payload& p) {
  MetricMap metrics{{"is_prerelease", p.flag({"is_prerelease"})},
                    {"asset_count", p.value({"asset_count"}, kZero)}};
  const Json* interval = p.find({"timing", "since_previous_seconds"});
  if (interval != nullptr && !interval->is_null())
    metrics.push_back({"release_cadence_hours", p.number({"timing", "since_previous_seconds"}, 0) / 3600.0});
  return metrics;
}

MetricMap config(const Payload& p) {
  return {{"resource_count", p.value({"structure", "resource_count"}, kZero)},
          {"resource_type_count", p.value({"structure", "resource_types"}, kZero)},
          {"config_churn", p.sum("diff", {"resources_added", "resources_removed", "resources_modified"})}};
}

MetricMap error_tracking(const Payload& p) {
  return {{"event_count", p.value({"stats", "event_count"}, kZero)},
          {"user_count", p.value({"stats", "user_count"}, kZero)},
          {"is_unhandled", p.flag({"is_unhandled"})}};
}

MetricMap security(const Payload& p) {
  double fixable = 0;
  for (const Json& finding : p.list({"findings"})) {
    if (!finding.is_object())
      throw TypeError(p.where() + ": member 'payload.findings' holds " + json_kind(finding) +
                      ", expected object");
    const Json* fixed = find_member(finding, "fixed_version");
    if (fixed != nullptr && is_truthy(*fixed)) ++fixable;
  }
  return {{"vulnerability_count", p.value({"summary", "total"}, kZero)},
          {"critical_count", p.value({"summary", "critical"}, kZero)},
          {"fixable_ratio", fixable / p.at_least_one({"summary", "total"}, kZero)}};
}

using Extractor = MetricMap (*)(const Payload&);

Extractor extractor_of(std::string_view family) {
  static const std::array<std::pair<std::string_view, Extractor>, 9> kExtractors{{
      {"ci", ci}, {"testing", testing}, {"coverage", coverage}, {"dependency", dependency},
      {"schema", schema}, {"deployment", deployment}, {"config", config},
      {"security", security}, {"error_tracking", error_tracking},
  }};
  for (const auto& [name, extractor] : kExtractors)
    if (name == family) return extractor;
  throw ValueError("no metric extractor for family '" + std::string(family) + "'");
}

}  // namespace

std::span<const Family> families() { return kFamilies; }

const JsonKeep& event_members() {
  // Keep in step with the readers: selects, observed_at_key and event_ref_of
  // (loader.cpp), git_paths (git.cpp) and the extractors above.
  static const JsonKeep kMembers{
      "source_family", "source_type", "observed_at", "event_id",
      "payload.files",
      "payload.conclusion", "payload.status", "payload.timing.duration_seconds",
      "payload.timing.since_previous_seconds",
      "payload.summary.total", "payload.summary.failed", "payload.summary.skipped",
      "payload.summary.critical", "payload.execution.duration_seconds",
      "payload.line_rate", "payload.branch_rate",
      "payload.ecosystem", "payload.snapshot.total_count", "payload.snapshot.max_depth",
      "payload.structure.endpoint_count", "payload.structure.type_count",
      "payload.structure.field_count", "payload.structure.resource_count",
      "payload.structure.resource_types",
      "payload.diff.endpoints_added", "payload.diff.endpoints_removed",
      "payload.diff.fields_added", "payload.diff.fields_removed", "payload.diff.types_added",
      "payload.diff.types_removed", "payload.diff.resources_added",
      "payload.diff.resources_removed", "payload.diff.resources_modified",
      "payload.is_prerelease", "payload.asset_count",
      "payload.stats.event_count", "payload.stats.user_count", "payload.is_unhandled",
      "payload.findings.fixed_version",
  };
  return kMembers;
}

MetricMap payload_metrics(std::string_view family, const Json& event, const std::string& where) {
  Extractor extract = extractor_of(family);
  return extract(Payload(event, where));
}

MetricMap family_metrics(const std::string& family, const Event& event) {
  return payload_metrics(family, event.value, event.file.string());
}

}  // namespace velquor::brevalt
