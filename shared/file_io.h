// Whole-file reads, atomic writes and the listing of a folder's JSON files.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "shared/json.h"

namespace velquor {

namespace fs = std::filesystem;

// The whole content of `path`. FileNotFound when it does not exist, IoError
// when it cannot be read.
std::string read_file(const fs::path& path);

// The content of `path` mapped into memory, for large files read once:
// nothing is copied or zero-filled. A file below kReadBelow bytes is read
// instead, as mapping and unmapping cost more than copying so little, and so
// is a pipe or device.
// FileNotFound / IoError as read_file.
// The system replaces its files by renaming new ones over them, so a mapped
// file never shrinks under its reader.
class MappedFile {
 public:
  // kWhole reads every page in at once (the fastest when the whole text is
  // wanted together); kOnePass reads pages as the reader reaches them and
  // lets release() drop those it has passed, so a file read once from start
  // to end never sits in memory whole.
  enum class Reading { kWhole, kOnePass };
  static constexpr size_t kReadBelow = size_t{64} << 10;

  explicit MappedFile(const fs::path& path, Reading reading = Reading::kWhole);
  ~MappedFile();
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;

  std::string_view text() const { return {data_, size_}; }

  // Lets go of the pages wholly before `offset`; the text stays readable (a
  // page read again comes back from the file).
  void release(size_t offset);

 private:
  const char* data_ = nullptr;
  size_t size_ = 0;
  std::string copy_;  // the content of a file that is not a regular file
};

// Replaces `path` with `content` atomically: the bytes go to a temporary file
// in the same folder, are flushed to disk, and the temporary file is renamed
// over `path`. A failure leaves the earlier file untouched and raises IoError.
void write_file_atomic(const fs::path& path, std::string_view content);

// A file written piece by piece that appears at `path` only when committed:
// the pieces go to a temporary file in the same folder, and commit() flushes
// it to disk and renames it over `path`. Destroying an uncommitted file
// removes the temporary file, so a failed run leaves the earlier file as it
// was. Large outputs are streamed this way instead of being built whole in
// memory. Errors raise IoError naming `path`.
class AtomicFile {
 public:
  explicit AtomicFile(const fs::path& path);
  ~AtomicFile();
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;

  void append(std::string_view bytes);
  void commit();

 private:
  [[noreturn]] void fail(const char* what);

  static constexpr size_t kWritebackBytes = size_t{8} << 20;
  fs::path path_;
  fs::path temp_;
  int fd_ = -1;
  size_t written_ = 0;
  size_t flushing_from_ = 0;  // bytes before this are on their way to disk
};

// dump_pretty(value) written atomically.
void write_json_file(const fs::path& path, const Json& value);

// Reads and parses a JSON file; errors name the path.
Json read_json_file(const fs::path& path, NonFinite non_finite = NonFinite::kAccept);

// The regular files (or links to regular files) directly inside `dir` whose
// name ends in ".json", sorted by the byte order of their names. A missing
// directory gives an empty list.
std::vector<fs::path> list_json_files(const fs::path& dir);
// The names of those files, in the same order: for a reader of many small
// files, which then spares a path object per file.
std::vector<std::string> list_json_names(const fs::path& dir);

}  // namespace velquor
