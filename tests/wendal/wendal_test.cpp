#include <gtest/gtest.h>

#include "velquor/wendal/wendal.h"

namespace velquor::wendal {
namespace {

const ValidationGate gate;

TEST(ValidationGate, PlainDescriptionsPass) {
  EXPECT_TRUE(gate.no_forbidden_language(
      "Build times grow whenever the payment service changes together with its tests."));
  EXPECT_TRUE(gate.no_forbidden_language("x"));
}

TEST(ValidationGate, EmptyOrBlankTextIsRejected) {
  for (const char* text : {"", " ", "\t\r\n", "\v\f ", "\xc2\xa0\xe3\x80\x80", "\x1f"})
    EXPECT_FALSE(gate.no_forbidden_language(text)) << text;
}

TEST(ValidationGate, EveryTermIsRejectedAsAWholeWordInAnyCase) {
  for (const char* term : {"correlation", "correlations", "correlated", "correlate", "deviation",
                           "deviations", "deviate", "deviates", "stddev", "standard deviation",
                           "z-score", "zscore", "p-value", "statistically", "should",
                           "recommend", "recommended", "recommendation"}) {
    EXPECT_FALSE(gate.no_forbidden_language(term)) << term;
    EXPECT_FALSE(gate.no_forbidden_language(std::string("The ") + term + ".")) << term;
  }
  EXPECT_FALSE(gate.no_forbidden_language("Teams SHOULD look at this"));
  EXPECT_FALSE(gate.no_forbidden_language("a Z-Score of three"));
  EXPECT_FALSE(gate.no_forbidden_language("(deviation)"));
  EXPECT_FALSE(gate.no_forbidden_language("high_deviation_here"));  // '_' is no letter
}

TEST(ValidationGate, TermsInsideLongerWordsPass) {
  for (const char* text : {"shoulder pain", "deviationist", "recommends", "correlating",
                           "xstddev", "stddev2", "2should", "standarddeviation",
                           "unstatistically", "p-values", "z-scores"}) {
    EXPECT_TRUE(gate.no_forbidden_language(text)) << text;
  }
}

TEST(ValidationGate, NonAsciiNeighboursAreJudgedAsCharacters) {
  // Letters and digits of any script join a word.
  for (const char* text : {"\xc3\xa9should", "deviation\xc3\xa9", "\xd0\x96should",
                           "should\xe4\xb8\x80", "\xd9\xa3stddev", "zscore\xc2\xb2",
                           "\xf0\x9d\x90\x80should", "should\xc4\xb0"}) {
    EXPECT_TRUE(gate.no_forbidden_language(text)) << text;
  }
  // Punctuation, symbols, marks and spaces outside ASCII do not.
  for (const char* text : {"\xe2\x80\x9cshould\xe2\x80\x9d", "high\xe2\x80\x94" "deviation",
                           "\xc2\xabstatistically\xc2\xbb", "should\xc2\xa0go", "should\xe2\x80\xa6",
                           "\xf0\x9f\x98\x80recommend", "a\xcc\x81should", "\xc3\xa9 should",
                           // a capital I with dot above lowers to "i" and a combining dot
                           "\xc4\xb0should"}) {
    EXPECT_FALSE(gate.no_forbidden_language(text)) << text;
  }
  // Bytes that are no UTF-8 character stay letters.
  EXPECT_TRUE(gate.no_forbidden_language("\xa0should"));
  EXPECT_TRUE(gate.no_forbidden_language("should\xe2\x80"));
}

TEST(ValidationGate, LaterOccurrencesAreFoundAfterAnEmbeddedOne) {
  EXPECT_FALSE(gate.no_forbidden_language("shoulder, should"));
  EXPECT_FALSE(gate.no_forbidden_language("stddevstddev stddev"));
}

}  // namespace
}  // namespace velquor::wendal
