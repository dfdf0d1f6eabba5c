// Signal records written by hand, byte for byte, for the tests that compare
// the scanned fast path of a run with the JSON path.
//
// A record whose first member name is written with an escape ("\u0065ngine_id"
// reads as "engine_id") is not plain to the scanner, so a run reads it as JSON
// although it means the same signal. Writing every record twice, plainly and
// with that escape, gives two runs that must write the same bytes.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace velquor::cindrel::testing {

// A JSON value kept as the text it is written with: scalars as their token,
// member names as the characters between their quotes (escapes included).
struct Node {
  enum Kind { kScalar, kArray, kObject };
  Kind kind = kScalar;
  std::string text;
  std::vector<std::pair<std::string, Node>> members;
  std::vector<Node> elements;

  static Node token(std::string text) {
    Node node;
    node.text = std::move(text);
    return node;
  }
  static Node string(const std::string& content) { return token("\"" + content + "\""); }
  static Node array(std::vector<Node> elements = {}) {
    Node node;
    node.kind = kArray;
    node.elements = std::move(elements);
    return node;
  }
  static Node object(std::vector<std::pair<std::string, Node>> members = {}) {
    Node node;
    node.kind = kObject;
    node.members = std::move(members);
    return node;
  }

  // The member `key` set to `value`, in place when present, else appended.
  Node& set(const std::string& key, Node value) {
    for (auto& member : members)
      if (member.first == key) return member.second = std::move(value);
    members.emplace_back(key, std::move(value));
    return members.back().second;
  }
  Node& at(const std::string& key) {
    for (auto& member : members)
      if (member.first == key) return member.second;
    return set(key, token("null"));
  }
  void erase(const std::string& key) {
    for (size_t i = 0; i < members.size(); ++i)
      if (members[i].first == key) {
        members.erase(members.begin() + static_cast<long>(i));
        return;
      }
  }
};

// How a record is laid out. kTrap writes the elements of nested arrays on
// lines indented like records ("},\n  {"), the text a run takes for the
// start of a record when it splits a large file.
enum class Layout { kPretty, kCompact, kSpaced, kOdd, kTrap };

inline void write_node(std::string& out, const Node& node, Layout layout, int depth,
                       bool escape_first_name) {
  auto line = [&](int level) {
    out += '\n';
    out.append(static_cast<size_t>(2 * level), ' ');
  };
  if (node.kind == Node::kScalar) {
    out += node.text;
    return;
  }
  const bool object = node.kind == Node::kObject;
  const size_t size = object ? node.members.size() : node.elements.size();
  out += object ? '{' : '[';
  if (size == 0) {
    if (layout == Layout::kOdd) out += " \r\n\t";
    out += object ? '}' : ']';
    return;
  }
  for (size_t i = 0; i < size; ++i) {
    if (i > 0) {
      out += ',';
      if (layout == Layout::kSpaced) out += ' ';
      if (layout == Layout::kOdd) out += "\t";
      if (layout == Layout::kTrap && !object) line(1);
    }
    if (layout == Layout::kPretty) line(depth + 1);
    if (layout == Layout::kOdd) out += "\r\n ";
    if (object) {
      const std::string& name = node.members[i].first;
      out += '"';
      if (escape_first_name && i == 0 && !name.empty()) {
        static const char kHex[] = "0123456789abcdef";
        unsigned char c = static_cast<unsigned char>(name[0]);
        out += "\\u00";
        out += kHex[c >> 4];
        out += kHex[c & 15];
        out.append(name, 1);
      } else {
        out += name;
      }
      out += '"';
      if (layout == Layout::kOdd) out += " \n";
      out += layout == Layout::kCompact || layout == Layout::kTrap ? ":" : ": ";
    }
    write_node(out, object ? node.members[i].second : node.elements[i], layout, depth + 1, false);
  }
  if (layout == Layout::kPretty) line(depth);
  if (layout == Layout::kOdd) out += "\n";
  out += object ? '}' : ']';
}

// The record as an element of a signal file (at depth 1).
inline std::string record_text(const Node& record, Layout layout, bool escape_first_name) {
  std::string out;
  write_node(out, record, layout, 1, escape_first_name);
  return out;
}

// A signal file of element texts in the layout the system writes.
inline std::string file_text(const std::vector<std::string>& elements) {
  if (elements.empty()) return "[]";
  std::string out = "[";
  for (size_t i = 0; i < elements.size(); ++i) {
    out += i ? ",\n  " : "\n  ";
    out += elements[i];
  }
  return out + "\n]";
}

// The building blocks of the records.
inline const std::vector<std::string> kMetrics = {
    "files_touched", "dispersion", "change_locality", "cochange_novelty_ratio", "run_duration",
    "run_failed", "total_tests", "suite_duration", "skip_rate", "dependency_count", "max_depth",
    "endpoint_count", "type_count", "field_count", "schema_churn", "release_cadence_hours",
    "is_prerelease", "asset_count", "resource_count", "resource_type_count", "config_churn",
    "event_count", "user_count", "is_unhandled", "vulnerability_count", "critical_count",
    "fixable_ratio",
    // Metrics without a sentence of their own.
    "failure_rate", "custom/metric", "", "x y"};

