// Signal records as stage 2 writes them, for the tests of this folder.
#pragma once

#include <string>
#include <vector>

namespace velquor::shifts::testing {

inline std::string signal_record(const std::string& family, const std::string& metric,
                                 const std::string& observed, const std::string& ref) {
  return "{\"engine_id\": \"" + family + "\", \"source_type\": \"x\", \"metric\": \"" + metric +
         "\", \"window\": {\"type\": \"rolling\", \"size\": 50}, \"baseline\": {\"mean\": 1.5, "
         "\"stddev\": 0.5, \"median\": 1, \"mad\": 0.5}, \"observed\": " + observed +
         ", \"deviation\": {\"measure\": 0.0, \"unit\": \"degenerate\", \"degenerate\": true}, "
         "\"confidence\": {\"sample_count\": 5, \"status\": \"accumulating\"}, \"event_ref\": \"" + ref + "\"}";
}

inline std::string signal_file(const std::vector<std::string>& records) {
  std::string text = "[\n";
  for (size_t i = 0; i < records.size(); ++i) text += (i ? ",\n" : "") + records[i];
  return text + "\n]";
}

}  // namespace velquor::shifts::testing
