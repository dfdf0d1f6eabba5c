// Exact summary statistics of small numeric samples.
//
// The baseline figures written into signal files are compared byte for byte,
// and the shortest round-trip text of a double shows every last bit, so each
// figure here is the exact real result rounded once:
//  - a value is an integer or a real (a double, taken as the exact binary
//    fraction it holds); a JSON boolean counts as the integer 1 or 0;
//  - exact_mean: the exact rational mean, rounded once to the nearest double;
//    an all-integer sample whose mean is whole gives that integer;
//  - exact_pstdev: the correctly rounded square root of the exact population
//    variance; always a real, 0.0 for fewer than two values;
//  - median: odd count -> the middle value keeping its kind; even count ->
//    a real: two integers give their exact sum / 2 correctly rounded, anything
//    else the double sum of the two divided by 2.0;
//  - median_absolute_deviation and interquartile_range: differences of two
//    integers stay integers, any difference involving a real is a double
//    subtraction.
// Samples holding infinities (or NaN) follow IEEE arithmetic instead: the mean
// is the IEEE sum of the non-finite values and the standard deviation is NaN.
//
// Sorting is stable and by value (2 and 2.0 keep their order), which decides
// the kind of an odd-count median among equal values. NaN sorts last.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "shared/json.h"

namespace velquor {

class SampleValue {
 public:
  SampleValue() = default;
  static SampleValue integer(__int128 value);
  static SampleValue real(double value);
  // A JSON number or boolean; TypeError naming `what` for anything else.
  static SampleValue from_json(const Json& value, const std::string& what);

  bool is_integer() const { return is_integer_; }
  __int128 integer_value() const { return integer_; }  // only for integers
  double real_value() const { return real_; }          // only for reals
  // The nearest double (integers correctly rounded).
  double to_double() const;
  // An integer as a JSON integer (a real when it does not fit 64 bits), a real
  // as a JSON real.
  Json to_json() const;

  bool is_zero() const;
  bool is_positive() const;  // > 0 (NaN is not)

 private:
  bool is_integer_ = true;
  __int128 integer_ = 0;
  double real_ = 0.0;
};

// Exact comparison by value (-1, 0, 1); NaN is greater than every number and
// equal to itself, so that sorting is a strict weak order.
int compare(const SampleValue& a, const SampleValue& b);

// a - b in the kind rules above.
SampleValue subtract(const SampleValue& a, const SampleValue& b);

// Stable sort by value.
void sort_by_value(std::vector<SampleValue>& values);

// All of these require a non-empty sample (ValueError otherwise), except
// exact_pstdev which gives 0.0 below two values.
SampleValue exact_mean(std::span<const SampleValue> values);
double exact_pstdev(std::span<const SampleValue> values);
// Both at once, from one pass over the sample.
struct Moments {
  SampleValue mean;
  double pstdev = 0.0;
};
Moments exact_moments(std::span<const SampleValue> values);

// exact_moments of a sample that changes one value at a time (a sliding
// window), from exact sums kept as values come and go instead of a pass over
// the sample. The sums are integers scaled to the finest exponent seen: in
// 128 bits while every finite value so scaled stays below 2^57 and the
// sample has at most 64 values, in big integers otherwise. Past the 128-bit
// bounds, and once the sample has turned over in big integers, the sums are
// formed again from the sample. moments() is nullopt for an empty sample and
// one holding a non-finite value or an integer of 2^57 or more, where
// exact_moments must be used.
class RunningMoments {
 public:
  RunningMoments();
  ~RunningMoments();
  RunningMoments(RunningMoments&&) noexcept;
  RunningMoments& operator=(RunningMoments&&) noexcept;

  void add(const SampleValue& value);
  void remove(const SampleValue& value);
  // The moments of `sample`, which must hold exactly the values added and
  // not removed (it is read only when the sums are formed again).
  std::optional<Moments> moments(std::span<const SampleValue> sample);

 private:
  struct WideSums;
  enum class Sums { kNarrow, kWide, kStale };

  // Adds `sign` times a value to the 128-bit sums; false when they cannot
  // hold it.
  bool accumulate(const SampleValue& value, int sign);
  void accumulate_wide(const SampleValue& value, int sign);
  void rebuild(std::span<const SampleValue> sample);
  Moments wide_moments() const;

  size_t count_ = 0;
  size_t reals_ = 0;
  size_t outside_ = 0;  // non-finite values and integers of 2^57 or more
  Sums sums_ = Sums::kNarrow;
  __int128 sum_ = 0;     // scaled by 2^-exponent_
  __int128 sum_sq_ = 0;  // scaled by 2^-2exponent_
  long exponent_ = 0;    // never above 0, so that an integer sum is whole
  long top_ = 0;         // above the highest bit of every value summed
  std::unique_ptr<WideSums> wide_;  // the same sums, when kWide
  size_t wide_removals_ = 0;        // since the big sums were formed
};

SampleValue median(std::span<const SampleValue> values);
// The median of `values`, which it reorders (no copy, no full sort when
// the order of equal values cannot matter).
SampleValue median_in_place(std::vector<SampleValue>& values);
// The median of a sample already sorted by value.
SampleValue median_of_sorted(std::span<const SampleValue> sorted);
SampleValue median_absolute_deviation(std::span<const SampleValue> values);
// The same around a known median of the sample.
SampleValue median_absolute_deviation(std::span<const SampleValue> values, const SampleValue& center);
// The same from the sample sorted by value, without computing every
// deviation; nullopt when equal deviations of both kinds (or NaN) make the
// sample's own order matter, so that only the overload above can tell.
std::optional<SampleValue> median_absolute_deviation_of_sorted(std::span<const SampleValue> sorted,
                                                               const SampleValue& center);
// s[floor(3n/4)] - s[floor(n/4)] of the sorted sample.
SampleValue interquartile_range(std::span<const SampleValue> values);
SampleValue interquartile_range_of_sorted(std::span<const SampleValue> sorted);

}  // namespace velquor
