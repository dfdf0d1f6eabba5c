// `run` hands the events stage 2 parsed to stages 4 and 5 instead of letting
// them read the event files again, and reads stage 5's inputs while stage 4
// learns: whatever the events hold, its outputs and its errors must be those
// of the stages run one by one, each reading the files itself.

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>

#include "shared/file_io.h"
#include "tests/cli/cli_test_support.h"

namespace velquor::cli::testing {
namespace {

using Mutation = std::function<void(const fs::path& events)>;

// The first event file whose name contains `part`, changed by `change`.
Mutation edit_first(const std::string& part, std::function<void(Json&)> change) {
  return [=](const fs::path& events) {
    for (const fs::path& file : list_json_files(events)) {
      if (file.filename().string().find(part) == std::string::npos) continue;
      Json event = read_json(file);
      change(event);
      write_json_file(file, event);
      return;
    }
    FAIL() << "no event file named *" << part << "*";
  };
}

Mutation both(Mutation first, Mutation second) {
  return [=](const fs::path& events) {
    first(events);
    second(events);
  };
}

// A test report of thousands of cases, a few dozen failed or errored, and
// enough failures for its signal to be significant.
void make_long_report(Json& event) {
  Json cases = Json::array();
  int failed = 0;
  for (int i = 0; i < 4000; ++i) {
    const char* status = i % 97 == 5 ? "failed" : i % 211 == 7 ? "errored" : "passed";
    failed += status[0] != 'p';
    cases.push_back({{"name", "suite::case_" + std::to_string(i)}, {"status", status}});
  }
  event["payload"]["cases"] = std::move(cases);
  event["payload"]["summary"] = {{"total", 4000}, {"failed", failed}};
}

std::string error_line(const Outcome& outcome, const std::string& dir) {
  const size_t at = outcome.err.find("error: ");
  if (at == std::string::npos) return "";
  std::string line = outcome.err.substr(at, outcome.err.find('\n', at) - at);
  for (size_t found; (found = line.find(dir)) != std::string::npos;) line.replace(found, dir.size(), "DIR");
  return line;
}

std::string file_or_absent(const fs::path& path) {
  return fs::exists(path) ? read_file(path) : "(absent)";
}

TEST(Handoff, RunMatchesTheStagesRunOneByOne) {
  ::setenv("VELQUOR_NOW", "2026-01-01T00:00:00Z", 1);
  ScratchDir demo;
  ASSERT_EQ(velquor({"demo", demo.str(), "--commits", "60"}).status, 0);
  const struct {
    const char* name;
    Mutation mutate;
    std::vector<std::string> window = {};  // options of run and advise
  } cases[] = {
      {"as generated", [](const fs::path&) {}},
      // Stage 5 reads ahead on the window too: which explanations it reads
      // depends on it.
      {"as generated, a window", [](const fs::path&) {}, {"--last", "20"}},
      {"unusual members",
       both(edit_first("-ci.json",
                       [](Json& e) {
                         e["payload"]["trigger"] = nullptr;
                         e.erase("observed_at");
                         e["payload"]["note"] = "caf\xC3\xA9 \"quoted\" 18446744073709551616";
                       }),
            edit_first("-git.json", [](Json& e) {
              e["payload"]["committed_at"] = "yesterday";
              e["source_family"] = "version_control";
            }))},
      {"texts with escapes and other bytes", edit_first("-git.json", [](Json& e) {
         e["payload"]["files"].push_back("d\xC3\xBCr/\"q\"\t.py");
         e["event_id"] = e["event_id"].get<std::string>() + "\xC3\xA9";
       })},
      {"an event of no known family", edit_first("-coverage.json", [](Json& e) { e["source_family"] = "weather"; })},
      {"a trigger that is no map", edit_first("-ci.json", [](Json& e) { e["payload"]["trigger"] = 5; })},
      {"a commit time that is no text", edit_first("-git.json", [](Json& e) { e["payload"]["committed_at"] = 7; })},
      {"an event of no known family, a window", edit_first("-ci.json", [](Json& e) { e["source_family"] = "x"; }),
       {"--since", "2000-01-01"}},
      // The window's stamps come from stage 2's scan, or its tree for these.
      {"unusual stamps, a window",
       both(edit_first("-ci.json", [](Json& e) { e["payload"]["trigger"] = "abc"; }),
            edit_first("-git.json", [](Json& e) { e["event_id"] = "git-caf\xC3\xA9"; })),
       {"--last", "30"}},
      // Stage 2 reads no test case; stage 5 checks every one.
      {"a test case that is no map", edit_first("-testing.json", [](Json& e) { e["payload"]["cases"].push_back(5); })},
      {"a long test report", edit_first("00050-testing.json", make_long_report)},
      {"a long test report with a case that is no map", edit_first("00050-testing.json", [](Json& e) {
         make_long_report(e);
         e["payload"]["cases"].push_back(nullptr);
       })},
  };
  for (const auto& c : cases) {
    ScratchDir together, alone;
    for (const ScratchDir* dir : {&together, &alone}) {
      fs::copy(demo.path() / "events", dir->path() / "events", fs::copy_options::recursive);
      c.mutate(dir->path() / "events");
    }
    std::vector<std::string> run_args = {"run", together.str()};
    run_args.insert(run_args.end(), c.window.begin(), c.window.end());
    const Outcome run = velquor(run_args);
    Outcome stage;
    for (const std::string command : {"baseline", "explain", "learn", "advise"}) {
      std::vector<std::string> args = {command, alone.str()};
      if (command == "advise") args.insert(args.end(), c.window.begin(), c.window.end());
      stage = velquor(args);
      if (stage.status != 0) break;
    }
    EXPECT_EQ(run.status, stage.status) << c.name << ": " << run.err << stage.err;
    EXPECT_EQ(error_line(run, together.str()), error_line(stage, alone.str())) << c.name;
    // Stage 5 reads on while stage 4 learns, but a run stopped before it
    // leaves no trace of it.
    EXPECT_EQ(fs::exists(together.path() / "phase5"), fs::exists(alone.path() / "phase5")) << c.name;
    for (const char* file : {"phase4/phase4_summary.json", "phase5/advisory.json", "phase5/evidence.json",
                             "phase5/summary.txt", "phase5/investigation_prompt.txt"})
      EXPECT_EQ(file_or_absent(together.path() / file), file_or_absent(alone.path() / file))
          << c.name << ": " << file;
    if (std::string(c.name) == "a long test report") {
      EXPECT_NE(file_or_absent(together.path() / "phase5/evidence.json").find("suite::case_5\""), std::string::npos);
    }
  }
  ::unsetenv("VELQUOR_NOW");
}

}  // namespace
}  // namespace velquor::cli::testing
