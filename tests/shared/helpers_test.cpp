#include <gtest/gtest.h>

#include <bit>
#include <cstdlib>
#include <random>
#include <filesystem>

#include "shared/clock.h"
#include "shared/errors.h"
#include "shared/file_io.h"
#include "shared/hash.h"
#include "shared/json_access.h"
#include "shared/numbers.h"

namespace velquor {
namespace {

TEST(Hash, KnownDigestsAndKeyOrderIndependence) {
  EXPECT_EQ(sha256_hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(sha256_hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  Json a = parse_json(R"({"b": 1, "a": [2.0, "\u00e9"]})", "t");
  Json b = parse_json(R"({"a": [2.0, "\u00e9"], "b": 1})", "t");
  EXPECT_EQ(content_hash(a), content_hash(b));
  EXPECT_EQ(content_hash(a), sha256_hex(R"({"a":[2.0,"\u00e9"],"b":1})").substr(0, 16));
  EXPECT_EQ(canonical_hash(a).size(), 64u);
}

TEST(Numbers, HalfEvenOnTheExactBinaryValue) {
  EXPECT_EQ(round_half_even(2.675, 2), 2.67);    // stored below the tie
  EXPECT_EQ(round_half_even(0.125, 2), 0.12);    // exact tie, to even
  EXPECT_EQ(round_half_even(0.375, 2), 0.38);
  EXPECT_EQ(round_half_even(-1.5, 0), -2.0);
  EXPECT_EQ(round_half_even(5.3960000000000001, 6), 5.396);
  EXPECT_EQ(format_fixed(2.5, 0), "2");
  EXPECT_EQ(format_fixed(0.1 * 3, 2), "0.30");
  EXPECT_EQ(format_fixed(1.0 / 0.0, 1), "inf");
}

// The integer rounding against the text of the exact binary value read back,
// on values with few bits (exact ties), many bits, tiny and huge magnitudes.
TEST(Numbers, HalfEvenMatchesTheExactText) {
  std::mt19937_64 random(5);
  for (int i = 0; i < 100000; ++i) {
    const int decimals = static_cast<int>(random() % 18);
    const int bits = 1 + static_cast<int>(random() % 53);
    const double mantissa = static_cast<double>(random() >> (64 - bits));
    double value = std::ldexp(mantissa, static_cast<int>(random() % 80) - 60 - bits / 2);
    if (i % 1000 == 0) value = std::ldexp(mantissa, -1074);  // subnormal
    if (i % 1000 == 1) value = std::ldexp(mantissa, 53 - bits);  // whole, near 2^53
    if (random() % 2) value = -value;
    const double want = std::strtod(format_fixed(value, decimals).c_str(), nullptr);
    ASSERT_EQ(std::bit_cast<uint64_t>(round_half_even(value, decimals)), std::bit_cast<uint64_t>(want))
        << value << " to " << decimals;
  }
}

TEST(Numbers, GeneralFormatWithFourDigits) {
  const std::pair<double, const char*> cases[] = {
      {1234.5, "1234"}, {12345.0, "1.234e+04"}, {0.0001, "0.0001"}, {1e-05, "1e-05"},
      {2.0, "2"}, {0.125, "0.125"}, {99999.0, "1e+05"}, {-3.14159, "-3.142"}};
  for (const auto& [value, text] : cases) EXPECT_EQ(format_general(value), text) << value;
  EXPECT_EQ(format_general(std::nan("")), "nan");
}

TEST(Numbers, PlainTextOfEveryKind) {
  Json value = parse_json(R"([12, 3.0, 0.25, 1e-05, true, null, "x", ["a", 1], {"k": "it's"}])", "t");
  const char* expected[] = {"12", "3.0", "0.25", "1e-05", "True", "None", "x", "['a', 1]",
                            "{'k': \"it's\"}"};
  for (size_t i = 0; i < value.size(); ++i) EXPECT_EQ(plain_text(value[i]), expected[i]);
  EXPECT_THROW(to_double(Json("3"), "payload.size"), TypeError);
  EXPECT_EQ(to_double(Json(true), "x"), 1.0);
}

TEST(Clock, PinnedByEnvironmentAndFormattedWithOptionalFraction) {
  setenv("VELQUOR_NOW", "2025-03-01T10:30:00+01:00", 1);
  EXPECT_EQ(now_timestamp(), "2025-03-01T09:30:00Z");
  setenv("VELQUOR_NOW", "2025-03-01 09:30:00.25", 1);
  EXPECT_EQ(now_timestamp(), "2025-03-01T09:30:00.250000Z");
  setenv("VELQUOR_NOW", "yesterday", 1);
  EXPECT_THROW(now(), ValueError);
  unsetenv("VELQUOR_NOW");
  EXPECT_EQ(now_timestamp().back(), 'Z');
}

TEST(Clock, Iso8601Forms) {
  EXPECT_TRUE(parse_iso8601("2024-02-29"));
  EXPECT_FALSE(parse_iso8601("2023-02-29"));
  EXPECT_FALSE(parse_iso8601("2024-01-01T10"));
  EXPECT_FALSE(parse_iso8601("2024-01-01T10:00:00.1234567"));
  EXPECT_FALSE(parse_iso8601("2024-01-01T10:00:00+0100"));
  auto t = parse_iso8601("2024-01-01T00:00:00.5-00:30:30");
  ASSERT_TRUE(t);
  EXPECT_TRUE(t->had_offset);
  EXPECT_EQ(format_timestamp(t->utc), "2024-01-01T00:30:30.500000Z");
  EXPECT_FALSE(parse_iso8601("2024-01-01T10:00")->had_offset);
}

TEST(Clock, TimestampTexts) {
  using namespace std::chrono;
  auto at = [](int y, unsigned m, unsigned d, long long us) {
    return TimePoint(sys_days(year_month_day(year(y), month(m), day(d))).time_since_epoch() +
                     microseconds(us));
  };
  EXPECT_EQ(format_timestamp(TimePoint{}), "1970-01-01T00:00:00Z");
  EXPECT_EQ(format_timestamp(TimePoint{} - microseconds(1)), "1969-12-31T23:59:59.999999Z");
  EXPECT_EQ(format_timestamp(at(1, 1, 1, 0)), "0001-01-01T00:00:00Z");
  EXPECT_EQ(format_timestamp(at(9999, 12, 31, 86399000001)), "9999-12-31T23:59:59.000001Z");
  EXPECT_EQ(format_timestamp(at(2026, 3, 1, 33302123456)), "2026-03-01T09:15:02.123456Z");
  EXPECT_EQ(format_naive(at(12345, 6, 7, 3600000000)), "12345-06-07T01:00:00");
  EXPECT_EQ(format_naive(at(-5, 6, 7, 0)), "-005-06-07T00:00:00");
}

TEST(Files, AtomicWriteListingAndErrors) {
  auto dir = std::filesystem::temp_directory_path() / ("velquor-files-" + std::to_string(getpid()));
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir / "sub.json");
  write_file_atomic(dir / "b.json", "[1]");
  write_json_file(dir / "a.json", Json::object({{"x", 1}}));
  write_file_atomic(dir / "c.txt", "x");
  write_file_atomic(dir / "b.json", "[2]");
  auto files = list_json_files(dir);
  ASSERT_EQ(files.size(), 2u);
  EXPECT_EQ(files[0].filename(), "a.json");
  EXPECT_EQ(read_file(files[1]), "[2]");
  EXPECT_EQ(read_file(files[0]), "{\n  \"x\": 1\n}");
  EXPECT_THROW(read_file(dir / "none.json"), FileNotFound);
  EXPECT_THROW(write_file_atomic(dir / "missing" / "x.json", "{}"), IoError);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), 4);  // no temp left
  EXPECT_TRUE(list_json_files(dir / "absent").empty());
  // Links are followed: one to a file is listed, one to a folder or to
  // nothing is not.
  std::filesystem::create_symlink(dir / "a.json", dir / "0.json");
  std::filesystem::create_symlink(dir / "sub.json", dir / "1.json");
  std::filesystem::create_symlink(dir / "gone", dir / "2.json");
  EXPECT_EQ(list_json_file_names(dir).names, (std::vector<std::string>{"0.json", "a.json", "b.json"}));
  EXPECT_EQ(list_json_files(dir).front(), dir / "0.json");
  std::filesystem::remove_all(dir);
}

TEST(JsonAccess, MessagesNameFileAndMember) {
  Json event = parse_json(R"({"payload": {"files": "x"}})", "t");
  EXPECT_EQ(find_member(event, "none"), nullptr);
  try {
    require_member(event, "event_id", "events/a.json");
    FAIL();
  } catch (const MissingMember& e) {
    EXPECT_STREQ(e.what(), "events/a.json: missing member 'event_id'");
  }
  try {
    expect_kind(event["payload"]["files"], "array", "payload.files", "events/a.json");
    FAIL();
  } catch (const TypeError& e) {
    EXPECT_STREQ(e.what(), "events/a.json: member 'payload.files' is string, expected array");
  }
}

}  // namespace
}  // namespace velquor

namespace velquor {
namespace {

TEST(JsonAccess, TruthinessOfEveryKind) {
  Json set = parse_json(R"([true, 1, -0.5, "x", [0], {"a": null}, 18446744073709551615])", "t");
  Json unset = parse_json(R"([false, 0, 0.0, "", [], {}, null])", "t");
  for (const auto& value : set) EXPECT_TRUE(is_truthy(value)) << value.dump();
  for (const auto& value : unset) EXPECT_FALSE(is_truthy(value)) << value.dump();
  EXPECT_TRUE(is_truthy(Json(std::nan(""))));
}

}  // namespace
}  // namespace velquor
