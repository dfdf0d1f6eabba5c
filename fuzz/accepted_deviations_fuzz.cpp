// The accepted-deviations list: whatever accepted_deviations.json holds,
// every reading operation either works or refuses with the system's error.

#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "fuzz/fuzz_target.h"
#include "shared/errors.h"
#include "velquor/morvic/morvic.h"

using namespace velquor;

namespace {

// One scratch data directory per process, reused for every input. The
// input is written plainly: an atomic write's flush to disk would slow the
// campaign down without testing anything here.
struct ScratchDir {
  std::filesystem::path path = std::filesystem::temp_directory_path() /
                               ("velquor-fuzz-accepted-" + std::to_string(::getpid()));
  ScratchDir() { std::filesystem::create_directories(path); }
  ~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
};

const std::filesystem::path& scratch_dir() {
  static const ScratchDir dir;
  return dir.path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  morvic::AcceptedDeviations accepted(scratch_dir());
  std::ofstream(accepted.path(), std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  try {
    accepted.list();
    accepted.is_accepted_in_context("ci", "run_duration", "abc", "2025-01-01T00:00:00Z",
                                    {"0a", "abc"});
    accepted.is_accepted_in_context("git", "files_touched");
    accepted.cleanup_expired();
  } catch (const Error&) {
  }
  return 0;
}