inline const std::vector<std::string> kIntegers = {
    "0", "7", "-3", "12", "50", "100", "-1", "123456789012345678", "-123456789012345678",
    "1234567890123456789", "-1234567890123456789", "9223372036854775807",
    "-9223372036854775808"};

// Beyond 64 bits, and the negative zero integer: never plain.
inline const std::vector<std::string> kWideIntegers = {
    "9223372036854775808", "18446744073709551615", "18446744073709551616",
    "-9223372036854775809", "-0"};

inline const std::vector<std::string> kReals = {
    "0.5", "0.50", "1.0", "-0.0", "0.0", "1e-05", "1E2", "1e+2", "0.0001", "0.00001",
    "0.000123456789012345", "0.0001234567890123456", "123456789012345.0",
    "1234567890123456.0", "12345678901234567.0", "12345678901234.5", "123456789012345.5",
    "0.30000000000000004", "0.1", "0.10000000000000001", "1.4142135623730951", "5.39604",
    "2.675", "0.125", "-2.5", "1e16", "1e15", "9999999999999998.0", "2.5e-300", "-2.5E-3",
    "1.7976931348623157e308", "5e-324", "4.9e-324", "1e-400", "99.99", "100.0", "12.0",
    "1.0000000000000002", "0.0009999", "123.456e1", "0e0", "-0e-0", "1.5", "0.9182958340544896",
    "1.0001", "-123.250"};

// Reals a double cannot hold (infinity or zero once read) and the words of
// non-finite values: never plain.
inline const std::vector<std::string> kNonFinite = {"NaN", "Infinity", "-Infinity", "1e400",
                                                    "-1e400", "1e-400"};

// Printable ASCII without escapes: plain strings.
inline const std::vector<std::string> kPlainStrings = {
    "git", "ci/x", "a b/c:d", "", " !#$%&'()*+,-./0123456789:;<=>?@[]^_`{|}~", "sufficient",
    "accumulating", "/", "//", "123", "null", "x'y", "rolling", "modified_zscore", "}, {"};

// Strings the scanner leaves to the parser.
inline const std::vector<std::string> kOtherStrings = {
    "tab\\tx", "caf\\u00e9", "caf\xc3\xa9", "q\\\"d", "s\\/l", "\\ud83d\\ude00", "del\x7f",
    "back\\\\slash", "\\u0000"};

class RecordMaker {
 public:
  explicit RecordMaker(uint64_t seed) : rng_(seed) {}

  size_t below(size_t n) { return static_cast<size_t>(rng_() % n); }
  bool chance(unsigned percent) { return below(100) < percent; }
  template <typename T>
  const T& pick(const std::vector<T>& items) { return items[below(items.size())]; }

  Node number() {
    size_t roll = below(100);
    if (roll < 40) return Node::token(pick(kIntegers));
    if (roll < 97) return Node::token(pick(kReals));
    if (roll < 98) return Node::token(pick(kWideIntegers));
    return Node::token(pick(kNonFinite));
  }

  Node plain_string() { return Node::string(pick(kPlainStrings)); }

  Node scalar() {
    size_t roll = below(100);
    if (roll < 45) return number();
    if (roll < 78) return plain_string();
    if (roll < 80) return Node::string(pick(kOtherStrings));
    if (roll < 87) return Node::token("true");
    if (roll < 94) return Node::token("false");
    return Node::token("null");
  }

  std::string name() {
    static const std::string kLetters =
        "abcdefghijklmnopqrstuvwxyz_ABCXYZ0123456789 /:.-!#$%&'()*+,;<=>?@[]^`{|}~";
    if (chance(1)) return pick(std::vector<std::string>{"k\\u0065y", "caf\\u00e9", "t\\tab"});
    std::string out;
    size_t length = 1 + below(8);
    for (size_t i = 0; i < length; ++i) out += kLetters[below(kLetters.size())];
    return out;
  }

  // An object of `count` distinct names, or with one repeated.
  Node object_of(size_t count, size_t depth) {
    Node node = Node::object();
    for (size_t i = 0; i < count; ++i) node.members.emplace_back("m" + std::to_string(i) + name(),
                                                                 value(depth + 1));
    if (count > 1 && chance(5)) node.members.back().first = node.members.front().first;
    return node;
  }

