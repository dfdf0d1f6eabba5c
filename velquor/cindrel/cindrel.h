// The explanation engine (stage 3): one plain-language explanation per signal.
//
// Cindrel reads every signal file that the baseline engine wrote into
// `vel_dir`/phase2, turns each signal into an explanation record, and writes
// them all, in signal order, to `vel_dir`/phase3/explanations.json. The
// sentence of a record comes from a fixed template per metric plus two
// wording phrases (velquor/pellan/pellan.h); the record also copies the
// signal's figures, so that later stages and people can read one file.
//
// Explanation record, members in this order:
//   engine_id, source_type  copied from the signal;
//   signal_ref              the signal's event_ref (null when it has none);
//   summary                 the sentence (see _template);
//   details                 {metric, observed, baseline, deviation} of the signal;
//   confidence              the signal's confidence, copied whole;
//   generated_at            now_timestamp() taken anew for each record;
//   explanation_id          canonical_hash of the seven members above.
// Because generated_at is hashed, ids repeat across runs only when the clock
// is pinned (VELQUOR_NOW).
//
// The explanations file is a JSON array of these records in signal order,
// in the system's two-space layout (the dash of every summary written
// \u2014), without a final newline.
//
// Failures: a signal file that is not JSON or not an array, or a signal that
// lacks a member the record needs, raises an error naming the file, the
// signal's position ("phase2/ci_signals.json[12]") and the member; a
// syntax error anywhere in a file is reported before a faulty record of it.
// The explanations file is written to a temporary file that replaces the
// older one only when every record was built, so a failing run leaves the
// older file as it was.
//
// Speed: records of the usual shape are read and written straight from the
// file text (record_scanner.h, scanned_explanation.h) and large files are
// explained in chunks on several threads (chunk_explainer.h); every other
// record takes the JSON path, and the bytes written are the same either way.
#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "shared/json.h"

namespace velquor::cindrel {

namespace fs = std::filesystem;

class ExplanationsOutput;

struct SignalFile {
  std::string_view family;
  std::string_view file_name;
};

// The signal files read, in reading order (the order of the explanations).
inline constexpr SignalFile SIGNAL_FILES[] = {
    {"git", "git_signals.json"},
    {"ci", "ci_signals.json"},
    {"testing", "testing_signals.json"},
    {"coverage", "coverage_signals.json"},
    {"dependency", "dependency_signals.json"},
    {"schema", "schema_signals.json"},
    {"deployment", "deployment_signals.json"},
    {"config", "config_signals.json"},
    {"security", "security_signals.json"},
    {"error_tracking", "error_tracking_signals.json"},
};

// What a run wrote.
struct RunResult {
  size_t explanations = 0;  // records written to explanations.json
  size_t size() const { return explanations; }
};

class Cindrel {
 public:
  // Creates `vel_dir`/phase3 (with missing parents) when it does not exist.
  // `threads` (0: one per processor) explain large signal files in parallel.
  explicit Cindrel(const fs::path& vel_dir, size_t threads = 0);

  // Explains every signal and writes phase3/explanations.json. The signals
  // are read one file at a time, large files in chunks of about a megabyte
  // on `threads` threads, and the records go to disk in signal order as the
  // chunks are done, so a run never holds all records at once. With the
  // clock pinned the file does not depend on the number of threads.
  // FileNotFound "No Phase 2 signals found. ..." when no signal file holds a
  // signal; nothing is written then.
  RunResult run();

  // All signals of the present signal files, concatenated in SIGNAL_FILES
  // order, each file's signals in file order. Absent files are skipped.
  Json _load_signals() const;

  // The summary sentence of one signal: the degenerate sentence, or the
  // metric's template sentence, the insight of metric_insight and, while the
  // baseline is not "sufficient", the limited-history note. `where` names
  // the signal in error messages.
  std::string _template(const Json& signal, const std::string& where = "signal") const;

  // The value the signal is compared with: the baseline's median when its
  // mad is a number above 0 (the deviation was a modified z-score), else the
  // baseline's mean.
  const Json& _get_median(const Json& signal, const std::string& where = "signal") const;

  // "up" when observed is at least the reference value ("up" only above 0
  // when that value is 0 or null), else "down".
  std::string _direction(const Json& signal, const std::string& where = "signal") const;

  // 64 hex digits of SHA-256 over the canonical form of `data`.
  static std::string _hash(const Json& data);

  const size_t threads;
  const fs::path vel_dir;
  const fs::path phase2_path;  // vel_dir/phase2
  const fs::path output_path;  // vel_dir/phase3

 private:
  // The signals of one file (an array), or nullopt when it does not exist.
  std::optional<Json> load_signal_file(const fs::path& path) const;
  void explain_file(const fs::path& path, std::string_view content,
                    ExplanationsOutput& output) const;
};

}  // namespace velquor::cindrel
