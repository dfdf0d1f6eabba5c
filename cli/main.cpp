// The velquor command: one subcommand per pipeline stage.

#include <cstring>
#include <iostream>

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "--version") == 0) {
    std::cout << "velquor " << VELQUOR_VERSION << "\n";
    return 0;
  }
  std::cout << "usage: velquor COMMAND [ARGS...]\n";
  return argc > 1 && std::strcmp(argv[1], "--help") == 0 ? 0 : 2;
}
