// A strict recursive-descent JSON parser producing ordered values.
//
// Written here rather than taken from the JSON library because the system
// needs behaviour the library does not offer: optional NaN / Infinity tokens,
// a byte-order mark rejected as an error, and messages that name the file.
//
// Every value is read against a node of a JsonKeep tree saying what to build:
// a whole node builds it, an object node builds the members it names, and a
// null node discards it. A discarded value goes through the same functions
// and the same checks, only nothing is stored, so a selective parse refuses
// exactly what a full one refuses.

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>

#include "shared/errors.h"
#include "shared/json.h"

namespace velquor {
namespace {

constexpr int kMaxDepth = 512;

// A number beyond the double range in standard JSON, on its way up to the
// document: each object and array it passes adds its step to the member
// path, so the error names the member without the parser keeping a path
// for every value it reads.
struct OutOfRange {
  size_t pos;
  std::string number;
  std::string member;  // "payload.total", "[3].line_rate"
};

using KeepNode = JsonKeep::Node;

// Numbers whose integer part has more digits than this, and no exponent,
// may lie beyond the double range; shorter ones cannot.
constexpr size_t kMaxFiniteDigits = 308;

const KeepNode& keep_everything() {
  static const KeepNode node{true, {}, {}};
  return node;
}

class Parser {
 public:
  Parser(std::string_view text, const std::string& source, NonFinite non_finite)
      : text_(text), source_(source), non_finite_(non_finite) {}

  Json parse_document(const KeepNode& keep) {
    if (text_.size() >= 3 && text_.substr(0, 3) == "\xEF\xBB\xBF")
      fail("unexpected byte-order mark");
    skip_space();
    Json value;
    try {
      value = parse_value(0, &keep);
    } catch (const OutOfRange& e) {
      throw JsonError(source_ + ": member " + (e.member.empty() ? "(the document)" : e.member) +
                      ": number " + e.number + " is beyond the range of a double at byte " +
                      std::to_string(e.pos));
    }
    skip_space();
    if (pos_ != text_.size()) fail("extra data after the JSON value");
    return value;
  }

 private:
  [[noreturn]] void fail(const std::string& what) const {
    throw JsonError(source_ + ": invalid JSON: " + what + " at byte " +
                    std::to_string(pos_));
  }

  bool at_end() const { return pos_ >= text_.size(); }
  char peek() const { return at_end() ? '\0' : text_[pos_]; }

  void skip_space() {
    while (!at_end()) {
      char c = text_[pos_];
      if (c != ' ' && c != '\t' && c != '\n' && c != '\r') break;
      ++pos_;
    }
  }

  void expect_word(std::string_view word) {
    if (text_.substr(pos_, word.size()) != word) fail("unexpected character");
    pos_ += word.size();
  }

  // Reads one value; `keep` says what of it to build (null: nothing, and the
  // value returned is null).
  Json parse_value(int depth, const KeepNode* keep) {
    if (depth > kMaxDepth) fail("nesting too deep");
    switch (peek()) {
      case '{': return parse_object(depth, keep);
      case '[': return parse_array(depth, keep);
      case '"': {
        if (keep == nullptr) { parse_string(nullptr); return Json(); }
        std::string out;
        parse_string(&out);
        return Json(std::move(out));
      }
      case 't': expect_word("true"); return Json(true);
      case 'f': expect_word("false"); return Json(false);
      case 'n': expect_word("null"); return Json(nullptr);
      case 'N': return non_finite_word("NaN", std::numeric_limits<double>::quiet_NaN());
      case 'I': return non_finite_word("Infinity", std::numeric_limits<double>::infinity());
      case '\0':
        if (at_end()) fail("unexpected end of input");
        fail("unexpected character");
      default: return parse_number(keep == nullptr);
    }
  }

  Json non_finite_word(std::string_view word, double value) {
    if (non_finite_ == NonFinite::kReject) fail("unexpected character");
    expect_word(word);
    return Json(value);
  }

