#include "shared/numbers.h"

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <optional>

#include "shared/errors.h"

namespace velquor {
namespace {

std::string non_finite_text(double value) {
  if (std::isnan(value)) return "nan";
  return value > 0 ? "inf" : "-inf";
}

// The display form of a string inside a list or map: single quotes unless
// the text holds a single quote and no double quote.
std::string quoted_text(const std::string& text) {
  char quote = (text.find('\'') != std::string::npos && text.find('"') == std::string::npos)
                   ? '"' : '\'';
  std::string out(1, quote);
  for (unsigned char c : text) {
    if (c == '\\') out += "\\\\";
    else if (c == static_cast<unsigned char>(quote)) { out += '\\'; out += quote; }
    else if (c == '\n') out += "\\n";
    else if (c == '\r') out += "\\r";
    else if (c == '\t') out += "\\t";
    else if (c < 0x20 || c == 0x7F) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02x", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  out += quote;
  return out;
}

std::string display_form(const Json& value) {
  if (value.is_string()) return quoted_text(value.get_ref<const std::string&>());
  return plain_text(value);
}

}  // namespace

namespace {

// value * 10^decimals rounded half to even on the exact binary value, over
// 10^decimals as the nearest double: the value is m * 2^e with m below 2^53,
// so m * 10^decimals fits 128 bits and the rounding is integer arithmetic.
// nullopt when the rounded number would not be exact in a double.
std::optional<double> round_half_even_in_integers(double value, int decimals) {
  static constexpr double kScales[] = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7,
                                       1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
  using u128 = unsigned __int128;
  if (decimals < 0 || decimals > 15) return std::nullopt;
  const double scale = kScales[decimals];
  if (!(std::fabs(value) < 0x1p53 / scale)) return std::nullopt;
  const auto bits = std::bit_cast<uint64_t>(value);
  const long biased = static_cast<long>((bits >> 52) & 0x7FF);
  const uint64_t fraction = bits & ((uint64_t(1) << 52) - 1);
  const uint64_t mantissa = biased == 0 ? fraction : fraction | (uint64_t(1) << 52);
  const long shift = biased == 0 ? 1074 : 1075 - biased;  // |value| = mantissa / 2^shift
  const u128 product = u128(mantissa) * static_cast<uint64_t>(scale);  // below 2^103
  u128 rounded = 0;
  if (shift <= 0) {
    rounded = product << -shift;
  } else if (shift < 110) {
    rounded = product >> shift;
    const u128 rest = product - (rounded << shift), half = u128(1) << (shift - 1);
    if (rest > half || (rest == half && (rounded & 1))) ++rounded;
  }
  const double magnitude = static_cast<double>(static_cast<uint64_t>(rounded)) / scale;
  return std::signbit(value) ? -magnitude : magnitude;
}

}  // namespace

double round_half_even(double value, int decimals) {
  if (!std::isfinite(value)) return value;
  if (std::optional<double> rounded = round_half_even_in_integers(value, decimals)) return *rounded;
  // glibc prints the exact binary value correctly rounded, ties to even.
  std::string text = format_fixed(value, decimals);
  return std::strtod(text.c_str(), nullptr);
}

// to_chars with a precision prints as printf does: the exact binary value,
// correctly rounded, ties to even; it is much faster than snprintf.
std::string format_fixed(double value, int decimals) {
  if (!std::isfinite(value)) return non_finite_text(value);
  char buf[512];  // enough for any double at up to 100 decimals
  if (decimals > 100) decimals = 100;
  return std::string(buf, std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, decimals).ptr);
}

std::string format_general(double value, int digits) {
  if (!std::isfinite(value)) return non_finite_text(value);
  char buf[64];
  return std::string(buf, std::to_chars(buf, buf + sizeof buf, value, std::chars_format::general, digits).ptr);
}

std::string plain_text(const Json& value) {
  switch (value.type()) {
    case Json::value_t::string: return value.get<std::string>();
    case Json::value_t::boolean: return value.get<bool>() ? "True" : "False";
    case Json::value_t::null: return "None";
    case Json::value_t::number_integer: return std::to_string(value.get<int64_t>());
    case Json::value_t::number_unsigned: return std::to_string(value.get<uint64_t>());
    case Json::value_t::number_float: return float_repr(value.get<double>());
    case Json::value_t::array: {
      std::string out = "[";
      for (size_t i = 0; i < value.size(); ++i) {
        if (i) out += ", ";
        out += display_form(value[i]);
      }
      return out + "]";
    }
    case Json::value_t::object: {
      std::string out = "{";
      bool first = true;
      for (auto it = value.begin(); it != value.end(); ++it) {
        if (!first) out += ", ";
        first = false;
        out += quoted_text(it.key()) + ": " + display_form(it.value());
      }
      return out + "}";
    }
    default: return "None";
  }
}

double to_double(const Json& value, const std::string& what) {
  switch (value.type()) {
    case Json::value_t::number_integer: return static_cast<double>(value.get<int64_t>());
    case Json::value_t::number_unsigned: return static_cast<double>(value.get<uint64_t>());
    case Json::value_t::number_float: return value.get<double>();
    case Json::value_t::boolean: return value.get<bool>() ? 1.0 : 0.0;
    default: throw TypeError(what + ": expected a number, got " + json_kind(value));
  }
}

}  // namespace velquor
