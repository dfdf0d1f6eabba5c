#include "shared/exact_stats.h"

#include <gmp.h>

#include <algorithm>
#include <bit>
#include <climits>
#include <cmath>
#include <optional>

#include "shared/errors.h"
#include "shared/numbers.h"

namespace velquor {
namespace {

using u128 = unsigned __int128;

// Big-integer registers, allocated once per thread and reused: after the
// first few samples no statistic allocates.
struct Registers {
  mpz_t sum, sum_sq, term, big, quotient, remainder, shifted;
  Registers() { mpz_inits(sum, sum_sq, term, big, quotient, remainder, shifted, nullptr); }
  ~Registers() { mpz_clears(sum, sum_sq, term, big, quotient, remainder, shifted, nullptr); }
};

Registers& registers() {
  thread_local Registers regs;
  return regs;
}

u128 magnitude(__int128 v) { return v < 0 ? -static_cast<u128>(v) : static_cast<u128>(v); }

void set_u128(mpz_t z, u128 v) {
  mpz_set_ui(z, static_cast<unsigned long>(v >> 64));
  mpz_mul_2exp(z, z, 64);
  mpz_add_ui(z, z, static_cast<unsigned long>(v));
}

// The double nearest to top * 2^exp (ties to even), where `top` holds its
// highest bit at position 63 and `sticky` says the true value lies slightly
// above top * 2^exp. Handles subnormal results and overflow.
double round_normalized(uint64_t top, long exp, bool sticky) {
  long drop = (63 + exp >= -1022) ? 11 : -1074 - exp;
  if (drop >= 65) return 0.0;
  u128 wide = top;
  u128 keep = wide >> drop;
  u128 rest = wide & ((u128(1) << drop) - 1);
  u128 half = u128(1) << (drop - 1);
  if (rest > half || (rest == half && (sticky || (keep & 1)))) ++keep;
  return std::ldexp(static_cast<double>(static_cast<uint64_t>(keep)), static_cast<int>(exp + drop));
}

// The double nearest to v * 2^exp for v >= 0, `sticky` as above.
double round_scaled(const mpz_t v, long exp, bool sticky) {
  if (mpz_sgn(v) == 0) return 0.0;
  long bits = static_cast<long>(mpz_sizeinbase(v, 2));
  Registers& r = registers();
  uint64_t top;
  if (bits > 64) {
    long shift = bits - 64;
    mpz_tdiv_q_2exp(r.shifted, v, shift);
    top = mpz_getlimbn(r.shifted, 0);
    sticky = sticky || static_cast<long>(mpz_scan1(v, 0)) < shift;
    exp += shift;
  } else {
    top = static_cast<uint64_t>(mpz_getlimbn(v, 0)) << (64 - bits);
    exp -= 64 - bits;
  }
  return round_normalized(top, exp, sticky);
}

long bit_length(const mpz_t v) { return mpz_sgn(v) == 0 ? 0 : static_cast<long>(mpz_sizeinbase(v, 2)); }

// The double nearest to num * 2^exp / n, for any sign of num.
double round_quotient(const mpz_t num, long exp, uint64_t n) {
  Registers& r = registers();
  if (mpz_sgn(num) == 0) return 0.0;
  long n_bits = 64 - std::countl_zero(n);
  long k = std::max(0L, 66 + n_bits - bit_length(num));
  mpz_abs(r.big, num);
  mpz_mul_2exp(r.big, r.big, k);
  bool inexact = mpz_tdiv_qr_ui(r.quotient, r.remainder, r.big, n) != 0;
  double value = round_scaled(r.quotient, exp - k, inexact);
  return mpz_sgn(num) < 0 ? -value : value;
}

// The double nearest to sqrt(d) * 2^exp / n for d >= 0.
double round_root(const mpz_t d, long exp, uint64_t n) {
  Registers& r = registers();
  if (mpz_sgn(d) == 0) return 0.0;
  long n_bits = 64 - std::countl_zero(n);
  long k = std::max(0L, (136 + 2 * n_bits - bit_length(d)) / 2 + 1);
  mpz_mul_2exp(r.big, d, 2 * k);
  mpz_set_ui(r.term, n);
  mpz_mul_ui(r.term, r.term, n);
  mpz_tdiv_qr(r.quotient, r.remainder, r.big, r.term);
  bool inexact = mpz_sgn(r.remainder) != 0;
  mpz_sqrtrem(r.big, r.remainder, r.quotient);
  inexact = inexact || mpz_sgn(r.remainder) != 0;
  return round_scaled(r.big, exp - k, inexact);
}

// ---- Kinds of samples --------------------------------------------------

bool all_integers(std::span<const SampleValue> values) {
  return std::all_of(values.begin(), values.end(), [](const SampleValue& v) { return v.is_integer(); });
}

// Integer samples small enough that n * sum of squares fits 128 bits.
bool small_integers(std::span<const SampleValue> values) {
  if (values.size() >= (size_t(1) << 16)) return false;
  return std::all_of(values.begin(), values.end(), [](const SampleValue& v) {
    return v.is_integer() && magnitude(v.integer_value()) < (u128(1) << 40);
  });
}

bool has_non_finite(std::span<const SampleValue> values) {
  return std::any_of(values.begin(), values.end(), [](const SampleValue& v) {
    return !v.is_integer() && !std::isfinite(v.real_value());
  });
}

// A finite value as sign * mantissa * 2^exponent with an odd mantissa (0 for zero).
struct Dyadic {
  bool negative = false;
  u128 mantissa = 0;
  long exponent = 0;
};

// Read from the bits of a double rather than through frexp and ldexp: this
// runs for every value of every baseline sample.
Dyadic dyadic(const SampleValue& v) {
  Dyadic d;
  if (v.is_integer()) {
    d.negative = v.integer_value() < 0;
    d.mantissa = magnitude(v.integer_value());
  } else {
    const uint64_t bits = std::bit_cast<uint64_t>(v.real_value());
    const long biased = static_cast<long>((bits >> 52) & 0x7FF);
    const uint64_t fraction = bits & ((uint64_t(1) << 52) - 1);
    d.mantissa = biased == 0 ? fraction : fraction | (uint64_t(1) << 52);
    d.exponent = biased == 0 ? -1074 : biased - 1075;
    d.negative = d.mantissa != 0 && (bits >> 63) != 0;
  }
  if (d.mantissa == 0) return d;
  uint64_t low = static_cast<uint64_t>(d.mantissa);
  int zeros = low != 0 ? std::countr_zero(low)
                       : 64 + std::countr_zero(static_cast<uint64_t>(d.mantissa >> 64));
  d.mantissa >>= zeros;
  d.exponent += zeros;
  return d;
}

// Fills sum and sum_sq with the exact sums of the sample scaled by 2^-emin
// (so that every value is an integer) and returns emin.
long scaled_sums(std::span<const SampleValue> values, bool with_squares) {
  Registers& r = registers();
  std::vector<Dyadic> parts;
  parts.reserve(values.size());
  long emin = LONG_MAX;
  for (const SampleValue& v : values) {
    parts.push_back(dyadic(v));
    if (parts.back().mantissa != 0) emin = std::min(emin, parts.back().exponent);
  }
  if (emin == LONG_MAX) emin = 0;
  mpz_set_ui(r.sum, 0);
  mpz_set_ui(r.sum_sq, 0);
  for (const Dyadic& d : parts) {
    if (d.mantissa == 0) continue;
    set_u128(r.term, d.mantissa);
    mpz_mul_2exp(r.term, r.term, d.exponent - emin);
    if (d.negative) mpz_sub(r.sum, r.sum, r.term);
    else mpz_add(r.sum, r.sum, r.term);
    if (with_squares) mpz_addmul(r.sum_sq, r.term, r.term);
  }
  return emin;
}

double non_finite_sum(std::span<const SampleValue> values) {
  double sum = 0.0;
  for (const SampleValue& v : values)
    if (!v.is_integer() && !std::isfinite(v.real_value())) sum += v.real_value();
  return sum;
}

void require_values(std::span<const SampleValue> values, const char* what) {
  if (values.empty()) throw ValueError(std::string(what) + " of an empty sample");
}

int bit_length(u128 v) {
  uint64_t high = static_cast<uint64_t>(v >> 64);
  return high ? 128 - std::countl_zero(high) : 64 - std::countl_zero(static_cast<uint64_t>(v));
}

// The double nearest to a * 2^exp / n, for n below 2^61.
double round_quotient_128(u128 a, uint64_t n, long exp) {
  if (a == 0) return 0.0;
  int shift = 127 - bit_length(a);  // keep the quotient wide: 127-bit dividend
  a <<= shift;
  exp -= shift;
  u128 q = a / n;
  bool sticky = a % n != 0;
  int drop = bit_length(q) - 64;
  uint64_t top = static_cast<uint64_t>(q >> drop);
  sticky = sticky || (q & ((u128(1) << drop) - 1)) != 0;
  return round_normalized(top, exp + drop, sticky);
}

// The double nearest to sqrt(d) * 2^exp / n. A long double root carries 11
// bits beyond a double; only when those bits lie near a rounding midpoint
// (or the result is subnormal) is the exact integer root needed.
double root_over_n(u128 d, uint64_t n, long exp) {
  if (d == 0) return 0.0;
  long double approx = std::sqrt(static_cast<long double>(d)) / static_cast<long double>(n);
  int e = 0;
  long double f = std::frexp(approx, &e);
  uint64_t bits = static_cast<uint64_t>(std::ldexp(f, 64));
  long below = static_cast<long>(bits & 0x7FF) - 0x400;
  if ((below > 8 || below < -8) && e + exp > -1020 && e + exp < 1020)
    return std::ldexp(static_cast<double>(approx), static_cast<int>(exp));
  Registers& r = registers();
  set_u128(r.sum_sq, d);
  return round_root(r.sum_sq, exp, n);
}

// Exact sums of a sample scaled by 2^-emin, in 128 bits: possible when every
// scaled value stays below 2^57 and there are at most 64 values, which holds
// for nearly every real sample of one metric (durations, rates).
struct SmallSums {
  __int128 sum = 0;
  __int128 sum_sq = 0;
  long emin = 0;
};

std::optional<SmallSums> small_scaled_sums(std::span<const SampleValue> values) {
  if (values.size() > 64) return std::nullopt;
  Dyadic parts[64];
  long emin = LONG_MAX, emax = LONG_MIN;
  for (size_t i = 0; i < values.size(); ++i) {
    if (values[i].is_integer() && magnitude(values[i].integer_value()) >= (u128(1) << 57)) return std::nullopt;
    parts[i] = dyadic(values[i]);
    if (parts[i].mantissa == 0) continue;
    emin = std::min(emin, parts[i].exponent);
    emax = std::max(emax, parts[i].exponent + bit_length(parts[i].mantissa));
  }
  SmallSums sums;
  if (emin == LONG_MAX) return sums;  // all zeros
  if (emax - emin > 57) return std::nullopt;
  sums.emin = emin;
  for (size_t i = 0; i < values.size(); ++i) {
    if (parts[i].mantissa == 0) continue;
    __int128 scaled = static_cast<__int128>(parts[i].mantissa << (parts[i].exponent - emin));
    sums.sum += parts[i].negative ? -scaled : scaled;
    sums.sum_sq += scaled * scaled;
  }
  return sums;
}

double signed_quotient(__int128 sum, uint64_t n, long exp) {
  double value = round_quotient_128(magnitude(sum), n, exp);
  return sum < 0 ? -value : value;
}

}  // namespace

// ---- SampleValue ---------------------------------------------------------

SampleValue SampleValue::integer(__int128 value) {
  SampleValue v;
  v.is_integer_ = true;
  v.integer_ = value;
  return v;
}

SampleValue SampleValue::real(double value) {
  SampleValue v;
  v.is_integer_ = false;
  v.real_ = value;
  return v;
}

SampleValue SampleValue::from_json(const Json& value, const std::string& what) {
  switch (value.type()) {
    case Json::value_t::number_integer: return integer(value.get<int64_t>());
    case Json::value_t::number_unsigned: return integer(value.get<uint64_t>());
    case Json::value_t::boolean: return integer(value.get<bool>() ? 1 : 0);
    case Json::value_t::number_float: return real(value.get<double>());
    default: throw TypeError(what + " is " + json_kind(value) + ", expected number");
  }
}

double SampleValue::to_double() const {
  return is_integer_ ? static_cast<double>(integer_) : real_;
}

Json SampleValue::to_json() const {
  if (!is_integer_) return Json(real_);
  if (integer_ >= INT64_MIN && integer_ <= INT64_MAX) return Json(static_cast<int64_t>(integer_));
  if (integer_ > 0 && integer_ <= static_cast<__int128>(UINT64_MAX))
    return Json(static_cast<uint64_t>(integer_));
  return Json(to_double());
}

bool SampleValue::is_zero() const { return is_integer_ ? integer_ == 0 : real_ == 0.0; }
bool SampleValue::is_positive() const { return is_integer_ ? integer_ > 0 : real_ > 0.0; }

namespace {

int compare_integer_real(__int128 i, double d) {
  if (std::isnan(d)) return -1;
  constexpr double kLimit = 0x1p127;
  if (d >= kLimit) return -1;
  if (d < -kLimit) return 1;
  double whole = std::trunc(d);
  __int128 t = static_cast<__int128>(whole);
  if (i != t) return i < t ? -1 : 1;
  double frac = d - whole;
  return frac > 0 ? -1 : (frac < 0 ? 1 : 0);
}

int compare_reals(double a, double b) {
  bool a_nan = std::isnan(a), b_nan = std::isnan(b);
  if (a_nan || b_nan) return a_nan == b_nan ? 0 : (a_nan ? 1 : -1);
  return a < b ? -1 : (a > b ? 1 : 0);
}

}  // namespace

int compare(const SampleValue& a, const SampleValue& b) {
  if (a.is_integer() && b.is_integer()) {
    return a.integer_value() < b.integer_value() ? -1 : (a.integer_value() > b.integer_value() ? 1 : 0);
  }
  if (a.is_integer()) return compare_integer_real(a.integer_value(), b.real_value());
  if (b.is_integer()) return -compare_integer_real(b.integer_value(), a.real_value());
  return compare_reals(a.real_value(), b.real_value());
}

SampleValue subtract(const SampleValue& a, const SampleValue& b) {
  if (a.is_integer() && b.is_integer()) return SampleValue::integer(a.integer_value() - b.integer_value());
  return SampleValue::real(a.to_double() - b.to_double());
}

namespace {

// Stable and allocation-free: baseline samples hold a window's worth of
// values, where this beats a merge sort with its buffer.
template <class Less>
void insertion_sort(std::vector<SampleValue>& values, Less less) {
  for (size_t i = 1; i < values.size(); ++i) {
    SampleValue item = values[i];
    size_t j = i;
    for (; j > 0 && less(item, values[j - 1]); --j) values[j] = values[j - 1];
    values[j] = item;
  }
}

// Whether equal values are indistinguishable, so that any order among them
// gives the same result as a stable sort: one kind, and for reals no
// negative zero (written "-0.0") and no NaN.
bool interchangeable_ties(std::span<const SampleValue> values) {
  if (all_integers(values)) return true;
  return std::all_of(values.begin(), values.end(), [](const SampleValue& v) {
    return !v.is_integer() && !std::isnan(v.real_value()) &&
           !(v.real_value() == 0.0 && std::signbit(v.real_value()));
  });
}

bool less_by_value(const SampleValue& a, const SampleValue& b) {
  if (a.is_integer() && b.is_integer()) return a.integer_value() < b.integer_value();
  if (!a.is_integer() && !b.is_integer()) return a.real_value() < b.real_value();
  return compare(a, b) < 0;
}

SampleValue middle_pair_median(const SampleValue& low, const SampleValue& high) {
  if (low.is_integer() && high.is_integer()) {
    // The conversion rounds the exact sum once; halving a double is exact.
    return SampleValue::real(static_cast<double>(low.integer_value() + high.integer_value()) / 2.0);
  }
  return SampleValue::real((low.to_double() + high.to_double()) / 2.0);
}

}  // namespace

void sort_by_value(std::vector<SampleValue>& values) {
  if (interchangeable_ties(values)) {
    std::sort(values.begin(), values.end(), less_by_value);
    return;
  }
  auto by_value = [](const SampleValue& a, const SampleValue& b) { return compare(a, b) < 0; };
  if (values.size() > 64) std::stable_sort(values.begin(), values.end(), by_value);
  else insertion_sort(values, by_value);
}

SampleValue median_in_place(std::vector<SampleValue>& values) {
  require_values(values, "median");
  if (!interchangeable_ties(values)) {
    sort_by_value(values);
    return median_of_sorted(values);
  }
  // Only the middle values matter: select them instead of sorting.
  auto middle = values.begin() + values.size() / 2;
  std::nth_element(values.begin(), middle, values.end(), less_by_value);
  if (values.size() % 2 == 1) return *middle;
  return middle_pair_median(*std::max_element(values.begin(), middle, less_by_value), *middle);
}

// ---- Statistics ------------------------------------------------------------

namespace {

// The mean of n integers of 128 bits whose exact sum is `sum` (which it
// divides in place when n divides it): that integer, or the nearest double.
SampleValue mean_of_whole_sum(mpz_t sum, uint64_t n) {
  Registers& r = registers();
  if (!mpz_divisible_ui_p(sum, n)) return SampleValue::real(round_quotient(sum, 0, n));
  // The mean of values that fit 128 bits fits 128 bits.
  mpz_divexact_ui(sum, sum, n);
  mpz_abs(r.big, sum);
  u128 whole = (u128(mpz_getlimbn(r.big, 1)) << 64) | mpz_getlimbn(r.big, 0);
  __int128 mean = static_cast<__int128>(whole);
  return SampleValue::integer(mpz_sgn(sum) < 0 ? -mean : mean);
}

// The mean of integers too large for 128-bit sums.
SampleValue integer_mean(std::span<const SampleValue> values) {
  Registers& r = registers();
  const uint64_t n = values.size();
  mpz_set_ui(r.sum, 0);
  for (const SampleValue& v : values) {
    set_u128(r.term, magnitude(v.integer_value()));
    if (v.integer_value() < 0) mpz_sub(r.sum, r.sum, r.term);
    else mpz_add(r.sum, r.sum, r.term);
  }
  return mean_of_whole_sum(r.sum, n);
}

}  // namespace

// n^2 * variance = n * (sum of squares) - sum^2: both moments come from the
// same exact sums, formed once.
Moments exact_moments(std::span<const SampleValue> values) {
  require_values(values, "mean");
  const uint64_t n = values.size();
  Moments m;
  if (small_integers(values)) {
    __int128 sum = 0, sum_sq = 0;
    for (const SampleValue& v : values) {
      sum += v.integer_value();
      sum_sq += v.integer_value() * v.integer_value();
    }
    m.mean = sum % static_cast<__int128>(n) == 0 ? SampleValue::integer(sum / static_cast<__int128>(n))
                                                 : SampleValue::real(signed_quotient(sum, n, 0));
    if (n >= 2) m.pstdev = root_over_n(static_cast<u128>(static_cast<__int128>(n) * sum_sq - sum * sum), n, 0);
    return m;
  }
  if (has_non_finite(values)) {
    m.mean = SampleValue::real(non_finite_sum(values));
    if (n >= 2) m.pstdev = std::nan("");
    return m;
  }
  const bool integers = all_integers(values);
  if (std::optional<SmallSums> sums = small_scaled_sums(values)) {
    m.mean = integers ? integer_mean(values) : SampleValue::real(signed_quotient(sums->sum, n, sums->emin));
    if (n >= 2) {
      u128 d = static_cast<u128>(static_cast<__int128>(n) * sums->sum_sq - sums->sum * sums->sum);
      m.pstdev = root_over_n(d, n, sums->emin);
    }
    return m;
  }
  Registers& r = registers();
  long emin = scaled_sums(values, true);
  if (!integers) m.mean = SampleValue::real(round_quotient(r.sum, emin, n));
  if (n >= 2) {
    mpz_mul_ui(r.sum_sq, r.sum_sq, n);
    mpz_submul(r.sum_sq, r.sum, r.sum);
    m.pstdev = round_root(r.sum_sq, emin, n);
  }
  if (integers) m.mean = integer_mean(values);  // reuses the registers: last
  return m;
}

namespace {

constexpr long kSmallBits = 57;  // the bound of small_scaled_sums
constexpr size_t kSmallCount = 64;

bool outside_sums(const SampleValue& v) {
  if (v.is_integer()) return magnitude(v.integer_value()) >= (u128(1) << kSmallBits);
  return !std::isfinite(v.real_value());
}

}  // namespace

struct RunningMoments::WideSums {
  mpz_t sum, sum_sq, term;
  WideSums() { mpz_inits(sum, sum_sq, term, nullptr); }
  ~WideSums() { mpz_clears(sum, sum_sq, term, nullptr); }
};

RunningMoments::RunningMoments() = default;
RunningMoments::~RunningMoments() = default;
RunningMoments::RunningMoments(RunningMoments&&) noexcept = default;
RunningMoments& RunningMoments::operator=(RunningMoments&&) noexcept = default;

void RunningMoments::add(const SampleValue& value) {
  ++count_;
  if (!value.is_integer()) ++reals_;
  if (outside_sums(value)) ++outside_;
  else if (sums_ == Sums::kWide) accumulate_wide(value, 1);
  else if (sums_ == Sums::kNarrow && !(count_ <= kSmallCount && accumulate(value, 1))) sums_ = Sums::kStale;
}

void RunningMoments::remove(const SampleValue& value) {
  --count_;
  if (!value.is_integer()) --reals_;
  if (outside_sums(value)) {
    --outside_;
  } else if (sums_ == Sums::kWide) {
    accumulate_wide(value, -1);
    // Once the sample has turned over, the 128-bit sums may hold it again,
    // and a fresh exponent keeps the big ones short.
    if (++wide_removals_ >= count_) sums_ = Sums::kStale;
  } else if (sums_ == Sums::kNarrow) {
    accumulate(value, -1);
  }
}

bool RunningMoments::accumulate(const SampleValue& value, int sign) {
  const Dyadic d = dyadic(value);
  if (d.mantissa == 0) return true;
  const long exponent = std::min(exponent_, d.exponent);
  const long top = std::max(top_, d.exponent + bit_length(d.mantissa));
  if (top - exponent > kSmallBits) return false;
  if (exponent < exponent_) {  // every scaled value stays below 2^57: no overflow
    sum_ <<= exponent_ - exponent;
    sum_sq_ <<= 2 * (exponent_ - exponent);
    exponent_ = exponent;
  }
  top_ = top;
  const auto scaled = static_cast<__int128>(d.mantissa << (d.exponent - exponent_));
  sum_ += d.negative == (sign < 0) ? scaled : -scaled;
  sum_sq_ += sign * scaled * scaled;
  return true;
}

void RunningMoments::accumulate_wide(const SampleValue& value, int sign) {
  const Dyadic d = dyadic(value);
  if (d.mantissa == 0) return;
  WideSums& w = *wide_;
  if (d.exponent < exponent_) {
    mpz_mul_2exp(w.sum, w.sum, exponent_ - d.exponent);
    mpz_mul_2exp(w.sum_sq, w.sum_sq, 2 * (exponent_ - d.exponent));
    exponent_ = d.exponent;
  }
  set_u128(w.term, d.mantissa);
  mpz_mul_2exp(w.term, w.term, d.exponent - exponent_);
  if (d.negative == (sign < 0)) mpz_add(w.sum, w.sum, w.term);
  else mpz_sub(w.sum, w.sum, w.term);
  if (sign > 0) mpz_addmul(w.sum_sq, w.term, w.term);
  else mpz_submul(w.sum_sq, w.term, w.term);
}

void RunningMoments::rebuild(std::span<const SampleValue> sample) {
  sum_ = sum_sq_ = 0;
  exponent_ = top_ = 0;
  // The finest exponent first, so that the sums never shift.
  for (const SampleValue& v : sample) {
    const Dyadic d = dyadic(v);
    if (d.mantissa == 0) continue;
    exponent_ = std::min(exponent_, d.exponent);
    top_ = std::max(top_, d.exponent + bit_length(d.mantissa));
  }
  if (top_ - exponent_ <= kSmallBits && sample.size() <= kSmallCount) {
    sums_ = Sums::kNarrow;
    for (const SampleValue& v : sample) accumulate(v, 1);
    return;
  }
  if (!wide_) wide_ = std::make_unique<WideSums>();
  mpz_set_ui(wide_->sum, 0);
  mpz_set_ui(wide_->sum_sq, 0);
  sums_ = Sums::kWide;
  wide_removals_ = 0;
  for (const SampleValue& v : sample) accumulate_wide(v, 1);
}

// As exact_moments forms them from its big sums.
Moments RunningMoments::wide_moments() const {
  WideSums& w = *wide_;
  const uint64_t n = count_;
  Moments m;
  if (reals_ > 0) {
    m.mean = SampleValue::real(round_quotient(w.sum, exponent_, n));
  } else {
    mpz_tdiv_q_2exp(w.term, w.sum, -exponent_);  // exact: the sum of integers
    m.mean = mean_of_whole_sum(w.term, n);
  }
  if (n >= 2) {
    mpz_mul_ui(w.term, w.sum_sq, n);
    mpz_submul(w.term, w.sum, w.sum);
    m.pstdev = round_root(w.term, exponent_, n);
  }
  return m;
}

std::optional<Moments> RunningMoments::moments(std::span<const SampleValue> sample) {
  if (count_ == 0 || outside_ > 0) return std::nullopt;
  if (sums_ == Sums::kStale) rebuild(sample);
  if (sums_ == Sums::kWide) return wide_moments();
  const uint64_t n = count_;
  Moments m;
  // Integers only: a nonzero one keeps exponent_ above -57, and the scaled
  // sum shifts back to the whole sum exactly.
  const __int128 whole_sum = reals_ > 0 || sum_ == 0 ? 0 : sum_ >> -exponent_;
  if (reals_ == 0 && whole_sum % static_cast<__int128>(n) == 0)
    m.mean = SampleValue::integer(whole_sum / static_cast<__int128>(n));
  else
    m.mean = SampleValue::real(signed_quotient(sum_, n, exponent_));
  if (n >= 2) m.pstdev = root_over_n(static_cast<u128>(static_cast<__int128>(n) * sum_sq_ - sum_ * sum_), n, exponent_);
  return m;
}

SampleValue exact_mean(std::span<const SampleValue> values) { return exact_moments(values).mean; }

double exact_pstdev(std::span<const SampleValue> values) {
  return values.size() < 2 ? 0.0 : exact_moments(values).pstdev;
}

SampleValue median_of_sorted(std::span<const SampleValue> sorted) {
  require_values(sorted, "median");
  size_t n = sorted.size();
  if (n % 2 == 1) return sorted[n / 2];
  return middle_pair_median(sorted[n / 2 - 1], sorted[n / 2]);
}

SampleValue median(std::span<const SampleValue> values) {
  std::vector<SampleValue> copy(values.begin(), values.end());
  return median_in_place(copy);
}

namespace {

SampleValue absolute_deviation(const SampleValue& value, const SampleValue& center) {
  SampleValue d = subtract(value, center);
  if (d.is_integer()) return SampleValue::integer(d.integer_value() < 0 ? -d.integer_value() : d.integer_value());
  return SampleValue::real(std::fabs(d.real_value()));
}

// Whether the deviations of a sorted sample from `center` are interchangeable
// ties (see interchangeable_ties): all integers around an integer center, or
// all reals without NaN around a finite real one (NaN sorts last).
bool deviations_interchangeable(std::span<const SampleValue> sorted, const SampleValue& center) {
  if (center.is_integer()) return all_integers(sorted);
  const SampleValue& last = sorted.back();
  return std::isfinite(center.real_value()) && (last.is_integer() || !std::isnan(last.real_value()));
}

// The deviations below the center shrink along the sorted sample and those
// from it on grow (subtraction rounds monotonically): two sorted runs, read
// outward from the center, whose middle values are found by a binary search
// over how many of them the lower run gives.
class DeviationRuns {
 public:
  DeviationRuns(std::span<const SampleValue> sorted, const SampleValue& center)
      : sorted_(sorted), center_(center) {
    split_ = std::partition_point(sorted.begin(), sorted.end(),
                                  [&](const SampleValue& v) { return compare(v, center) < 0; }) -
             sorted.begin();
  }