  Json parse_object(int depth, const KeepNode* keep) {
    ++pos_;  // '{'
    Json object = keep ? Json::object() : Json();
    skip_space();
    if (peek() == '}') { ++pos_; return object; }
    for (;;) {
      skip_space();
      if (peek() != '"') fail(at_end() ? "unexpected end of input" : "expected a member name");
      const size_t key_pos = pos_;
      std::string key;
      parse_string(keep ? &key : nullptr);
      skip_space();
      if (peek() != ':') fail(at_end() ? "unexpected end of input" : "expected ':'");
      ++pos_;
      skip_space();
      const KeepNode* member = keep == nullptr || keep->whole ? keep : keep->member(key);
      // operator[] keeps the first position of a repeated member and lets the
      // later value win.
      try {
        Json value = parse_value(depth + 1, member);
        if (member) object[key] = std::move(value);
      } catch (OutOfRange& e) {
        if (keep == nullptr) key = string_at(key_pos);
        e.member = key + (e.member.empty() || e.member[0] == '[' ? "" : ".") + e.member;
        throw;
      }
      skip_space();
      if (peek() == ',') { ++pos_; continue; }
      if (peek() == '}') { ++pos_; return object; }
      fail(at_end() ? "unexpected end of input" : "expected ',' or '}'");
    }
  }

  // An array applies `keep` to each of its elements.
  Json parse_array(int depth, const KeepNode* keep) {
    ++pos_;  // '['
    Json array = keep ? Json::array() : Json();
    skip_space();
    if (peek() == ']') { ++pos_; return array; }
    for (size_t index = 0;; ++index) {
      skip_space();
      try {
        Json value = parse_value(depth + 1, keep);
        if (keep && (!keep->keeps_element || keep->keeps_element(value))) array.push_back(std::move(value));
      } catch (OutOfRange& e) {
        e.member = "[" + std::to_string(index) + "]" +
                   (e.member.empty() || e.member[0] == '[' ? "" : ".") + e.member;
        throw;
      }
      skip_space();
      if (peek() == ',') { ++pos_; continue; }
      if (peek() == ']') { ++pos_; return array; }
      fail(at_end() ? "unexpected end of input" : "expected ',' or ']'");
    }
  }

  unsigned parse_hex4() {
    if (pos_ + 4 > text_.size()) fail("unexpected end of input");
    unsigned value = 0;
    for (int i = 0; i < 4; ++i) {
      char c = text_[pos_++];
      value <<= 4;
      if (c >= '0' && c <= '9') value |= c - '0';
      else if (c >= 'a' && c <= 'f') value |= c - 'a' + 10;
      else if (c >= 'A' && c <= 'F') value |= c - 'A' + 10;
      else fail("invalid \\u escape");
    }
    return value;
  }

  static void append_utf8(std::string& out, unsigned cp) {
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | (cp >> 6));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += static_cast<char>(0xE0 | (cp >> 12));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (cp >> 18));
      out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }

  // Reads one escape after its backslash, appending the character to `out`
  // unless it is null.
  void parse_escape(std::string* out) {
    if (at_end()) fail("unexpected end of input");
    char c = text_[pos_++];
    char plain;
    switch (c) {
      case '"': plain = '"'; break;
      case '\\': plain = '\\'; break;
      case '/': plain = '/'; break;
      case 'b': plain = '\b'; break;
      case 'f': plain = '\f'; break;
      case 'n': plain = '\n'; break;
      case 'r': plain = '\r'; break;
      case 't': plain = '\t'; break;
      case 'u': plain = 0; break;
      default: --pos_; fail("invalid escape");
    }
    if (c != 'u') {
      if (out) *out += plain;
      return;
    }
    unsigned cp = parse_hex4();
    if (cp >= 0xD800 && cp <= 0xDBFF && text_.substr(pos_, 2) == "\\u") {
      size_t save = pos_;
      pos_ += 2;
      unsigned low = parse_hex4();
      if (low >= 0xDC00 && low <= 0xDFFF) {
        cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
      } else {
        pos_ = save;  // a lone high surrogate, kept as it is
      }
    }
    if (out) append_utf8(*out, cp);
  }

