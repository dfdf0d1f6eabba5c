// `velquor run` reads every event file once. Stage 2 reads each event
// anyway; while it holds one, the digests stages 4 and 5 keep of every event
// are taken from its text, or from the tree stage 2 built of an odd one, so
// that neither stage reads the events directory again. Stage 2's trees then
// keep, besides its own members, the ones those digests read.
//
// A handoff is used only when it covers every event file: when stage 2 left a
// file out (--skip-bad-events), stages 4 and 5 read the files themselves and
// decide about each one exactly as when run alone.
#pragma once

#include <optional>
#include <vector>

#include "velquor/brevalt/brevalt.h"
#include "velquor/dornath/event_scan.h"
#include "velquor/esperlin/prepared_events.h"

namespace velquor::cli {

class EventHandoff {
 public:
  // Has `engine`'s next driver run hand each of the `file_count` event
  // files it parses to this handoff (from its parsing threads).
  void observe(brevalt::Brevalt& engine, size_t file_count);

  // The digests, in file-name order; nullopt unless every event file was
  // handed over. Each may be taken once.
  std::optional<dornath::EventScan> take_learn_scan();
  std::optional<std::vector<esperlin::PreparedEvent>> take_advise_events();

 private:
  // One slot per event file, each written by the one thread that parsed it.
  std::vector<std::optional<dornath::ScannedEvent>> learn_;
  std::vector<std::optional<esperlin::PreparedEvent>> advise_;
};

}  // namespace velquor::cli
