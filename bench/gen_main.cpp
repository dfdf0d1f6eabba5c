// velquor_gen DIR COUNT [SEED] [--drift-at COMMIT]: writes a synthetic
// history of COUNT events into DIR/events; with --drift-at, the history
// drifts for good from that commit (1-based) on.
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "bench/generate.h"

namespace {

int usage() {
  std::cerr << "usage: velquor_gen DIR COUNT [SEED] [--drift-at COMMIT]\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> words(argv + 1, argv + argc);
  velquor::bench::GeneratorOptions options;
  for (size_t i = 0; i < words.size(); ++i) {
    if (words[i] != "--drift-at") continue;
    if (i + 1 == words.size()) return usage();
    options.drift_commit = std::strtoll(words[i + 1].c_str(), nullptr, 10);
    if (options.drift_commit < 1) return usage();
    words.erase(words.begin() + static_cast<std::ptrdiff_t>(i), words.begin() + static_cast<std::ptrdiff_t>(i) + 2);
    break;
  }
  if (words.size() < 2 || words.size() > 3) return usage();
  options.event_count = std::strtoull(words[1].c_str(), nullptr, 10);
  if (words.size() == 3) options.seed = std::strtoull(words[2].c_str(), nullptr, 10);
  try {
    size_t written = velquor::bench::generate_events(words[0], options);
    std::cout << written << " events written to " << words[0] << "/events\n";
  } catch (const std::exception& e) {
    std::cerr << "velquor_gen: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
