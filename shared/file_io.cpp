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

// `fd`, just opened (or -1 with `open_errno`), checked to be open and no
// directory, with its stat; the messages of read_file, naming `where`.
[[noreturn]] void throw_open_error(int open_errno, const std::string& where) {
  if (open_errno == ENOENT) throw FileNotFound(where + ": no such file");
  throw IoError(where + ": cannot be read: " + std::strerror(open_errno));
}

int opened_for_reading(int fd, int open_errno, const std::string& where, struct stat& info) {
  if (fd < 0) throw_open_error(open_errno, where);
  if (::fstat(fd, &info) != 0 || S_ISDIR(info.st_mode)) {
    int saved = S_ISDIR(info.st_mode) ? EISDIR : errno;
    ::close(fd);
    throw IoError(where + ": cannot be read: " + std::strerror(saved));
  }
  return fd;
}

int open_read_only(const char* path) { return ::open(path, O_RDONLY | O_CLOEXEC); }

// `dir` / `name` as fs::path joins them: a separator unless `dir` is empty
// or already ends in one.
std::string joined(const fs::path& dir, std::string_view name) {
  std::string text = dir.native();
  if (!text.empty() && text.back() != '/') text += '/';
  text += name;
  return text;
}

// All bytes of `fd` (closed on return), whose fstat gave `info`. The file
// may change while it is read, and a pipe has no size. A regular file that
// gives exactly the size it stated, short of the byte more that was asked
// for, is whole: no further read is needed to see its end.
std::string read_all(int fd, const struct stat& info, const std::string& where) {
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
      throw IoError(where + ": read failed: " + std::strerror(saved));
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
  const int fd = open_read_only(path.c_str());
  const std::string where = path.string();
  return read_all(opened_for_reading(fd, errno, where, info), info, where);
}

MappedFile::MappedFile(const fs::path& path, Reading reading) {
  const int fd = open_read_only(path.c_str());
  load(fd, errno, path.string(), reading);
}

MappedFile::MappedFile(const OpenFolder& folder, const std::string& name, Reading reading) {
  const int fd = folder.open(name);
  const int open_errno = errno;
  load(fd, open_errno, folder.path_text(name), reading);
}

void MappedFile::load(int fd, int open_errno, const std::string& where, Reading reading) {
  struct stat info {};
  fd = opened_for_reading(fd, open_errno, where, info);
  if (!S_ISREG(info.st_mode) || static_cast<size_t>(info.st_size) < kReadBelow) {
    // A pipe or a device has no size to map: read it as it comes.
    copy_ = read_all(fd, info, where);
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
      throw IoError(where + ": cannot be read: " + std::strerror(saved));
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

OpenFolder::OpenFolder(fs::path path)
    : path_(std::move(path)), fd_(::open(path_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {}

OpenFolder::~OpenFolder() {
  if (fd_ >= 0) ::close(fd_);
}

std::string OpenFolder::path_text(std::string_view name) const { return joined(path_, name); }

int OpenFolder::open(const std::string& name) const {
  if (fd_ < 0) return open_read_only(path_text(name).c_str());
  return ::openat(fd_, name.c_str(), O_RDONLY | O_CLOEXEC);
}

SmallFileReader::SmallFileReader(size_t capacity)
    : buffer_(std::make_unique<char[]>(capacity)), capacity_(capacity) {}

std::optional<std::string_view> SmallFileReader::read(const OpenFolder& folder, const std::string& name) {
  const int fd = folder.open(name);
  if (fd < 0) {
    const int open_errno = errno;
    throw_open_error(open_errno, folder.path_text(name));
  }
  ssize_t got;
  do {
    got = ::read(fd, buffer_.get(), capacity_);
  } while (got < 0 && errno == EINTR);
  const int saved = errno;
  ::close(fd);
  if (got < 0) {
    // A folder reads as open(2) refusing it would have, as read_file says.
    const char* what = saved == EISDIR ? ": cannot be read: " : ": read failed: ";
    throw IoError(folder.path_text(name) + what + std::strerror(saved));
  }
  if (static_cast<size_t>(got) == capacity_) return std::nullopt;
  return std::string_view(buffer_.get(), static_cast<size_t>(got));
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

fs::path AtomicFile::close_unflushed() {
  if (fd_ < 0) throw IoError(path_.string() + ": closed twice");
  if (::close(std::exchange(fd_, -1)) != 0) fail("close failed");
  return temp_;
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

namespace {

bool named_json(std::string_view name) {
  return name.size() >= 5 && name.compare(name.size() - 5, 5, ".json") == 0;
}

// Whether the entry `name` of the listed folder is a regular file, following
// links. The listing tells the kind of most entries; links and entries of
// file systems that do not are asked about.
bool regular_entry(DIR* folder, const struct dirent& entry) {
  if (entry.d_type == DT_REG) return true;
  if (entry.d_type != DT_LNK && entry.d_type != DT_UNKNOWN) return false;
  struct stat info {};
  return ::fstatat(::dirfd(folder), entry.d_name, &info, 0) == 0 && S_ISREG(info.st_mode);
}

}  // namespace

std::string JsonFileListing::path_text(size_t i) const { return joined(dir, names[i]); }

JsonFileListing list_json_file_names(const fs::path& dir) {
  JsonFileListing listing;
  listing.dir = dir;
  std::error_code ec;
  if (!fs::is_directory(dir, ec)) return listing;
  DIR* folder = ::opendir(dir.c_str());
  if (folder == nullptr)
    throw IoError(dir.string() + ": cannot be listed: " + std::strerror(errno));
  for (;;) {
    errno = 0;
    const struct dirent* entry = ::readdir(folder);
    if (entry == nullptr) break;
    const std::string_view name = entry->d_name;
    if (!named_json(name)) continue;
    if (regular_entry(folder, *entry)) listing.names.emplace_back(name);
    else ++listing.irregular;
  }
  const int listing_errno = errno;
  ::closedir(folder);
  if (listing_errno != 0)
    throw IoError(dir.string() + ": cannot be listed: " + std::strerror(listing_errno));
  std::sort(listing.names.begin(), listing.names.end());
  return listing;
}

std::vector<fs::path> list_json_files(const fs::path& dir) {
  const JsonFileListing listing = list_json_file_names(dir);
  std::vector<fs::path> files;
  files.reserve(listing.names.size());
  for (const std::string& name : listing.names) files.push_back(dir / name);
  return files;
}

}  // namespace velquor
