#include "cli/writer.h"

#include <iostream>

namespace velquor::cli {
namespace {

double wait_seconds(const Args& args) {
  const auto text = args.value("--wait");
  if (!text) return 0;
  try {
    size_t used = 0;
    const double seconds = std::stod(*text, &used);
    if (used == text->size() && seconds >= 0 && seconds <= 86400) return seconds;
  } catch (const std::exception&) {
  }
  throw UsageError("--wait needs a number of seconds from 0 to 86400, got '" + *text + "'");
}

std::string command_line_name(const Args& args) { return "velquor " + args.command().name; }

}  // namespace

OptionSpec wait_option() {
  return {"--wait", 0, "SECONDS",
          "wait up to SECONDS for another command writing DIR (default 0: refuse)"};
}

DirectoryWriter::DirectoryWriter(const Args& args, const fs::path& dir, guard::SweptFolders swept)
    : lock_(dir, command_line_name(args), wait_seconds(args),
            [&] {
              std::cerr << "velquor: waiting for another velquor command writing "
                        << dir.string() << "..." << std::endl;
            }),
      journal_(dir, command_line_name(args)) {
  if (journal_.left())
    std::cerr << "velquor: " << guard::interruption_warning(dir, *journal_.left()) << "\n";
  const auto removed = guard::remove_stale_temporaries(dir, swept);
  if (!removed.empty())
    std::cerr << "velquor: removed " << removed.size() << " temporary "
              << (removed.size() == 1 ? "file" : "files") << " of stopped commands ("
              << removed.front().string() << (removed.size() > 1 ? ", ..." : "") << ")\n";
}

void warn_if_interrupted(const fs::path& dir) {
  if (auto interruption = guard::interrupted_run(dir))
    std::cerr << "velquor: " << guard::interruption_warning(dir, *interruption) << "\n";
}

}  // namespace velquor::cli
