#include "shared/subprocess.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "shared/errors.h"

namespace velquor {
namespace {

struct Pipe {
  int read_end = -1;
  int write_end = -1;
};

Pipe make_pipe() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) throw IoError(std::string("pipe: ") + std::strerror(errno));
  return {fds[0], fds[1]};
}

[[noreturn]] void exec_child(const std::vector<std::string>& argv, const Pipe& out,
                             const Pipe& err, const Pipe& status) {
  ::dup2(out.write_end, STDOUT_FILENO);
  ::dup2(err.write_end, STDERR_FILENO);
  int devnull = ::open("/dev/null", O_RDONLY);
  if (devnull >= 0) ::dup2(devnull, STDIN_FILENO);
  std::vector<char*> args;
  for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  ::execvp(args[0], args.data());
  int failure = errno;  // the parent learns why through the status pipe
  ssize_t ignored = ::write(status.write_end, &failure, sizeof failure);
  (void)ignored;
  ::_exit(127);
}

// Reads both pipes until the child closes them.
void drain(int out_fd, int err_fd, std::string& out, std::string& err) {
  pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
  std::string* sinks[2] = {&out, &err};
  int open_count = 2;
  char buffer[65536];
  while (open_count > 0) {
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      throw IoError(std::string("poll: ") + std::strerror(errno));
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      ssize_t got = ::read(fds[i].fd, buffer, sizeof buffer);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) {
        ::close(fds[i].fd);
        fds[i].fd = -1;
        --open_count;
      } else {
        sinks[i]->append(buffer, static_cast<size_t>(got));
      }
    }
  }
}

int wait_for(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) throw IoError(std::string("waitpid: ") + std::strerror(errno));
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return 128 + WTERMSIG(status);
}

}  // namespace

ProcessOutput run_program(const std::vector<std::string>& argv) {
  if (argv.empty()) throw IoError("run_program: no program given");
  Pipe out = make_pipe(), err = make_pipe(), status = make_pipe();
  pid_t pid = ::fork();
  if (pid < 0) throw IoError(std::string("fork: ") + std::strerror(errno));
  if (pid == 0) exec_child(argv, out, err, status);
  ::close(out.write_end);
  ::close(err.write_end);
  ::close(status.write_end);
  ProcessOutput result;
  drain(out.read_end, err.read_end, result.out, result.err);
  int exec_errno = 0;
  ssize_t got = ::read(status.read_end, &exec_errno, sizeof exec_errno);
  ::close(status.read_end);
  result.exit_status = wait_for(pid);
  if (got == static_cast<ssize_t>(sizeof exec_errno))
    throw IoError(argv[0] + ": cannot be started: " + std::strerror(exec_errno));
  return result;
}

}  // namespace velquor
