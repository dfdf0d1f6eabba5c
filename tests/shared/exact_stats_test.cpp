// The fast paths of the exact statistics against a slow reference built on
// arbitrary-precision rationals: every value taken as its exact fraction, the
// result rounded by trying the neighbouring doubles.
#include "shared/exact_stats.h"

#include <gmp.h>
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <deque>
#include <random>

#include "shared/errors.h"

namespace velquor {
namespace {

using Sample = std::vector<SampleValue>;

// RAII wrapper of an mpq_t, enough for the reference.
struct Rational {
  mpq_t q;
  Rational() { mpq_init(q); }
  explicit Rational(const SampleValue& v) {
    mpq_init(q);
    if (!v.is_integer()) {
      mpq_set_d(q, v.real_value());
      return;
    }
    __int128 i = v.integer_value();
    unsigned __int128 m = i < 0 ? -static_cast<unsigned __int128>(i) : i;
    mpz_t z;
    mpz_init_set_ui(z, static_cast<unsigned long>(m >> 64));
    mpz_mul_2exp(z, z, 64);
    mpz_add_ui(z, z, static_cast<unsigned long>(m));
    if (i < 0) mpz_neg(z, z);
    mpq_set_z(q, z);
    mpz_clear(z);
  }
  explicit Rational(double d) { mpq_init(q); mpq_set_d(q, d); }
  Rational(const Rational& o) { mpq_init(q); mpq_set(q, o.q); }
  ~Rational() { mpq_clear(q); }
  Rational& operator=(const Rational&) = delete;
};

int cmp(const Rational& a, const Rational& b) { return mpq_cmp(a.q, b.q); }

// Midpoint of two doubles, exactly.
Rational midpoint(double a, double b) {
  Rational m(a), other(b);
  mpq_add(m.q, m.q, other.q);
  mpq_div_2exp(m.q, m.q, 1);
  return m;
}

bool even_mantissa(double d) { return (std::bit_cast<uint64_t>(d) & 1) == 0; }

// The double nearest to f(x) where `above(x)` tells whether the exact result
// exceeds the double x: bisection over the neighbours of an estimate.
template <class Above>
double nearest(double estimate, Above above) {
  double c = estimate;
  for (int i = 0; i < 200 && above(midpoint(c, std::nextafter(c, INFINITY))) > 0; ++i)
    c = std::nextafter(c, INFINITY);
  for (int i = 0; i < 200 && above(midpoint(std::nextafter(c, -INFINITY), c)) < 0; ++i)
    c = std::nextafter(c, -INFINITY);
  // Ties go to the even neighbour.
  if (above(midpoint(c, std::nextafter(c, INFINITY))) == 0 && !even_mantissa(c))
    c = std::nextafter(c, INFINITY);
  if (above(midpoint(std::nextafter(c, -INFINITY), c)) == 0 && !even_mantissa(c))
    c = std::nextafter(c, -INFINITY);
  return c;
}

Rational exact_sum(const Sample& s) {
  Rational sum;
  for (const SampleValue& v : s) {
    Rational r(v);
    mpq_add(sum.q, sum.q, r.q);
  }
  return sum;
}

SampleValue reference_mean(const Sample& s) {
  Rational mean = exact_sum(s);
  Rational n(static_cast<double>(s.size()));
  mpq_div(mean.q, mean.q, n.q);
  bool integers = std::all_of(s.begin(), s.end(), [](const SampleValue& v) { return v.is_integer(); });
  if (integers && mpz_cmp_ui(mpq_denref(mean.q), 1) == 0 && mpz_sizeinbase(mpq_numref(mean.q), 2) < 63)
    return SampleValue::integer(mpz_get_si(mpq_numref(mean.q)));
  double d = nearest(mpq_get_d(mean.q), [&](const Rational& x) { return cmp(mean, x); });
  return SampleValue::real(d);
}

double reference_pstdev(const Sample& s) {
  if (s.size() < 2) return 0.0;
  Rational mean = exact_sum(s), var;
  Rational n(static_cast<double>(s.size()));
  mpq_div(mean.q, mean.q, n.q);
  for (const SampleValue& v : s) {
    Rational d(v);
    mpq_sub(d.q, d.q, mean.q);
    mpq_mul(d.q, d.q, d.q);
    mpq_add(var.q, var.q, d.q);
  }
  mpq_div(var.q, var.q, n.q);
  // sqrt(var) > x  <=>  var > x^2 for x >= 0.
  // Estimate the root of a variance that may not fit a double.
  long k = (static_cast<long>(mpz_sizeinbase(mpq_numref(var.q), 2)) -
            static_cast<long>(mpz_sizeinbase(mpq_denref(var.q), 2))) / 2;
  Rational scaled(var);
  if (k > 0) mpq_div_2exp(scaled.q, scaled.q, 2 * k);
  else mpq_mul_2exp(scaled.q, scaled.q, -2 * k);
  double estimate = std::ldexp(std::sqrt(mpq_get_d(scaled.q)), static_cast<int>(k));
  return nearest(estimate, [&](const Rational& x) {
    if (mpq_sgn(x.q) < 0) return 1;
    Rational sq(x);
    mpq_mul(sq.q, sq.q, sq.q);
    return cmp(var, sq);
  });
}

void expect_same(const SampleValue& got, const SampleValue& want, const Sample& s) {
  std::string text;
  for (const SampleValue& v : s) text += (v.is_integer() ? "i" : "r") + std::to_string(v.to_double()) + " ";
  ASSERT_EQ(got.is_integer(), want.is_integer()) << text;
  if (got.is_integer()) {
    ASSERT_TRUE(got.integer_value() == want.integer_value()) << text;
  } else {
    ASSERT_EQ(got.real_value(), want.real_value()) << text << " " << got.real_value();
  }
}

Sample integers(std::initializer_list<long long> list) {
  Sample s;
  for (long long v : list) s.push_back(SampleValue::integer(v));
  return s;
}

Sample reals(std::initializer_list<double> list) {
  Sample s;
  for (double v : list) s.push_back(SampleValue::real(v));
  return s;
}

TEST(ExactStats, MeanKeepsKindAndRoundsOnce) {
  SampleValue m = exact_mean(integers({3, 4, 5}));
  EXPECT_TRUE(m.is_integer());
  EXPECT_TRUE(m.integer_value() == 4);
  EXPECT_EQ(exact_mean(integers({1, 2})).real_value(), 1.5);
  EXPECT_EQ(exact_mean(reals({0.1, 0.2, 0.3})).real_value(), 0.2);
  EXPECT_EQ(exact_mean(Sample{SampleValue::integer(4), SampleValue::real(5.0)}).real_value(), 4.5);
  SampleValue mixed = exact_mean(Sample{SampleValue::integer(2), SampleValue::real(2.0)});
  EXPECT_FALSE(mixed.is_integer());
  EXPECT_EQ(mixed.real_value(), 2.0);
  EXPECT_THROW(exact_mean(Sample{}), ValueError);
}

TEST(ExactStats, BooleansCountAsIntegers) {
  SampleValue t = SampleValue::from_json(Json(true), "x");
  EXPECT_TRUE(t.is_integer());
  EXPECT_TRUE(t.integer_value() == 1);
  EXPECT_THROW(SampleValue::from_json(Json("3"), "x"), TypeError);
  EXPECT_THROW(SampleValue::from_json(Json(nullptr), "x"), TypeError);
}

TEST(ExactStats, NonFiniteValuesFollowIeee) {
  Sample s = reals({1.0, INFINITY, 2.0});
  EXPECT_EQ(exact_mean(s).real_value(), INFINITY);
  EXPECT_TRUE(std::isnan(exact_pstdev(s)));
  EXPECT_TRUE(std::isnan(exact_mean(reals({INFINITY, -INFINITY, 1.0})).real_value()));
  EXPECT_EQ(exact_mean(reals({-INFINITY, 1.0})).real_value(), -INFINITY);
}

TEST(ExactStats, PstdevOfFewValuesAndExactRoots) {
  EXPECT_EQ(exact_pstdev(integers({5})), 0.0);
  EXPECT_EQ(exact_pstdev(integers({2, 4, 4, 4, 5, 5, 7, 9})), 2.0);
  EXPECT_EQ(exact_pstdev(integers({7, 7, 7})), 0.0);
  EXPECT_EQ(exact_pstdev(reals({1.0, 2.0})), 0.5);
}

TEST(ExactStats, MedianKinds) {
  SampleValue odd = median(integers({10, 12, 11, 13, 14}));
  EXPECT_TRUE(odd.is_integer());
  EXPECT_TRUE(odd.integer_value() == 12);
  SampleValue even = median(integers({1, 3, 5, 7}));
  EXPECT_FALSE(even.is_integer());
  EXPECT_EQ(even.real_value(), 4.0);
  // Two large integers: their exact sum halved, not each converted first.
  const long long big = (1LL << 53) + 1;
  EXPECT_EQ(median(integers({big, big + 2})).real_value(), static_cast<double>(big + 1));
  // Equal values of both kinds keep their order: the middle one decides.
  Sample tie{SampleValue::real(2.0), SampleValue::integer(2), SampleValue::integer(1)};
  EXPECT_FALSE(median(tie).is_integer());
  Sample tie2{SampleValue::integer(2), SampleValue::real(2.0), SampleValue::integer(1)};
  EXPECT_TRUE(median(tie2).is_integer());
}

TEST(ExactStats, MadAndIqrKinds) {
  SampleValue mad = median_absolute_deviation(integers({10, 12, 11, 13, 14}));
  EXPECT_TRUE(mad.is_integer());
  EXPECT_TRUE(mad.integer_value() == 1);
  EXPECT_TRUE(median_absolute_deviation(integers({1, 1, 1, 5})).is_zero());
  SampleValue iqr = interquartile_range(integers({1, 1, 1, 5}));
  EXPECT_TRUE(iqr.is_integer());
  EXPECT_TRUE(iqr.integer_value() == 4);
  EXPECT_TRUE(interquartile_range(integers({9})).is_zero());
  EXPECT_FALSE(interquartile_range(Sample{SampleValue::integer(1), SampleValue::real(3.0)}).is_integer());
}

TEST(ExactStats, CompareIsExactAcrossKinds) {
  const long long big = (1LL << 53) + 1;
  EXPECT_GT(compare(SampleValue::integer(big), SampleValue::real(0x1p53)), 0);
  EXPECT_EQ(compare(SampleValue::integer(3), SampleValue::real(3.0)), 0);
  EXPECT_LT(compare(SampleValue::integer(3), SampleValue::real(3.5)), 0);
  EXPECT_GT(compare(SampleValue::integer(-3), SampleValue::real(-3.5)), 0);
  EXPECT_LT(compare(SampleValue::real(1e300), SampleValue::real(NAN)), 0);
}

// Random samples of the kinds the engine meets, and some it rarely meets.
class RandomSamples {
 public:
  explicit RandomSamples(unsigned seed) : rng_(seed) {}

