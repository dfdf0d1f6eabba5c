// Explaining a stretch of one signal file's records, on one thread.
//
// A run splits a large signal file into chunks at places that look like the
// start of a record (a guess, see Cindrel::run) and explains the chunks on
// several threads. ChunkExplainer holds one thread's buffers. Each record
// takes the fast path of scanned_explanation.h when it can, else the JSON
// path below.
#pragma once

#include <cstddef>
#include <filesystem>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "shared/json.h"
#include "velquor/cindrel/cindrel.h"
#include "velquor/cindrel/record_scanner.h"

namespace velquor::cindrel {

// The explanation elements of a chunk, each written as ",\n  {...}".
struct ChunkResult {
  std::string text;
  size_t records = 0;
  size_t end = 0;            // where the record after the chunk starts
  bool array_ended = false;  // the chunk ran to the end of the file's array
  bool failed = false;       // a fault; only when errors are not reported
};

// Chunk texts handed back once written, for later chunks to fill. A run
// then keeps a few megabytes of text buffers instead of allocating, touching
// page by page and freeing a fresh one for every megabyte of signals.
// Safe to use from several threads.
class TextBuffers {
 public:
  // An empty text, with the room of one handed back when there is one.
  std::string take();
  void give_back(std::string text);

 private:
  std::mutex mutex_;
  std::vector<std::string> free_;
};

class ChunkExplainer {
 public:
  // The texts of the chunks come from `buffers`.
  ChunkExplainer(const Cindrel& engine, const fs::path& path, std::string_view content,
                 TextBuffers& buffers);

  // A chunk's text stops growing past this size, so that a file without
  // guessed chunk starts is still sent to disk piece by piece.
  static constexpr size_t kMaxText = size_t{8} << 20;

  // Explains the records from `start`, which must be the start of an
  // element of the file's array, up to the first record that starts at or
  // after `limit` (or earlier, once the text reaches kMaxText; `end` then
  // lies before `limit`); `first_index` is the position of the first one in
  // the file. With `report_errors`, a fault raises the error of the run: a
  // syntax error anywhere in the file wins over a record's missing member,
  // as when the file is read whole. Without it, a fault only sets `failed`
  // (a worker's chunk may rest on a wrong guess and is then redone).
  ChunkResult explain(size_t start, size_t limit, size_t first_index, bool report_errors);

 private:
  void explain_record(std::string& text, const std::string& where);

  const Cindrel& engine_;
  TextBuffers* buffers_;
  const fs::path path_;
  const std::string_view content_;
  const std::string index_prefix_;  // "path["
  ScannedRecord record_;
  std::string canonical_;
};

// The signals of one file's text: an array, else JsonError or TypeError
// naming the file.
Json parse_signals(const fs::path& path, std::string_view content);

// Raises the error the parser gives for a signal file's text that the
// scanner could not read.
[[noreturn]] void raise_parse_error(const fs::path& path, std::string_view content);

// The explanation record of a signal read as JSON, stamped with
// now_timestamp() once its summary is worded; the members it copies are
// moved out of `signal`.
Json explanation_record(const Cindrel& engine, Json& signal, const std::string& where);

}  // namespace velquor::cindrel
