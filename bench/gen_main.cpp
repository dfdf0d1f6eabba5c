// velquor_gen DIR COUNT [SEED]: writes a synthetic history of COUNT events
// into DIR/events.
#include <cstdlib>
#include <iostream>
#include <string>

#include "bench/generate.h"

int main(int argc, char** argv) {
  if (argc < 3 || argc > 4) {
    std::cerr << "usage: velquor_gen DIR COUNT [SEED]\n";
    return 2;
  }
  velquor::bench::GeneratorOptions options;
  options.event_count = std::strtoull(argv[2], nullptr, 10);
  if (argc == 4) options.seed = std::strtoull(argv[3], nullptr, 10);
  try {
    size_t written = velquor::bench::generate_events(argv[1], options);
    std::cout << written << " events written to " << argv[1] << "/events\n";
  } catch (const std::exception& e) {
    std::cerr << "velquor_gen: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
