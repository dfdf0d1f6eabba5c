// Whole-file reads, atomic writes and the listing of a folder's JSON files.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
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
  // The file `name` of `folder`; errors name folder.path() / name.
  MappedFile(const class OpenFolder& folder, const std::string& name,
             Reading reading = Reading::kWhole);
  ~MappedFile();
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;

  std::string_view text() const { return {data_, size_}; }

  // Lets go of the pages wholly before `offset`; the text stays readable (a
  // page read again comes back from the file).
  void release(size_t offset);

 private:
  void load(int fd, int open_errno, const std::string& where, Reading reading);

  const char* data_ = nullptr;
  size_t size_ = 0;
  std::string copy_;  // the content of a file that is not a regular file
};

// A folder held open while many of its files are read: opening each by its
// name within the folder spares the walk along the folder's path every time.
// A folder that cannot be opened is still usable: its files are then opened
// by their whole paths, and fail as they would alone.
class OpenFolder {
 public:
  explicit OpenFolder(fs::path path);
  ~OpenFolder();
  OpenFolder(const OpenFolder&) = delete;
  OpenFolder& operator=(const OpenFolder&) = delete;

  const fs::path& path() const { return path_; }
  // (path() / name).string(), without building a path.
  std::string path_text(std::string_view name) const;
  // Opens `name` read-only; -1 and errno as open(2).
  int open(const std::string& name) const;

 private:
  fs::path path_;
  int fd_ = -1;
};

// Reads the small files of a folder one after another into one buffer kept
// between them: for a scan over many small files, this spares the stat, the
// allocation and the freshly faulted memory that read_file spends on each.
class SmallFileReader {
 public:
  explicit SmallFileReader(size_t capacity);

  // The content of the file `name` of `folder`, valid until the next read;
  // nullopt when it holds the capacity or more (read it with MappedFile).
  // A read that comes up short is taken for the end of the file, as it is for
  // a regular file, so this is for files a listing found to be regular.
  // FileNotFound / IoError naming folder.path() / name.
  std::optional<std::string_view> read(const OpenFolder& folder, const std::string& name);

 private:
  std::unique_ptr<char[]> buffer_;
  size_t capacity_;
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
  // Closes the temporary file without flushing or renaming it and returns
  // its name: the caller (a FileBatch) now owns it.
  fs::path close_unflushed();

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
// directory gives an empty list; IoError when it cannot be listed.
std::vector<fs::path> list_json_files(const fs::path& dir);

// The same files by name, and how many entries named *.json were passed over
// because they are no regular files (folders, pipes, broken links), so that a
// reader can say so without listing the folder again.
struct JsonFileListing {
  fs::path dir;
  std::vector<std::string> names;  // byte order
  size_t irregular = 0;

  // dir / names[i] as text, without building a path.
  std::string path_text(size_t i) const;
};
JsonFileListing list_json_file_names(const fs::path& dir);

}  // namespace velquor
