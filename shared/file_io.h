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

// Replaces `path` with `content` atomically: the bytes go to a temporary file
// in the same folder, are flushed to disk, and the temporary file is renamed
// over `path`. A failure leaves the earlier file untouched and raises IoError.
void write_file_atomic(const fs::path& path, std::string_view content);

// dump_pretty(value) written atomically.
void write_json_file(const fs::path& path, const Json& value);

// Reads and parses a JSON file; errors name the path.
Json read_json_file(const fs::path& path, NonFinite non_finite = NonFinite::kAccept);

// The regular files (or links to regular files) directly inside `dir` whose
// name ends in ".json", sorted by the byte order of their names. A missing
// directory gives an empty list.
std::vector<fs::path> list_json_files(const fs::path& dir);

}  // namespace velquor
