// The record scanner against the strict parser: a file is read through by
// next() and next_members() (with the strict parser for the records they
// leave) and by skim()
// exactly when the strict parser accepts it, over usual, escaped, non-ASCII,
// numeric, damaged and truncated records.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "shared/errors.h"
#include "shared/json.h"
#include "velquor/cindrel/record_scanner.h"

namespace velquor::cindrel {
namespace {

using Kind = FlatValue::Kind;

bool strict_reads(std::string_view text) {
  try {
    parse_json(text, "file", NonFinite::kAccept);
    return true;
  } catch (const JsonError&) {
    return false;
  }
}

// Whether every name and string of a plain record is its own content.
bool plain_texts(const ScannedRecord& record) {
  for (const FlatValue& value : record.values)
    if (!is_plain_text(value.key) || (value.kind == Kind::kString && !is_plain_text(value.text))) return false;
  return true;
}

// As the readers use next(): plain records as scanned, the others by the
// strict parser.
bool scan_reads(std::string_view text) {
  RecordScanner scanner(text);
  if (!scanner.open_array()) return false;
  ScannedRecord record;
  while (scanner.next(record)) {
    if (record.plain) {
      EXPECT_TRUE(plain_texts(record)) << record.span;
    }
    if (!record.plain && !(record.plain_shape ? raw_strings_parse(record) : strict_reads(record.span)))
      return false;
  }
  return !scanner.failed();
}

// As the event readers use scan_document(): a plain record as scanned, any
// other by the strict parser.
bool document_reads(std::string_view text) {
  RecordScanner scanner(text);
  ScannedRecord record;
  if (!scanner.scan_document(record)) return false;
  if (record.plain) return plain_texts(record) && record.span.size() <= text.size();
  return record.plain_shape ? raw_strings_parse(record) : strict_reads(record.span);
}

// The kinds of the elements skim() passes over, or nullopt when it does not
// read the file through.
std::optional<std::vector<Kind>> skimmed_kinds(std::string_view text) {
  RecordScanner scanner(text);
  if (!scanner.open_array()) return std::nullopt;
  std::vector<Kind> kinds;
  SkimmedRecord record;
  while (scanner.skim(record)) {
    if (!strict_reads(record.span)) ADD_FAILURE() << "skimmed a span the parser refuses: " << record.span;
    kinds.push_back(record.kind);
  }
  if (scanner.failed()) return std::nullopt;
  return kinds;
}

Kind kind_of(const Json& value, std::string_view text) {
  if (value.is_object()) return Kind::kObject;
  if (value.is_array()) return Kind::kArray;
  if (value.is_string()) return Kind::kString;
  if (value.is_boolean()) return value.get<bool>() ? Kind::kTrue : Kind::kFalse;
  if (value.is_null()) return Kind::kNull;
  // The parser makes reals of integers beyond 64 bits; their text is still
  // an integer's.
  return text.find_first_of(".eEIN") == std::string_view::npos ? Kind::kInteger : Kind::kReal;
}

// Whether the members of the object at record.values[object] are what the
// strict parser made of them: kinds, plain texts, numbers as their tokens
// read.
void expect_members_agree(const ScannedRecord& record, size_t object, const Json& parsed) {
  ASSERT_TRUE(parsed.is_object()) << record.span;
  EXPECT_EQ(record.values[object].size, parsed.size()) << record.span;
  for (size_t child = object + 1; child < record.values[object].end; child = record.values[child].end) {
    const FlatValue& value = record.values[child];
    const Json& member = parsed.at(std::string(value.key));
    EXPECT_EQ(value.kind, kind_of(member, value.text)) << record.span;
    if (value.kind == Kind::kString && is_plain_text(value.text)) {
      EXPECT_EQ(value.text, member.get<std::string>());
    }
    if (value.kind == Kind::kInteger || value.kind == Kind::kReal) {
      EXPECT_EQ(parse_json(value.text, "number"), member) << record.span;
    }
    if (value.end > child + 1) expect_members_agree(record, child, member);
  }
}

// As the readers use next_members(): a plain_shape record as scanned (and
// checked against the parser), any other by the strict parser.
bool members_read(std::string_view text, std::string_view expanded) {
  RecordScanner scanner(text);
  if (!scanner.open_array()) return false;
  ScannedRecord record;
  while (scanner.next_members(record, expanded)) {
    if (!record.plain_shape) {
      if (!strict_reads(record.span)) return false;
      continue;
    }
    EXPECT_EQ(record.plain, plain_texts(record)) << record.span;
    const Json parsed = parse_json(record.span, "record", NonFinite::kAccept);
    if (record.values[0].kind == Kind::kObject) expect_members_agree(record, 0, parsed);
    else EXPECT_EQ(record.values[0].kind, kind_of(parsed, record.span));
  }
  return !scanner.failed();
}

std::string nested(size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); }

// Objects each holding the next under "k", `depth` deep.
std::string nested_objects(size_t depth) {
  std::string text;
  for (size_t i = 0; i < depth; ++i) text += "{\"k\": ";
  text += "0";
  for (size_t i = 0; i < depth; ++i) text += "}";
  return text;
}

// Strings whose first odd byte (or closing quote) falls at each offset of
// a 16-byte block and of the word after it, and an object indented by runs
// of white space of every length around a word.
std::vector<std::string> block_edge_elements() {
  std::vector<std::string> elements;
  for (size_t offset = 0; offset < 26; ++offset) {
    const std::string head = "\"" + std::string(offset, 'x');
    elements.push_back(head + "\"");
    for (const char* odd : {"\\u00e9", "\x01", "\x7F", "\xC3\xA9", "\\q"}) elements.push_back(head + odd + "yz\"");
    elements.push_back("{" + std::string(offset, ' ') + "\"a\":\n" + std::string(offset, ' ') + "\t 1\r\n" +
                       std::string(offset, ' ') + "}");
  }
  return elements;
}

const std::vector<std::string> kElements = {
    // Usual records, compact and pretty.
    R"({"engine_id": "git", "metric": "files_touched", "observed": 12, "deviation": {"measure": 5.39604,
        "degenerate": false}, "baseline": {"mean": 4, "stddev": 1.4142135623730951, "mad": 0.0}})",
    "{\n    \"a\": [\n      1,\n      2.5\n    ],\n    \"b\": {}\n  }",
    // Escapes, valid and not.
    R"({"s": "a\"b\\c\/d\b\f\n\r\t"})", R"({"s": "\u00e9\u2014\uD83D\uDE00"})", R"({"s": "\uD800"})",
    R"({"s": "\uDC00\uD800x"})", R"({"s": "\uD800\u0041"})", R"({"s": "\uD800\uZZZZ"})", R"({"s": "\u12"})",
    R"({"s": "\u12G4"})", R"({"s": "\x"})", R"({"s": "\'"})", R"({"s": "\)", R"({"\u0061": 1})",
    R"({"k\"ey": 1})",
    // Bytes beyond ASCII, control characters, DEL.
    "{\"s\": \"gr\xC3\xB6\xC3\x9F" "e \xE2\x80\x94 \xF0\x9F\x98\x80\"}", "{\"s\": \"\xC3\"}",
    "{\"s\": \"\xFF\"}", "{\"s\": \"\xC0\xAF\"}", "{\"s\": \"\xED\xA0\x80\"}", "{\"s\": \"\xF4\x90\x80\x80\"}",
    "{\"s\": \"tab\there\"}", "{\"s\": \"nl\nhere\"}", std::string("{\"s\": \"nul\0\"}", 13),
    "{\"s\": \"del\x7F\"}", "{\"\xC3\xA9\": 1}",
    // Strings long enough to be read eight bytes at a time, with the odd
    // byte at several offsets of a word.
    "\"" + std::string(40, 'x') + "\"", "\"" + std::string(17, 'x') + "\\n" + std::string(9, 'y') + "\"",
    "\"" + std::string(13, 'x') + "\x01" "\"", "\"" + std::string(22, 'x') + "\xE2\x80\x94\"",
    "\"" + std::string(20, 'x') + "\xFF" + std::string(10, 'y') + "\"", "\"" + std::string(9, 'x') + "\x7F" + std::string(9, 'y') + "\"",
    "\"" + std::string(27, 'x') + "\x7F\"", "\"" + std::string(19, 'x') + "\x1F" + std::string(5, 'y') + "\"",
    // Numbers.
    "0", "-0", "12", "-12", "0.5", "1.0", "1e5", "1E+05", "1.5e-300", "2.5e-400", "1e400", "-1e400",
    "9223372036854775807", "9223372036854775808", "-9223372036854775809", "18446744073709551616",
    "123456789012345678901234567890", "0.10000000000000001", "1" + std::string(298, '0') + ".5",
    "1" + std::string(310, '0') + ".5", "-" + std::string(1, '1') + std::string(320, '0') + ".25", "1.4142135623730951", "01", "-", "1.",
    ".5", "1e", "1e+", "+1", "0x10", "1.5.2", "--1", "-a",
    // Words.
    "true", "false", "null", "NaN", "Infinity", "-Infinity", "nan", "tru", "nul", "-Inf", "Infinit",
    R"({"m": NaN, "n": -Infinity, "o": [Infinity]})",
    // Containers, damaged.
    "{}", "[]", "[[], {}]", R"({"a": 1,})", R"({"a" 1})", R"({"a": 1 "b": 2})", R"({a: 1})", "[1,]",
    "[1 2]", R"({"a": {"b": [1, {"c": "d"}]}})", R"({"a": 1, "a": 2})", "{\"a\":1}",
    R"({"a": {"m": 1.50, "s": "y\u00e9", "n": [2e3, {"a": 1, "a": 2}]}, "t": "\u2014 café"})", "{ \"a\" : 1 }",
    "{\t\"a\":\r\n1}", nested(511), nested(512), nested(513),
    // Containers that leave the one-loop skim part-way: an odd word, byte or
    // escape deep inside, or nesting past its 64 levels.
    R"({"a": [{"b": {"c": [1, -Infinity]}}]})", R"({"a": [{"b": {"c": [1, -Inf]}}]})",
    "{\"a\": [{\"b\": \"x\xC3\xA9\"}, {\"\xC3\xA9\": 1}]}", "{\"a\": [{\"b\": \"x\xC3\"}]}",
    "{\"a\": [{\"b\": \"del\x7F \\u00e9 \\/\"}], \"c\": {\"d\\n\": null}}", R"({"a": [{"b": "\u00G9"}]})",
    R"({"a": [true, false, null, tru]})", R"({"a": {"b": 1,}})", R"({"a": [1 , 2 ,3], "b": {"c" : {}}})",
    std::string(32, '[') + nested_objects(40) + std::string(32, ']'),
    std::string(32, '[') + nested_objects(40) + "," + std::string(32, ']'),
    "{\"k\": " + nested(64) + "}", "{\"k\": " + nested(64) + "]", "{\"k\": " + nested(63) + "]",
};

