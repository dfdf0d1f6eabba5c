// Fix verification: the report text, the verification record, the result
// cases, and comparing against the advisory.json the run itself replaces.

#include <gtest/gtest.h>

#include "fixture.h"
#include "shared/errors.h"
#include "velquor/morvic/morvic.h"

namespace velquor::esperlin::testing {
namespace {

Json flagged(const std::string& metric) { return Json{{"family", "git"}, {"metric", metric}}; }

Json changes(int count) {
  Json list = Json::array();
  for (int i = 0; i < count; ++i) list.push_back(flagged(numbered("m", i)));
  return list;
}

Json diff(int resolved, int persisting = 0, int added = 0) {
  Json d = {{"resolved", Json::array()}, {"persisting", Json::array()}, {"new", Json::array()},
            {"regressions", Json::array()}};
  for (int i = 0; i < resolved; ++i) d["resolved"].push_back(flagged(numbered("m", i)));
  for (int i = 0; i < persisting; ++i)
    d["persisting"].push_back({{"family", "ci"}, {"metric", "run_duration"}, {"now_deviation", -3.5}, {"improved", i == 0}});
  for (int i = 0; i < added; ++i) d["new"].push_back({{"family", "x"}, {"metric", "y"}, {"deviation_stddev", 1.6}});
  return d;
}

class VerifyTest : public DataDir {
 protected:
  Esperlin engine{dir};

