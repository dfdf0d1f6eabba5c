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

// Each extractor reads through a Payload or, for a plain event, a FlatPayload.
template <class P>
MetricMap ci(const P& p) {
  // An absent conclusion falls back to the status; a present null does not.
  const auto outcome = p.has({"conclusion"}) ? p.text({"conclusion"}) : p.text({"status"});
  return {{"run_duration", p.value({"timing", "duration_seconds"}, kZeroReal)},
          {"run_failed", outcome == "failure" ? 1.0 : 0.0}};
}

template <class P>
MetricMap testing(const P& p) {
  Json total = p.value({"summary", "total"}, kZero);
  double denominator = p.at_least_one({"summary", "total"}, kZero);
  return {{"total_tests", total},
          {"failure_rate", p.number({"summary", "failed"}, 0) / denominator},
          {"skip_rate", p.number({"summary", "skipped"}, 0) / denominator},
          {"suite_duration", p.value({"execution", "duration_seconds"}, kZeroReal)}};
}

template <class P>
MetricMap coverage(const P& p) {
  return {{"line_rate", p.value({"line_rate"}, kZeroReal)},
          {"branch_rate", p.value({"branch_rate"}, kZeroReal)}};
}

template <class P>
MetricMap dependency(const P& p) {
  MetricMap metrics{{"dependency_count", p.value({"snapshot", "total_count"}, kZero)}};
  static constexpr std::array<std::string_view, 4> kDepthEcosystems{"npm", "go", "cargo", "bundler"};
  const auto ecosystem = p.text({"ecosystem"});
  if (ecosystem && std::find(kDepthEcosystems.begin(), kDepthEcosystems.end(), *ecosystem) !=
                       kDepthEcosystems.end()) {
    metrics.push_back({"max_depth", p.value({"snapshot", "max_depth"}, Json(1))});
  }
  return metrics;
}

template <class P>
MetricMap schema(const P& p) {
  Json churn = p.sum("diff", {"endpoints_added", "endpoints_removed", "fields_added",
                              "fields_removed", "types_added", "types_removed"});
  double endpoints = p.at_least_one({"structure", "endpoint_count"}, kZero);
  return {{"endpoint_count", p.value({"structure", "endpoint_count"}, kZero)},
          {"type_count", p.value({"structure", "type_count"}, kZero)},
          {"field_count", p.value({"structure", "field_count"}, kZero)},
          {"schema_churn", SampleValue::from_json(churn, "schema churn").to_double() / endpoints}};
}

template <class P>
MetricMap deployment(const P& p) {
  MetricMap metrics{{"is_prerelease", p.flag({"is_prerelease"})},
                    {"asset_count", p.value({"asset_count"}, kZero)}};
  if (p.has_value({"timing", "since_previous_seconds"}))
    metrics.push_back({"release_cadence_hours", p.number({"timing", "since_previous_seconds"}, 0) / 3600.0});
  return metrics;
}

template <class P>
MetricMap config(const P& p) {
  return {{"resource_count", p.value({"structure", "resource_count"}, kZero)},
          {"resource_type_count", p.value({"structure", "resource_types"}, kZero)},
          {"config_churn", p.sum("diff", {"resources_added", "resources_removed", "resources_modified"})}};
}

template <class P>
MetricMap error_tracking(const P& p) {
  return {{"event_count", p.value({"stats", "event_count"}, kZero)},
          {"user_count", p.value({"stats", "user_count"}, kZero)},
          {"is_unhandled", p.flag({"is_unhandled"})}};
}

template <class P>
MetricMap security(const P& p) {
  double fixable = p.count_set({"findings"}, "fixed_version");
  return {{"vulnerability_count", p.value({"summary", "total"}, kZero)},
          {"critical_count", p.value({"summary", "critical"}, kZero)},
          {"fixable_ratio", fixable / p.at_least_one({"summary", "total"}, kZero)}};
}

template <class P>
using Extractor = MetricMap (*)(const P&);

template <class P>
Extractor<P> extractor_of(std::string_view family) {
  static const std::array<std::pair<std::string_view, Extractor<P>>, 9> kExtractors{{
      {"ci", ci<P>}, {"testing", testing<P>}, {"coverage", coverage<P>},
      {"dependency", dependency<P>}, {"schema", schema<P>}, {"deployment", deployment<P>},
      {"config", config<P>}, {"security", security<P>}, {"error_tracking", error_tracking<P>},
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
  return extractor_of<Payload>(family)(Payload(event, where));
}

MetricMap payload_metrics(std::string_view family, const cindrel::ScannedRecord& event) {
  return extractor_of<FlatPayload>(family)(FlatPayload(event));
}

MetricMap family_metrics(const std::string& family, const Event& event) {
  return payload_metrics(family, event.value, event.file.string());
}

}  // namespace velquor::brevalt
