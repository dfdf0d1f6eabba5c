// JSON values made from scanned records against the parser's values of the
// same texts, over the forms of numbers and texts a record may hold.

#include <gtest/gtest.h>

#include "velquor/esperlin/flat_json.h"

namespace velquor::esperlin {
namespace {

const char* const kRecords[] = {
    R"({"a": 1, "b": -9223372036854775808, "c": 9223372036854775807, "d": 2.50, "e": 1E2})",
    R"({"a": 2.5e-300, "b": 1.0e-5, "c": 0.1, "d": -1.5, "e": 123456789012345678})",
    R"({"a": "caf\u00e9 \"q\" \n", "b": "plain", "c": "\ud83d\ude00", "d": "b\u00e9", "e": ""})",
    R"({"a": null, "b": true, "c": false, "d": {}, "e": []})",
    R"({"a": {"x": [1, {"y": "z"}, []], "y": null}, "d": [{"s": "failed", "n": 1}, {"s": "ok"}, 3]})",
    R"({"z": 0, "b": {"q": 1}, "a": [[1, 2], [3]], "e": {"x": {"y": {"w": 1}}}})",
};

// Keeps a, b.q, e.x.y and of d's elements only maps whose s is "failed"
// (and elements of another kind).
JsonKeep keep() {
  JsonKeep members{"a", "b.q", "c", "d.s", "e.x.y"};
  members.add_filter("d", [](const Json& element) {
    return !element.is_object() || element.value("s", "") == "failed";
  });
  return members;
}

TEST(FlatJson, ScannedObjectsBuildWhatTheParserKeeps) {
  const JsonKeep kept = keep();
  for (const JsonKeep& keeping : {kept, JsonKeep{""}}) {
    for (const char* text : kRecords) {
      SCOPED_TRACE(text);
      cindrel::ScannedRecord record;
      cindrel::RecordScanner scanner(text);
      ASSERT_TRUE(scanner.scan_plain_object(record));
      EXPECT_EQ(dump_compact(kept_value(record, 0, keeping.root())),
                dump_compact(parse_json(text, "t", NonFinite::kAccept, keeping)));
    }
  }
}

TEST(FlatJson, ScannedMembersBuildWhatTheParserKeeps) {
  const JsonKeep kept{"a", "b", "c", "d", "e"};
  size_t compared = 0;
  for (const char* text : kRecords) {
    SCOPED_TRACE(text);
    for (std::string_view expanded : {"a", "b", "d", "e"}) {
      const std::string array = std::string("[") + text + "]";
      cindrel::ScannedRecord record;
      cindrel::RecordScanner scanner(array);
      ASSERT_TRUE(scanner.open_array() && scanner.next_members(record, expanded));
      if (!record.plain_shape) continue;  // the parser reads those
      ++compared;
      EXPECT_EQ(dump_compact(kept_members(record, expanded, kept, "t")),
                dump_compact(parse_json(text, "t", NonFinite::kAccept, kept)));
    }
  }
  EXPECT_EQ(compared, std::size(kRecords) * 4);
}

}  // namespace
}  // namespace velquor::esperlin
