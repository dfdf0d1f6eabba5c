#include <cmath>

#include "shared/json.h"
#include "velquor/brevalt/brevalt.h"

namespace velquor::brevalt {

Json Signal::to_json() const {
  Json record = Json::object();
  record["engine_id"] = engine_id;
  record["source_type"] = source_type;
  record["metric"] = metric;
  record["window"] = Json::object({{"type", "rolling"}, {"size", window_size}});
  Json baseline = Json::object();
  baseline["mean"] = mean.to_json();
  baseline["stddev"] = stddev;
  baseline["median"] = median.to_json();
  baseline["mad"] = mad.to_json();
  record["baseline"] = std::move(baseline);
  record["observed"] = observed;
  Json deviation = Json::object();
  deviation["measure"] = measure;
  deviation["unit"] = unit_name(unit);
  deviation["degenerate"] = degenerate;
  record["deviation"] = std::move(deviation);
  Json confidence = Json::object();
  confidence["sample_count"] = sample_count;
  confidence["status"] = sufficient ? "sufficient" : "accumulating";
  record["confidence"] = std::move(confidence);
  record["event_ref"] = event_ref;
  return record;
}

Json to_json(const SignalList& signals) {
  Json list = Json::array();
  for (const Signal& signal : signals) list.push_back(signal.to_json());
  return list;
}

namespace {

// Writes one record in the layout dump_pretty gives it as an element of the
// file's array (indented one level). Signal files hold hundreds of thousands
// of records; building a JSON value per record first costs more than the
// figures themselves. Tests hold this equal to dump_pretty.
class RecordWriter {
 public:
  explicit RecordWriter(std::string& out) : out_(out) {}

  void signal(const Signal& s) {
    out_ += "  {\n";
    text_member("engine_id", s.engine_id, 4);
    text_member("source_type", s.source_type, 4);
    text_member("metric", s.metric, 4);
    open("window");
    text_member("type", "rolling", 6);
    key("size", 6);
    out_ += std::to_string(s.window_size);
    close();
    open("baseline");
    number_member("mean", s.mean);
    number_member("stddev", SampleValue::real(s.stddev));
    number_member("median", s.median);
    key("mad", 6);
    number(s.mad);
    close();
    key("observed", 4);
    observed(s.observed);
    out_ += ",\n";
    open("deviation");
    number_member("measure", SampleValue::real(s.measure));
    text_member("unit", unit_name(s.unit), 6);
    key("degenerate", 6);
    out_ += s.degenerate ? "true" : "false";
    close();
    open("confidence");
    key("sample_count", 6);
    out_ += std::to_string(s.sample_count);
    out_ += ",\n";
    key("status", 6);
    append_json_string(out_, s.sufficient ? "sufficient" : "accumulating");
    close();
    key("event_ref", 4);
    append_json_string(out_, s.event_ref);
    out_ += "\n  }";
  }

 private:
  void key(std::string_view name, int indent) {
    out_.append(indent, ' ');
    append_json_string(out_, name);
    out_ += ": ";
  }
  void text_member(std::string_view name, std::string_view text, int indent) {
    key(name, indent);
    append_json_string(out_, text);
    out_ += ",\n";
  }
  void number_member(std::string_view name, const SampleValue& value) {
    key(name, 6);
    number(value);
    out_ += ",\n";
  }
  void open(std::string_view name) {
    key(name, 4);
    out_ += "{\n";
  }
  void close() { out_ += "\n    },\n"; }

  void number(const SampleValue& value) {
    if (value.is_integer()) {
      __int128 i = value.integer_value();
      if (i >= INT64_MIN && i <= INT64_MAX) out_ += std::to_string(static_cast<int64_t>(i));
      else out_ += dump_compact(value.to_json());  // beyond 64 bits: see to_json
      return;
    }
    double d = value.real_value();
    if (std::isnan(d)) out_ += "NaN";
    else if (std::isinf(d)) out_ += d > 0 ? "Infinity" : "-Infinity";
    else out_ += float_repr(d);
  }
  void observed(const Json& value) {
    if (value.is_number_float()) number(SampleValue::real(value.get<double>()));
    else if (value.is_number_integer() && !value.is_number_unsigned()) out_ += std::to_string(value.get<int64_t>());
    else out_ += dump_compact(value);
  }

  std::string& out_;
};

}  // namespace

std::string signal_file_text(const SignalList& signals) {
  if (signals.empty()) return "[]";
  std::string text = "[\n";
  text.reserve(signals.size() * 560);
  RecordWriter writer(text);
  for (size_t i = 0; i < signals.size(); ++i) {
    if (i > 0) text += ",\n";
    writer.signal(signals[i]);
  }
  text += "\n]";
  return text;
}

}  // namespace velquor::brevalt
