// velquor demo DIR: a ready-made history to try the pipeline on.

#include <iostream>
#include <map>

#include "cli/commands.h"
#include "cli/demo_history.h"
#include "cli/parallel_write.h"
#include "shared/errors.h"
#include "shared/file_io.h"

namespace velquor::cli {
namespace {

constexpr int64_t kDefaultCommits = 240;

int run_demo(const Args& args) {
  const fs::path dir = args.positional(0);
  const int commits = static_cast<int>(args.integer("--commits", kDefaultCommits, 10));
  if (commits > 99999) throw UsageError("option --commits must be at most 99999");
  const fs::path events_dir = dir / "events";
  // Mixing the demo into real events would produce a meaningless history.
  if (!list_json_files(events_dir).empty())
    throw IoError(events_dir.string() + ": already holds events; give an empty directory");
  std::error_code ec;
  fs::create_directories(events_dir, ec);
  if (ec) throw IoError(events_dir.string() + ": cannot be created: " + ec.message());

  std::map<std::string, int> per_family;
  const std::vector<DemoEvent> events = demo_history(commits);
  write_files_concurrently(events.size(), [&](size_t i) {
    return std::make_pair(events_dir / events[i].file_name, dump_pretty(events[i].event));
  });
  for (const auto& item : events) per_family[item.event["source_family"].get<std::string>()]++;
  std::cout << "wrote " << events.size() << " events of a " << commits
            << "-commit project history into " << events_dir.string() << "\n";
  for (const auto& [family, count] : per_family)
    std::cout << "  " << family << std::string(18 - family.size(), ' ') << count << "\n";
  std::cout << "next: velquor run " << dir.string() << "\n";
  return kExitOk;
}

}  // namespace

const Command kDemoCommand = {
    "demo",
    {"DIR"},
    {{"--commits", 0, "N", "length of the history in commits (default 240, at least 10)"}},
    "write a realistic example history into DIR/events",
    "Writes the history of a small web shop into DIR/events: every commit with its\n"
    "CI run, test run and coverage report, plus dependency snapshots, API schema\n"
    "diffs, releases, infrastructure changes, security scans and production errors.\n"
    "Large commits now and then slow builds and tests together; in the last part a\n"
    "hasty restructuring makes everything drift. The output is the same on every\n"
    "run. Try it with: velquor demo /tmp/shop && velquor run /tmp/shop",
    run_demo,
};

}  // namespace velquor::cli
