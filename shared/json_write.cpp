// The three JSON layouts of the system and the shortest float text.

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <vector>

#include "shared/json.h"

namespace velquor {
namespace {

const char kHex[] = "0123456789abcdef";

void append_u_escape(std::string& out, unsigned unit) {
  out += "\\u";
  out += kHex[(unit >> 12) & 0xF];
  out += kHex[(unit >> 8) & 0xF];
  out += kHex[(unit >> 4) & 0xF];
  out += kHex[unit & 0xF];
}

// Decodes one UTF-8 sequence at text[i], advancing i. Malformed bytes are
// taken one at a time as their own code point so that nothing is lost.
unsigned decode_utf8(std::string_view text, size_t& i) {
  unsigned char b0 = static_cast<unsigned char>(text[i]);
  size_t n = b0 >= 0xF0 ? 4 : b0 >= 0xE0 ? 3 : b0 >= 0xC0 ? 2 : 1;
  if (n == 1 || i + n > text.size()) { ++i; return b0; }
  unsigned cp = b0 & (0xFF >> (n + 1));
  for (size_t k = 1; k < n; ++k) {
    unsigned char b = static_cast<unsigned char>(text[i + k]);
    if ((b & 0xC0) != 0x80) { ++i; return b0; }
    cp = (cp << 6) | (b & 0x3F);
  }
  i += n;
  return cp;
}

void append_number(std::string& out, const Json& value) {
  switch (value.type()) {
    case Json::value_t::number_integer:
      out += std::to_string(value.get<int64_t>());
      break;
    case Json::value_t::number_unsigned:
      out += std::to_string(value.get<uint64_t>());
      break;
    default: {
      double d = value.get<double>();
      if (std::isnan(d)) out += "NaN";
      else if (std::isinf(d)) out += d > 0 ? "Infinity" : "-Infinity";
      else append_float_repr(out, d);
    }
  }
}

struct Layout {
  const char* item_sep;   // between items on one line
  const char* key_sep;    // between a member name and its value
  int indent;             // 0: one line
  bool sort_keys;
};

void append_newline(std::string& out, int indent, int depth) {
  out += '\n';
  out.append(static_cast<size_t>(indent * depth), ' ');
}

void append_value(std::string& out, const Json& value, const Layout& layout, int depth);

void append_member(std::string& out, const std::string& key, const Json& member,
                   const Layout& layout, int depth, bool first) {
  if (!first) out += layout.indent ? "," : layout.item_sep;
  if (layout.indent) append_newline(out, layout.indent, depth + 1);
  append_json_string(out, key);
  out += layout.key_sep;
  append_value(out, member, layout, depth + 1);
}

void append_object(std::string& out, const Json& value, const Layout& layout, int depth) {
  if (value.empty()) { out += "{}"; return; }
  out += '{';
  if (layout.sort_keys) {
    std::vector<std::pair<const std::string*, const Json*>> members;
    members.reserve(value.size());
    for (auto it = value.begin(); it != value.end(); ++it)
      members.emplace_back(&it.key(), &it.value());
    // Byte order of UTF-8 is code point order.
    std::sort(members.begin(), members.end(),
              [](const auto& a, const auto& b) { return *a.first < *b.first; });
    bool first = true;
    for (const auto& [key, member] : members) {
      append_member(out, *key, *member, layout, depth, first);
      first = false;
    }
  } else {
    bool first = true;
    for (auto it = value.begin(); it != value.end(); ++it) {
      append_member(out, it.key(), it.value(), layout, depth, first);
      first = false;
    }
  }
  if (layout.indent) append_newline(out, layout.indent, depth);
  out += '}';
}

void append_array(std::string& out, const Json& value, const Layout& layout, int depth) {
  if (value.empty()) { out += "[]"; return; }
  out += '[';
  bool first = true;
  for (const auto& item : value) {
    if (!first) out += layout.indent ? "," : layout.item_sep;
    first = false;
    if (layout.indent) append_newline(out, layout.indent, depth + 1);
    append_value(out, item, layout, depth + 1);
  }
  if (layout.indent) append_newline(out, layout.indent, depth);
  out += ']';
}

void append_value(std::string& out, const Json& value, const Layout& layout, int depth) {
  switch (value.type()) {
    case Json::value_t::object: append_object(out, value, layout, depth); break;
    case Json::value_t::array: append_array(out, value, layout, depth); break;
    case Json::value_t::string: append_json_string(out, value.get_ref<const std::string&>()); break;
    case Json::value_t::boolean: out += value.get<bool>() ? "true" : "false"; break;
    case Json::value_t::null:
    case Json::value_t::discarded: out += "null"; break;
    default: append_number(out, value);
  }
}

std::string dump_with(const Json& value, const Layout& layout) {
  std::string out;
  append_value(out, value, layout, 0);
  return out;
}

}  // namespace

namespace {

// The bytes written as they are: printable ASCII but the quote and backslash.
constexpr std::array<bool, 256> kPlainBytes = [] {
  std::array<bool, 256> plain{};
  for (int c = 0x20; c < 0x7F; ++c) plain[c] = c != '"' && c != '\\';
  return plain;
}();

size_t plain_run(std::string_view text, size_t from) {
  while (from < text.size() && kPlainBytes[static_cast<unsigned char>(text[from])]) ++from;
  return from;
}

}  // namespace

void append_json_string(std::string& out, std::string_view text) {
  size_t i = plain_run(text, 0);
  if (i == text.size()) {  // the common case: one piece
    out += '"';
    out.append(text);
    out += '"';
    return;
  }
  out += '"';
  out.append(text.data(), i);
  while (i < text.size()) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (kPlainBytes[c]) {
      const size_t start = i;
      i = plain_run(text, i);
      out.append(text.data() + start, i - start);
      continue;
    }
    switch (c) {
      case '"': out += "\\\""; ++i; continue;
      case '\\': out += "\\\\"; ++i; continue;
      case '\n': out += "\\n"; ++i; continue;
      case '\r': out += "\\r"; ++i; continue;
      case '\t': out += "\\t"; ++i; continue;
      case '\b': out += "\\b"; ++i; continue;
      case '\f': out += "\\f"; ++i; continue;
      default: break;
    }
    unsigned cp = decode_utf8(text, i);
    if (cp >= 0x10000) {
      cp -= 0x10000;
      append_u_escape(out, 0xD800 + (cp >> 10));
      append_u_escape(out, 0xDC00 + (cp & 0x3FF));
    } else {
      append_u_escape(out, cp);
    }
  }
  out += '"';
}

