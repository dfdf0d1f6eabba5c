// Matching against knowledge and candidate patterns, de-duplication for
// display, and the content hash.

#include <gtest/gtest.h>

#include "fixture.h"
#include "shared/errors.h"
#include "velquor/esperlin/pattern_matches.h"

namespace velquor::esperlin::testing {
namespace {

class PatternsTest : public DataDir {
 protected:
  Esperlin engine{dir};
  // git/files_touched up, ci/run_duration down; testing/skip_rate only 1.2.
  Json significant = Json::array({signal("git", "files_touched", "g1", 40, 3.0),
                                  signal("ci", "run_duration", "c1", 40, -2.0),
                                  signal("testing", "skip_rate", "t1", 0.5, 1.0)});
};

TEST_F(PatternsTest, KnowledgeNeedsBothFamilyAndMetricOverlap) {
  const Json knowledge = Json::array(
      {{{"knowledge_id", "k1"}, {"pattern_type", "co"}, {"support_count", 4}, {"sources", {"git", "deployment"}},
        {"metrics", {"files_touched", "x"}}, {"description_semantic", ""}, {"description_statistical", "stat"}},
       {{"knowledge_id", "k2"}, {"sources", {"git"}}, {"metrics", {"dispersion"}}},
       {{"knowledge_id", "k3"}, {"sources", {"testing"}}, {"metrics", {"skip_rate"}}},  // below 1.0: no component
       {{"sources", {"ci"}}, {"metrics", {"run_duration"}}, {"description_semantic", "sem"}}});
  const Json matches = engine._match_patterns(significant, knowledge);
  ASSERT_EQ(matches.size(), 2u);
  EXPECT_EQ(matches[0], (Json{{"knowledge_id", "k1"}, {"pattern_type", "co"}, {"confidence", "approved"},
                              {"support_count", 4}, {"sources", {"git", "deployment"}},
                              {"metrics", {"files_touched", "x"}}, {"description", "stat"}}));
  EXPECT_EQ(matches[1], (Json{{"knowledge_id", ""}, {"pattern_type", ""}, {"confidence", "approved"},
                              {"support_count", 0}, {"sources", {"ci"}}, {"metrics", {"run_duration"}},
                              {"description", "sem"}}));
  EXPECT_EQ(engine._match_patterns(Json::array(), knowledge), Json::array());
  EXPECT_THROW(engine._match_patterns(significant, Json::object()), TypeError);
}

TEST_F(PatternsTest, CandidatesCarryOnlyTheSortedOverlap) {
  const Json patterns = Json::array(
      {{{"fingerprint", "fp1"}, {"correlation_strength", -0.6}, {"sources", {"git", "security", "ci"}},
        {"metrics", {"run_duration", "files_touched", "other"}}, {"repo_count", 2}},
       {{"pattern_id", "p2"}, {"sources", {"ci"}}, {"metrics", {"files_touched"}}}});
  const Json matches = engine._match_candidate_patterns(significant, patterns);
  EXPECT_EQ(matches, (Json::array({{{"pattern_id", "fp1"}, {"correlation", -0.6}, {"families", {"ci", "git"}},
                                    {"metrics", {"files_touched", "run_duration"}}, {"description", ""},
                                    {"repo_count", 2}},
                                   {{"pattern_id", "p2"}, {"correlation", 0}, {"families", {"ci"}},
                                    {"metrics", {"files_touched"}}, {"description", ""}, {"repo_count", 0}}})));
}

TEST_F(PatternsTest, SignalsUnchangedAtTheMatchThresholdMatchNothing) {
  const Json weak = Json::array({signal("git", "files_touched", "g1", 40, 1.0)});
  const Json knowledge = Json::array({{{"sources", {"git"}}, {"metrics", {"files_touched"}}}});
  EXPECT_EQ(engine._match_patterns(weak, knowledge), Json::array());
}

// The run matches both kinds in one go; it must give what the two steps give
// one after the other, whichever list is empty.
TEST_F(PatternsTest, MatchingBothKindsAtOnceAgreesWithTheTwoSteps) {
  const Json knowledge = Json::array({{{"knowledge_id", "k1"}, {"sources", {"git"}}, {"metrics", {"files_touched"}}}});
  const Json patterns = Json::array({{{"pattern_id", "p1"}, {"sources", {"ci"}}, {"metrics", {"run_duration"}}},
                                     {{"pattern_id", "p2"}, {"sources", {"testing"}}, {"metrics", {"skip_rate"}}}});
  const Json none = Json::array();
  for (const auto& [known, candidates] : {std::pair{&knowledge, &patterns}, std::pair{&none, &patterns},
                                          std::pair{&knowledge, &none}, std::pair{&none, &none}}) {
    Json expected = engine._match_patterns(significant, *known);
    for (const Json& match : engine._match_candidate_patterns(significant, *candidates)) expected.push_back(match);
    EXPECT_EQ(match_all_patterns(significant, *known, *candidates), expected);
  }
  EXPECT_EQ(match_all_patterns(significant, knowledge, patterns).size(), 2u);
  EXPECT_THROW(match_all_patterns(significant, none, Json::object()), TypeError);
}

Json pattern(const Json& families, const Json& metrics, double correlation, const std::string& tag) {
  return Json{{"families", families}, {"metrics", metrics}, {"correlation", correlation}, {"description", tag}};
}

std::vector<std::string> tags(const Json& patterns) {
  std::vector<std::string> out;
  for (const Json& p : patterns) out.push_back(p["description"].get<std::string>());
  return out;
}

TEST_F(PatternsTest, DispersionAndChangeLocalityAreOnePattern) {
  const Json patterns = Json::array({pattern({"git", "ci"}, {"dispersion"}, 0.8, "dispersion"),
                                     pattern({"ci", "git"}, {"change_locality"}, -0.9, "locality"),
                                     pattern({"ci", "git"}, {"change_locality", "dispersion"}, 0.5, "both")});
  EXPECT_EQ(tags(_dedup_and_limit_patterns(patterns)), (std::vector<std::string>{"locality", "both"}));
  // On equal strength the first stays.
  const Json tie = Json::array({pattern({"git"}, {"dispersion"}, 0.8, "first"),
                                pattern({"git"}, {"change_locality"}, -0.8, "second")});
  EXPECT_EQ(tags(_dedup_and_limit_patterns(tie)), (std::vector<std::string>{"first"}));
}

TEST_F(PatternsTest, SeverityOrdersBeforeStrengthAndLimitsCut) {
  Json patterns = Json::array();
  for (int i = 0; i < 6; ++i)
    patterns.push_back(pattern({"git"}, {numbered("m", i)}, 0.1 * (i + 1), numbered("p", i)));
  EXPECT_EQ(tags(_dedup_and_limit_patterns(patterns)), (std::vector<std::string>{"p5", "p4", "p3", "p2", "p1"}));
  EXPECT_EQ(_dedup_and_limit_patterns(patterns, 0), Json::array());
  patterns.push_back(pattern({"security"}, {"critical_count"}, 0.0, "critical"));
  patterns.push_back(pattern({"ci"}, {"run_failed"}, 0.2, "concern"));
  Json strength_only = pattern({"ci"}, {"x"}, 0.0, "strength");
  strength_only["correlation_strength"] = 0.7;  // weighed at 0.7: "watch"
  patterns.push_back(strength_only);
  EXPECT_EQ(tags(_dedup_and_limit_patterns(patterns, 4)),
            (std::vector<std::string>{"critical", "concern", "strength", "p5"}));
  EXPECT_THROW(_dedup_and_limit_patterns(Json::array({pattern({"git", 3}, {}, 0, "mixed")})), TypeError);
}

TEST_F(PatternsTest, ContentHashIgnoresKeyOrder) {
  const Json a = {{"scope", "x"}, {"period", {{"from", "a"}, {"to", "b"}}}, {"changes_count", 2}};
  const Json b = {{"changes_count", 2}, {"period", {{"to", "b"}, {"from", "a"}}}, {"scope", "x"}};
  EXPECT_EQ(_content_hash(a), _content_hash(b));
  // The first 16 hex digits of SHA-256 over the ASCII text {"a":"\u00e9"}.
  EXPECT_EQ(_content_hash(Json{{"a", "é"}}), "57e512a1ff02f75e");
  EXPECT_NE(_content_hash(Json{{"a", 1}}), _content_hash(Json{{"a", 1.0}}));
}

}  // namespace
}  // namespace velquor::esperlin::testing
