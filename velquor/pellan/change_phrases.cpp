// The phrases that compare a value with its usual level and say why a move
// of a metric matters.

#include <cmath>

#include "shared/exact_number.h"
#include "shared/numbers.h"
#include "velquor/pellan/pellan.h"

namespace velquor::pellan {
namespace {

struct Insight {
  std::string_view metric;
  std::string_view direction;
  std::string_view sentence;
};

constexpr Insight kInsights[] = {
    {"files_touched", "up",
     "Larger commits are harder to review and more likely to hide unrelated changes."},
    {"dispersion", "up", "The change reaches into more areas of the codebase than usual."},
    {"dispersion", "down", "The change is more focused than usual."},
    {"change_locality", "down",
     "More of this change lands on files that recent work did not touch."},
    {"cochange_novelty_ratio", "up",
     "Files are changing together in combinations not seen recently."},
    {"run_duration", "up", "Slower builds lengthen the feedback loop for every change."},
    {"run_failed", "up", "A failing build blocks integration until it is fixed."},
    {"total_tests", "down", "Fewer tests ran than usual; tests may have been removed or skipped."},
    {"failure_rate", "up", "More tests are failing than usual."},
    {"skip_rate", "up", "More tests are being skipped, which can hide failures."},
    {"suite_duration", "up", "The test suite is taking longer than usual."},
    {"line_rate", "down", "Less of the code is exercised by tests than before."},
    {"branch_rate", "down", "Fewer decision paths are exercised by tests than before."},
    {"dependency_count", "up", "More dependencies mean more code to keep updated and secure."},
    {"max_depth", "up", "Deeper dependency chains are harder to audit."},
    {"endpoint_count", "up", "The API surface grew."},
    {"endpoint_count", "down", "Endpoints were removed, which can break existing clients."},
    {"field_count", "down", "Fields were removed, which can break existing clients."},
    {"schema_churn", "up", "The API changed more than usual in one step."},
    {"release_cadence_hours", "up", "Releases are further apart than usual."},
    {"release_cadence_hours", "down", "Releases are coming closer together than usual."},
    {"resource_count", "up", "The infrastructure footprint grew."},
    {"resource_count", "down", "Infrastructure resources were removed."},
    {"resource_type_count", "up", "New kinds of infrastructure were introduced."},
    {"config_churn", "up", "More infrastructure changed at once than usual."},
    {"event_count", "up", "This error is occurring more often than usual."},
    {"user_count", "up", "More users are affected by this error than usual."},
    {"is_unhandled", "up", "Unhandled exceptions usually reach users directly."},
    {"vulnerability_count", "up", "New known vulnerabilities entered the project."},
    {"critical_count", "up", "Critical vulnerabilities need prompt attention."},
    {"fixable_ratio", "down", "Fewer of the known vulnerabilities have a fix available."},
};

// 2 x base as the comparison sees it: exact for an integer base, a double
// product (which may overflow to infinity) for a real one.
long double twice(const Json& base) {
  if (base.is_number_float()) return 2.0 * base.get<double>();
  return 2.0L * exact_value(base, "base");
}

}  // namespace

std::string relative_change(const Json& current, const Json& base) {
  if (!current.is_number() || !base.is_number()) return "no baseline to compare with";
  // Zero tests and orderings use the exact values; the arithmetic below is
  // on doubles, like every division of the system.
  long double exact_current = exact_value(current, "current");
  long double exact_base = exact_value(base, "base");
  if (exact_base == 0) {
    if (exact_current == 0) return "unchanged from zero";
    return exact_current > 0 ? "up from zero" : "down from zero";
  }
  double c = to_double(current, "current");
  double b = to_double(base, "base");
  if (exact_base > 0 && exact_current >= twice(base))
    return format_fixed(c / b, 1) + "x the usual level";
  double pct = (c - b) / std::fabs(b) * 100;
  double size = std::fabs(pct);
  if (size < 0.05) return "the same as usual";
  std::string amount = format_fixed(size, size < 10 ? 1 : 0);
  return amount + (pct > 0 ? "% higher than usual" : "% lower than usual");
}

std::string metric_insight(std::string_view metric, std::string_view direction) {
  for (const Insight& row : kInsights)
    if (row.metric == metric && row.direction == direction) return std::string(row.sentence);
  return "";
}

}  // namespace velquor::pellan