namespace {

// Values of at most six decimals with a magnitude in [1e-4, 1e9) (medians,
// rounded measures, most means) are written from those decimals, without
// the general shortest-digits search. Below 1e9 neighbouring doubles lie
// closer than 1e-6, so no other text of six decimals or fewer reads back as
// the value, and any shorter text would have fewer decimals: the decimals
// are the shortest round-trip digits. Reading them back is one correctly
// rounded division, which confirms the value holds them.
bool append_six_decimals(std::string& out, double value) {
  const double magnitude = std::fabs(value);
  if (!(magnitude >= 1e-4 && magnitude < 1e9)) return false;
  // The product lies within 0.25 of the decimals, if the value holds any.
  const auto micros = static_cast<uint64_t>(magnitude * 1e6 + 0.5);
  if (static_cast<double>(micros) / 1e6 != magnitude) return false;
  char text[32];
  char* p = text;
  if (value < 0) *p++ = '-';
  p = std::to_chars(p, text + sizeof text, micros / 1000000).ptr;
  *p++ = '.';
  uint64_t fraction = micros % 1000000;
  if (fraction == 0) {
    *p++ = '0';
  } else {
    int digits = 6;
    for (; fraction % 10 == 0; fraction /= 10) --digits;
    for (int i = digits - 1; i >= 0; --i, fraction /= 10) p[i] = static_cast<char>('0' + fraction % 10);
    p += digits;
  }
  out.append(text, p);
  return true;
}

// From 1e-4 to 1e16 the text is the shortest round-trip digits in fixed
// notation, with ".0" after a whole number.
bool append_fixed(std::string& out, double value) {
  const double magnitude = std::fabs(value);
  if (!(magnitude >= 1e-4 && magnitude < 1e16)) return false;
  char text[40];
  char* end = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed).ptr;
  if (std::find(text, end, '.') == end) {
    *end++ = '.';
    *end++ = '0';
  }
  out.append(text, end);
  return true;
}

}  // namespace

void append_float_repr(std::string& out, double value) {
  if (append_six_decimals(out, value)) return;
  if (std::isnan(value)) { out += "nan"; return; }
  if (std::isinf(value)) { out += value > 0 ? "inf" : "-inf"; return; }
  if (append_fixed(out, value)) return;
  // Shortest round-trip digits in scientific form: "[-]d[.ddd]e[+-]xx".
  char sci[40];
  const char* end = std::to_chars(sci, sci + sizeof sci, value, std::chars_format::scientific).ptr;
  const char* p = sci;
  char text[48];  // the longest: sign, 17 digits, 15 zeros, ".0"
  char* t = text;
  if (*p == '-') *t++ = *p++;
  const char* e = std::find(p, end, 'e');
  char digits[24];
  size_t count = 0;
  for (const char* q = p; q < e; ++q)
    if (*q != '.') digits[count++] = *q;
  int exponent = 0;
  std::from_chars(e + (e[1] == '+' ? 2 : 1), end, exponent);
  if (exponent < -4 || exponent >= 16) {
    *t++ = digits[0];
    if (count > 1) {
      *t++ = '.';
      t = std::copy(digits + 1, digits + count, t);
    }
    *t++ = 'e';
    *t++ = exponent < 0 ? '-' : '+';
    int magnitude = exponent < 0 ? -exponent : exponent;
    if (magnitude < 10) *t++ = '0';
    t = std::to_chars(t, text + sizeof text, magnitude).ptr;
  } else if (exponent < 0) {
    *t++ = '0';
    *t++ = '.';
    t = std::fill_n(t, -exponent - 1, '0');
    t = std::copy(digits, digits + count, t);
  } else {
    size_t int_len = static_cast<size_t>(exponent) + 1;
    if (count <= int_len) {
      t = std::copy(digits, digits + count, t);
      t = std::fill_n(t, int_len - count, '0');
      *t++ = '.';
      *t++ = '0';
    } else {
      t = std::copy(digits, digits + int_len, t);
      *t++ = '.';
      t = std::copy(digits + int_len, digits + count, t);
    }
  }
  out.append(text, t);
}

std::string float_repr(double value) {
  std::string out;
  append_float_repr(out, value);
  return out;
}

std::string dump_pretty(const Json& value) { return dump_with(value, {",", ": ", 2, false}); }
std::string dump_compact(const Json& value) { return dump_with(value, {", ", ": ", 0, false}); }
std::string dump_canonical(const Json& value) { return dump_with(value, {",", ":", 0, true}); }

std::string json_kind(const Json& value) {
  switch (value.type()) {
    case Json::value_t::object: return "object";
    case Json::value_t::array: return "array";
    case Json::value_t::string: return "string";
    case Json::value_t::boolean: return "boolean";
    case Json::value_t::null: return "null";
    case Json::value_t::number_float: return "real";
    default: return "integer";
  }
}

}  // namespace velquor
