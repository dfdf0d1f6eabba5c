// Loading the signals, building the explanation records and writing them.

#include "velquor/cindrel/cindrel.h"

#include <algorithm>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "shared/errors.h"
#include "shared/file_io.h"
#include "shared/hash.h"
#include "velquor/cindrel/chunk_explainer.h"
#include "velquor/cindrel/chunk_pipeline.h"
#include "velquor/cindrel/record_scanner.h"

namespace velquor::cindrel {
namespace {

constexpr char kNoSignals[] =
    "No Phase 2 signals found. Ensure Phase 2 has been run for at least one source family.";

fs::path created_directory(const fs::path& path) {
  std::error_code ec;
  fs::create_directories(path, ec);
  if (ec) throw IoError(path.string() + ": cannot be created: " + ec.message());
  return path;
}

// Where chunks of about kChunkBytes start: the file's first element, then
// after each further kChunkBytes the next "},\n  {", the start of a record
// in the layout the system writes. A string cannot hold a raw line feed, so
// the text only occurs between values, but it may still open a value deeper
// down in a file laid out otherwise: the starts are guesses, checked below.
std::vector<size_t> chunk_starts(std::string_view content, size_t first) {
  constexpr size_t kChunkBytes = size_t{1} << 20;
  constexpr std::string_view kRecordStart = "},\n  {";
  std::vector<size_t> starts{first};
  for (size_t from = first + kChunkBytes; from < content.size(); from = starts.back() + kChunkBytes) {
    size_t found = content.find(kRecordStart, from);
    if (found == std::string_view::npos) break;
    starts.push_back(found + kRecordStart.size() - 1);
  }
  return starts;
}

}  // namespace

// The explanations file, sent to disk as its text grows so that a large run
// never holds it whole. The file appears only when the run completes.
class ExplanationsOutput {
 public:
  explicit ExplanationsOutput(fs::path path) : path_(std::move(path)) {}

  // Text is gathered up to kFlushBytes, so that a small run makes one
  // write; larger pieces go straight to the file. The chunk's text is then
  // handed back to buffers() for a later chunk.
  void append(ChunkResult chunk) {
    std::string_view elements = chunk.text;
    if (count_ == 0 && !elements.empty()) elements.remove_prefix(1);  // its leading ","
    count_ += chunk.records;
    if (text_.size() + elements.size() < kFlushBytes) {
      text_ += elements;
    } else {
      if (!file_) file_.emplace(path_);
      file_->append(text_);
      file_->append(elements);
      text_.clear();
    }
    buffers_.give_back(std::move(chunk.text));
  }

  size_t commit() {
    text_ += "\n]";
    if (!file_) file_.emplace(path_);
    file_->append(text_);
    file_->commit();
    return count_;
  }

  size_t count() const { return count_; }
  TextBuffers& buffers() { return buffers_; }

 private:
  static constexpr size_t kFlushBytes = size_t{1} << 20;
  fs::path path_;
  TextBuffers buffers_;
  std::optional<AtomicFile> file_;
  std::string text_ = "[";
  size_t count_ = 0;
};

Cindrel::Cindrel(const fs::path& vel_dir, size_t threads)
    : threads(threads > 0 ? threads : std::max(1u, std::thread::hardware_concurrency())),
      vel_dir(vel_dir),
      phase2_path(vel_dir / "phase2"),
      output_path(created_directory(vel_dir / "phase3")) {}

std::optional<Json> Cindrel::load_signal_file(const fs::path& path) const {
  std::error_code ec;
  if (!fs::exists(path, ec)) return std::nullopt;
  return parse_signals(path, read_file(path));
}

Json Cindrel::_load_signals() const {
  Json all = Json::array();
  for (const SignalFile& entry : SIGNAL_FILES)
    if (std::optional<Json> signals = load_signal_file(phase2_path / entry.file_name))
      for (Json& signal : *signals) all.push_back(std::move(signal));
  return all;
}

// Large files are explained in chunks on several threads. A chunk's records
// are taken only when the chunk before it, itself checked, ended exactly
// where the chunk was guessed to start; otherwise, and for a chunk that met a
// fault, the chunk is explained again here from where the one before really
// ended, which also reports any error with the record's true position. What
// a chunk left before its limit (see ChunkExplainer::kMaxText) is explained
// here too.
void Cindrel::explain_file(const fs::path& path, std::string_view content,
                           ExplanationsOutput& output) const {
  RecordScanner scanner(content);
  if (!scanner.open_array()) raise_parse_error(path, content);
  if (!scanner.in_array()) return;  // an empty array
  std::vector<size_t> starts = chunk_starts(content, scanner.position());
  auto limit = [&](size_t chunk) {
    return chunk + 1 < starts.size() ? starts[chunk + 1] : std::string_view::npos;
  };
  ChunkExplainer local(*this, path, content, output.buffers());
  size_t workers = std::min(threads, starts.size());
  std::vector<ChunkExplainer> explainers;
  std::optional<ChunkPipeline> pipeline;
  if (workers > 1) {
    explainers = std::vector<ChunkExplainer>(workers, local);
    pipeline.emplace(starts.size(), workers, 2 * workers, [&](size_t worker, size_t chunk) {
      return explainers[worker].explain(starts[chunk], limit(chunk), 0, false);
    });
  }
  size_t expected = starts[0], index = 0;
  // Takes a chunk's records; true once the file's array has ended.
  auto take = [&](ChunkResult result) {
    index += result.records;
    expected = result.end;
    const bool array_ended = result.array_ended;
    output.append(std::move(result));
    return array_ended;
  };
  for (size_t chunk = 0; chunk < starts.size(); ++chunk) {
    if (pipeline) {
      ChunkResult result = pipeline->take(chunk);
      if (!result.failed && expected == starts[chunk] && take(std::move(result))) return;
    }
    while (expected < limit(chunk))
      if (take(local.explain(expected, limit(chunk), index, true))) return;
  }
}

RunResult Cindrel::run() {
  ExplanationsOutput output(output_path / "explanations.json");
  for (const SignalFile& entry : SIGNAL_FILES) {
    fs::path path = phase2_path / entry.file_name;
    std::error_code ec;
    if (!fs::exists(path, ec)) continue;
    MappedFile signals(path);
    explain_file(path, signals.text(), output);
  }
  if (output.count() == 0) throw FileNotFound(kNoSignals);
  return RunResult{output.commit()};
}

std::string Cindrel::_hash(const Json& data) { return canonical_hash(data); }

}  // namespace velquor::cindrel
