// Every folder under golden/ is one case: its artefacts, an `args` file with
// one `velquor collect` command line per line (words naming a file of the
// folder become its path), and expected.json, the events the commands leave
// in a fresh data directory, in file name order. The commands run against a
// repository made here with pinned times, so commit hashes are the same on
// every machine. VELQUOR_UPDATE_GOLDEN=1 rewrites expected.json.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <fstream>
#include <sstream>

#include "shared/file_io.h"
#include "tests/collect/collect_test_support.h"

namespace velquor::collect::testing {
namespace {

using cli::testing::Outcome;
using cli::testing::ScratchDir;

std::vector<std::string> words_of(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> words;
  for (std::string word; in >> word;) words.push_back(word);
  return words;
}

Json events_in(const fs::path& data) {
  Json events = Json::array();
  for (const auto& file : list_json_files(data / "events")) events.push_back(read_json_file(file));
  return events;
}

TEST(Golden, EveryArtefactBecomesTheExpectedEvents) {
  PinnedRepository repo;
  size_t cases = 0;
  for (const fs::path& folder : case_folders()) {
    SCOPED_TRACE(folder.filename().string());
    ScratchDir data;
    std::ifstream args(folder / "args");
    for (std::string line; std::getline(args, line);) {
      std::vector<std::string> command = {"collect"};
      for (const auto& word : words_of(line))
        command.push_back(fs::exists(folder / word) ? (folder / word).string() : word);
      command.insert(command.end(), {"--repo", repo.str(), data.str()});
      Outcome run = cli::testing::velquor(command);
      ASSERT_EQ(run.status, 0) << line << ": " << run.err;
    }
    const std::string actual = dump_pretty(events_in(data.path()));
    if (::getenv("VELQUOR_UPDATE_GOLDEN")) write_file_atomic(folder / "expected.json", actual + "\n");
    EXPECT_EQ(actual + "\n", read_file(folder / "expected.json"));
    ++cases;
  }
  EXPECT_GE(cases, 20u);
}

}  // namespace
}  // namespace velquor::collect::testing
