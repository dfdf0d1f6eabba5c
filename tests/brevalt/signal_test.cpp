// The signal file writer against the shared pretty printer.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>

#include "tests/brevalt/test_support.h"

namespace velquor::brevalt {
namespace {

Signal sample_signal(std::mt19937_64& rng) {
  static const std::vector<double> reals = {0.0, -0.0, 1e-05, 1e16, 0.1, 2.0, 123456789.125,
                                            std::nan(""), INFINITY, -INFINITY, 5e-324, -1.7976931348623157e308};
  static const std::vector<__int128> ints = {0, -1, 42, INT64_MAX, INT64_MIN, static_cast<__int128>(UINT64_MAX)};
  auto value = [&]() {
    return rng() % 2 ? SampleValue::real(reals[rng() % reals.size()])
                     : SampleValue::integer(ints[rng() % ints.size()]);
  };
  static const std::vector<Json> observed = {Json(true), Json(false), Json(7), Json(uint64_t{1} << 63),
                                             Json(-3), Json(0.25), Json(std::nan("")), Json(-INFINITY)};
  Signal s;
  s.engine_id = "error_tracking";
  s.source_type = "sentry";
  s.metric = rng() % 2 ? "cochange_novelty_ratio" : "m\"é\x01";
  s.window_size = static_cast<int64_t>(rng() % 100);
  s.mean = value();
  s.stddev = reals[rng() % reals.size()];
  s.median = value();
  s.mad = value();
  s.observed = observed[rng() % observed.size()];
  s.measure = reals[rng() % reals.size()];
  s.unit = static_cast<DeviationUnit>(rng() % 3);
  s.degenerate = rng() % 2;
  s.sample_count = static_cast<int64_t>(rng() % 60);
  s.sufficient = rng() % 2;
  s.event_ref = rng() % 2 ? "git-日本-\t" : "";
  return s;
}

TEST(SignalFile, WriterMatchesThePrettyLayout) {
  std::mt19937_64 rng(9);
  EXPECT_EQ(signal_file_text({}), "[]");
  for (int round = 0; round < 50; ++round) {
    SignalList signals;
    for (size_t i = 0, n = rng() % 5 + 1; i < n; ++i) signals.push_back(sample_signal(rng));
    ASSERT_EQ(signal_file_text(signals), dump_pretty(to_json(signals)));
  }
}

// A long file whose figures repeat and collide in the writer's memory of
// recent texts: every figure still has its own text.
TEST(SignalFile, RepeatedFiguresKeepTheirText) {
  std::mt19937_64 rng(21);
  std::vector<double> pool(1500);
  for (double& value : pool) value = std::ldexp(static_cast<double>(rng() >> 11), static_cast<int>(rng() % 200) - 150);
  pool.push_back(-0.0);
  pool.push_back(std::nan(""));
  auto figure = [&] { return pool[rng() % pool.size()]; };
  SignalList signals;
  for (int i = 0; i < 4000; ++i) {
    Signal s = sample_signal(rng);
    s.mean = SampleValue::real(figure());
    s.stddev = figure();
    s.median = SampleValue::real(figure());
    s.measure = figure();
    signals.push_back(std::move(s));
  }
  const std::string got = signal_file_text(signals), want = dump_pretty(to_json(signals));
  const size_t at = std::mismatch(got.begin(), got.end(), want.begin(), want.end()).first - got.begin();
  EXPECT_EQ(got.substr(at, 120), want.substr(at, 120)) << "at byte " << at;  // the first difference
}

// Integer figures beyond 64 bits (a MAD of counts spread over the whole 64-bit
// range) stay exact integers in the file, where a JSON value could only hold a
// rounded real.
TEST(SignalFile, WideIntegerFiguresAreWrittenExactly) {
  std::mt19937_64 rng(3);
  Signal s = sample_signal(rng);
  s.mean = SampleValue::integer(static_cast<__int128>(UINT64_MAX) * 4);
  s.median = SampleValue::integer(-static_cast<__int128>(UINT64_MAX) - 2);
  s.mad = SampleValue::integer(static_cast<__int128>(INT64_MAX) + 1 + static_cast<__int128>(UINT64_MAX));
  std::string text = signal_file_text({s});
  EXPECT_NE(text.find("\"mean\": 73786976294838206460,\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\"median\": -18446744073709551617,\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\"mad\": 27670116110564327423\n"), std::string::npos) << text;
}

}  // namespace
}  // namespace velquor::brevalt