  // Length of the valid UTF-8 sequence starting at pos_, or 0.
  size_t utf8_length() const {
    auto byte = [&](size_t i) { return static_cast<unsigned char>(text_[pos_ + i]); };
    unsigned char b0 = byte(0);
    size_t n = b0 >= 0xF0 ? 4 : b0 >= 0xE0 ? 3 : b0 >= 0xC2 ? 2 : 0;
    if (n == 0 || b0 > 0xF4 || pos_ + n > text_.size()) return 0;
    for (size_t i = 1; i < n; ++i)
      if ((byte(i) & 0xC0) != 0x80) return 0;
    unsigned char b1 = byte(1);
    if (b0 == 0xE0 && b1 < 0xA0) return 0;  // overlong
    if (b0 == 0xED && b1 >= 0xA0) return 0;  // surrogate
    if (b0 == 0xF0 && b1 < 0x90) return 0;  // overlong
    if (b0 == 0xF4 && b1 >= 0x90) return 0;  // beyond U+10FFFF
    return n;
  }

  // Reads a string, appending its characters to `out` unless it is null.
  void parse_string(std::string* out) {
    ++pos_;  // opening quote
    for (;;) {
      if (at_end()) fail("unterminated string");
      size_t start = pos_;
      while (!at_end()) {
        unsigned char c = static_cast<unsigned char>(text_[pos_]);
        if (c == '"' || c == '\\' || c < 0x20 || c >= 0x80) break;
        ++pos_;
      }
      if (out) out->append(text_.data() + start, pos_ - start);
      if (at_end()) fail("unterminated string");
      unsigned char c = static_cast<unsigned char>(text_[pos_]);
      if (c == '"') { ++pos_; return; }
      if (c == '\\') { ++pos_; parse_escape(out); continue; }
      if (c < 0x20) fail("control character in string");
      size_t n = utf8_length();
      if (n == 0) fail("invalid UTF-8");
      if (out) out->append(text_.data() + pos_, n);
      pos_ += n;
    }
  }

  // The string starting at `at`, read again (it has been read once, so it is
  // valid): the name of a discarded member, wanted only for an error.
  std::string string_at(size_t at) {
    const size_t save = pos_;
    pos_ = at;
    std::string out;
    parse_string(&out);
    pos_ = save;
    return out;
  }

