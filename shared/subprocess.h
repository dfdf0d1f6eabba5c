// Running an outside program without a shell.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace velquor {

struct ProcessOutput {
  int exit_status = 0;  // the program's exit status; 128 + N when killed by signal N
  std::string out;      // everything it wrote to stdout
  std::string err;      // everything it wrote to stderr
};

// Runs argv[0] (looked up on PATH) with exactly the arguments in `argv`:
// no shell ever sees them, so no quoting or injection can happen whatever
// the repository path contains. Both output streams are read concurrently,
// so a program that fills one of them cannot block. IoError when the
// program cannot be started.
ProcessOutput run_program(const std::vector<std::string>& argv);

}  // namespace velquor
