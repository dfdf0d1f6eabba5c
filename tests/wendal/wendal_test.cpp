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

TEST(ValidationGate, NonAsciiNeighboursCountAsLetters) {
  EXPECT_TRUE(gate.no_forbidden_language("\xc3\xa9should"));
  EXPECT_TRUE(gate.no_forbidden_language("deviation\xc3\xa9"));
  EXPECT_TRUE(gate.no_forbidden_language("\xe2\x80\x9cshould\xe2\x80\x9d"));
  EXPECT_FALSE(gate.no_forbidden_language("\xc3\xa9 should"));
}

TEST(ValidationGate, LaterOccurrencesAreFoundAfterAnEmbeddedOne) {
  EXPECT_FALSE(gate.no_forbidden_language("shoulder, should"));
  EXPECT_FALSE(gate.no_forbidden_language("stddevstddev stddev"));
}

}  // namespace
}  // namespace velquor::wendal
