// Writing many small files quickly.
//
// Tens of thousands of event files, each flushed to disk on its own, would
// spend most of their time waiting on the flushes. They are written as one
// FileBatch instead (see shared/file_batch.h): every file atomic and, once
// the call returns, on disk, for one flush in all.
#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <string>
#include <utility>

namespace velquor::cli {

// The path and the bytes of the file with the given index.
using FileMaker = std::function<std::pair<std::filesystem::path, std::string>(size_t index)>;

// Writes files 0 to count - 1 on a thread per processor; `file_at` must be
// safe to call from several threads. `on_progress(done)` is called (one call
// at a time) after every `progress_every` files. The first failure stops the
// writing and is raised once every thread has stopped; files already written
// stay.
void write_files_concurrently(size_t count, const FileMaker& file_at,
                              const std::function<void(size_t done)>& on_progress = nullptr,
                              size_t progress_every = 1000);

}  // namespace velquor::cli
