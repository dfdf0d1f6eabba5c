// Reading the observed values of a signal file, metric by metric.
//
// Signal files run to tens of megabytes and only three members of each
// record matter here, so records go through stage 3's scanner: a plain
// record costs no allocation, and the rare other one is parsed strictly.

#include <charconv>
#include <cmath>

#include "shared/errors.h"
#include "shared/file_io.h"
#include "velquor/cindrel/record_scanner.h"
#include "velquor/shifts/shifts.h"

namespace velquor::shifts {
namespace {

using cindrel::FlatValue;
using cindrel::ScannedRecord;

// One record's members of interest; `observed` is empty for null.
struct Observation {
  std::string_view metric;
  std::string_view event_ref;
  std::optional<double> observed;
};

// Where a record sits, worded only when something is wrong with it.
struct Where {
  const fs::path& file;
  size_t index;
  std::string text() const { return file.string() + ": signal " + std::to_string(index); }
};

std::optional<double> flat_number(const FlatValue& value, const Where& what) {
  double number = 0;
  switch (value.kind) {
    case FlatValue::Kind::kNull: return std::nullopt;
    case FlatValue::Kind::kFalse: return 0.0;
    case FlatValue::Kind::kTrue: return 1.0;
    case FlatValue::Kind::kInteger:
    case FlatValue::Kind::kReal:
      std::from_chars(value.text.data(), value.text.data() + value.text.size(), number);
      return number;
    default: throw TypeError(what.text() + " observed is not a number");
  }
}

std::string_view flat_text(const FlatValue& value, const Where& what, const char* name) {
  if (value.kind != FlatValue::Kind::kString) throw TypeError(what.text() + " " + name + " is not text");
  return value.text;
}

Observation plain_observation(const ScannedRecord& record, const Where& what) {
  const std::vector<FlatValue>& values = record.values;
  if (values[0].kind != FlatValue::Kind::kObject) throw TypeError(what.text() + " is not an object");
  size_t metric = cindrel::find_flat_member(values, 0, "metric");
  if (metric == 0) throw MissingMember(what.text() + " has no metric");
  size_t observed = cindrel::find_flat_member(values, 0, "observed");
  size_t event_ref = cindrel::find_flat_member(values, 0, "event_ref");
  return {flat_text(values[metric], what, "metric"),
          event_ref ? flat_text(values[event_ref], what, "event_ref") : std::string_view(),
          observed ? flat_number(values[observed], what) : std::nullopt};
}

// The same members of a record the scanner left to the strict parser. The
// texts point into `parsed`, which the caller keeps until they are copied.
Observation parsed_observation(const Json& parsed, const Where& what) {
  if (!parsed.is_object()) throw TypeError(what.text() + " is not an object");
  auto metric = parsed.find("metric");
  if (metric == parsed.end()) throw MissingMember(what.text() + " has no metric");
  if (!metric->is_string()) throw TypeError(what.text() + " metric is not text");
  Observation observation{metric->get_ref<const std::string&>(), {}, std::nullopt};
  if (auto ref = parsed.find("event_ref"); ref != parsed.end()) {
    if (!ref->is_string()) throw TypeError(what.text() + " event_ref is not text");
    observation.event_ref = ref->get_ref<const std::string&>();
  }
  if (auto observed = parsed.find("observed"); observed != parsed.end() && !observed->is_null()) {
    if (observed->is_boolean()) observation.observed = observed->get<bool>() ? 1.0 : 0.0;
    else if (observed->is_number()) observation.observed = observed->get<double>();
    else throw TypeError(what.text() + " observed is not a number");
  }
  return observation;
}

// A family has a handful of metrics: a linear search beats hashing here.
MetricSeries& series_of(std::vector<MetricSeries>& series, const std::string& family,
                        std::string_view metric) {
  for (MetricSeries& known : series)
    if (known.metric == metric) return known;
  series.push_back({family, std::string(metric), {}, {}});
  return series.back();
}

[[noreturn]] void raise_syntax_error(const fs::path& file, std::string_view content) {
  parse_json(content, file.string(), NonFinite::kAccept);
  throw JsonError(file.string() + ": not a list of signal records");
}

}  // namespace

std::vector<MetricSeries> read_signal_series(const fs::path& signal_file, const std::string& family) {
  std::error_code ec;
  if (!fs::exists(signal_file, ec)) return {};
  MappedFile file(signal_file);
  cindrel::RecordScanner scanner(file.text());
  if (!scanner.open_array()) raise_syntax_error(signal_file, file.text());

  std::vector<MetricSeries> series;
  ScannedRecord record;
  Json parsed;
  for (size_t index = 0; scanner.next(record); ++index) {
    const Where what{signal_file, index};
    Observation observation;
    if (record.plain) {
      observation = plain_observation(record, what);
    } else {
      parsed = parse_json(record.span, what.text(), NonFinite::kAccept);
      observation = parsed_observation(parsed, what);
    }
    if (!observation.observed || !std::isfinite(*observation.observed)) continue;
    MetricSeries& target = series_of(series, family, observation.metric);
    target.values.push_back(*observation.observed);
    target.event_refs.emplace_back(observation.event_ref);
  }
  if (scanner.failed()) raise_syntax_error(signal_file, file.text());
  return series;
}

}  // namespace velquor::shifts
