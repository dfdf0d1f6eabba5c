#include "velquor/dotenv/dotenv.h"

#include <cstdlib>
#include <string>
#include <string_view>

#include "shared/file_io.h"

namespace velquor::dotenv {

namespace {

std::string_view trim(std::string_view text) {
  const char* kBlank = " \t\r\n\v\f";
  const size_t first = text.find_first_not_of(kBlank);
  if (first == std::string_view::npos) return {};
  const size_t last = text.find_last_not_of(kBlank);
  return text.substr(first, last - first + 1);
}

std::string_view unquote(std::string_view value) {
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
      value.back() == value.front())
    return value.substr(1, value.size() - 2);
  return value;
}

// Sets the variable of one KEY=VALUE line unless the environment has it.
void apply_line(std::string_view line) {
  line = trim(line);
  if (line.empty() || line.front() == '#') return;
  constexpr std::string_view kExport = "export ";
  if (line.substr(0, kExport.size()) == kExport) line = trim(line.substr(kExport.size()));
  const size_t equals = line.find('=');
  if (equals == std::string_view::npos) return;
  const std::string key(trim(line.substr(0, equals)));
  if (key.empty()) return;
  const std::string value(unquote(trim(line.substr(equals + 1))));
  ::setenv(key.c_str(), value.c_str(), /*overwrite=*/0);
}

}  // namespace

bool load_dotenv(const std::filesystem::path& path) {
  std::error_code ec;
  if (!std::filesystem::is_regular_file(path, ec)) return false;
  // Lines end at "\n", "\r\n" or a lone "\r" (files saved by old editors).
  const std::string text = read_file(path);
  std::string_view rest = text;
  while (!rest.empty()) {
    const size_t end = rest.find_first_of("\r\n");
    apply_line(rest.substr(0, end));
    if (end == std::string_view::npos) break;
    rest.remove_prefix(end + 1);
  }
  return true;
}

}  // namespace velquor::dotenv
