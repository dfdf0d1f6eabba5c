#include "velquor/report/signal_reader.h"

#include <charconv>
#include <deque>
#include <optional>

#include "shared/errors.h"
#include "shared/file_io.h"
#include "shared/json.h"
#include "shared/json_access.h"
#include "velquor/cindrel/record_scanner.h"

namespace velquor::report {
namespace {

using cindrel::find_flat_member;
using cindrel::FlatValue;

// The members of a signal record the report reads.
struct SignalFields {
  std::string_view metric;
  std::optional<double> observed;
  double median = 0, mad = 0, measure = 0;
  bool degenerate = false;
  std::string_view event_ref;
};

// --- Plain records, read from the scanner's flat values (index 0: absent) ---

std::optional<double> flat_number(const std::vector<FlatValue>& values, size_t index) {
  if (index == 0) return std::nullopt;
  const FlatValue& value = values[index];
  if (value.kind == FlatValue::Kind::kTrue) return 1.0;
  if (value.kind == FlatValue::Kind::kFalse) return 0.0;
  if (value.kind != FlatValue::Kind::kInteger && value.kind != FlatValue::Kind::kReal)
    return std::nullopt;
  double number = 0;
  std::from_chars(value.text.data(), value.text.data() + value.text.size(), number);
  return number;
}

std::string_view flat_text(const std::vector<FlatValue>& values, size_t index) {
  return index != 0 && values[index].kind == FlatValue::Kind::kString ? values[index].text
                                                                      : std::string_view();
}

SignalFields plain_fields(const std::vector<FlatValue>& values) {
  SignalFields fields;
  fields.metric = flat_text(values, find_flat_member(values, 0, "metric"));
  fields.observed = flat_number(values, find_flat_member(values, 0, "observed"));
  fields.event_ref = flat_text(values, find_flat_member(values, 0, "event_ref"));
  if (size_t baseline = find_flat_member(values, 0, "baseline")) {
    fields.median = flat_number(values, find_flat_member(values, baseline, "median")).value_or(0);
    fields.mad = flat_number(values, find_flat_member(values, baseline, "mad")).value_or(0);
  }
  if (size_t deviation = find_flat_member(values, 0, "deviation")) {
    fields.measure = flat_number(values, find_flat_member(values, deviation, "measure")).value_or(0);
    size_t degenerate = find_flat_member(values, deviation, "degenerate");
    fields.degenerate = degenerate != 0 && values[degenerate].kind == FlatValue::Kind::kTrue;
  }
  return fields;
}

// --- Other records, parsed ---

std::optional<double> json_number(const Json& object, std::string_view key) {
  const Json* value = object.is_object() ? find_member(object, key) : nullptr;
  if (!value || !(value->is_number() || value->is_boolean())) return std::nullopt;
  return value->is_boolean() ? double(value->get<bool>()) : value->get<double>();
}

std::string_view json_text(const Json& object, std::string_view key) {
  const Json* value = find_member(object, key);
  return value && value->is_string() ? std::string_view(value->get_ref<const std::string&>())
                                     : std::string_view();
}

SignalFields parsed_fields(const Json& record) {
  SignalFields fields;
  fields.metric = json_text(record, "metric");
  fields.observed = json_number(record, "observed");
  fields.event_ref = json_text(record, "event_ref");
  if (const Json* baseline = find_member(record, "baseline")) {
    fields.median = json_number(*baseline, "median").value_or(0);
    fields.mad = json_number(*baseline, "mad").value_or(0);
  }
  if (const Json* deviation = find_member(record, "deviation"); deviation && deviation->is_object()) {
    fields.measure = json_number(*deviation, "measure").value_or(0);
    const Json* degenerate = find_member(*deviation, "degenerate");
    fields.degenerate = degenerate && degenerate->is_boolean() && degenerate->get<bool>();
  }
  return fields;
}

SeriesPoint point_of(const SignalFields& fields) {
  SeriesPoint point;
  point.value = *fields.observed;
  point.median = fields.median;
  point.spread = band_spread(fields.mad);
  point.measure = fields.degenerate ? 0 : fields.measure;
  point.flagged = std::abs(point.measure) >= kFlagThreshold;
  return point;
}

// The text of a signal file, kept for the event references that point into
// it; the few references of records that were parsed are copied here.
struct SignalText {
  explicit SignalText(const fs::path& file) : mapped(file) {}
  MappedFile mapped;
  std::deque<std::string> copies;

  std::string_view keep(std::string_view ref, bool copy) {
    return copy ? std::string_view(copies.emplace_back(ref)) : ref;
  }
};

[[noreturn]] void raise_not_signals(const fs::path& file, std::string_view content) {
  // The strict parser words a syntax error with its position.
  parse_json(content, file.string(), NonFinite::kAccept);
  throw TypeError(file.string() + ": not a list of signal records");
}

}  // namespace

std::vector<SignalSeries> read_signal_series(const fs::path& file, const std::string& family,
                                             const std::vector<std::string>& metrics) {
  std::vector<SignalSeries> series(metrics.size());
  for (size_t i = 0; i < metrics.size(); ++i) {
    series[i].family = family;
    series[i].metric = metrics[i];
  }
  std::error_code ec;
  if (!fs::exists(file, ec)) return series;
  auto text = std::make_shared<SignalText>(file);
  std::string_view content = text->mapped.text();
  cindrel::RecordScanner scanner(content);
  if (!scanner.open_array()) raise_not_signals(file, content);
  cindrel::ScannedRecord record;
  Json parsed;
  for (size_t index = 0; scanner.next(record); ++index) {
    if (!record.plain) parsed = parse_json(record.span, file.string(), NonFinite::kAccept);
    if (record.values[0].kind != FlatValue::Kind::kObject)
      throw TypeError(file.string() + ": signal " + std::to_string(index) + " is not a map");
    SignalFields fields = record.plain ? plain_fields(record.values) : parsed_fields(parsed);
    if (!fields.observed) continue;
    for (SignalSeries& wanted : series) {
      if (wanted.metric != fields.metric) continue;
      wanted.points.push_back(point_of(fields));
      wanted.event_refs.push_back(text->keep(fields.event_ref, !record.plain));
      break;
    }
  }
  if (scanner.failed()) raise_not_signals(file, content);
  for (SignalSeries& each : series) each.texts = text;
  return series;
}

}  // namespace velquor::report
