// The signal record scanner of stage 3. A record it calls plain must be
// valid JSON, and its flat values must say what the strict parser says:
// the same kinds, names, strings and numbers, in the same order. Skimming
// reads the text through exactly when the strict parser accepts it.

#include <string>

#include "fuzz/fuzz_target.h"
#include "shared/errors.h"
#include "shared/json.h"
#include "velquor/cindrel/record_scanner.h"

using namespace velquor;
using cindrel::FlatValue;

namespace {

using Kind = FlatValue::Kind;

Kind kind_of(const Json& value) {
  if (value.is_null()) return Kind::kNull;
  if (value.is_boolean()) return value.get<bool>() ? Kind::kTrue : Kind::kFalse;
  if (value.is_number_integer()) return Kind::kInteger;
  if (value.is_number_float()) return Kind::kReal;
  if (value.is_string()) return Kind::kString;
  if (value.is_array()) return Kind::kArray;
  return Kind::kObject;
}

// Compares values[index] and its descendants with `value`; the index past
// them.
size_t compare(const std::vector<FlatValue>& values, size_t index, const Json& value) {
  fuzz::require(index < values.size(), "flat values end early");
  const FlatValue& flat = values[index];
  fuzz::require(flat.kind == kind_of(value), "flat kind differs from the parsed kind");
  switch (flat.kind) {
    case Kind::kInteger:
      fuzz::require(flat.text == dump_compact(value), "integer text differs");
      break;
    case Kind::kReal:
      fuzz::require(flat.text == float_repr(value.get<double>()), "real text differs");
      break;
    case Kind::kString:
      fuzz::require(flat.text == value.get_ref<const std::string&>(), "string differs");
      break;
    default:
      break;
  }
  size_t next = index + 1;
  if (flat.kind == Kind::kArray || flat.kind == Kind::kObject) {
    fuzz::require(flat.size == value.size(), "container size differs");
    for (auto it = value.begin(); it != value.end(); ++it) {
      if (flat.kind == Kind::kObject)
        fuzz::require(next < values.size() && values[next].key == it.key(), "member name differs");
      next = compare(values, next, *it);
    }
    fuzz::require(flat.end == next, "container end differs");
  }
  return next;
}

bool parses(std::string_view text) {
  try {
    parse_json(text, "text", NonFinite::kAccept);
    return true;
  } catch (const JsonError&) {
    return false;
  }
}

// Whether skim() passes over every element of `text`, checking that each
// span it passes is one the strict parser reads as the kind it gave.
bool skims(std::string_view text) {
  cindrel::RecordScanner scanner(text);
  if (!scanner.open_array()) return false;
  cindrel::SkimmedRecord record;
  while (scanner.skim(record)) {
    fuzz::require(parses(record.span), "a skimmed record is not valid JSON");
    const Kind parsed = kind_of(parse_json(record.span, "record", NonFinite::kAccept));
    fuzz::require(parsed == record.kind || (parsed == Kind::kReal && record.kind == Kind::kInteger),
                  "skimmed kind differs from the parsed kind");
  }
  return !scanner.failed();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  cindrel::RecordScanner scanner(fuzz::as_text(data, size));
  if (!scanner.open_array()) return 0;
  cindrel::ScannedRecord record;
  while (scanner.next(record)) {
    if (!record.plain) continue;
    Json strict;
    try {
      strict = parse_json(record.span, "record", NonFinite::kAccept);
    } catch (const JsonError&) {
      fuzz::require(false, "a plain record is not valid JSON");
    }
    fuzz::require(compare(record.values, 0, strict) == record.values.size(),
                  "flat values left over");
  }
  fuzz::require(skims(fuzz::as_text(data, size)) == parses(fuzz::as_text(data, size)),
                "skimming and the strict parser disagree");
  return 0;
}
