// Golden data directories: each golden/<case>/events is run through both
// drivers and every runner alone; the signal files must equal
// golden/<case>/phase2 byte for byte (computed by golden/reference.py, an
// independent implementation), and no other signal file may appear.
#include <gtest/gtest.h>

#include <set>

#include "shared/file_io.h"
#include "tests/brevalt/test_support.h"

namespace velquor::brevalt {
namespace {

using testing::DataDir;

const fs::path kGolden = fs::path(VELQUOR_SOURCE_DIR) / "tests" / "brevalt" / "golden";

std::vector<fs::path> cases() {
  std::vector<fs::path> found;
  for (const auto& entry : fs::directory_iterator(kGolden))
    if (fs::is_directory(entry.path() / "events")) found.push_back(entry.path());
  std::sort(found.begin(), found.end());
  return found;
}

Brevalt engine_for(const fs::path& golden_case, const DataDir& dir) {
  fs::copy(golden_case / "events", dir.events(), fs::copy_options::recursive | fs::copy_options::overwrite_existing);
  int64_t window = 50, least = 5;
  if (fs::exists(golden_case / "params.json")) {
    Json params = read_json_file(golden_case / "params.json");
    window = params.value("window_size", window);
    least = params.value("min_baseline", least);
  }
  return Brevalt(dir.path(), window, least);
}

void expect_same_files(const fs::path& golden_case, const DataDir& dir, const std::string& how) {
  std::set<std::string> expected, produced;
  for (const fs::path& file : list_json_files(golden_case / "phase2")) expected.insert(file.filename());
  for (const fs::path& file : list_json_files(dir.path() / "phase2")) produced.insert(file.filename());
  EXPECT_EQ(produced, expected) << golden_case.filename() << " " << how;
  for (const std::string& name : expected) {
    if (!produced.contains(name)) continue;
    std::string got = read_file(dir.path() / "phase2" / name);
    std::string want = read_file(golden_case / "phase2" / name);
    if (got == want) continue;
    size_t at = std::mismatch(got.begin(), got.end(), want.begin(), want.end()).first - got.begin();
    size_t from = at > 300 ? at - 300 : 0;
    ADD_FAILURE() << golden_case.filename() << "/" << name << " (" << how << ") differs at byte " << at
                  << "\n--- produced:\n" << got.substr(from, 400) << "\n--- expected:\n" << want.substr(from, 400);
  }
}

TEST(Golden, SequentialDriver) {
  ASSERT_FALSE(cases().empty());
  for (const fs::path& golden_case : cases()) {
    DataDir dir;
    engine_for(golden_case, dir).run_all();
    expect_same_files(golden_case, dir, "run_all");
  }
}

TEST(Golden, ParallelDriver) {
  for (const fs::path& golden_case : cases()) {
    DataDir dir;
    engine_for(golden_case, dir).run_all_parallel(3);
    expect_same_files(golden_case, dir, "run_all_parallel");
  }
}

TEST(Golden, EachRunnerAlone) {
  for (const fs::path& golden_case : cases()) {
    DataDir dir;
    Brevalt engine = engine_for(golden_case, dir);
    for (auto runner : {&Brevalt::run_git, &Brevalt::run_ci, &Brevalt::run_testing, &Brevalt::run_coverage,
                        &Brevalt::run_dependency, &Brevalt::run_schema, &Brevalt::run_deployment,
                        &Brevalt::run_config, &Brevalt::run_error_tracking, &Brevalt::run_security}) {
      (engine.*runner)();
    }
    expect_same_files(golden_case, dir, "runners alone");
  }
}

}  // namespace
}  // namespace velquor::brevalt
