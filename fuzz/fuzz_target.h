// Fuzz targets of the system's input readers.
//
// Each target in this folder defines the one entry point below and feeds
// the bytes it is given to one reader: the JSON parser, the signal record
// scanner, the event loader, the accepted-deviations loader and the git log
// parser. A reader may refuse its input only with one of the system's own
// errors (shared/errors.h); any other exception, a crash, a sanitizer report
// or a broken round trip (checked with `require`) is a finding.
//
// Two ways to build them:
//  - `make fuzz` builds them with clang and -fsanitize=fuzzer,address and
//    runs a campaign of FUZZ_SECONDS per target from fuzz/corpus/<target>;
//  - the normal build links them with replay_main.cpp, and the test suite
//    replays the committed corpora through them, so every input a campaign
//    ever kept stays a regression test without needing clang.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace velquor::fuzz {

inline std::string_view as_text(const uint8_t* data, size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

// Aborts with `what` on stderr when `condition` does not hold: a property
// of the reader was broken.
void require(bool condition, const char* what);

}  // namespace velquor::fuzz
