// The summary sentence of a signal: the per-metric templates, their number
// formats, and the reference value and direction the wording is based on.

#include <cmath>

#include "shared/errors.h"
#include "shared/exact_number.h"
#include "shared/json_access.h"
#include "shared/numbers.h"
#include "velquor/cindrel/cindrel.h"
#include "velquor/cindrel/summary.h"
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

// A figure of the signal as a number. The name of the member (`where` then
// `member`, e.g. ".observed") is only put together when the figure is not a
// number: these run for every signal of a large run.
bool is_number_like(const Json& value) { return value.is_number() || value.is_boolean(); }

double figure(const Json& value, const std::string& where, const char* member) {
  return is_number_like(value) ? to_double(value, where) : to_double(value, where + member);
}

long double exact_figure(const Json& value, const std::string& where, const char* member) {
  return is_number_like(value) ? exact_value(value, where) : exact_value(value, where + member);
}

bool is_positive(const Json& value, const std::string& where, const char* member) {
  return exact_figure(value, where, member) > 0;
}

std::string format_value(const Json& value, Format format, const std::string& where) {
  const char* member = ".observed";
  switch (format) {
    case Format::kPlain: return plain_text(value);
    case Format::kDecimals0: return format_fixed(figure(value, where, member), 0);
    case Format::kDecimals1: return format_fixed(figure(value, where, member), 1);
    case Format::kDecimals2: return format_fixed(figure(value, where, member), 2);
    case Format::kPercent2: return format_fixed(figure(value, where, member) * 100, 2) + "%";
    case Format::kNone:
    case Format::kFixed: break;
  }
  return "";
}

// The sentence of a metric's table row; metrics without a row are named.
std::string table_sentence(std::string_view metric, const Json& observed,
                           const std::string& change, const std::string& where) {
  for (const Sentence& row : kSentences) {
    if (row.metric != metric) continue;
    if (row.format == Format::kFixed)
      return std::string(is_positive(observed, where, ".observed") ? row.opening : row.closing);
    return std::string(row.opening) + format_value(observed, row.format, where) +
           std::string(row.closing) + change + ".";
  }
  return "Metric '" + std::string(metric) + "' was " + plain_text(observed) + " — " + change + ".";
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
std::string degenerate_sentence(const SummaryFacts& facts, const std::string& where) {
  const Json& constant = facts.median ? *facts.median : facts.mean;
  double value = figure(constant, where, facts.median ? ".baseline.median" : ".baseline.mean");
  return "Metric '" + std::string(facts.metric) + "' was " + plain_text(facts.observed) +
         ". Baseline was constant at " + format_general(value, 4) + " across " +
         plain_text(facts.window_size) + " observations. No meaningful deviation.";
}

}  // namespace

bool median_is_reference(const Json* median, const Json* mad, const std::string& where) {
  return median && !median->is_null() && mad && !mad->is_null() &&
         is_positive(*mad, where, ".baseline.mad");
}

std::string direction_of(const Json& observed, const Json& base, const std::string& where) {
  if (base.is_null() || exact_figure(base, where, ".baseline") == 0)
    return is_positive(observed, where, ".observed") ? "up" : "down";
  return exact_figure(observed, where, ".observed") >= exact_figure(base, where, ".baseline")
             ? "up" : "down";
}

Wording word_signal(const SummaryFacts& facts, const std::string& where) {
  const Json& base =
      median_is_reference(facts.median, facts.mad, where) ? *facts.median : facts.mean;
  std::string direction = direction_of(facts.observed, base, where);
  return {pellan::relative_change(facts.observed, base),
          pellan::metric_insight(facts.metric, direction)};
}

std::string summary_sentence(const SummaryFacts& facts, const Wording& wording, bool degenerate,
                             const std::string& where) {
  if (degenerate) return degenerate_sentence(facts, where);
  std::string sentence = table_sentence(facts.metric, facts.observed, wording.change, where);
  if (!wording.insight.empty()) sentence += " " + wording.insight;
  if (!facts.sufficient) sentence += kLimitedHistory;
  return sentence;
}

const Json& Cindrel::_get_median(const Json& signal, const std::string& where) const {
  const Json& baseline = require_member(signal, "baseline", where);
  const Json* median = find_member(baseline, "median");
  if (median_is_reference(median, find_member(baseline, "mad"), where)) return *median;
  return require_member(baseline, "mean", where + ".baseline");
}

std::string Cindrel::_direction(const Json& signal, const std::string& where) const {
  const Json& base = _get_median(signal, where);
  return direction_of(require_member(signal, "observed", where), base, where);
}

std::string Cindrel::_template(const Json& signal, const std::string& where) const {
  const Json& metric = require_member(signal, "metric", where);
  expect_kind(metric, "string", "metric", where);
  const Json& observed = require_member(signal, "observed", where);
  const Json& baseline = require_member(signal, "baseline", where);
  const Json& mean = require_member(baseline, "mean", where + ".baseline");
  const Json& window_size =
      require_member(require_member(signal, "window", where), "size", where + ".window");
  const Json& status =
      require_member(require_member(signal, "confidence", where), "status", where + ".confidence");
  SummaryFacts facts{metric.get_ref<const std::string&>(),
                     observed,
                     mean,
                     find_member(baseline, "median"),
                     find_member(baseline, "mad"),
                     window_size,
                     status == "sufficient"};
  Wording wording = word_signal(facts, where);
  return summary_sentence(facts, wording, is_degenerate(signal, where), where);
}

}  // namespace velquor::cindrel
