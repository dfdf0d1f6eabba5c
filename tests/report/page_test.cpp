// The written page, read back as XML: its panels, points, markers and the
// escaping of every text that comes from the inputs.

#include <gtest/gtest.h>
#include <unistd.h>

#include <pugixml.hpp>

#include <fstream>

#include "shared/errors.h"
#include "shared/file_io.h"
#include "shared/json.h"
#include "velquor/report/report.h"

namespace velquor::report {
namespace {

const char* const kHostileMessage = "<script>alert(\"pwned\")</script> & 'more'";

std::string event_id(const std::string& family, size_t i) {
  std::string id = family;
  id += '-';
  id += std::to_string(i);
  return id;
}

// A series of `count` signals: value(i), flagged (|measure| 4) where `flag`
// says so.
template <typename Value, typename Flag>
Json signals(const std::string& family, const std::string& metric, size_t count, Value value, Flag flag) {
  Json list = Json::array();
  for (size_t i = 0; i < count; ++i)
    list.push_back({{"engine_id", family},
                    {"metric", metric},
                    {"baseline", {{"mean", 10.0}, {"stddev", 1.0}, {"median", 10.0}, {"mad", 1.0}}},
                    {"observed", value(i)},
                    {"deviation", {{"measure", flag(i) ? 4.0 : 0.5}, {"unit", "modified_zscore"}, {"degenerate", false}}},
                    {"event_ref", event_id(family, i)}});
  return list;
}

Json change(const std::string& family, const std::string& metric, size_t event, double deviation,
            const std::string& message) {
  return {{"family", family},
          {"metric", metric},
          {"normal", {{"mean", 10.0}, {"stddev", 1.0}, {"median", 10.0}, {"mad", 1.0}}},
          {"current", 50},
          {"deviation_stddev", deviation},
          {"description", "It moved."},
          {"event_ref", event_id(family, event)},
          {"trigger_commit", "abcdef1234567890"},
          {"commit_message", message},
          {"observed_at", "2025-01-01T00:00:00Z"}};
}

// One data directory for the whole suite: a test that changes it puts it
// back as it was.
class ReportPage : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = fs::temp_directory_path() / ("report-page-" + std::to_string(::getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_ / "events");
    fs::create_directories(dir_ / "phase2");
    fs::create_directories(dir_ / "phase5");
    write_events("ci", 40);
    write_events("error_tracking", 40);
    write_events("testing", 2600);
    Json ci = signals("ci", "run_duration", 40, [](size_t i) { return 250.0 + i % 5; },
                      [](size_t i) { return i == 30 || i == 35; });
    // Failures: none at first, then every other run.
    for (Json& record : signals("ci", "run_failed", 40, [](size_t i) { return i >= 20 && i % 2 == 0; },
                                [](size_t) { return false; }))
      ci.push_back(record);
    write_json_file(dir_ / "phase2" / "ci_signals.json", ci);
    write_json_file(dir_ / "phase2" / "error_tracking_signals.json",
                    signals("error_tracking", "user_count", 40, [](size_t i) { return i < 30 ? 3 : 4000; },
                            [](size_t i) { return i >= 30; }));
    write_json_file(dir_ / "phase2" / "testing_signals.json",
                    signals("testing", "suite_duration", 2600, [](size_t i) { return 60.0 + i % 13; },
                            [](size_t i) { return i % 200 == 7; }));
    Json advisory = {
        {"advisory_id", "a1"},
        {"scope", "shop <web>"},
        {"generated_at", "2025-04-01T12:00:00Z"},
        {"period", {{"from", "2025-01-01T00:00:00Z"}, {"to", "2025-03-01T00:00:00Z"}}},
        {"status", {{"state", "action_needed"}, {"highest_risk", "HIGH"}, {"message", "3 significant changes; highest risk HIGH."}}},
        {"changes",
         {change("ci", "run_duration", 30, 4.0, kHostileMessage),
          change("error_tracking", "user_count", 30, 9.0, "Flood"),
          change("testing", "suite_duration", 2407, 4.0, "Slow")}},
        {"pattern_matches", {{{"description", "<i>tends</i> to move"}, {"families", {"ci"}}, {"metrics", {"run_duration"}}, {"correlation", 0.8}}}},
        {"evidence",
         {{"commits", {{{"sha", "abcdef1234567890"}, {"message", "<b>bold</b>"}, {"author", "A & B"}, {"timestamp", "2025-01-01T00:00:00Z"}, {"files_changed", {"a.c"}}}}},
          {"files_affected", Json::array()},
          {"tests_impacted", Json::array()},
          {"dependencies_changed", Json::array()}}}};
    write_json_file(dir_ / "phase5" / "advisory.json", advisory);
    write_json_file(dir_ / "phase5" / "shifts.json",
                    {{"shifts",
                      {{{"family", "ci"}, {"metric", "run_duration"}, {"start_event", "ci-20"},
                        {"start_commit", "feedbeef00"}, {"start_time", "2025-01-01T20:00:00Z"},
                        {"before", {{"count", 20}, {"median", 250.0}, {"mad", 1.0}}},
                        {"after", {{"count", 20}, {"median", 252.0}, {"mad", 1.0}}},
                        {"relative_change", 0.008}, {"significance", 0.01}},
                       {{"family", "ci"}, {"metric", "run_failed"}, {"start_event", "ci-20"},
                        {"start_commit", "feedbeef00"}, {"start_time", "2025-01-01T20:00:00Z"},
                        {"before", {{"count", 20}, {"median", 0.0}, {"mad", 0.0}}},
                        {"after", {{"count", 20}, {"median", 0.0}, {"mad", 0.0}}},
                        {"relative_change", nullptr}, {"significance", 0.01}}}}});
    write_file_atomic(dir_ / "phase5" / "investigation_prompt.txt", "Look at </pre><script>x()</script>");
  }
  static void TearDownTestSuite() { fs::remove_all(dir_); }

