// `velquor run` reads every event file once. Stage 2 reads each event
// anyway; while it holds one, the digests stages 4 and 5 keep of every event
// (and, for a run with a window, the event's window stamp) are taken from its
// text, or from the tree stage 2 built of an odd one, so that nothing reads
// the events directory again. Stage 2's trees then keep, besides its own
// members, the ones those digests read.
//
// A handoff is used only when it covers every event file: when stage 2 left a
// file out (--skip-bad-events), stages 4 and 5 read the files themselves and
// decide about each one exactly as when run alone.
#pragma once

#include <exception>
#include <functional>
#include <optional>
#include <vector>

#include "velquor/brevalt/brevalt.h"
#include "velquor/dornath/event_scan.h"
#include "velquor/esperlin/prepared_events.h"
#include "velquor/window/window.h"

namespace velquor::cli {

class EventHandoff {
 public:
  // Has `engine`'s next driver run hand each of the `file_count` event
  // files it parses to this handoff (from its parsing threads).
  void observe(brevalt::Brevalt& engine, size_t file_count);
  // Also keep every event's window stamp (call before observe()): for a run
  // with a window.
  void keep_window_stamps() { keep_stamps_ = true; }

  // The digests, in file-name order; nullopt unless every event file was
  // handed over. Each may be taken once.
  std::optional<dornath::EventScan> take_learn_scan();
  std::optional<std::vector<esperlin::PreparedEvent>> take_advise_events();
  // The window stamps, as window::read_event_stamps gives them (raising the
  // error of the first file whose stamp cannot be read).
  std::optional<std::function<std::vector<window::EventStamp>()>> take_window_stamps();

 private:
  // A stamp, or the error reading it raised.
  struct Stamp {
    window::EventStamp stamp;
    std::exception_ptr error;
  };

  // One slot per event file, each written by the one thread that parsed it.
  std::vector<std::optional<dornath::ScannedEvent>> learn_;
  std::vector<std::optional<esperlin::PreparedEvent>> advise_;
  bool keep_stamps_ = false;
  std::vector<std::optional<Stamp>> stamps_;
};

}  // namespace velquor::cli