  Sample next() {
    size_t n = std::uniform_int_distribution<size_t>(1, 60)(rng_);
    int shape = std::uniform_int_distribution<int>(0, 7)(rng_);
    Sample s;
    for (size_t i = 0; i < n; ++i) s.push_back(value(shape));
    return s;
  }

 private:
  SampleValue value(int shape) {
    auto pick = [&](long long lo, long long hi) {
      return std::uniform_int_distribution<long long>(lo, hi)(rng_);
    };
    switch (shape) {
      case 0: return SampleValue::integer(pick(0, 40));  // counts
      case 1: return SampleValue::integer(pick(-(1LL << 62), 1LL << 62));
      case 2:  // durations and rates
        return SampleValue::real(std::uniform_real_distribution<double>(0, 2000)(rng_));
      case 3: {  // magnitudes far apart, subnormals included
        double m = std::uniform_real_distribution<double>(-1, 1)(rng_);
        return SampleValue::real(std::ldexp(m, static_cast<int>(pick(-1074, 1000))));
      }
      case 4:  // mixed kinds
        return pick(0, 1) ? SampleValue::integer(pick(-1000, 1000))
                          : SampleValue::real(std::uniform_real_distribution<double>(-1e3, 1e3)(rng_));
      case 5:  // few distinct values: exact roots and ties
        return SampleValue::real(static_cast<double>(pick(0, 4)) * 0.25);
      case 6:  // durations with one decimal
        return SampleValue::real(static_cast<double>(pick(500, 5000)) / 10.0);
      default:  // one binade, full precision, with a few integers
        return pick(0, 9) ? SampleValue::real(std::uniform_real_distribution<double>(256, 512)(rng_))
                          : SampleValue::integer(pick(256, 511));
    }
  }
  std::mt19937_64 rng_;
};

TEST(ExactStats, MeanMatchesRationalReference) {
  RandomSamples samples(7);
  for (int i = 0; i < 4000; ++i) {
    Sample s = samples.next();
    expect_same(exact_mean(s), reference_mean(s), s);
  }
}

TEST(ExactStats, PstdevMatchesRationalReference) {
  RandomSamples samples(11);
  for (int i = 0; i < 3000; ++i) {
    Sample s = samples.next();
    double got = exact_pstdev(s), want = reference_pstdev(s);
    ASSERT_EQ(got, want) << "sample of " << s.size();
  }
}

// The MAD read from the sorted sample against every deviation sorted, on
// samples of up to 60 values of every shape.
TEST(ExactStats, MadOfSortedMatchesAllDeviations) {
  RandomSamples samples(23);
  int answered = 0;
  for (int i = 0; i < 4000; ++i) {
    const Sample s = samples.next();
    Sample sorted = s;
    sort_by_value(sorted);
    const SampleValue center = median_of_sorted(sorted);
    if (std::optional<SampleValue> mad = median_absolute_deviation_of_sorted(sorted, center)) {
      expect_same(*mad, median_absolute_deviation(s, center), s);
      ++answered;
    }
  }
  EXPECT_GT(answered, 3000);
}

// A window sliding over a stream whose kinds and magnitudes change (the
// samples above one after another, with non-finite values, huge integers and
// zeros of both kinds thrown in): the running sums give exactly what the
// whole-window statistics give, whenever they give anything.
TEST(ExactStats, RunningMomentsMatchTheWholeWindow) {
  const Sample specials = {SampleValue::real(NAN), SampleValue::real(INFINITY), SampleValue::real(-INFINITY),
                           SampleValue::integer(1LL << 57), SampleValue::integer(-(1LL << 60)),
                           SampleValue::integer((1LL << 57) - 1), SampleValue::real(-0.0),
                           SampleValue::integer(0), SampleValue::real(0x1p-1074), SampleValue::real(1e300)};
  RandomSamples samples(17);
  std::mt19937_64 rng(19);
  size_t answered = 0, asked = 0;
  for (size_t window : {1, 2, 5, 50, 64, 65, 90}) {
    RunningMoments running;
    std::deque<SampleValue> values;
    for (int round = 0; round < 70; ++round) {
      Sample stream = samples.next();
      if (rng() % 4 == 0) stream.push_back(specials[rng() % specials.size()]);
      if (round % 10 == 0)  // a window of small counts alone: whole means
        stream = Sample(window + 20, SampleValue::integer(static_cast<long long>(rng() % 3)));
      for (const SampleValue& v : stream) {
        values.push_back(v);
        running.add(v);
        if (values.size() > window) {
          running.remove(values.front());
          values.pop_front();
        }
        const Sample sample(values.begin(), values.end());
        ++asked;
        std::optional<Moments> got = running.moments(sample);
        if (!got) continue;
        ++answered;
        const Moments want = exact_moments(sample);
        expect_same(got->mean, want.mean, sample);
        ASSERT_EQ(std::bit_cast<uint64_t>(got->pstdev), std::bit_cast<uint64_t>(want.pstdev));
      }
    }
  }
  EXPECT_GT(answered, asked / 2);  // all but the windows holding a non-finite value or a huge integer
}

TEST(ExactStats, PstdevNearRoundingMidpoints) {
  // Integer samples whose variance is near the square of a rounding midpoint
  // exercise the fallback of the integer fast path.
  std::mt19937_64 rng(3);
  for (int i = 0; i < 2000; ++i) {
    long long a = std::uniform_int_distribution<long long>(0, 1LL << 39)(rng);
    Sample s = integers({a, a + std::uniform_int_distribution<long long>(0, 3)(rng), 0});
    ASSERT_EQ(exact_pstdev(s), reference_pstdev(s));
  }
}

// Selection, merging and sorting shortcuts against a plain stable sort, on
// samples full of ties across kinds, signed zeros, infinities and NaN.
TEST(ExactStats, MedianAndMadMatchAStableSort) {
  std::mt19937_64 rng(13);
  const Sample pool = {SampleValue::integer(0), SampleValue::real(0.0), SampleValue::real(-0.0),
                       SampleValue::integer(1), SampleValue::real(1.0), SampleValue::real(2.5),
                       SampleValue::integer(3), SampleValue::real(-1.0),
                       SampleValue::real(INFINITY), SampleValue::real(-INFINITY),
                       SampleValue::real(NAN), SampleValue::integer(INT64_MAX),
                       SampleValue::real(0x1p-1074), SampleValue::real(3.0000000000000004)};
  auto bits = [](const SampleValue& v) {
    return (v.is_integer() ? "i" : "r") + dump_compact(v.to_json());
  };
  int merged_count = 0;
  for (int i = 0; i < 3000; ++i) {
    Sample s;
    size_t n = rng() % 12 + 1;
    bool one_kind = rng() % 2;
    for (size_t k = 0; k < n; ++k) {
      SampleValue v = pool[rng() % pool.size()];
      if (one_kind && v.is_integer()) v = SampleValue::real(v.to_double());
      s.push_back(v);
    }
    Sample sorted = s;
    std::stable_sort(sorted.begin(), sorted.end(),
                     [](const SampleValue& a, const SampleValue& b) { return compare(a, b) < 0; });
    SampleValue center = median_of_sorted(sorted);
    ASSERT_EQ(bits(median(s)), bits(center));
    Sample deviations;
    for (const SampleValue& v : s) {
      SampleValue d = subtract(v, center);
      deviations.push_back(d.is_integer() ? SampleValue::integer(d.integer_value() < 0 ? -d.integer_value() : d.integer_value())
                                          : SampleValue::real(std::fabs(d.real_value())));
    }
    std::stable_sort(deviations.begin(), deviations.end(),
                     [](const SampleValue& a, const SampleValue& b) { return compare(a, b) < 0; });
    ASSERT_EQ(bits(median_absolute_deviation(s)), bits(median_of_sorted(deviations)));
    if (std::optional<SampleValue> merged = median_absolute_deviation_of_sorted(sorted, center)) {
      ASSERT_EQ(bits(*merged), bits(median_of_sorted(deviations)));
      ++merged_count;
    }
    Sample resorted = s;
    sort_by_value(resorted);
    for (size_t k = 0; k < n; ++k) ASSERT_EQ(bits(resorted[k]), bits(sorted[k]));
  }
  EXPECT_GT(merged_count, 1000);  // the merge is the common case, not the exception
}

}  // namespace
}  // namespace velquor