  // Reads a number; a discarded one is converted only when it might lie
  // beyond the double range, which standard JSON refuses.
  Json parse_number(bool discard) {
    size_t start = pos_;
    bool negative = peek() == '-';
    if (negative) {
      ++pos_;
      if (peek() == 'I') {
        if (non_finite_ == NonFinite::kReject) fail("unexpected character");
        expect_word("Infinity");
        return Json(-std::numeric_limits<double>::infinity());
      }
    }
    if (peek() == '0') {
      ++pos_;
    } else if (peek() >= '1' && peek() <= '9') {
      while (peek() >= '0' && peek() <= '9') ++pos_;
    } else {
      fail(at_end() ? "unexpected end of input" : "unexpected character");
    }
    const size_t integer_digits = pos_ - start - (negative ? 1 : 0);
    bool is_integer = true;
    if (peek() == '.') {
      is_integer = false;
      ++pos_;
      if (!(peek() >= '0' && peek() <= '9')) fail("expected a digit");
      while (peek() >= '0' && peek() <= '9') ++pos_;
    }
    const bool has_exponent = peek() == 'e' || peek() == 'E';
    if (has_exponent) {
      is_integer = false;
      ++pos_;
      if (peek() == '+' || peek() == '-') ++pos_;
      if (!(peek() >= '0' && peek() <= '9')) fail("expected a digit");
      while (peek() >= '0' && peek() <= '9') ++pos_;
    }
    if (discard && (non_finite_ == NonFinite::kAccept ||
                    (!has_exponent && integer_digits <= kMaxFiniteDigits)))
      return Json();
    const char* first = text_.data() + start;
    const char* last = text_.data() + pos_;
    if (is_integer) {
      if (negative) {
        int64_t v;
        auto r = std::from_chars(first, last, v);
        if (r.ec == std::errc() && r.ptr == last) return Json(v);
      } else {
        uint64_t v;
        auto r = std::from_chars(first, last, v);
        if (r.ec == std::errc() && r.ptr == last) {
          if (v <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max()))
            return Json(static_cast<int64_t>(v));
          return Json(v);
        }
      }
    }
    double d;
    auto r = std::from_chars(first, last, d);
    if (r.ec == std::errc() && r.ptr == last) return Json(d);
    // Out of range: strtod gives the correctly rounded infinity or zero.
    std::string copy(first, last);
    const double rounded = std::strtod(copy.c_str(), nullptr);
    // Standard JSON has no infinity: a number that becomes one is refused
    // rather than let through to be written as a token strict readers refuse.
    if (std::isinf(rounded) && non_finite_ == NonFinite::kReject)
      throw OutOfRange{start, copy.size() > 40 ? copy.substr(0, 37) + "..." : copy, ""};
    return Json(rounded);
  }

  std::string_view text_;
  const std::string& source_;
  NonFinite non_finite_;
  size_t pos_ = 0;
};

}  // namespace

Json parse_json(std::string_view text, const std::string& source, NonFinite non_finite) {
  return Parser(text, source, non_finite).parse_document(keep_everything());
}

Json parse_json(std::string_view text, const std::string& source, NonFinite non_finite,
                const JsonKeep& keep) {
  return Parser(text, source, non_finite).parse_document(keep.root());
}

const JsonKeep::Node* JsonKeep::Node::member(std::string_view name) const {
  auto it = members.find(name);
  return it == members.end() ? nullptr : &it->second;
}

JsonKeep::JsonKeep(std::initializer_list<std::string_view> paths) {
  for (std::string_view path : paths) add(path);
}

JsonKeep::JsonKeep(const std::vector<std::string>& paths) {
  for (const std::string& path : paths) add(path);
}

JsonKeep::Node& JsonKeep::node_at(std::string_view path) {
  Node* node = &root_;
  while (!path.empty()) {
    const size_t dot = path.find('.');
    node = &node->members[std::string(path.substr(0, dot))];
    path = dot == std::string_view::npos ? std::string_view() : path.substr(dot + 1);
  }
  return *node;
}

void JsonKeep::add(std::string_view path) { node_at(path).whole = true; }

namespace {

// A filter that accepts what either accepts; no filter (every element) when
// one of them is none.
JsonKeep::ElementFilter either(JsonKeep::ElementFilter a, JsonKeep::ElementFilter b) {
  if (!a || !b) return {};
  return [a = std::move(a), b = std::move(b)](const Json& element) { return a(element) || b(element); };
}

void merge_into(JsonKeep::Node& into, const JsonKeep::Node& from) {
  into.whole = into.whole || from.whole;
  into.keeps_element = either(std::move(into.keeps_element), from.keeps_element);
  for (const auto& [name, node] : from.members) {
    auto [at, added] = into.members.try_emplace(name, node);
    if (!added) merge_into(at->second, node);
  }
}

}  // namespace

void JsonKeep::add_filter(std::string_view path, ElementFilter keeps_element) {
  Node& node = node_at(path);
  node.keeps_element = node.keeps_element ? either(std::move(node.keeps_element), std::move(keeps_element))
                                          : std::move(keeps_element);
}

void JsonKeep::add(const JsonKeep& other) { merge_into(root_, other.root_); }

}  // namespace velquor