TEST(RecordScanner, ReadsAndSkimsWhatTheStrictParserReads) {
  std::vector<std::string> elements = kElements;
  for (std::string& element : block_edge_elements()) elements.push_back(std::move(element));
  for (const std::string& element : elements) {
    for (const std::string& document : {element, "\n " + element + "\n", element + " 1", nested(1) + element})
      EXPECT_EQ(document_reads(document), strict_reads(document)) << document;
    for (const std::string& text : {"[" + element + "]", "[\n  {},\n  " + element + ",\n  12\n]"}) {
      SCOPED_TRACE(text);
      const bool strict = strict_reads(text);
      EXPECT_EQ(scan_reads(text), strict);
      EXPECT_EQ(members_read(text, ""), strict);
      EXPECT_EQ(members_read(text, "a"), strict);
      const std::optional<std::vector<Kind>> kinds = skimmed_kinds(text);
      ASSERT_EQ(kinds.has_value(), strict);
      if (!strict) continue;
      const Json parsed = parse_json(text, "file", NonFinite::kAccept);
      ASSERT_EQ(kinds->size(), parsed.size());
      EXPECT_EQ(kinds->back(), kind_of(parsed.back(), text[1] == '\n' ? "12" : element));
    }
  }
}

TEST(RecordScanner, EveryTruncationReadsAsTheStrictParserReadsIt) {
  // Every third element the parser accepts, each cut at every byte.
  std::string text = "[\n";
  size_t sound = 0;
  for (const std::string& element : kElements)
    if (element.size() < 200 && strict_reads("[" + element + "]") && sound++ % 3 == 0)
      text += "  " + element + ",\n";
  text += "  \"" + std::string(30, 'z') + "\"\n]\n";
  ASSERT_TRUE(strict_reads(text));
  for (size_t n = 0; n <= text.size(); ++n) {
    const std::string_view prefix(text.data(), n);
    const bool strict = strict_reads(prefix);
    ASSERT_EQ(scan_reads(prefix), strict) << prefix;
    ASSERT_EQ(members_read(prefix, "a"), strict) << prefix;
    ASSERT_EQ(skimmed_kinds(prefix).has_value(), strict) << prefix;
    if (n > 0) {
      const std::string_view document = prefix.substr(1);  // the array left out
      ASSERT_EQ(document_reads(document), strict_reads(document)) << document;
    }
  }
}

