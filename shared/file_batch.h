// Many new files made durable together.
//
// write_file_atomic flushes each file to disk before renaming it into place:
// safe, but on a history of tens of thousands of event files the flushes are
// most of the time spent. A batch keeps the guarantee for one flush in all:
// each file is written to a temporary file beside its path; commit() flushes
// the file system once, renames every temporary file over its path and then
// flushes the folders that hold them. A file still appears whole or not at
// all, and once commit() returns every one of them is on disk.
//
//   FileBatch batch;
//   for (...) batch.add(dir / name, text);   // from any number of threads
//   batch.commit();
//
// Destroying a batch removes the temporary files not yet renamed; those of a
// process killed midway are left to the next writer's sweep of temporaries.
// Errors raise IoError naming the file or folder.
#pragma once

#include <filesystem>
#include <mutex>
#include <string_view>
#include <utility>
#include <vector>

namespace velquor {

class FileBatch {
 public:
  FileBatch() = default;
  ~FileBatch();
  FileBatch(const FileBatch&) = delete;
  FileBatch& operator=(const FileBatch&) = delete;

  // Writes `content` to a temporary file that commit() renames over `path`.
  // Safe to call from several threads at once.
  void add(const std::filesystem::path& path, std::string_view content);

  // Flushes and renames every file added so far, in the order added.
  void commit();

 private:
  std::mutex mutex_;  // guards pending_
  std::vector<std::pair<std::filesystem::path, std::filesystem::path>> pending_;  // temporary file, path
};

}  // namespace velquor
