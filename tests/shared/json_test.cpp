#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "shared/errors.h"
#include "shared/json.h"

namespace velquor {
namespace {

TEST(FloatRepr, ShortestRoundTripInTheSystemLayout) {
  const std::pair<double, const char*> cases[] = {
      {2.0, "2.0"}, {0.1, "0.1"}, {1e-05, "1e-05"}, {0.0001, "0.0001"},
      {1234567890123456.0, "1234567890123456.0"}, {1e16, "1e+16"}, {-0.0, "-0.0"},
      {0.1 + 0.2, "0.30000000000000004"}, {1.5e300, "1.5e+300"}, {123.456, "123.456"},
      {5e-324, "5e-324"}, {-2.5e-7, "-2.5e-07"}, {1e22, "1e+22"}, {0.0, "0.0"}};
  for (const auto& [value, text] : cases) EXPECT_EQ(float_repr(value), text);
}

// Between 1e-4 and 1e16 the text is the shortest round-trip digits in fixed
// notation, ".0" added to a whole number: found here the slow way, as the
// fewest decimals whose correctly rounded text reads back as the value.
std::string fixed_shortest(double value) {
  char text[400];
  for (int decimals = 0;; ++decimals) {
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    if (std::strtod(text, nullptr) == value) return decimals == 0 ? std::string(text) + ".0" : text;
  }
}

TEST(FloatRepr, FixedRangeMatchesShortestDigits) {
  std::vector<double> values = {1e-4, 0.00010000000000000002, 0.000099999999999999991, 999999999.999999,
                                1e9, 999999999.9999999, 0.5, 2.25, 100000000.0, 123456.000001,
                                0.1 + 0.2, 1.0 / 3.0, 8.000001, 7.999999, 1e15 + 0.5, 4503599627370497.0};
  std::mt19937_64 random(7);
  for (int i = 0; i < 20000; ++i) {
    const int64_t micros = static_cast<int64_t>(random() % 1000000000000000ULL);
    const double scale = std::pow(10.0, static_cast<int>(random() % 7));
    values.push_back(static_cast<double>(micros) / 1e6 / scale);       // up to six decimals, then more
    values.push_back(std::nextafter(values.back(), 2e9));              // a neighbour: no short decimals
    values.push_back(std::ldexp(static_cast<double>(random() >> 11), -static_cast<int>(random() % 60)));
    values.push_back(std::ldexp(static_cast<double>((random() >> 11) | (1ULL << 52)), 1));  // even, to 1.8e16
  }
  for (double value : values) {
    if (value < 1e-4 || value >= 1e16) continue;
    ASSERT_EQ(float_repr(value), fixed_shortest(value)) << value;
    ASSERT_EQ(float_repr(-value), "-" + fixed_shortest(value)) << value;
  }
}

TEST(JsonWriter, PrettyLayoutIsByteExact) {
  Json value = parse_json(R"({"b": [1, 2.0, {}], "a": {"x": null, "y": []}, "s": "\u00e9\ud83d\ude00\n\u007f"})", "t");
  EXPECT_EQ(dump_pretty(value),
            "{\n  \"b\": [\n    1,\n    2.0,\n    {}\n  ],\n  \"a\": {\n    \"x\": null,\n"
            "    \"y\": []\n  },\n  \"s\": \"\\u00e9\\ud83d\\ude00\\n\\u007f\"\n}");
  EXPECT_EQ(dump_compact(value),
            R"({"b": [1, 2.0, {}], "a": {"x": null, "y": []}, "s": "\u00e9\ud83d\ude00\n\u007f"})");
  EXPECT_EQ(dump_canonical(value),
            R"({"a":{"x":null,"y":[]},"b":[1,2.0,{}],"s":"\u00e9\ud83d\ude00\n\u007f"})");
}

TEST(JsonWriter, StringsEscapeOnlyWhatTheyMust) {
  const std::pair<std::string, std::string> cases[] = {
      {"", R"("")"}, {"plain text ~", R"("plain text ~")"}, {"a\"b\\c", R"("a\"b\\c")"},
      {"\x01x", R"("\u0001x")"}, {"x\x7f", R"("x\u007f")"}, {"tab\there\n", R"("tab\there\n")"},
      {"caf\xc3\xa9!", R"("caf\u00e9!")"}, {"\xff", R"("\u00ff")"}, {"\"", R"("\"")"}};
  for (const auto& [text, want] : cases) {
    std::string out = "[";
    append_json_string(out, text);
    EXPECT_EQ(out, "[" + want) << text;
  }
}

TEST(JsonWriter, NonFiniteNumbersUseTheirTokens) {
  Json value = Json::array({NAN, INFINITY, -INFINITY});
  EXPECT_EQ(dump_compact(value), "[NaN, Infinity, -Infinity]");
  EXPECT_EQ(dump_compact(parse_json("[NaN,-Infinity]", "t", NonFinite::kAccept)), "[NaN, -Infinity]");
  EXPECT_THROW(parse_json("[NaN]", "t"), JsonError);
}

TEST(JsonParser, KeepsKindsOrderAndLastDuplicate) {
  Json value = parse_json(R"({"z": 1, "a": 1.0, "z": 3, "big": 1e400, "u": 18446744073709551615})",
                          "t", NonFinite::kAccept);
  EXPECT_EQ(dump_compact(value), R"({"z": 3, "a": 1.0, "big": Infinity, "u": 18446744073709551615})");
  EXPECT_TRUE(value["z"].is_number_integer());
  EXPECT_TRUE(value["a"].is_number_float());
}

TEST(JsonParser, ErrorsNameTheSource) {
  const char* bad[] = {"", "{", "{\"a\" 1}", "[1,]", "\xEF\xBB\xBF{}", "\"\xC3\x28\"", "01",
                       "{} x", "\"a\nb\"", "[1e]", "tru", "\"\\x\""};
  for (const char* text : bad) {
    try {
      parse_json(text, "events/e.json");
      ADD_FAILURE() << "accepted: " << text;
    } catch (const JsonError& e) {
      EXPECT_NE(std::string(e.what()).find("events/e.json"), std::string::npos);
    }
  }
}

TEST(JsonParser, StandardJsonRefusesNumbersBeyondTheDoubleRangeNamingTheMember) {
  const std::string huge_integer = "-" + std::string(400, '9');
  const std::vector<std::pair<std::string, std::string>> cases = {
      {R"({"payload": {"total": 1e400}})", "member payload.total: number 1e400"},
      {R"({"a": [1, {"b": [2, -1.5E+309]}]})", "member a[1].b[1]: number -1.5E+309"},
      {"[[0, " + huge_integer + "]]", "member [0][1]: number -999"},
      {"1e999", "member (the document)"},
  };
  for (const auto& [text, expected] : cases) {
    try {
      parse_json(text, "events/e.json");
      ADD_FAILURE() << "accepted: " << text;
    } catch (const JsonError& e) {
      EXPECT_EQ(std::string(e.what()).rfind("events/e.json: " + expected, 0), 0u) << e.what();
    }
    EXPECT_NO_THROW(parse_json(text, "t", NonFinite::kAccept)) << "the system's own files keep it";
  }
  // Tiny numbers round to zero, as every reader does.
  EXPECT_EQ(parse_json("1e-400", "t").get<double>(), 0.0);
}

TEST(JsonParser, EveryPrefixOfADocumentIsAnErrorNotACrash) {
  std::string text = R"({"a": [1, -2.5e3, "x\u00e9y", true, false, null], "b": {"c": {}}})";
  ASSERT_NO_THROW(parse_json(text, "t"));
  for (size_t n = 0; n < text.size(); ++n)
    EXPECT_THROW(parse_json(text.substr(0, n), "t"), JsonError) << n;
}

bool is_failed(const Json& element) {
  return !element.is_object() || (element.contains("status") && element["status"] == "failed");
}

JsonKeep failed_cases() {
  JsonKeep keep{"payload.cases.name", "payload.cases.status", "payload.files.path"};
  keep.add_filter("payload.cases", is_failed);
  keep.add_filter("payload.files", [](const Json& file) { return !file.is_object(); });
  return keep;
}

// parse_json's result cut down to what `keep` names, the way JsonKeep says.
Json pruned(const Json& value, const JsonKeep::Node& keep) {
  if (keep.whole) return value;
  if (value.is_object()) {
    Json out = Json::object();
    for (const auto& [name, member] : value.items())
      if (const JsonKeep::Node* node = keep.member(name)) out[name] = pruned(member, *node);
    return out;
  }
  if (value.is_array()) {
    Json out = Json::array();
    for (const Json& element : value) {
      Json kept = pruned(element, keep);
      if (!keep.keeps_element || keep.keeps_element(kept)) out.push_back(std::move(kept));
    }
    return out;
  }
  return value;
}

template <typename Parse>
std::string outcome(Parse parse) {
  try {
    return dump_compact(parse());
  } catch (const JsonError& e) {
    return std::string("error: ") + e.what();
  }
}

TEST(JsonParser, SelectiveParseEqualsTheFullParsePrunedErrorsIncluded) {
  const std::string event = R"({"event_id": "e\u00e9-1", "source_type": "junit", "payload": {)"
      R"("summary": {"total": 3, "failed": 1, "ratio": 0.5}, "cases": [{"name": "a\"b", )"
      R"("classname": "x.Y", "status": "passed", "duration": 1.5e2}, {"name": "\ud83d\ude00 ü", )"
      R"("status": "failed", "duration": 0, "tags": [[], {}, null, true, false, -0.0]}], )"
      R"("files": [{"path": "src/a.c", "lines": 10}, {"path": "b", "lines": 18446744073709551615}]}, )"
      R"("observed_at": "2026-01-01T00:00:00Z", "event_id": "e-2"})";
  const std::string deep = std::string(511, '[') + std::string(511, ']');
  const std::vector<std::string> documents = {
      event,
      R"({"a": 1, "b": {"c": 2, "a": 3}, "a": {"x": 4}, "b": 5})",
      R"({"payload": {"cases": [{"duration": 1e400}]}})",
      R"({"payload": {"cases": [1, 2, {"x": [0, -)" + std::string(400, '9') + "]}]}}",
      R"({"keep": 1, "payload": {"summary": {"total": 1E+309}}})",
      R"({"payload": {"big": )" + std::string(308, '9') + ".5, \"neg\": -" + std::string(309, '9') + "}}",
      R"({"payload": {"n": NaN, "i": [Infinity, -Infinity]}, "event_id": 1})",
      R"({"event_id": "x", "payload": {"s": "bad \x escape"}})",
      "{\"payload\": {\"s\": \"\xC3\x28\"}, \"event_id\": 1}",
      "{\"payload\": {\"s\": \"a\tb\"}}",
      "{\"payload\": {\"\xE0\x80\x80\": 1}}",
      R"({"payload": {"u": "\ud800 lone \udc00 \u12G4"}})",
      R"({"payload": 7, "event_id": [1, {"a": 2}]})",
      "[{\"event_id\": 1, \"x\": 2}, 3]",
      deep,
      "[" + deep + "]",
      R"({"event_id": 1} {"event_id": 2})",
      "\xEF\xBB\xBF{\"event_id\": 1}",
      R"({"payload": {"x": 01}})",
      R"({"payload": {"x": [1,]}, "event_id": 2})",
      R"({"payload": {"x": tru}})",
      R"({"": {"": 1}, "event_id": 1.0})",
      "  \"just a string\"  ",
      "",
  };
  const std::vector<JsonKeep> keeps = {
      JsonKeep{},
      JsonKeep{"event_id"},
      JsonKeep{"event_id", "payload.summary.total", "payload.files"},
      JsonKeep{"payload.cases.name", "payload.files.path", "source_type", "a.x", "b"},
      JsonKeep{"payload", "event_id.a"},
      JsonKeep{""},
      JsonKeep{"payload.summary", "payload.summary.total", ".", "keep"},
      failed_cases(),
  };
  std::vector<std::string> texts = documents;
  for (const std::string& sample : {event, documents[1], documents[3]})
    for (size_t n = 0; n < sample.size(); ++n) texts.push_back(sample.substr(0, n));

  for (const std::string& text : texts)
    for (NonFinite non_finite : {NonFinite::kReject, NonFinite::kAccept})
      for (const JsonKeep& keep : keeps) {
        const std::string expected = outcome([&] {
          return pruned(parse_json(text, "events/e.json", non_finite), keep.root());
        });
        const std::string actual =
            outcome([&] { return parse_json(text, "events/e.json", non_finite, keep); });
        ASSERT_EQ(actual, expected) << text;
      }
  EXPECT_EQ(outcome([&] { return parse_json(event, "t", NonFinite::kReject, keeps[2]); }),
            R"({"event_id": "e-2", "payload": {"summary": {"total": 3}, "files": [{"path": )"
            R"("src/a.c", "lines": 10}, {"path": "b", "lines": 18446744073709551615}]}})");
}

// Merged keeps filter a list only when both filter it.
TEST(JsonParser, AListFilteredOnOneSideOnlyKeepsEveryElement) {
  const std::string text = R"({"cases": [{"name": "a", "status": "passed"}, {"name": "b", "status": "failed"},)"
                           R"( {"name": "c", "status": "errored"}, 7], "n": 1})";
  auto filtered = [](std::string_view status) {
    JsonKeep keep{"cases.name"};
    keep.add_filter("cases", [status](const Json& c) { return !c.is_object() || c["name"] != status; });
    return keep;
  };
  auto merged = [](std::vector<JsonKeep> keeps) {
    JsonKeep all{"n"};
    for (const JsonKeep& keep : keeps) all.add(keep);
    return all;
  };
  const struct {
    JsonKeep keep;
    const char* expected;
  } cases[] = {
      {filtered("a"), R"({"cases": [{"name": "b"}, {"name": "c"}, 7]})"},
      {merged({filtered("a")}), R"({"cases": [{"name": "b"}, {"name": "c"}, 7], "n": 1})"},
      {merged({filtered("a"), filtered("b")}), R"({"cases": [{"name": "a"}, {"name": "b"}, {"name": "c"}, 7], "n": 1})"},
      {merged({filtered("a"), JsonKeep{"cases"}}), R"({"cases": [{"name": "a", "status": "passed"}, )"
                                                   R"({"name": "b", "status": "failed"}, {"name": "c", )"
                                                   R"("status": "errored"}, 7], "n": 1})"},
      {merged({JsonKeep{"cases.status"}, filtered("a")}), R"({"cases": [{"name": "a", "status": "passed"}, )"
                                                          R"({"name": "b", "status": "failed"}, {"name": "c", )"
                                                          R"("status": "errored"}, 7], "n": 1})"},
  };
  for (const auto& c : cases) EXPECT_EQ(dump_compact(parse_json(text, "t", NonFinite::kReject, c.keep)), c.expected);
}

}  // namespace
}  // namespace velquor
