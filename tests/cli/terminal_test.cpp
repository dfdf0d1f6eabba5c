#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>

#include "cli/terminal.h"

namespace velquor::cli {
namespace {

TEST(Terminal, RiskLevelsAreColouredOnlyWhenAllowedAndOnlyInBrackets) {
  const std::string text = "CI / Build Duration  [HIGH]\nHIGH risk, [CRITICAL] [HIGH]\n";
  EXPECT_EQ(coloured_risk_levels(text, false), text);
  EXPECT_EQ(coloured_risk_levels(text, true),
            "CI / Build Duration  [\033[31mHIGH\033[0m]\nHIGH risk, [\033[1;31mCRITICAL\033[0m] "
            "[\033[31mHIGH\033[0m]\n");
}

TEST(Terminal, NoColourOffATerminalOrUnderNoColor) {
  int pipe_ends[2];
  ASSERT_EQ(::pipe(pipe_ends), 0);
  EXPECT_FALSE(colour_allowed(pipe_ends[1]));
  ::close(pipe_ends[0]);
  ::close(pipe_ends[1]);
  ::setenv("NO_COLOR", "1", 1);
  EXPECT_FALSE(colour_allowed(STDOUT_FILENO));
  ::unsetenv("NO_COLOR");
}

}  // namespace
}  // namespace velquor::cli
