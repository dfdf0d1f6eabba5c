// The five advisory files of one small data directory, byte for byte, with
// the clock pinned. The expected files were checked by hand against the
// output rules (see golden/README).

#include <gtest/gtest.h>

#include "fixture.h"
#include "velquor/lorvessa/lorvessa.h"

namespace velquor::esperlin::testing {
namespace {

const fs::path kGolden = fs::path(VELQUOR_SOURCE_DIR) / "tests" / "esperlin" / "golden";

class GoldenTest : public DataDir {
 protected:
  void SetUp() override {
    fs::copy(kGolden / "data", dir, fs::copy_options::recursive);
    lorvessa::SQLiteLorvessa store(dir / "phase4" / "knowledge.db");
    const std::string build_link = store.create_pattern(
        {{"fingerprint", "fp-build"}, {"discovery_method", "cooccurrence"}, {"sources", {"git", "ci"}},
         {"metrics", {"files_touched", "run_duration"}}, {"pattern_type", "co_occurrence"},
         {"correlation_strength", 0.82}, {"description_statistical", "Large commits slow the build"},
         {"last_seen", "2025-03-01T00:00:00Z"}});
    store.create_pattern({{"pattern_id", "p-locality"}, {"fingerprint", "fp-locality"},
                          {"discovery_method", "presence"}, {"sources", {"git", "testing"}},
                          {"metrics", {"change_locality"}}, {"pattern_type", "presence"},
                          {"correlation_strength", -0.9}, {"description_statistical", "stat"},
                          {"description_semantic", "Work lands on files nobody touched lately"},
                          {"scope", "community"}, {"last_seen", "2025-02-01T00:00:00Z"}});
    store.create_knowledge({{"knowledge_id", "k-parser"}, {"derived_from", build_link},
                            {"fingerprint", "fp-build"}, {"pattern_type", "co_occurrence"},
                            {"sources", {"git", "ci"}}, {"metrics", {"files_touched", "run_duration"}},
                            {"description_statistical", "Large commits slow the build"},
                            {"support_count", 12}, {"first_seen", "2025-01-01T00:00:00Z"},
                            {"last_seen", "2025-03-01T00:00:00Z"}});
    store.close();
  }
};

TEST_F(GoldenTest, AllFiveOutputsMatch) {
  const Json result = Esperlin(dir).run("acme/parser");
  ASSERT_EQ(result["status"], "complete");
  const bool update = std::getenv("VELQUOR_UPDATE_GOLDEN") != nullptr;
  for (const char* name :
       {"advisory.json", "evidence.json", "summary.txt", "chat.txt", "investigation_prompt.txt"}) {
    const fs::path expected = kGolden / "expected" / name;
    if (update) write_file_atomic(expected, output(name));
    EXPECT_EQ(output(name), read_file(expected)) << name;
  }
  EXPECT_EQ(result["human_summary"], output("summary.txt"));
  EXPECT_EQ(result["chat_format"], output("chat.txt"));
  EXPECT_EQ(result["investigation_prompt"], output("investigation_prompt.txt"));
  EXPECT_EQ(result["advisory"], parse_json(output("advisory.json"), "advisory.json", NonFinite::kAccept));
  EXPECT_EQ(result["formats"]["json"], (dir / "phase5" / "advisory.json").string());
  EXPECT_EQ(result["formats"]["investigation"], (dir / "phase5" / "investigation_prompt.txt").string());
}

}  // namespace
}  // namespace velquor::esperlin::testing
