// On a synthetic history with all families, the drivers (which parse each
// event file once for all families) write exactly what each runner writes
// alone, and return the same signals.
#include <gtest/gtest.h>

#include "bench/generate.h"
#include "shared/file_io.h"
#include "tests/brevalt/test_support.h"

namespace velquor::brevalt {
namespace {

using testing::DataDir;

std::map<std::string, std::string> signal_files(const DataDir& dir) {
  std::map<std::string, std::string> files;
  for (const fs::path& file : list_json_files(dir.path() / "phase2")) files[file.filename()] = read_file(file);
  return files;
}

TEST(Equivalence, DriversMatchRunnersAlone) {
  DataDir dir;
  velquor::bench::generate_events(dir.path(), {1000, 11});
  Brevalt engine(dir.path());

  FamilySignals sequential = engine.run_all();
  auto after_sequential = signal_files(dir);
  ASSERT_EQ(after_sequential.size(), 10u);
  fs::remove_all(dir.path() / "phase2");
  fs::create_directories(dir.path() / "phase2");

  FamilySignals parallel = engine.run_all_parallel(4);
  EXPECT_EQ(signal_files(dir), after_sequential);
  fs::remove_all(dir.path() / "phase2");
  fs::create_directories(dir.path() / "phase2");

  std::map<std::string, SignalList (Brevalt::*)() const> runners = {
      {"git", &Brevalt::run_git}, {"ci", &Brevalt::run_ci}, {"testing", &Brevalt::run_testing},
      {"coverage", &Brevalt::run_coverage}, {"dependency", &Brevalt::run_dependency},
      {"schema", &Brevalt::run_schema}, {"deployment", &Brevalt::run_deployment},
      {"config", &Brevalt::run_config}, {"error_tracking", &Brevalt::run_error_tracking},
      {"security", &Brevalt::run_security}};
  for (const auto& [family, signals] : sequential) {
    SignalList alone = (engine.*runners.at(family))();
    EXPECT_EQ(signal_file_text(alone), signal_file_text(signals)) << family;
    auto in_parallel = std::find_if(parallel.begin(), parallel.end(), [&](const auto& p) { return p.first == family; });
    ASSERT_NE(in_parallel, parallel.end());
    EXPECT_EQ(signal_file_text(in_parallel->second), signal_file_text(signals)) << family;
  }
  EXPECT_EQ(signal_files(dir), after_sequential);
}

}  // namespace
}  // namespace velquor::brevalt
