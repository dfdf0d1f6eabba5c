// The vocabulary of the advisory engine: where each family's signals live and
// how families and metrics are shown to people.

#include "velquor/esperlin/esperlin.h"

namespace velquor::esperlin {
namespace {

std::string label_in(const NameTable& table, std::string_view name) {
  for (const auto& [key, label] : table)
    if (key == name) return label;
  return std::string(name);
}

}  // namespace

const NameTable SIGNAL_FILES = {
    {"git", "git_signals.json"},
    {"ci", "ci_signals.json"},
    {"testing", "testing_signals.json"},
    {"coverage", "coverage_signals.json"},
    {"dependency", "dependency_signals.json"},
    {"schema", "schema_signals.json"},
    {"deployment", "deployment_signals.json"},
    {"config", "config_signals.json"},
    {"security", "security_signals.json"},
    {"error_tracking", "error_tracking_signals.json"},
};

const NameTable FAMILY_LABELS = {
    {"git", "Version Control"},
    {"ci", "CI / Build"},
    {"testing", "Testing"},
    {"coverage", "Code Coverage"},
    {"dependency", "Dependencies"},
    {"schema", "API / Schema"},
    {"deployment", "Deployment"},
    {"config", "Configuration"},
    {"security", "Security"},
    {"error_tracking", "Error Tracking"},
};

const NameTable METRIC_LABELS = {
    {"files_touched", "Files Changed"},
    {"dispersion", "Change Dispersion"},
    {"change_locality", "Change Locality"},
    {"cochange_novelty_ratio", "Co-change Novelty"},
    {"run_duration", "Build Duration"},
    {"run_failed", "Build Failure"},
    {"total_tests", "Test Count"},
    {"skip_rate", "Skip Rate"},
    {"suite_duration", "Suite Duration"},
    {"line_rate", "Line Coverage"},
    {"branch_rate", "Branch Coverage"},
    {"dependency_count", "Total Dependencies"},
    {"max_depth", "Dependency Depth"},
    {"endpoint_count", "API Endpoints"},
    {"type_count", "API Types"},
    {"field_count", "API Fields"},
    {"schema_churn", "Schema Churn"},
    {"release_cadence_hours", "Release Cadence"},
    {"is_prerelease", "Pre-release"},
    {"asset_count", "Release Assets"},
    {"resource_count", "Resources"},
    {"resource_type_count", "Resource Types"},
    {"config_churn", "Config Churn"},
    {"vulnerability_count", "Vulnerabilities"},
    {"critical_count", "Critical Vulnerabilities"},
    {"fixable_ratio", "Fixable Ratio"},
    {"event_count", "Error Occurrences"},
    {"user_count", "Affected Users"},
    {"is_unhandled", "Unhandled Exception"},
};

std::string family_label(std::string_view family) { return label_in(FAMILY_LABELS, family); }

std::string metric_label(std::string_view metric) { return label_in(METRIC_LABELS, metric); }

}  // namespace velquor::esperlin
