// Directions, components and fingerprints: the identity of a pattern, shared
// with the advisory engine, so every byte of the fingerprint input is fixed.

#include <algorithm>

#include "shared/errors.h"
#include "shared/hash.h"
#include "shared/numbers.h"
#include "velquor/dornath/dornath.h"
#include "velquor/dornath/signal_table.h"

namespace velquor::dornath {

std::string_view classify_direction(double deviation, double threshold, std::string_view unit) {
  if (unit == "degenerate") return kUnchanged;
  if (deviation > threshold) return kIncreased;
  if (deviation < -threshold) return kDecreased;
  return kUnchanged;
}

std::vector<Component> components_of(const SignalTable& signals, double threshold) {
  std::vector<Component> components;
  for (size_t i = 0; i < signals.size(); ++i) {
    const Measure& measure = signals.measure(i);
    if (measure.state == MeasureState::kDegenerate || measure.state == MeasureState::kNull) continue;
    std::string_view direction = direction_of(measure, threshold);
    if (direction == kUnchanged) continue;
    const std::string& family = signals.names.text(signals.family(i));
    components.push_back({family, signals.names.text(signals.metric(i)), std::string(direction)});
  }
  return components;
}

std::vector<Component> signals_to_components(const Json& signals, double threshold) {
  return components_of(SignalTable::from_json(signals), threshold);
}

std::string compute_fingerprint(const std::vector<Component>& components) {
  std::vector<const Component*> sorted;
  sorted.reserve(components.size());
  for (const Component& c : components) sorted.push_back(&c);
  std::sort(sorted.begin(), sorted.end(),
            [](const Component* a, const Component* b) { return *a < *b; });
  std::string text = "[";
  for (size_t i = 0; i < sorted.size(); ++i) {
    if (i) text += ',';
    text += '[';
    append_json_string(text, sorted[i]->family);
    text += ',';
    append_json_string(text, sorted[i]->metric);
    text += ',';
    append_json_string(text, sorted[i]->direction);
    text += ']';
  }
  text += ']';
  return sha256_hex(text).substr(0, 16);
}

}  // namespace velquor::dornath
