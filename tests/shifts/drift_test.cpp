// The shifts found in a generated history with a planted drift: every
// metric the drift moves is found where the drift began, and the families
// it keeps level stay (nearly) quiet.

#include <gtest/gtest.h>

#include <map>
#include <set>

#include <unistd.h>

#include "bench/generate.h"
#include "shared/hash.h"
#include "velquor/brevalt/brevalt.h"
#include "velquor/shifts/shifts.h"

namespace velquor::shifts {
namespace {

TEST(PlantedDrift, IsFoundWhereItBeganAndNowhereElse) {
  const fs::path dir = fs::temp_directory_path() / ("velquor-shifts-drift-" + std::to_string(::getpid()));
  fs::remove_all(dir);
  bench::GeneratorOptions options{15000, 1};
  options.drift_commit = 3300;
  bench::generate_events(dir, options);
  brevalt::Brevalt(dir).run_all();
  const std::vector<Shift> shifts = find_shifts(dir);

  // The generator names commit n by a hash of the seed and n.
  std::map<std::string, int64_t> commit_number;
  for (int64_t n = 1; n <= 10000; ++n)
    commit_number[sha256_hex("commit:1:" + std::to_string(n)).substr(0, 40)] = n;
  int64_t commits = 0;
  for (const auto& entry : fs::directory_iterator(dir / "events"))
    commits += entry.path().filename().string().rfind("git-", 0) == 0;
  fs::remove_all(dir);

  const double tolerance = 0.02 * static_cast<double>(commits);
  const std::set<std::string> kept_level = {"coverage", "schema", "deployment", "error_tracking"};
  std::set<std::string> moved = {"files_touched", "dispersion", "run_duration", "run_failed",
                                 "failure_rate", "dependency_count", "vulnerability_count", "critical_count"};
  size_t kept_level_shifts = 0;
  for (const Shift& shift : shifts) {
    kept_level_shifts += kept_level.count(shift.family);
    ASSERT_TRUE(commit_number.count(shift.start_commit)) << shift.metric;
    const double distance = std::abs(static_cast<double>(commit_number[shift.start_commit] - options.drift_commit));
    if (distance <= tolerance) moved.erase(shift.metric);
  }
  EXPECT_TRUE(moved.empty()) << "not found near the drift: " << *moved.begin();
  EXPECT_LE(kept_level_shifts, 1u);
}

}  // namespace
}  // namespace velquor::shifts
