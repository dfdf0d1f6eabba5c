#include "shared/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>

#include "shared/errors.h"

namespace velquor {

std::string read_file(const fs::path& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) throw FileNotFound(path.string() + ": no such file");
    throw IoError(path.string() + ": cannot be read: " + std::strerror(errno));
  }
  auto fail = [&](const char* what) {
    int saved = errno;
    ::close(fd);
    throw IoError(path.string() + ": " + what + ": " + std::strerror(saved));
  };
  struct stat info;
  if (::fstat(fd, &info) != 0) fail("cannot be read");
  if (S_ISDIR(info.st_mode)) {
    errno = EISDIR;
    fail("cannot be read");
  }
  // Read straight into the result; the size is only a hint, since the file
  // may change while it is read.
  std::string content;
  content.resize(static_cast<size_t>(info.st_size > 0 ? info.st_size : 0) + 1);
  size_t used = 0;
  for (;;) {
    if (used == content.size()) content.resize(content.size() * 2 + 4096);
    ssize_t got = ::read(fd, content.data() + used, content.size() - used);
    if (got < 0) {
      if (errno == EINTR) continue;
      fail("read failed");
    }
    if (got == 0) break;
    used += static_cast<size_t>(got);
  }
  ::close(fd);
  content.resize(used);
  return content;
}

void write_file_atomic(const fs::path& path, std::string_view content) {
  static std::atomic<unsigned> counter{0};
  fs::path temp = path;
  temp += ".tmp." + std::to_string(::getpid()) + "." + std::to_string(counter++);
  int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0)
    throw IoError(path.string() + ": cannot be written: " + std::strerror(errno));
  auto fail = [&](const char* what) {
    int saved = errno;
    ::close(fd);
    ::unlink(temp.c_str());
    throw IoError(path.string() + ": " + what + ": " + std::strerror(saved));
  };
  const char* data = content.data();
  size_t left = content.size();
  while (left > 0) {
    ssize_t written = ::write(fd, data, left);
    if (written < 0) {
      if (errno == EINTR) continue;
      fail("write failed");
    }
    data += written;
    left -= static_cast<size_t>(written);
  }
  if (::fsync(fd) != 0) fail("flush failed");
  if (::close(fd) != 0) {
    int saved = errno;
    ::unlink(temp.c_str());
    throw IoError(path.string() + ": close failed: " + std::strerror(saved));
  }
  if (::rename(temp.c_str(), path.c_str()) != 0) {
    int saved = errno;
    ::unlink(temp.c_str());
    throw IoError(path.string() + ": rename failed: " + std::strerror(saved));
  }
}

void write_json_file(const fs::path& path, const Json& value) {
  write_file_atomic(path, dump_pretty(value));
}

Json read_json_file(const fs::path& path, NonFinite non_finite) {
  return parse_json(read_file(path), path.string(), non_finite);
}

std::vector<fs::path> list_json_files(const fs::path& dir) {
  std::error_code ec;
  if (!fs::is_directory(dir, ec)) return {};
  std::vector<std::pair<std::string, fs::path>> named;
  for (const auto& entry : fs::directory_iterator(dir, ec)) {
    std::string name = entry.path().filename().string();
    if (name.size() < 5 || name.compare(name.size() - 5, 5, ".json") != 0) continue;
    std::error_code type_ec;
    if (!entry.is_regular_file(type_ec)) continue;  // follows links
    named.emplace_back(std::move(name), entry.path());
  }
  if (ec) throw IoError(dir.string() + ": cannot be listed: " + ec.message());
  std::sort(named.begin(), named.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<fs::path> files;
  files.reserve(named.size());
  for (auto& entry : named) files.push_back(std::move(entry.second));
  return files;
}

}  // namespace velquor
