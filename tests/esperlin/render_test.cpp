// The human summary, the chat digest and the investigation prompt.

#include <gtest/gtest.h>

#include "fixture.h"
#include "shared/errors.h"

namespace velquor::esperlin::testing {
namespace {

Json change(const std::string& family, const std::string& metric, const Json& current, const Json& deviation,
            const Json& normal = {{"mean", 10}, {"stddev", 1.0}, {"median", 8}, {"mad", 0}}) {
  return Json{{"family", family}, {"metric", metric}, {"normal", normal}, {"current", current},
              {"deviation_stddev", deviation}, {"trigger_commit", ""}, {"commit_message", ""}};
}

Json advisory(const Json& changes, const Json& groups = nullptr) {
  Json a = {{"scope", "proj"},
            {"period", {{"from", "2025-03-01T09:00:00Z"}, {"to", "2025-03-05T10:00:00Z"}}},
            {"summary", {{"significant_changes", changes.size()}, {"families_affected", {"git", "ci"}},
                         {"accepted_changes", 0}, {"accepted_metrics", Json::array()}}},
            {"changes", changes}};
  if (!groups.is_null()) a["event_groups"] = groups;
  return a;
}

class RenderTest : public DataDir {
 protected:
  Esperlin engine{dir};
};

TEST_F(RenderTest, ValuesArePrintedByMetricKind) {
  EXPECT_EQ(engine._fmt_value("skip_rate", 0.125), "12.5%");
  EXPECT_EQ(engine._fmt_value("skip_rate", 1), "100.0%");
  EXPECT_EQ(engine._fmt_value("run_failed", true), "100.0%");
  EXPECT_EQ(engine._fmt_value("fixable_ratio", 1.01), "101.0%");
  EXPECT_EQ(engine._fmt_value("is_prerelease", 0.0005), "0.1%");  // 0.05 on the binary value is below the half
  EXPECT_EQ(engine._fmt_value("skip_rate", 3), "3");
  EXPECT_EQ(engine._fmt_value("skip_rate", 12.0), "12");
  EXPECT_EQ(engine._fmt_value("skip_rate", 1.5), "1.5");
  EXPECT_EQ(engine._fmt_value("skip_rate", "n/a"), "n/a");
  EXPECT_EQ(engine._fmt_value("skip_rate", nullptr), "None");
  EXPECT_EQ(engine._fmt_value("run_duration", 0.456), "0.46");
  EXPECT_EQ(engine._fmt_value("run_duration", 0.125), "0.12");
  EXPECT_EQ(engine._fmt_value("run_duration", 0.0), "0.00");
  EXPECT_EQ(engine._fmt_value("run_duration", -2.5), "-2.50");
  EXPECT_EQ(engine._fmt_value("run_duration", 123.456), "123.5");
  EXPECT_EQ(engine._fmt_value("run_duration", 1234.5), "1234");
  EXPECT_EQ(engine._fmt_value("run_duration", 100000.0), "1e+05");
  EXPECT_EQ(engine._fmt_value("run_duration", 3.0), "3");
  EXPECT_EQ(engine._fmt_value("files_touched", 12), "12");
  EXPECT_EQ(engine._fmt_value("files_touched", true), "True");
  EXPECT_EQ(engine._fmt_value("files_touched", nullptr), "None");
}

TEST_F(RenderTest, ChangeLinesCompareWithMedianOnlyWhenSpreadIsPositive) {
  std::vector<std::string> lines;
  engine._append_change_lines(lines, change("git", "dispersion", 12, 0), "  ");
  engine._append_change_lines(lines, change("ci", "custom", 12, 2.0, {{"mean", 10}, {"median", 8}, {"mad", 0.5}}));
  EXPECT_EQ(lines, (std::vector<std::string>{"  Version Control / Change Dispersion  [NORMAL]",
                                             "     20% higher than usual (now 12)",
                                             "     → The change is more focused than usual.",
                                             "CI / Build / custom  [ELEVATED]",
                                             "   50% higher than usual (now 12)"}));
}

TEST_F(RenderTest, SummaryGroupsEventsAndCountsAcceptedMetrics) {
  const Json a = change("git", "files_touched", 30, 5.0);
  const Json b = change("ci", "run_duration", 0.5, -2.0, {{"mean", 0.25}, {"median", 0.25}, {"mad", 0.0}});
  const Json c = change("testing", "skip_rate", 0.125, 1.6, {{"mean", 0.1}, {"median", 0.1}, {"mad", 0}});
  Json adv = advisory(Json::array({a, b, c}),
                      Json::array({{{"event_ref", "e1"}, {"primary", a}, {"families", {"ci", "git"}},
                                    {"changes", {a, b}}, {"signal_count", 2}},
                                   {{"event_ref", nullptr}, {"primary", c}, {"families", {"testing"}},
                                    {"changes", {c}}, {"signal_count", 1}}}));
  adv["summary"]["accepted_changes"] = 5;
  adv["summary"]["accepted_metrics"] = {"git/a", "git/b", "ci/c", "ci/d", "ci/e"};
  adv["evidence"] = {{"commits", {1, 2}}, {"files_affected", Json::array()}, {"tests_impacted", {1}}};
  EXPECT_EQ(engine._format_human_summary(adv),
            "Velquor Advisory — proj\n"
            "Period: 2025-03-01 to 2025-03-05\n"
            "\n"
            "3 significant changes detected across Version Control and CI / Build "
            "(5 accepted — filtered: git/a, git/b, ci/c +2 more).\n"
            "(Grouped into 2 trigger events)\n"
            "\n"
            "Event 1 (2 signals across CI / Build, Version Control):\n"
            "  Version Control / Files Changed  [CRITICAL]\n"
            "     3.0x the usual level (now 30)\n"
            "     → Larger commits are harder to review and more likely to hide unrelated changes.\n"
            "  CI / Build / Build Duration  [ELEVATED]\n"
            "     2.0x the usual level (now 0.50)\n"
            "\n"
            "Testing / Skip Rate  [NOTABLE]\n"
            "   25% higher than usual (now 12.5%)\n"
            "   → More tests are being skipped, which can hide failures.\n"
            "\n"
            "Evidence: 2 commits, 1 failing tests");
}

TEST_F(RenderTest, SummaryWithoutGroupsOrEvidenceEndsWithAnEmptyLine) {
  Json adv = advisory(Json::array({change("git", "files_touched", 10, 1.6)}));
  adv["pattern_matches"] = Json::array(
      {{{"knowledge_id", "k"}, {"support_count", 3}, {"sources", {"git"}}, {"metrics", {"files_touched"}},
        {"description", "Known thing"}}});
  EXPECT_EQ(engine._format_human_summary(adv),
            "Velquor Advisory — proj\nPeriod: 2025-03-01 to 2025-03-05\n\n"
            "1 significant changes detected across Version Control and CI / Build.\n\n"
            "Version Control / Files Changed  [NOTABLE]\n   The same as usual (now 10)\n"
            "   → Larger commits are harder to review and more likely to hide unrelated changes.\n\n"
            "KNOWN PATTERNS (1)\n\n  Known thing [known pattern, seen 3 times]\n");
}

TEST_F(RenderTest, ChatCountsChangesAndLimitsPatterns) {
  Json adv = advisory(Json::array({change("git", "files_touched", 30, 5.0)}));
  EXPECT_EQ(engine._format_chat(adv),
            "Velquor Report — proj\n\n1 unusual change detected:\n\n"
            "1. Files Changed: 3.0x the usual level [CRITICAL]\n"
            "   → Larger commits are harder to review and more likely to hide unrelated changes.");
  adv = advisory(Json::array({change("git", "x", 30, 5.0), change("ci", "y", 8, -1.5)}));
  adv["pattern_matches"] = Json::array();
  for (int i = 0; i < 4; ++i)
    adv["pattern_matches"].push_back({{"families", {"git"}}, {"metrics", {numbered("m", i)}},
                                      {"correlation", 0.5 + i * 0.1}});
  adv["evidence"] = {{"commits", Json(std::vector<int>(12, 0))}, {"files_affected", {1}},
                     {"dependencies_changed", {1, 2}}};
  EXPECT_EQ(engine._format_chat(adv),
            "Velquor Report — proj\n\n2 unusual changes detected:\n\n"
            "1. x: 3.0x the usual level [CRITICAL]\n"
            "2. y: 20% lower than usual [NOTABLE]\n\n"
            "Pattern: git: m3 tend to change together [candidate pattern, strength 0.80]\n"
            "Pattern: git: m2 tend to change together [candidate pattern, strength 0.70]\n"
            "Pattern: git: m1 tend to change together [candidate pattern, strength 0.60]\n\n"
            "Evidence: 12 commits, 2 deps");
}

TEST_F(RenderTest, PromptListsSignalsAndEvidenceBlocks) {
  Json first = change("git", "files_touched", 0.5, -3.46, {{"mean", 12.34567}});
  first["trigger_commit"] = "0123456789abcdef0123456789abcdef01234567";
  first["commit_message"] = "Fix the parser\n\nLong story.";
  Json second = change("ci", "run_duration", 1234.5, 2.0);
  second["trigger_commit"] = "fedcba9876543210";
  Json adv = advisory(Json::array({first, second, change("x", "y", 1, 1.55)}));
  EXPECT_EQ(engine._format_investigation_prompt(adv),
            "Development pattern shift detected in proj during 2025-03-01 to 2025-03-05.\n\n"
            "DRIFT SIGNALS:\n"
            "- Version Control / Files Changed: normally 12.35, now 0.5 (3.5 stddev deviation) "
            "[commit 01234567: Fix the parser]\n"
            "- CI / Build / Build Duration: normally 10, now 1234 (2.0 stddev deviation) [commit fedcba98]\n"
            "- x / y: normally 10, now 1 (1.6 stddev deviation)\n\n\n\n"
            "Investigate this drift:\n1. Which commit(s) introduced the pattern shift?\n"
            "2. Was this change intentional (new feature, refactor) or unintentional (AI drift, accidental "
            "complexity)?\n3. If unintentional, what is the minimal course correction?\n");

  Json commits = Json::array();
  for (int i = 0; i < 12; ++i)
    commits.push_back({{"sha", numbered("c", i) + "ééééééé"}, {"message", std::string(90, 'm') + "\nrest"},
                       {"files_changed", {"a", "b", "c", "d", "e", "f"}}});
  adv["evidence"] = {{"commits", commits},
                     {"tests_impacted", {{{"name", "t"}, {"status_now", nullptr}}}},
                     {"dependencies_changed", {{{"name", "d"}, {"version", "1.0"}, {"change", "present"}}}},
                     {"timeline", {{{"timestamp", "2025-03-01T09:58:00.123Z"}, {"family", "ci"}, {"event", "E"}}}}};
  const std::string prompt = engine._format_investigation_prompt(adv);
  EXPECT_NE(prompt.find("\n\nCOMMITS:\n  c0éééééé — " + std::string(80, 'm') + " (files: a, b, c, d, e)\n"),
            std::string::npos);
  EXPECT_NE(prompt.find("  c9éééééé"), std::string::npos);
  EXPECT_EQ(prompt.find("  c10"), std::string::npos);
  EXPECT_NE(prompt.find("\nTESTS AFFECTED:\n  t — None\nDEPENDENCIES:\n  d 1.0 (present)\n"
                        "TIMELINE:\n  2025-03-01T09:58 [ci] E\n\nInvestigate"),
            std::string::npos);
}

}  // namespace
}  // namespace velquor::esperlin::testing