  // Thousands of small files: written plainly, as a collector would.
  static void write_events(const std::string& family, size_t count) {
    for (size_t i = 0; i < count; ++i) {
      Json event = {{"event_id", event_id(family, i)}, {"observed_at", format_hour(i)}};
      std::ofstream(dir_ / "events" / (event_id(family, i) + ".json")) << dump_pretty(event);
    }
  }
  static std::string format_hour(size_t i) {
    char text[32];
    std::snprintf(text, sizeof text, "2025-01-%02zuT%02zu:00:00Z", 1 + i / 24 % 28, i % 24);
    return text;
  }

  static pugi::xml_document written_page() {
    ReportResult result = write_report(dir_);
    EXPECT_EQ(result.path, dir_ / "phase5" / "report.html");
    pugi::xml_document doc;
    pugi::xml_parse_result parsed = doc.load_file(result.path.c_str());
    EXPECT_TRUE(parsed) << parsed.description() << " at " << parsed.offset;
    return doc;
  }

  static fs::path dir_;
};

fs::path ReportPage::dir_;

size_t count(const pugi::xml_node& node, const char* xpath) { return node.select_nodes(xpath).size(); }

TEST_F(ReportPage, OnePanelPerChangeThenPerShift) {
  pugi::xml_document doc = written_page();
  auto panels = doc.select_nodes("//section[contains(@class, 'panel')]");
  ASSERT_EQ(panels.size(), 5u);
  struct Expected {
    const char* kind;
    const char* metric;
    size_t points;  // 0: at most the limit
    size_t flags;
    const char* scale;
  };
  const Expected expected[] = {
      {"panel change", "run_duration", 40, 2, "linear"},
      {"panel change", "user_count", 40, 10, "log"},
      {"panel change", "suite_duration", 0, 13, "linear"},
      {"panel shift", "run_duration", 40, 2, "linear"},
      {"panel shift", "run_failed", 40, 0, "linear"},
  };
  for (size_t i = 0; i < panels.size(); ++i) {
    SCOPED_TRACE(i);
    pugi::xml_node panel = panels[i].node();
    EXPECT_STREQ(panel.attribute("class").value(), expected[i].kind);
    EXPECT_STREQ(panel.attribute("data-metric").value(), expected[i].metric);
    pugi::xml_node chart = panel.select_node(".//svg").node();
    ASSERT_TRUE(chart);
    EXPECT_EQ(chart.attribute("role").as_string(), std::string("img"));
    EXPECT_TRUE(chart.child("title") && chart.child("desc"));
    size_t points = chart.attribute("data-points").as_ullong();
    if (expected[i].points) EXPECT_EQ(points, expected[i].points);
    else EXPECT_LE(points, 2000u);
    EXPECT_EQ(count(chart, ".//g[@class='flags']/use"), expected[i].flags);
    EXPECT_STREQ(chart.attribute("data-scale").value(), expected[i].scale);
    EXPECT_EQ(count(chart, ".//circle[@class='focus']"), 1u);
  }
  EXPECT_EQ(count(panels[3].node(), ".//path[@class='step']"), 1u);
  EXPECT_EQ(count(panels[0].node(), ".//path[@class='step']"), 0u);
  // Levels of zero medians are the means of the two stretches.
  EXPECT_STREQ(panels[4].node().child("p").text().as_string(), "The level moved from 0.0% to 50.0% and held.");
}

TEST_F(ReportPage, UntrustedTextIsShownNeverRun) {
  pugi::xml_document doc = written_page();
  // Our own copy-button script is the only script, and no markup arrived
  // from the inputs.
  EXPECT_EQ(count(doc, "//script"), 1u);
  EXPECT_EQ(count(doc, "//b"), 0u);
  EXPECT_EQ(count(doc, "//i"), 0u);
  std::string note = doc.select_node("//section[@id='panel-1']/p[@class='note']").node().text().as_string();
  EXPECT_NE(note.find(kHostileMessage), std::string::npos) << note;
  std::string focus = doc.select_node("//section[@id='panel-1']//circle[@class='focus']/title").node().text().as_string();
  EXPECT_NE(focus.find("commit abcdef12: <script>"), std::string::npos) << focus;
  EXPECT_STREQ(doc.select_node("//pre[@id='prompt-text']").node().text().as_string(),
               "Look at </pre><script>x()</script>");
  EXPECT_STREQ(doc.select_node("//h1").node().text().as_string(), "Drift report: shop <web>");
  EXPECT_EQ(count(doc, "//section[@id='evidence']//td[.='<b>bold</b>']"), 1u);
  EXPECT_EQ(count(doc, "//section[@id='patterns']//td[starts-with(., '<i>tends</i>')]"), 1u);
}

TEST_F(ReportPage, HeaderCountsChangesByRisk) {
  pugi::xml_document doc = written_page();
  std::string counts;
  for (auto li : doc.select_nodes("//ul[@class='counts']/li")) counts += std::string(li.node().text().as_string()) + ";";
  EXPECT_EQ(counts, "critical 1;high 2;elevated 0;notable 0;shifts 2;");
  EXPECT_STREQ(doc.select_node("//p[@role='status']").node().text().as_string(),
               "3 significant changes; highest risk HIGH.");
}

TEST_F(ReportPage, OutputOptionAndMissingAdvisory) {
  ReportOptions options;
  options.output = dir_ / "out" / "page.html";
  fs::remove(dir_ / "phase5" / "report.html");
  EXPECT_EQ(write_report(dir_, options).path, options.output);
  EXPECT_TRUE(fs::exists(options.output));
  EXPECT_FALSE(fs::exists(dir_ / "phase5" / "report.html"));
  fs::remove_all(dir_ / "out");
  fs::rename(dir_ / "phase5" / "advisory.json", dir_ / "advisory.json");
  try {
    write_report(dir_);
    ADD_FAILURE() << "no advisory accepted";
  } catch (const FileNotFound& e) {
    EXPECT_NE(std::string(e.what()).find("advisory.json"), std::string::npos);
  }
  fs::rename(dir_ / "advisory.json", dir_ / "phase5" / "advisory.json");
}

TEST_F(ReportPage, WindowLeavesOutTheEventsOutsideIt) {
  ReportOptions options;
  options.in_window = [](std::string_view id) { return id != "ci-35" && id.substr(0, 3) == "ci-"; };
  options.window_description = "Last 2 commits";
  write_report(dir_, options);
  pugi::xml_document doc;
  ASSERT_TRUE(doc.load_file((dir_ / "phase5" / "report.html").c_str()));
  pugi::xml_node chart = doc.select_node("//section[@id='panel-1']//svg").node();
  EXPECT_EQ(chart.attribute("data-points").as_ullong(), 39u);
  EXPECT_EQ(count(chart, ".//g[@class='flags']/use"), 1u);
  EXPECT_EQ(count(doc, "//section[@id='panel-2']//svg"), 0u);  // nothing of it in the window
  std::string meta = doc.select_node("//p[@class='meta']").node().text().as_string();
  EXPECT_EQ(meta.rfind("Window: Last 2 commits", 0), 0u) << meta;
}

}  // namespace
}  // namespace velquor::report
