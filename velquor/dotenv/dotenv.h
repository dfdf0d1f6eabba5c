// Loading of a local environment file into the process environment, so that
// settings such as API keys can live beside a checkout instead of in the
// shell profile.
//
// The file (".env" in the current working directory unless another path is
// given) holds lines KEY=VALUE, optionally prefixed by "export ". Blank lines
// and lines whose first non-blank character is "#" are skipped, as are lines
// without "=" or with an empty key. Key and value lose surrounding white
// space; a value wrapped in matching single or double quotes loses them (no
// escape processing). A variable already set in the environment is never
// overridden, so the shell always wins over the file.
#pragma once

#include <filesystem>

namespace velquor::dotenv {

// Returns true when the file existed and was read; a missing file (or a
// directory of that name) is not an error (false). An existing file that
// cannot be read raises IoError.
bool load_dotenv(const std::filesystem::path& path = ".env");

}  // namespace velquor::dotenv
