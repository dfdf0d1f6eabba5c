// Risk levels of deviations, wording and severity of patterns, and the
// status line of an advisory.

#include <cmath>
#include <vector>

#include "shared/errors.h"
#include "shared/json_access.h"
#include "shared/numbers.h"
#include "velquor/pellan/pellan.h"

namespace velquor::pellan {
namespace {

struct RiskStep {
  double at_least;
  const char* level;
  const char* label;
  const char* description;
};

constexpr RiskStep kRiskSteps[] = {
    {5, "critical", "CRITICAL", "Extremely unusual"},
    {3, "high", "HIGH", "Highly unusual"},
    {2, "elevated", "ELEVATED", "Clearly unusual"},
    {1.5, "notable", "NOTABLE", "Somewhat unusual"},
};

Json risk_map(const char* level, const char* label, const char* description) {
  return Json{{"level", level}, {"label", label}, {"description", description}};
}

// The member when it is a list, else an empty list.
const Json& list_or_empty(const Json& pattern, std::string_view key) {
  static const Json kEmpty = Json::array();
  const Json* member = find_member(pattern, key);
  return member && member->is_array() ? *member : kEmpty;
}

const Json* non_empty_list(const Json& pattern, std::string_view key) {
  const Json& list = list_or_empty(pattern, key);
  return list.empty() ? nullptr : &list;
}

std::string join_texts(const Json& list, std::string_view separator) {
  std::string out;
  for (size_t i = 0; i < list.size(); ++i) {
    if (i) out += separator;
    out += plain_text(list[i]);
  }
  return out;
}

bool is_non_zero_number(const Json* value) {
  return value && value->is_number() && !(to_double(*value, "strength") == 0);
}

// The strength of a pattern's link: its correlation, else its correlation
// strength, else 0 (a zero counts as absent).
double link_strength(const Json& pattern) {
  for (std::string_view key : {"correlation", "correlation_strength"}) {
    const Json* value = find_member(pattern, key);
    if (is_non_zero_number(value)) return to_double(*value, std::string(key));
  }
  return 0;
}

std::string pattern_head(const Json& pattern) {
  const Json* description = find_member(pattern, "description");
  if (description && description->is_string() && !description->get_ref<const std::string&>().empty())
    return description->get<std::string>();
  const Json* families = non_empty_list(pattern, "families");
  if (!families) families = non_empty_list(pattern, "sources");
  std::string head = families ? join_texts(*families, " + ") : "";
  return head + ": " + join_texts(list_or_empty(pattern, "metrics"), ", ") +
         " tend to change together";
}

bool has_text(const Json& list, std::string_view text) {
  for (const Json& element : list)
    if (element.is_string() && element.get_ref<const std::string&>() == text) return true;
  return false;
}

}  // namespace

Json risk_level(const Json& deviation) {
  expect_kind(deviation, "number", "deviation", "risk_level");
  double size = std::fabs(deviation.get<double>());
  for (const RiskStep& step : kRiskSteps)
    if (size >= step.at_least) return risk_map(step.level, step.label, step.description);
  return risk_map("normal", "NORMAL", "Within the normal range");
}

std::string friendly_pattern(const Json& pattern) {
  std::string head = pattern_head(pattern);
  if (find_member(pattern, "knowledge_id")) {
    const Json* support = find_member(pattern, "support_count");
    return head + " [known pattern, seen " + (support ? plain_text(*support) : "0") + " times]";
  }
  return head + " [candidate pattern, strength " +
         format_fixed(std::fabs(link_strength(pattern)), 2) + "]";
}

Json pattern_risk_assessment(const Json& pattern) {
  const Json& metrics = list_or_empty(pattern, "metrics");
  auto assessment = [](const char* severity, const char* reason) {
    return Json{{"severity", severity}, {"reason", reason}};
  };
  if (has_text(metrics, "critical_count"))
    return assessment("critical", "involves critical vulnerabilities");
  for (std::string_view metric : {"vulnerability_count", "run_failed", "is_unhandled", "failure_rate"})
    if (has_text(metrics, metric))
      return assessment("concern", "involves failures or vulnerabilities");
  if (std::fabs(link_strength(pattern)) >= 0.7) return assessment("watch", "strong recurring link");
  return assessment("info", "recurring link");
}

Json advisory_status(const Json& advisory) {
  const Json* changes = find_member(advisory, "changes");
  if (!changes || changes->is_null() || (changes->is_array() && changes->empty()))
    return Json{{"state", "clear"},
                {"highest_risk", "NORMAL"},
                {"message", "No unaccepted significant changes."}};
  expect_kind(*changes, "array", "changes", "advisory_status");
  // Like max(): the first of equal sizes wins and a NaN first stays on top.
  double top = 0;
  for (size_t i = 0; i < changes->size(); ++i) {
    std::string where = "advisory_status: changes[" + std::to_string(i) + "]";
    double size = std::fabs(to_double(require_member((*changes)[i], "deviation_stddev", where),
                                      where + ".deviation_stddev"));
    if (i == 0 || size > top) top = size;
  }
  std::string label = risk_level(top)["label"].get<std::string>();
  size_t count = changes->size();
  return Json{{"state", top >= 3 ? "action_needed" : "watch"},
              {"highest_risk", label},
              {"message", std::to_string(count) + " significant change" + (count == 1 ? "" : "s") +
                              "; highest risk " + label + "."}};
}

}  // namespace velquor::pellan
