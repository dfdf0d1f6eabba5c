#include "cli/terminal.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <utility>

namespace velquor::cli {
namespace {

bool quiet_setting = false;

// From the lowest level to the highest: the higher, the louder.
constexpr std::pair<const char*, const char*> kRiskColours[] = {
    {"NOTABLE", "\033[36m"},
    {"ELEVATED", "\033[33m"},
    {"HIGH", "\033[31m"},
    {"CRITICAL", "\033[1;31m"},
};

}  // namespace

void set_quiet(bool quiet) { quiet_setting = quiet; }

bool quiet() { return quiet_setting; }

bool colour_allowed(int fd) {
  const char* no_colour = std::getenv("NO_COLOR");
  if (no_colour != nullptr && *no_colour != '\0') return false;
  const char* term = std::getenv("TERM");
  if (term != nullptr && std::strcmp(term, "dumb") == 0) return false;
  return ::isatty(fd) == 1;
}

std::string coloured_risk_levels(std::string text, bool colour) {
  if (!colour) return text;
  for (const auto& [label, code] : kRiskColours) {
    const std::string plain = std::string("[") + label + "]";
    const std::string painted = std::string("[") + code + label + "\033[0m]";
    for (size_t at = text.find(plain); at != std::string::npos;
         at = text.find(plain, at + painted.size()))
      text.replace(at, plain.size(), painted);
  }
  return text;
}

}  // namespace velquor::cli
