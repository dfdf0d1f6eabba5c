// The writers' lock: flock(2) on DIR/.velquor.lock.

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

#include "velquor/guard/guard.h"

namespace velquor::guard {
namespace {

constexpr auto kRetryPause = std::chrono::milliseconds(100);

// False while another open file holds a conflicting lock.
bool try_lock(int fd, int kind) {
  int status;
  do status = ::flock(fd, kind | LOCK_NB);
  while (status != 0 && errno == EINTR);
  return status == 0;
}

// "pid 123 velquor run", as the holder wrote it.
std::string holder_of(int fd) {
  char text[256];
  const ssize_t got = ::pread(fd, text, sizeof text - 1, 0);
  std::string holder(text, got > 0 ? static_cast<size_t>(got) : 0);
  while (!holder.empty() && (holder.back() == '\n' || holder.back() == '\0')) holder.pop_back();
  return holder;
}

void record_holder(int fd, const std::string& command) {
  const std::string text = "pid " + std::to_string(::getpid()) + " " + command + "\n";
  // Only the refusal message of another process reads this: a failure to
  // write it leaves that message vaguer and nothing else.
  if (::ftruncate(fd, 0) == 0 && ::pwrite(fd, text.data(), text.size(), 0) > 0) {
  }
}

}  // namespace

fs::path lock_path(const fs::path& dir) { return dir / ".velquor.lock"; }

DirectoryLock::DirectoryLock(const fs::path& dir, const std::string& command,
                             double wait_seconds, const std::function<void()>& on_wait) {
  const fs::path path = lock_path(dir);
  fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd_ < 0) throw IoError(path.string() + ": cannot open the lock file: " + std::strerror(errno));
  // Counted pauses rather than a clock: the wait needs no precision.
  const long pauses = wait_seconds > 0 ? static_cast<long>(wait_seconds * 10 + 0.999) : 0;
  for (long pause = 0; !try_lock(fd_, LOCK_EX); ++pause) {
    if (pause == pauses) {
      const std::string holder = holder_of(fd_);
      ::close(fd_);
      fd_ = -1;
      throw LockBusy(dir.string() + ": another velquor command is writing here" +
                     (holder.empty() ? std::string() : " (" + holder + ")") +
                     "; try again when it ends, or wait for it with --wait SECONDS");
    }
    if (pause == 0) on_wait();
    std::this_thread::sleep_for(kRetryPause);
  }
  record_holder(fd_, command);
}

DirectoryLock::~DirectoryLock() {
  if (fd_ >= 0) ::close(fd_);  // closing the descriptor releases the lock
}

bool lock_is_held(const fs::path& dir) {
  const int fd = ::open(lock_path(dir).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool free = try_lock(fd, LOCK_SH);
  ::close(fd);
  return !free;
}

}  // namespace velquor::guard