// A repeated member makes a record leave the fast path (the parser keeps the
// last value); names that only share a length or their first eight bytes do
// not.
TEST(RecordScanner, RepeatedMembersAreNotPlain) {
  // next_members() looks into "b" alone.
  const struct {
    const char* record;
    bool plain_shape;
    bool members_plain_shape;
  } cases[] = {
      {R"({"a": 1, "b": 2})", true, true},
      {R"({"a": 1, "a": 2})", false, false},
      {R"({"a": 1, "b": {"a": 2}})", true, true},
      {R"({"b": {"a": 1, "c": 2, "a": 3}})", false, false},
      {R"({"c": {"a": 1, "c": 2, "a": 3}})", false, true},
      {R"({"abcdefghX": 1, "abcdefghY": 2})", true, true},
      {R"({"abcdefghX": 1, "abcdefghX": 2})", false, false},
      {R"({"abcdefgh": 1, "abcdefghi": 2})", true, true},
      {R"({"": 1, "x": 2, "": 3})", false, false},
      {R"({"ab": 1, "ba": 2, "abc": 3})", true, true},
      {R"({"a": -0})", false, false},
      {R"({"a": [-0, 1e999]})", false, true},
  };
  for (const auto& c : cases) {
    const std::string text = std::string("[") + c.record + "]";
    RecordScanner scanner(text), members(text);
    ASSERT_TRUE(scanner.open_array() && members.open_array());
    ScannedRecord record;
    ASSERT_TRUE(scanner.next(record)) << c.record;
    EXPECT_EQ(record.plain_shape, c.plain_shape) << c.record;
    ASSERT_TRUE(members.next_members(record, "b")) << c.record;
    EXPECT_EQ(record.plain_shape, c.members_plain_shape) << c.record;
  }
}

// Objects of up to the most members a plain record holds, with and without
// one name repeated: the quick check for new names must never miss a repeat,
// wherever it stands and whichever names came before.
TEST(RecordScanner, EveryRepeatedNameIsFound) {
  for (size_t count = 1; count < RecordScanner::kMaxPlainMembers; ++count) {
    std::vector<std::string> names;
    for (size_t i = 0; i < count; ++i) names.push_back((i % 2 ? "member_name_" : "m") + std::to_string(i * 37));
    for (size_t repeated = 0; repeated <= count; ++repeated) {
      std::string text = "[{";
      for (size_t i = 0; i < count; ++i) text += "\"" + names[i] + "\": " + std::to_string(i) + ", ";
      text += "\"" + (repeated < count ? names[repeated] : std::string("last")) + "\": 0}]";
      RecordScanner scanner(text);
      ASSERT_TRUE(scanner.open_array());
      ScannedRecord record;
      ASSERT_TRUE(scanner.next(record)) << text;
      EXPECT_EQ(record.plain_shape, repeated == count) << text;
    }
  }
}

}  // namespace
}  // namespace velquor::cindrel