  Node value(size_t depth = 0) {
    size_t roll = below(100);
    if (depth >= 3 || roll < 55) return scalar();
    if (roll < 75) {
      Node node = Node::array();
      for (size_t n = below(5); n > 0; --n) node.elements.push_back(value(depth + 1));
      if (chance(20)) {  // objects in an array: the kTrap layout needs them
        node.elements.push_back(object_of(below(3), depth + 1));
        node.elements.push_back(object_of(1 + below(2), depth + 1));
      }
      return node;
    }
    size_t roll2 = below(100);
    size_t count = roll2 < 5 ? 16 : roll2 < 10 ? 17 : below(5);
    return object_of(count, depth);
  }

  Layout layout() {
    size_t roll = below(100);
    if (roll < 55) return Layout::kPretty;
    if (roll < 70) return Layout::kCompact;
    if (roll < 80) return Layout::kSpaced;
    if (roll < 90) return Layout::kOdd;
    return Layout::kTrap;
  }

  // A signal record of the usual shape, varied in every member.
  Node record() {
    Node r = Node::object();
    auto text_or_other = [&] { return chance(85) ? plain_string() : value(); };
    r.set("engine_id", text_or_other());
    r.set("source_type", text_or_other());
    size_t roll = below(100);
    if (roll < 90) r.set("metric", Node::string(pick(kMetrics)));
    else if (roll < 95) r.set("metric", Node::string("run_\\u0064uration"));
    else r.set("metric", value());

    Node window = Node::object({{"type", Node::string("rolling")}});
    roll = below(100);
    window.set("size", roll < 70 ? Node::token(pick(kIntegers)) : roll < 90 ? number() : scalar());
    if (chance(10)) window.set("extra", value(1));
    r.set("window", window);

    Node baseline = Node::object();
    roll = below(100);
    baseline.set("mean", roll < 85 ? number() : roll < 90 ? Node::token("null")
                                      : roll < 95 ? Node::token(chance(50) ? "true" : "false")
                                                  : value(1));
    baseline.set("stddev", number());
    roll = below(100);
    if (roll >= 25) baseline.set("median", roll < 35 ? Node::token("null") : number());
    roll = below(100);
    if (roll >= 25)
      baseline.set("mad", roll < 35   ? Node::token("null")
                          : roll < 55 ? Node::token(chance(50) ? "0" : "0.0")
                          : roll < 90 ? Node::token(pick(std::vector<std::string>{
                                            "1.0", "0.5", "2", "1e-05", "0.0001", "3.25"}))
                          : roll < 95 ? Node::token("-1.5")
                                      : value(1));
    pad(baseline);
    r.set("baseline", baseline);

    roll = below(100);
    r.set("observed", roll < 80 ? number() : roll < 88 ? Node::token(chance(50) ? "true" : "false")
                                                       : value(1));

    Node deviation = Node::object({{"measure", number()}, {"unit", plain_string()}});
    roll = below(100);
    if (roll >= 15)
      deviation.set("degenerate", Node::token(pick(std::vector<std::string>{
                                      "true", "false", "true", "false", "\"true\"", "1", "null",
                                      "0", "[true]"})));
    pad(deviation);
    r.set("deviation", deviation);

    Node confidence = Node::object({{"sample_count", number()}});
    confidence.set("status", Node::token(pick(std::vector<std::string>{
                                 "\"sufficient\"", "\"accumulating\"", "\"sufficient\"",
                                 "\"accumulating\"", "\"Sufficient\"", "1", "null", "true",
                                 "[\"sufficient\"]", "{}", "\"suf\\u0066icient\""})));
    pad(confidence);
    r.set("confidence", confidence);

    roll = below(100);
    if (roll >= 20) r.set("event_ref", roll < 70 ? plain_string() : roll < 80 ? Node::token("null")
                                                                              : value(1));
    if (chance(20))
      for (size_t n = 1 + below(3); n > 0; --n) r.set("extra_" + name(), value(1));
    if (chance(4)) {  // 16 or 17 members in all
      size_t target = chance(50) ? 16 : 17;
      for (size_t i = 0; r.members.size() < target; ++i) r.set("pad" + std::to_string(i), scalar());
    }
    if (chance(10)) std::shuffle(r.members.begin(), r.members.end(), rng_);
    if (chance(3)) {  // a member written twice: the later value counts
      const std::string key = pick(std::vector<std::string>{"observed", "metric", "baseline"});
      Node again = key == "observed" ? number() : key == "metric" ? Node::string(pick(kMetrics))
                                                                  : r.at("baseline");
      r.members.emplace_back(key, again);
    }
    return r;
  }

 private:
  // Sometimes extra members, empty containers among them, or enough members
  // to reach the limit of a plain object and one more.
  void pad(Node& object) {
    size_t roll = below(100);
    if (roll < 15) {
      object.set("none", Node::array());
      object.set("empty", Node::object());
      object.set("nested", value(1));
    } else if (roll < 20) {
      size_t target = chance(50) ? 16 : 17;
      for (size_t i = 0; object.members.size() < target; ++i)
        object.set("x" + std::to_string(i), scalar());
    }
  }

  std::mt19937_64 rng_;
};

}  // namespace velquor::cindrel::testing
