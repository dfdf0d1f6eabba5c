// Removing the temporary files of atomic writes whose process is gone.

#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <memory>

#include "velquor/guard/guard.h"

namespace velquor::guard {
namespace {

bool all_digits(std::string_view text) {
  if (text.empty()) return false;
  for (char c : text)
    if (c < '0' || c > '9') return false;
  return true;
}

// The pid of a name "<target>.tmp.<pid>.<n>", or 0 for any other name.
pid_t temporary_owner(std::string_view name) {
  const size_t counter = name.rfind('.');
  if (counter == std::string::npos || counter == 0) return 0;
  const size_t pid_start = name.rfind('.', counter - 1);
  if (pid_start == std::string::npos || pid_start < 4) return 0;
  const std::string_view pid_text(name.data() + pid_start + 1, counter - pid_start - 1);
  if (name.substr(pid_start - 4, 4) != ".tmp" || !all_digits(pid_text) ||
      !all_digits(name.substr(counter + 1)))
    return 0;
  pid_t pid = 0;
  auto [end, error] = std::from_chars(pid_text.data(), pid_text.data() + pid_text.size(), pid);
  return error == std::errc() && end == pid_text.data() + pid_text.size() ? pid : 0;
}

bool process_exists(pid_t pid) { return ::kill(pid, 0) == 0 || errno == EPERM; }

}  // namespace

// The events folder holds one file per event; its names are looked at
// through readdir, without building a path for every entry.
std::vector<fs::path> remove_stale_temporaries(const fs::path& dir, SweptFolders folders) {
  std::vector<fs::path> removed;
  for (const char* folder : {"", "events", "phase2", "phase3", "phase4", "phase5", ".velquor"}) {
    if (folders == SweptFolders::kOutputs && std::string_view(folder) == "events") continue;
    const fs::path folder_path = dir / folder;
    // Closed however the loop ends, an allocation failing included.
    const std::unique_ptr<DIR, int (*)(DIR*)> listing(::opendir(folder_path.c_str()), ::closedir);
    if (listing == nullptr) continue;
    while (const struct dirent* entry = ::readdir(listing.get())) {
      const pid_t owner = temporary_owner(entry->d_name);
      if (owner <= 0 || owner == ::getpid() || process_exists(owner)) continue;
      const fs::path path = folder_path / entry->d_name;
      std::error_code ignored;
      if (fs::is_regular_file(path, ignored) && fs::remove(path, ignored)) removed.push_back(path);
    }
  }
  return removed;
}

}  // namespace velquor::guard
