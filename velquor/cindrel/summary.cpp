// The summary sentence of a signal: the per-metric templates, their number
// formats, and the reference value and direction the wording is based on.

#include <cmath>

#include "shared/errors.h"
#include "shared/exact_number.h"
#include "shared/json_access.h"
#include "shared/numbers.h"
#include "velquor/cindrel/cindrel.h"
#include "velquor/pellan/pellan.h"

namespace velquor::cindrel {
namespace {

enum class Format { kNone, kPlain, kDecimals0, kDecimals1, kDecimals2, kPercent2, kFixed };

// A template sentence: opening, {x} in `format`, closing, the change phrase
// and ".". kNone leaves {x} out; kFixed rows are whole sentences, `opening`
// when observed > 0 and `closing` otherwise.
struct Sentence {
  std::string_view metric;
  std::string_view opening;
  Format format;
  std::string_view closing;
};

constexpr Sentence kSentences[] = {
    {"files_touched", "This commit touched ", Format::kPlain, " files — "},
    {"dispersion", "This change is spread across many parts of the codebase — ", Format::kNone, ""},
    {"change_locality", "The change locality for this commit was ", Format::kDecimals2, " — "},
    {"cochange_novelty_ratio", "The co-change novelty ratio was ", Format::kDecimals2, " — "},
    {"run_duration", "This CI build took ", Format::kDecimals1, " seconds — "},
    {"run_failed", "This CI build failed.", Format::kFixed, "This CI build succeeded."},
    {"total_tests", "This test run executed ", Format::kDecimals0, " tests — "},
    {"suite_duration", "The test suite completed in ", Format::kDecimals1, " seconds — "},
    {"skip_rate", "The skip rate for this run was ", Format::kPercent2, " — "},
    {"dependency_count", "This snapshot has ", Format::kDecimals0, " dependencies — "},
    {"max_depth", "The maximum dependency depth is ", Format::kDecimals0, " — "},
    {"endpoint_count", "This schema version has ", Format::kDecimals0, " endpoints — "},
    {"type_count", "This schema version defines ", Format::kDecimals0, " types — "},
    {"field_count", "This schema version contains ", Format::kDecimals0, " fields — "},
    {"schema_churn", "Schema churn was ", Format::kDecimals2, " — "},
    {"release_cadence_hours", "This release came ", Format::kDecimals1,
     " hours after the previous one — "},
    {"is_prerelease", "This was a pre-release.", Format::kFixed, "This was a stable release."},
    {"asset_count", "This release included ", Format::kDecimals0, " assets — "},
    {"resource_count", "This configuration manages ", Format::kDecimals0, " resources — "},
    {"resource_type_count", "This configuration uses ", Format::kDecimals0,
     " distinct resource types — "},
    {"config_churn", "Configuration churn was ", Format::kDecimals0, " — "},
    {"event_count", "This error has ", Format::kDecimals0, " occurrences — "},
    {"user_count", "This error affected ", Format::kDecimals0, " users — "},
    {"is_unhandled", "This is an unhandled exception.", Format::kFixed, "This error is handled."},
    {"vulnerability_count", "This scan found ", Format::kDecimals0, " vulnerabilities — "},
    {"critical_count", "This scan found ", Format::kDecimals0, " critical vulnerabilities — "},
    {"fixable_ratio", "The fixable ratio is ", Format::kPercent2, " — "},
};

constexpr char kLimitedHistory[] = " (based on limited history — may change as more data arrives)";

std::string format_value(const Json& value, Format format, const std::string& what) {
  switch (format) {
    case Format::kPlain: return plain_text(value);
    case Format::kDecimals0: return format_fixed(to_double(value, what), 0);
    case Format::kDecimals1: return format_fixed(to_double(value, what), 1);
    case Format::kDecimals2: return format_fixed(to_double(value, what), 2);
    case Format::kPercent2: return format_fixed(to_double(value, what) * 100, 2) + "%";
    case Format::kNone:
    case Format::kFixed: break;
  }
  return "";
}

bool is_positive(const Json& value, const std::string& what) {
  return exact_value(value, what) > 0;
}

// The sentence of a metric's table row; metrics without a row are named.
std::string table_sentence(const std::string& metric, const Json& observed,
                           const std::string& change, const std::string& where) {
  const std::string what = where + ".observed";
  for (const Sentence& row : kSentences) {
    if (row.metric != metric) continue;
    if (row.format == Format::kFixed)
      return std::string(is_positive(observed, what) ? row.opening : row.closing);
    return std::string(row.opening) + format_value(observed, row.format, what) +
           std::string(row.closing) + change + ".";
  }
  return "Metric '" + metric + "' was " + plain_text(observed) + " — " + change + ".";
}

bool is_degenerate(const Json& signal, const std::string& where) {
  const Json* deviation = find_member(signal, "deviation");
  if (!deviation) return false;
  expect_kind(*deviation, "object", "deviation", where);
  const Json* flag = find_member(*deviation, "degenerate");
  return flag && flag->is_boolean() && flag->get<bool>();
}

// For a baseline that never varied: the constant value (the median, else
// the mean) in 4 significant digits, and the window size.
std::string degenerate_sentence(const std::string& metric, const Json& observed,
                                const Json& baseline, const Json& window_size,
                                const std::string& where) {
  const Json* median = find_member(baseline, "median");
  const Json& constant = median ? *median : require_member(baseline, "mean", where + ".baseline");
  const std::string what = where + ".baseline." + (median ? "median" : "mean");
  return "Metric '" + metric + "' was " + plain_text(observed) + ". Baseline was constant at " +
         format_general(to_double(constant, what), 4) + " across " + plain_text(window_size) +
         " observations. No meaningful deviation.";
}

}  // namespace

const Json& Cindrel::_get_median(const Json& signal, const std::string& where) const {
  const Json& baseline = require_member(signal, "baseline", where);
  const Json* median = find_member(baseline, "median");
  const Json* mad = find_member(baseline, "mad");
  if (median && !median->is_null() && mad && !mad->is_null() &&
      is_positive(*mad, where + ".baseline.mad"))
    return *median;
  return require_member(baseline, "mean", where + ".baseline");
}

std::string Cindrel::_direction(const Json& signal, const std::string& where) const {
  const Json& base = _get_median(signal, where);
  const Json& observed = require_member(signal, "observed", where);
  const std::string what = where + ".observed";
  if (base.is_null() || exact_value(base, where + ".baseline") == 0)
    return is_positive(observed, what) ? "up" : "down";
  return exact_value(observed, what) >= exact_value(base, where + ".baseline") ? "up" : "down";
}

std::string Cindrel::_template(const Json& signal, const std::string& where) const {
  const Json& metric_value = require_member(signal, "metric", where);
  expect_kind(metric_value, "string", "metric", where);
  const std::string& metric = metric_value.get_ref<const std::string&>();
  const Json& observed = require_member(signal, "observed", where);
  const Json& baseline = require_member(signal, "baseline", where);
  require_member(baseline, "mean", where + ".baseline");
  const Json& window_size =
      require_member(require_member(signal, "window", where), "size", where + ".window");
  const Json& status =
      require_member(require_member(signal, "confidence", where), "status", where + ".confidence");

  const Json& base = _get_median(signal, where);
  std::string direction = _direction(signal, where);
  std::string change = pellan::relative_change(observed, base);
  std::string insight = pellan::metric_insight(metric, direction);

  if (is_degenerate(signal, where))
    return degenerate_sentence(metric, observed, baseline, window_size, where);
  std::string sentence = table_sentence(metric, observed, change, where);
  if (!insight.empty()) sentence += " " + insight;
  if (status != "sufficient") sentence += kLimitedHistory;
  return sentence;
}

}  // namespace velquor::cindrel
