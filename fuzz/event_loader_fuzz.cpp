// Reading one event as stage 2 does: the file text (standard JSON only),
// then, for every family that selects the event, its time, its reference
// and its metrics. The metrics then go through a family's window twice, so
// the signal text is written and must read back as the later stages read
// it.

#include "fuzz/fuzz_target.h"
#include "shared/errors.h"
#include "shared/json.h"
#include "velquor/brevalt/internal.h"

using namespace velquor;
using namespace velquor::brevalt;

namespace {

const std::string kWhere = "events/fuzz.json";

MetricMap metrics_of(size_t family, const Json& event) {
  if (family == kGitFamily) return git_base_metrics(git_paths(event, kWhere));
  return payload_metrics(families()[family].name, event, kWhere);
}

void run_family(size_t family, const Json& event) {
  observed_at_key(event, kWhere);
  const std::string ref = event_ref_of(event, kWhere, family == kGitFamily);
  const MetricMap metrics = metrics_of(family, event);
  SignalEmitter emitter(2, 1, families()[family].name, families()[family].label);
  SignalList signals;
  for (int round = 0; round < 2; ++round) {
    emitter.emit(metrics, [&] { return ref; }, kWhere, signals);
    emitter.push(metrics, kWhere);
  }
  try {
    parse_json(signal_file_text(signals), "signal text", NonFinite::kAccept);
  } catch (const JsonError&) {
    fuzz::require(false, "a written signal text does not parse");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Json event;
  try {
    event = parse_json(fuzz::as_text(data, size), kWhere, NonFinite::kReject);
  } catch (const JsonError&) {
    return 0;
  }
  if (!event.is_object()) return 0;
  const FamilySet selecting = selecting_families(event);
  for (size_t family = 0; family < families().size(); ++family) {
    if (!selecting.test(family)) continue;
    try {
      run_family(family, event);
    } catch (const Error&) {
    }
  }
  return 0;
}