  std::vector<std::string> report_lines(const Json& before, const Json& d) {
    const std::string text =
        engine._format_verification_summary(before, {{"advisory_id", "abcdef0123456789"}, {"scope", "proj"}}, d);
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
      lines.push_back(text.substr(start, end - start));
    lines.push_back(text.substr(start));
    return lines;
  }
  std::string headline(const Json& before, const Json& d) { return report_lines(before, d)[3]; }
  std::string last_line(const Json& before, const Json& d) { return report_lines(before, d).back(); }
};

TEST_F(VerifyTest, HeadlineAndResolutionRate) {
  const Json three = {{"changes", changes(3)}};
  EXPECT_EQ(headline(three, diff(3)), "ALL ISSUES RESOLVED. No new issues detected.");
  EXPECT_EQ(last_line(three, diff(3)), "Resolution rate: 100% (3/3)");
  EXPECT_EQ(headline({{"changes", changes(4)}}, diff(2, 1, 1)), "2 of 4 flagged changes resolved.");
  EXPECT_EQ(last_line({{"changes", changes(4)}}, diff(2, 1, 1)), "Resolution rate: 50% (2/4)");
  EXPECT_EQ(last_line(three, diff(1, 2)), "Resolution rate: 33% (1/3)");
  EXPECT_EQ(last_line(three, diff(2, 1)), "Resolution rate: 67% (2/3)");
  EXPECT_EQ(last_line({{"changes", changes(8)}}, diff(1, 7)), "Resolution rate: 12% (1/8)");  // 12.5: to even
  EXPECT_EQ(headline(three, diff(0, 3)), "No changes resolved (3 still active).");
  EXPECT_EQ(headline(Json::object(), diff(0)), "ALL ISSUES RESOLVED. No new issues detected.");
  EXPECT_EQ(last_line(Json::object(), diff(0)), "");
  EXPECT_EQ(headline(Json::object(), diff(0, 0, 1)), "No changes resolved (0 still active).");
}

TEST_F(VerifyTest, ReportShowsEverySectionWithItsMarker) {
  Json d = diff(1, 2, 1);
  d["regressions"].push_back({{"family", "testing"}, {"metric", "skip_rate"}, {"deviation_stddev", -5.0}});
  EXPECT_EQ(engine._format_verification_summary({{"changes", changes(3)}}, {{"advisory_id", nullptr}}, d),
            "Fix Verification Report — unknown\n"
            "Comparing: ? → ?\n"
            "\n"
            "1 of 3 flagged changes resolved.\n"
            "\n"
            "RESOLVED:\n"
            "  \u2705 Version Control / m0 — back to normal\n"
            "\n"
            "STILL UNUSUAL:\n"
            "  \u26a0\ufe0f  CI / Build / Build Duration — still highly unusual (improving)\n"
            "  \u26a0\ufe0f  CI / Build / Build Duration — still highly unusual (not improving)\n"
            "\n"
            "NEW OBSERVATIONS:\n"
            "  \U0001f535 x / y — somewhat unusual (new)\n"
            "\n"
            "REGRESSIONS:\n"
            "  \U0001f534 Testing / Skip Rate — extremely unusual (was normal before)\n"
            "\n"
            "Resolution rate: 33% (1/3)");
  EXPECT_EQ(report_lines({{"advisory_id", "0123456789"}}, diff(0))[1], "Comparing: 01234567 → abcdef01");
  EXPECT_THROW(engine._format_verification_summary(Json::array(), Json::object(), diff(0)), TypeError);
}

class VerifyRunTest : public VerifyTest {
 protected:
  void SetUp() override {
    write_event(git_event("g1", "abc", "2025-03-01T00:00:00Z"));
    write_signals("git", Json::array({signal("git", "files_touched", "g1", 40, 4.0),
                                      signal("git", "dispersion", "g1", 0.9, -2.0)}));
  }
  std::string previous() { return (dir / "previous.json").string(); }
};

TEST_F(VerifyRunTest, MissingPreviousAdvisoryIsReportedAfterTheRun) {
  const Json result = engine.verify("proj", previous());
  EXPECT_EQ(result["status"], "no_previous_advisory");
  EXPECT_EQ(result["message"], "Previous advisory not found: " + previous());
  EXPECT_EQ(result["advisory"]["scope"], "proj");
  EXPECT_TRUE(has_output("chat.txt"));
  EXPECT_FALSE(has_output("verification.json"));
}

TEST_F(VerifyRunTest, WithoutCurrentDataNothingIsCompared) {
  fs::remove_all(dir / "phase2");
  write_json("previous.json", Json{{"changes", changes(1)}});
  EXPECT_EQ(engine.verify("proj", previous()),
            (Json{{"status", "no_current_data"},
                  {"message", "Current pipeline produced no significant changes."},
                  {"verification", {{"resolved", Json::array()}, {"persisting", Json::array()},
                                    {"new", Json::array()}, {"regressions", Json::array()}}}}));
  EXPECT_TRUE(fs::is_empty(dir / "phase5"));
}

TEST_F(VerifyRunTest, InvalidPreviousFileStopsBeforeTheRunWritesAnything) {
  write("previous.json", "{\"changes\": [");
  EXPECT_THROW(engine.verify("proj", previous()), JsonError);
  write("previous.json", "[1]");
  EXPECT_THROW(engine.verify("proj", previous()), TypeError);
  write("previous.json", "null");
  EXPECT_THROW(engine.verify("proj", previous()), TypeError);
  EXPECT_TRUE(fs::is_empty(dir / "phase5"));
  EXPECT_EQ(engine._load_previous_advisory(dir / "previous.json"), Json());
}

TEST_F(VerifyRunTest, TruncatedPreviousAdvisoryIsAnError) {
  const std::string text = dump_compact(Json{{"advisory_id", "a"}, {"changes", changes(2)}});
  for (size_t length = 0; length < text.size(); ++length) {
    write("previous.json", text.substr(0, length));
    EXPECT_THROW(engine._load_previous_advisory(dir / "previous.json"), JsonError) << length;
  }
  write("previous.json", text);
  EXPECT_EQ(engine._load_previous_advisory(dir / "previous.json")["advisory_id"], "a");
}

TEST_F(VerifyRunTest, ComparingWithTheCurrentAdvisoryFileSeesTheFix) {
  const Json first = engine.run("proj");
  ASSERT_EQ(first["advisory"]["changes"].size(), 2u);
  // The fix: dispersion is back to normal.
  write_signals("git", Json::array({signal("git", "files_touched", "g1", 40, 3.0),
                                    signal("git", "dispersion", "g1", 0.5, -0.2)}));
  const Json result = engine.verify("proj", (dir / "phase5" / "advisory.json").string());
  ASSERT_EQ(result["status"], "verified");
  const Json& record = result["verification"];
  EXPECT_EQ(record["resolved"], (Json::array({{{"family", "git"}, {"metric", "dispersion"}, {"before_deviation", -2.0}}})));
  EXPECT_EQ(record["persisting"][0]["improved"], true);
  EXPECT_EQ(record["summary"], (Json{{"total_before", 2}, {"resolved", 1}, {"persisting", 1}, {"new", 0},
                                     {"regressions", 0}, {"resolution_rate", 0.5}}));
  const Json& before_id = first["advisory"]["advisory_id"];
  const Json& after_id = result["advisory"]["advisory_id"];
  EXPECT_EQ(record["before_advisory_id"], before_id);
  EXPECT_EQ(record["verification_id"], _content_hash(Json{{"before", before_id}, {"after", after_id}}));
  EXPECT_EQ(record["generated_at"], kNow);
  EXPECT_EQ(output("verification.json"), dump_pretty(record));
  EXPECT_EQ(output("verification.txt"), result["verification_text"].get<std::string>());
  EXPECT_NE(result["verification_text"].get<std::string>().find("1 of 2 flagged changes resolved."), std::string::npos);
  const fs::path out = dir / "phase5";
  EXPECT_EQ(result["formats"], (Json{{"json", (out / "advisory.json").string()},
                                     {"human", (out / "summary.txt").string()},
                                     {"chat", (out / "chat.txt").string()},
                                     {"investigation", (out / "investigation_prompt.txt").string()},
                                     {"verification_json", (out / "verification.json").string()},
                                     {"verification_text", (out / "verification.txt").string()}}));
}

TEST_F(VerifyRunTest, PreviousAdvisoryWithoutIdIsRecordedAsNull) {
  // Hand-made or truncated advisories may lack the id (or the scope): the
  // record must say null, not carry whatever the missing value left behind.
  write_json("previous.json", Json{{"changes", changes(2)}});
  const Json result = engine.verify("proj", previous());
  ASSERT_EQ(result["status"], "verified");
  const Json& record = result["verification"];
  const Json& after_id = result["advisory"]["advisory_id"];
  EXPECT_EQ(record["before_advisory_id"], Json());
  EXPECT_EQ(record["after_advisory_id"], after_id);
  EXPECT_EQ(record["verification_id"], _content_hash(Json{{"before", nullptr}, {"after", after_id}}));
  EXPECT_EQ(output("verification.json"), dump_pretty(record));
  EXPECT_EQ(report_lines(Json{{"changes", changes(1)}}, diff(1))[1], "Comparing: ? → abcdef01");
  EXPECT_EQ(engine._format_verification_summary(Json::object(), Json::object(), diff(0)),
            "Fix Verification Report — unknown\nComparing: ? → ?\n\nALL ISSUES RESOLVED. No new issues detected.\n");
}

TEST_F(VerifyRunTest, AllClearRunIsVerifiedAgainstAnAdvisoryWithoutChanges) {
  write_json("previous.json", Json{{"advisory_id", "old"}, {"scope", "proj"}});
  morvic::AcceptedDeviations accepted(dir);
  accepted.accept("git", "files_touched", "fine");
  accepted.accept("git", "dispersion", "fine");
  const Json result = engine.verify("proj", previous());
  ASSERT_EQ(result["status"], "verified");
  EXPECT_EQ(result["verification"]["summary"]["resolution_rate"], 0);
  EXPECT_TRUE(result["verification"]["summary"]["resolution_rate"].is_number_integer());
  EXPECT_EQ(result["verification_text"],
            "Fix Verification Report — proj\nComparing: old → " +
                result["advisory"]["advisory_id"].get<std::string>().substr(0, 8) +
                "\n\nALL ISSUES RESOLVED. No new issues detected.\n");
  std::vector<std::string> keys;
  for (const auto& item : result["formats"].items()) keys.push_back(item.key());
  EXPECT_EQ(keys, (std::vector<std::string>{"json", "human", "verification_json", "verification_text"}));
}

}  // namespace
}  // namespace velquor::esperlin::testing
