// The command line's contract: help, usage errors (exit 2) and runtime
// errors (exit 1), each a single line on stderr and never a crash.

#include <gtest/gtest.h>

#include "shared/file_io.h"
#include "tests/cli/cli_test_support.h"

namespace velquor::cli::testing {
namespace {

const std::vector<std::string> kCommands = {"run",    "baseline", "explain",  "learn",
                                            "advise", "verify",   "report",   "accept",
                                            "accepted", "patterns", "shifts", "collect",
                                            "demo"};

TEST(Usage, HelpListsEveryCommandAndEachCommandHasHelp) {
  Outcome overview = velquor({"--help"});
  EXPECT_EQ(overview.status, 0);
  for (const auto& name : kCommands) {
    EXPECT_NE(overview.out.find("  " + name + " "), std::string::npos) << name;
    Outcome help = velquor({"help", name});
    EXPECT_EQ(help.status, 0) << name;
    EXPECT_EQ(help.out.rfind("usage: velquor " + name, 0), 0u) << help.out;
    EXPECT_EQ(velquor({name, "--help"}).out, help.out) << name;
  }
  Outcome version = velquor({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out.rfind("velquor ", 0), 0u);
}

TEST(Usage, BadCommandLinesExitTwoWithOneLine) {
  ScratchDir dir;
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"frobnicate"},
      {"--frobnicate"},
      {"help", "frobnicate"},
      {"run"},
      {"run", dir.str(), "extra"},
      {"run", dir.str(), "--bogus"},
      {"run", dir.str(), "--workers"},
      {"run", dir.str(), "--workers", "many"},
      {"run", dir.str(), "--workers", "0"},
      {"run", dir.str(), "--workers", "2", "--sequential"},
      {"run", dir.str(), "--fail-on", "SEVERE"},
      {"run", dir.str(), "--json=yes"},
      {"baseline", dir.str(), "--window-size", "-3"},
      {"learn", dir.str(), "--param", "min_support"},
      {"accept", dir.str(), "ci", "run_duration"},
      {"accept", dir.str(), "ci", "run_duration", "--reason", "x", "--since", "yesterday"},
      {"accept", dir.str(), "ci", "run_duration", "--reason", "x", "--from-commit", "abc"},
      {"collect", "svn", dir.str(), dir.str()},
      {"demo", dir.str(), "--commits", "3"},
      {"shifts", dir.str(), "--min-run", "0"},
      {"shifts", dir.str(), "--min-change", "lots"},
      {"shifts", dir.str(), "--min-change", "-5%"},
      {"report", dir.str(), "-o"},
      {"report", dir.str(), "--last", "0"},
      {"report", dir.str(), "--last", "3", "--since", "30d"},
  };
  for (const auto& args : cases) {
    Outcome run = velquor(args);
    std::string shown;
    for (const auto& arg : args) shown += arg + " ";
    EXPECT_EQ(run.status, 2) << shown << run.err;
    if (!args.empty()) {
      EXPECT_EQ(line_count(run.err), 1u) << shown << run.err;
    }
    EXPECT_EQ(run.err.find("terminate"), std::string::npos) << shown;
  }
}

TEST(Usage, UnknownFamilyOrMetricIsRefusedWithTheValidNames) {
  ScratchDir dir;
  Outcome family = velquor({"accept", dir.str(), "jenkins", "run_duration", "--reason", "x"});
  EXPECT_EQ(family.status, 2);
  EXPECT_NE(family.err.find("valid: git, ci, testing, coverage"), std::string::npos) << family.err;
  Outcome metric = velquor({"accept", dir.str(), "ci", "files_touched", "--reason", "x"});
  EXPECT_EQ(metric.status, 2);
  EXPECT_NE(metric.err.find("valid: run_duration, run_failed"), std::string::npos) << metric.err;
  EXPECT_FALSE(fs::exists(dir.path() / "accepted_deviations.json"));
}

TEST(Usage, MissingDirectoryIsARuntimeErrorNamingIt) {
  ScratchDir scratch;
  const std::string missing = (scratch.path() / "nowhere").string();
  const std::vector<std::vector<std::string>> cases = {
      {"run", missing},      {"baseline", missing}, {"explain", missing},
      {"learn", missing},    {"advise", missing},   {"verify", missing},
      {"accepted", missing}, {"patterns", missing}, {"report", missing},
      {"accept", missing, "ci", "run_duration", "--reason", "planned"},
      {"collect", "git", missing, scratch.str()},
  };
  for (const auto& args : cases) {
    Outcome run = velquor(args);
    EXPECT_EQ(run.status, 1) << args[0] << ": " << run.err;
    EXPECT_EQ(line_count(run.err), 1u) << args[0] << ": " << run.err;
    EXPECT_NE(run.err.find(missing), std::string::npos) << args[0] << ": " << run.err;
  }
  EXPECT_FALSE(fs::exists(missing));
}

TEST(Usage, StagesWithoutTheirInputsFailCleanly) {
  ScratchDir dir;
  // Not a data directory: probably the repository was named by mistake.
  Outcome no_events = velquor({"run", dir.str()});
  EXPECT_EQ(no_events.status, 1);
  EXPECT_NE(no_events.err.find("events: no such directory"), std::string::npos) << no_events.err;
  // A data directory with too little history is not an error.
  fs::create_directories(dir.path() / "events");
  Outcome too_short = velquor({"run", dir.str(), "--fail-on", "NOTABLE"});
  EXPECT_EQ(too_short.status, 0) << too_short.err;
  EXPECT_NE(too_short.out.find("Not enough history yet"), std::string::npos) << too_short.out;
  EXPECT_EQ(parse_json(velquor({"run", dir.str(), "--json"}).out, "stdout")["status"], "no_signals");

  Outcome explain = velquor({"explain", dir.str()});
  EXPECT_EQ(explain.status, 1);
  EXPECT_EQ(line_count(explain.err), 1u) << explain.err;
  Outcome patterns = velquor({"patterns", dir.str()});
  EXPECT_EQ(patterns.status, 1);
  EXPECT_NE(patterns.err.find("knowledge.db"), std::string::npos) << patterns.err;
  EXPECT_FALSE(fs::exists(dir.path() / "phase4" / "knowledge.db"));
  Outcome accepted = velquor({"accepted", dir.str()});
  EXPECT_EQ(accepted.status, 0);
  EXPECT_NE(accepted.out.find("no accepted deviations"), std::string::npos);
}

TEST(Usage, CorruptAcceptedListIsReportedNotReplaced) {
  ScratchDir dir;
  const fs::path list = dir.path() / "accepted_deviations.json";
  {
    std::FILE* file = std::fopen(list.c_str(), "w");
    std::fputs("{\"not\": \"a list\"}", file);
    std::fclose(file);
  }
  Outcome run = velquor({"accept", dir.str(), "ci", "run_duration", "--reason", "planned"});
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("accepted_deviations.json"), std::string::npos) << run.err;
  Outcome listed = velquor({"accepted", dir.str()});
  EXPECT_EQ(listed.status, 1);
  EXPECT_EQ(read_file(list), "{\"not\": \"a list\"}");
}

}  // namespace
}  // namespace velquor::cli::testing
