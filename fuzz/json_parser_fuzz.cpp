// The JSON parser, in both of its modes. Whatever it accepts must survive
// the writers: the pretty text of a parsed value parses again (with the
// non-finite tokens the writers may use) and prints the same bytes.

#include "fuzz/fuzz_target.h"
#include "shared/errors.h"
#include "shared/json.h"

using namespace velquor;

namespace {

void round_trip(const Json& value) {
  const std::string pretty = dump_pretty(value);
  Json again;
  try {
    again = parse_json(pretty, "written text", NonFinite::kAccept);
  } catch (const Error&) {
    fuzz::require(false, "the pretty text of a parsed value does not parse");
  }
  fuzz::require(dump_pretty(again) == pretty, "pretty text changed after a round trip");
  fuzz::require(dump_canonical(again) == dump_canonical(value), "canonical text changed");
  dump_compact(value);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text = fuzz::as_text(data, size);
  for (NonFinite mode : {NonFinite::kReject, NonFinite::kAccept}) {
    try {
      round_trip(parse_json(text, "input", mode));
    } catch (const JsonError&) {
    }
  }
  return 0;
}
