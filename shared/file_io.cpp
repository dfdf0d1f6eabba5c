#include "shared/file_io.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <utility>

#include "shared/errors.h"

namespace velquor {

namespace {

// An open descriptor of `path` (anything but a directory) and its stat; the
// messages of read_file.
int open_for_reading(const fs::path& path, struct stat& info) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) throw FileNotFound(path.string() + ": no such file");
    throw IoError(path.string() + ": cannot be read: " + std::strerror(errno));
  }
  if (::fstat(fd, &info) != 0 || S_ISDIR(info.st_mode)) {
    int saved = S_ISDIR(info.st_mode) ? EISDIR : errno;
    ::close(fd);
    throw IoError(path.string() + ": cannot be read: " + std::strerror(saved));
  }
  return fd;
}

// All bytes of `fd` (closed on return), whose fstat gave `info`. The file
// may change while it is read, and a pipe has no size. A regular file that
// gives exactly the size it stated, short of the byte more that was asked
// for, is whole: no further read is needed to see its end.
std::string read_all(int fd, const struct stat& info, const fs::path& path) {
  const bool regular = S_ISREG(info.st_mode);
  const size_t size_hint = info.st_size > 0 ? static_cast<size_t>(info.st_size) : 0;
  std::string content;
  content.resize(size_hint + 1);
  size_t used = 0;
  for (;;) {
    if (used == content.size()) content.resize(content.size() * 2 + 4096);
    ssize_t got = ::read(fd, content.data() + used, content.size() - used);
    if (got < 0) {
      if (errno == EINTR) continue;
      int saved = errno;
      ::close(fd);
      throw IoError(path.string() + ": read failed: " + std::strerror(saved));
    }
    if (got == 0) break;
    const bool short_read = static_cast<size_t>(got) < content.size() - used;
    used += static_cast<size_t>(got);
    if (regular && short_read && used == size_hint) break;
  }
  ::close(fd);
  content.resize(used);
  return content;
}

}  // namespace

std::string read_file(const fs::path& path) {
  struct stat info {};
  int fd = open_for_reading(path, info);
  return read_all(fd, info, path);
}

MappedFile::MappedFile(const fs::path& path, Reading reading) {
  struct stat info {};
  int fd = open_for_reading(path, info);
  if (!S_ISREG(info.st_mode) || static_cast<size_t>(info.st_size) < kReadBelow) {
    // A pipe or a device has no size to map: read it as it comes.
    copy_ = read_all(fd, info, path);
    data_ = copy_.data();
    size_ = copy_.size();
    return;
  }
  size_ = static_cast<size_t>(info.st_size > 0 ? info.st_size : 0);
  if (size_ > 0) {
    const int flags = reading == Reading::kWhole ? MAP_PRIVATE | MAP_POPULATE : MAP_PRIVATE;
    void* data = ::mmap(nullptr, size_, PROT_READ, flags, fd, 0);
    if (data == MAP_FAILED) {
      int saved = errno;
      ::close(fd);
      throw IoError(path.string() + ": cannot be read: " + std::strerror(saved));
    }
    data_ = static_cast<const char*>(data);
    if (reading == Reading::kOnePass) ::madvise(data, size_, MADV_SEQUENTIAL);
  }
  ::close(fd);
}

void MappedFile::release(size_t offset) {
  if (!data_ || data_ == copy_.data()) return;
  const size_t page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
  const size_t length = std::min(offset, size_) / page * page;
  if (length > 0) ::madvise(const_cast<char*>(data_), length, MADV_DONTNEED);
}

MappedFile::~MappedFile() {
  if (data_ && data_ != copy_.data()) ::munmap(const_cast<char*>(data_), size_);
}

AtomicFile::AtomicFile(const fs::path& path) : path_(path), temp_(path) {
  static std::atomic<unsigned> counter{0};
  temp_ += ".tmp." + std::to_string(::getpid()) + "." + std::to_string(counter++);
  fd_ = ::open(temp_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd_ < 0)
    throw IoError(path_.string() + ": cannot be written: " + std::strerror(errno));
}

AtomicFile::~AtomicFile() {
  if (fd_ < 0) return;
  ::close(fd_);
  ::unlink(temp_.c_str());
}

void AtomicFile::fail(const char* what) {
  int saved = errno;
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  ::unlink(temp_.c_str());
  throw IoError(path_.string() + ": " + what + ": " + std::strerror(saved));
}

void AtomicFile::append(std::string_view bytes) {
  if (fd_ < 0) throw IoError(path_.string() + ": written after it was closed");
  const char* data = bytes.data();
  size_t left = bytes.size();
  while (left > 0) {
    ssize_t written = ::write(fd_, data, left);
    if (written < 0) {
      if (errno == EINTR) continue;
      fail("write failed");
    }
    data += written;
    left -= static_cast<size_t>(written);
  }
  written_ += bytes.size();
  // Start writing a large file's earlier part to disk while the rest is
  // still being made, so that commit()'s flush has little left to wait for.
  // Only a hint: its failure is the flush's to report.
  if (written_ - flushing_from_ >= kWritebackBytes) {
    ::sync_file_range(fd_, static_cast<off_t>(flushing_from_),
                      static_cast<off_t>(written_ - flushing_from_), SYNC_FILE_RANGE_WRITE);
    flushing_from_ = written_;
  }
}

void AtomicFile::commit() {
  if (fd_ < 0) throw IoError(path_.string() + ": committed after it was closed");
  if (::fsync(fd_) != 0) fail("flush failed");
  // Closed before the rename, so that a failed close (a late write error)
  // never replaces the earlier file.
  const char* failed = nullptr;
  if (::close(std::exchange(fd_, -1)) != 0) failed = "close failed";
  else if (::rename(temp_.c_str(), path_.c_str()) != 0) failed = "rename failed";
  if (!failed) return;
  int saved = errno;
  ::unlink(temp_.c_str());
  throw IoError(path_.string() + ": " + failed + ": " + std::strerror(saved));
}

void write_file_atomic(const fs::path& path, std::string_view content) {
  AtomicFile file(path);
  file.append(content);
  file.commit();
}

void write_json_file(const fs::path& path, const Json& value) {
  write_file_atomic(path, dump_pretty(value));
}

Json read_json_file(const fs::path& path, NonFinite non_finite) {
  return parse_json(read_file(path), path.string(), non_finite);
}

std::vector<std::string> list_json_names(const fs::path& dir) {
  std::error_code ec;
  if (!fs::is_directory(dir, ec)) return {};
  DIR* folder = ::opendir(dir.c_str());
  auto listing_error = [&](int error) {
    return IoError(dir.string() + ": cannot be listed: " + std::generic_category().message(error));
  };
  if (!folder) throw listing_error(errno);
  std::vector<std::string> names;
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(folder);
    if (!entry) break;
    std::string_view name = entry->d_name;
    if (name.size() < 5 || name.substr(name.size() - 5) != ".json") continue;
    // The kind the folder states, unless it is a link (followed) or unknown.
    struct stat info {};
    const bool regular = entry->d_type == DT_REG ||
                         ((entry->d_type == DT_LNK || entry->d_type == DT_UNKNOWN) &&
                          ::fstatat(::dirfd(folder), entry->d_name, &info, 0) == 0 &&
                          S_ISREG(info.st_mode));
    if (regular) names.emplace_back(name);
  }
  const int error = errno;
  ::closedir(folder);
  if (error) throw listing_error(error);
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<fs::path> list_json_files(const fs::path& dir) {
  std::vector<fs::path> files;
  for (const std::string& name : list_json_names(dir)) files.push_back(dir / name);
  return files;
}

}  // namespace velquor
