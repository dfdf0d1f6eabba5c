// Writing many small files quickly.
//
// Every file is written with write_file_atomic, whose flush to disk costs a
// few milliseconds of waiting per file; tens of thousands of event files
// written one after the other would take minutes. The waits overlap when
// several threads write at once, which makes writing them some twenty times
// faster while keeping every file atomic and durable.
#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <string>
#include <utility>

namespace velquor::cli {

// The path and the bytes of the file with the given index.
using FileMaker = std::function<std::pair<std::filesystem::path, std::string>(size_t index)>;

// Writes files 0 to count - 1 on a few threads; `file_at` must be safe to call
// from several threads. `on_progress(done)` is called (one call at a time)
// after every `progress_every` files. The first failure stops the writing
// and is raised once every thread has stopped; files already written stay.
void write_files_concurrently(size_t count, const FileMaker& file_at,
                              const std::function<void(size_t done)>& on_progress = nullptr,
                              size_t progress_every = 1000);

}  // namespace velquor::cli
