// The stub server, with what the language-model clients' tests add to it.
#pragma once

#include "tests/support/stub_server.h"
#include "velquor/tarvon/tarvon.h"

namespace velquor::testing {

// The error message of a generate() call that must fail.
inline std::string failure_of(tarvon::LanguageModel& client) {
  try {
    client.generate("prompt");
  } catch (const tarvon::LanguageModelError& e) {
    return e.what();
  }
  ADD_FAILURE() << "generate() did not fail";
  return "";
}

}  // namespace velquor::testing
