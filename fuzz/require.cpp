#include <cstdio>
#include <cstdlib>

#include "fuzz/fuzz_target.h"

namespace velquor::fuzz {

void require(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "fuzz property broken: %s\n", what);
  std::abort();
}

}  // namespace velquor::fuzz
