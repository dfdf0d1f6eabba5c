#include "shared/file_batch.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <set>

#include "shared/errors.h"
#include "shared/file_io.h"

namespace velquor {
namespace {

namespace fs = std::filesystem;

// An open folder, for flushing it or the file system it is on.
class FolderHandle {
 public:
  explicit FolderHandle(const fs::path& folder)
      : folder_(folder), fd_(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
    if (fd_ < 0) fail("cannot be opened");
  }
  ~FolderHandle() { ::close(fd_); }
  FolderHandle(const FolderHandle&) = delete;
  FolderHandle& operator=(const FolderHandle&) = delete;

  // Everything written to the file system the folder is on, on disk.
  void flush_file_system() const {
    if (::syncfs(fd_) != 0) fail("flush failed");
  }
  // The folder's own entries (the renames into it) on disk.
  void flush_entries() const {
    if (::fsync(fd_) != 0) fail("flush failed");
  }

 private:
  [[noreturn]] void fail(const char* what) const {
    throw IoError(folder_.string() + ": " + what + ": " + std::strerror(errno));
  }

  fs::path folder_;
  int fd_;
};

}  // namespace

FileBatch::~FileBatch() {
  for (const auto& [temp, path] : pending_) ::unlink(temp.c_str());
}

void FileBatch::add(const fs::path& path, std::string_view content) {
  AtomicFile file(path);
  file.append(content);
  fs::path temp = file.close_unflushed();
  std::lock_guard<std::mutex> lock(mutex_);
  pending_.emplace_back(std::move(temp), path);
}

void FileBatch::commit() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::set<fs::path> folders;
  for (const auto& entry : pending_) folders.insert(entry.second.parent_path());
  for (const fs::path& folder : folders) FolderHandle(folder).flush_file_system();
  for (size_t renamed = 0; renamed < pending_.size(); ++renamed) {
    const auto& [temp, path] = pending_[renamed];
    if (::rename(temp.c_str(), path.c_str()) == 0) continue;
    const IoError error(path.string() + ": rename failed: " + std::strerror(errno));
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(renamed));
    throw error;
  }
  pending_.clear();
  for (const fs::path& folder : folders) FolderHandle(folder).flush_entries();
}

}  // namespace velquor
