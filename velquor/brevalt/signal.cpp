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

std::string signal_file_text(const SignalList& signals) {
  // The pretty layout of an array is each element's own pretty text indented
  // by one level (JSON strings hold no raw line breaks). Writing record by
  // record keeps a large family's file from existing twice in memory as
  // JSON values.
  if (signals.empty()) return "[]";
  std::string text = "[\n";
  for (size_t i = 0; i < signals.size(); ++i) {
    if (i > 0) text += ",\n";
    std::string record = dump_pretty(signals[i].to_json());
    text += "  ";
    for (char c : record) {
      text += c;
      if (c == '\n') text += "  ";
    }
  }
  text += "\n]";
  return text;
}

}  // namespace velquor::brevalt