  // The deviation of rank `rank` (0: the smallest) among all of them.
  SampleValue ranked(size_t rank) const {
    const size_t lows = split_, highs = sorted_.size() - split_, wanted = rank + 1;
    // Of the `wanted` smallest, `from_low` come from the lower run.
    size_t first = wanted > highs ? wanted - highs : 0, last = std::min(wanted, lows);
    while (first < last) {
      const size_t from_low = (first + last) / 2;  // below last: low(from_low) exists
      const size_t from_high = wanted - from_low;  // at least 1
      if (less_by_value(low(from_low), high(from_high - 1))) first = from_low + 1;
      else last = from_low;
    }
    const size_t from_low = first, from_high = wanted - first;
    if (from_low == 0) return high(from_high - 1);
    if (from_high == 0) return low(from_low - 1);
    const SampleValue a = low(from_low - 1), b = high(from_high - 1);
    return less_by_value(a, b) ? b : a;
  }

 private:
  SampleValue low(size_t i) const { return absolute_deviation(sorted_[split_ - 1 - i], center_); }
  SampleValue high(size_t i) const { return absolute_deviation(sorted_[split_ + i], center_); }

  std::span<const SampleValue> sorted_;
  const SampleValue& center_;
  size_t split_;
};

SampleValue merged_median_deviation(std::span<const SampleValue> sorted, const SampleValue& center) {
  const size_t n = sorted.size();
  const DeviationRuns runs(sorted, center);
  if (n % 2 == 1) return runs.ranked(n / 2);
  return middle_pair_median(runs.ranked(n / 2 - 1), runs.ranked(n / 2));
}

}  // namespace

SampleValue median_absolute_deviation(std::span<const SampleValue> values, const SampleValue& center) {
  // Deviations in the sample's own order: among equal deviations of both
  // kinds, the stable sort keeps that order. The buffer is reused.
  thread_local std::vector<SampleValue> deviations;
  deviations.clear();
  for (const SampleValue& v : values) deviations.push_back(absolute_deviation(v, center));
  return median_in_place(deviations);
}

std::optional<SampleValue> median_absolute_deviation_of_sorted(std::span<const SampleValue> sorted,
                                                               const SampleValue& center) {
  require_values(sorted, "median");
  if (!deviations_interchangeable(sorted, center)) return std::nullopt;
  return merged_median_deviation(sorted, center);
}

SampleValue median_absolute_deviation(std::span<const SampleValue> values) {
  return median_absolute_deviation(values, median(values));
}

SampleValue interquartile_range_of_sorted(std::span<const SampleValue> sorted) {
  require_values(sorted, "interquartile range");
  size_t n = sorted.size();
  return subtract(sorted[3 * n / 4], sorted[n / 4]);
}

SampleValue interquartile_range(std::span<const SampleValue> values) {
  std::vector<SampleValue> sorted(values.begin(), values.end());
  sort_by_value(sorted);
  return interquartile_range_of_sorted(sorted);
}

}  // namespace velquor
