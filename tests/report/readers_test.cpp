#include <gtest/gtest.h>
#include <unistd.h>

#include "shared/errors.h"
#include "shared/file_io.h"
#include "velquor/report/event_times.h"
#include "velquor/report/inputs.h"
#include "velquor/report/signal_reader.h"

namespace velquor::report {
namespace {

TEST(EventStamp, PicksTheTopLevelMembersOnly) {
  struct Case {
    const char* text;
    const char* id;
    const char* time;
  };
  const Case cases[] = {
      {R"({"event_id": "ci-1", "observed_at": "2025-01-02T03:04:05Z"})", "ci-1", "2025-01-02T03:04:05Z"},
      {R"({"payload": {"event_id": "inner", "observed_at": "x"}, "event_id": "e"})", "e", ""},
      {R"({"list": ["event_id", {"observed_at": "t"}], "observed_at": "2025-01-01"})", "", "2025-01-01"},
      {R"({"note": "a \"quoted\" } brace", "event_id": "q"})", "q", ""},
      {R"({"event_id": "with\u0041escape", "observed_at": 17})", "", ""},
      {R"({"event_id": "cut-off)", "", ""},
      {"not json at all", "", ""},
  };
  for (const Case& c : cases) {
    EventStamp stamp = scan_event_stamp(c.text);
    EXPECT_EQ(stamp.event_id, c.id) << c.text;
    EXPECT_EQ(stamp.observed_at, c.time) << c.text;
  }
}

class ReaderFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("report-readers-" + std::to_string(::getpid()) + "-" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  fs::path dir_;
};

const char* const kSignals = R"([
  {"metric": "run_duration", "observed": 10.5, "baseline": {"median": 10, "mad": 1.0},
   "deviation": {"measure": 0.3, "degenerate": false}, "event_ref": "ci-1"},
  {"metric": "run_failed", "observed": true, "baseline": {"median": 0, "mad": 0.0},
   "deviation": {"measure": 0.0, "degenerate": true}, "event_ref": "ci-1"},
  {"metric": "run_duration", "observed": null, "event_ref": "ci-2"},
  {"metric": "run_duration", "observed": 99, "baseline": {"median": 10, "mad": 1.0},
   "deviation": {"measure": 60.0, "degenerate": false}, "event_ref": "ci-\u00e9"},
  {"metric": "run_duration", "observed": 30, "baseline": {"median": 10, "mad": 1.0},
   "deviation": {"measure": 9.0, "degenerate": true}, "event_ref": "ci-4"}
])";

TEST_F(ReaderFiles, SignalSeriesFromPlainAndParsedRecords) {
  write_file_atomic(dir_ / "ci_signals.json", kSignals);
  auto series = read_signal_series(dir_ / "ci_signals.json", "ci", {"run_duration", "run_failed", "absent"});
  ASSERT_EQ(series.size(), 3u);
  const SignalSeries& duration = series[0];
  ASSERT_EQ(duration.points.size(), 3u);  // the null observation is left out
  EXPECT_EQ(duration.event_refs[1], "ci-\xC3\xA9");
  EXPECT_EQ(duration.points[1].value, 99);
  EXPECT_TRUE(duration.points[1].flagged);
  EXPECT_FALSE(duration.points[2].flagged);  // degenerate: never flagged
  EXPECT_EQ(duration.points[0].spread, band_spread(1.0));
  ASSERT_EQ(series[1].points.size(), 1u);
  EXPECT_EQ(series[1].points[0].value, 1);  // a boolean counts as 1
  EXPECT_TRUE(series[2].points.empty());
  EXPECT_TRUE(read_signal_series(dir_ / "missing.json", "ci", {"x"})[0].points.empty());
}

TEST_F(ReaderFiles, FaultySignalFilesNameTheFile) {
  const std::string text = kSignals;
  struct Case {
    std::string content;
    bool type_error;
  };
  const Case cases[] = {
      {text.substr(0, text.size() / 2), false},
      {text.substr(0, text.size() - 3), false},
      {"{\"not\": \"a list\"}", true},
      {"[1, 2]", true},
  };
  for (const Case& c : cases) {
    write_file_atomic(dir_ / "ci_signals.json", c.content);
    try {
      read_signal_series(dir_ / "ci_signals.json", "ci", {"run_duration"});
      ADD_FAILURE() << "accepted: " << c.content;
    } catch (const Error& e) {
      EXPECT_NE(std::string(e.what()).find("ci_signals.json"), std::string::npos) << e.what();
      EXPECT_EQ(dynamic_cast<const TypeError*>(&e) != nullptr, c.type_error) << e.what();
    }
  }
}

TEST_F(ReaderFiles, EventTimesByIdOrFileName) {
  fs::create_directories(dir_ / "events");
  write_file_atomic(dir_ / "events" / "a.json", R"({"event_id": "e1", "observed_at": "2025-01-01T00:00:10Z"})");
  write_file_atomic(dir_ / "events" / "b.json", R"({"observed_at": "2025-01-01T02:00:00+02:00"})");
  write_file_atomic(dir_ / "events" / "c.json", R"({"event_id": "e3", "observed_at": "yesterday"})");
  write_file_atomic(dir_ / "events" / "d.txt", R"({"event_id": "e4", "observed_at": "2025-01-01"})");
  // Larger than the buffer small files are read into: its time comes last.
  write_file_atomic(dir_ / "events" / "e.json", R"({"event_id": "e5", "payload": ")" + std::string(100000, 'x') +
                                                    R"(", "observed_at": "2025-01-01T00:00:20Z"})");
  EventTimes times = read_event_times(dir_ / "events");
  EXPECT_EQ(times.size(), 3u);
  EXPECT_EQ(times.at("e1"), 1735689610.0);
  EXPECT_EQ(times.at("e5"), 1735689620.0);
  EXPECT_EQ(times.at("b"), 1735689600.0);
  EXPECT_TRUE(read_event_times(dir_ / "nowhere").empty());
}

TEST(PlaceInTime, UnknownTimesTakeTheirNeighbours) {
  struct Case {
    std::vector<std::string_view> refs;
    std::vector<double> times;
    bool dated;
  };
  EventTimes known = {{"a", 100}, {"c", 300}};
  const Case cases[] = {
      {{"a", "b", "c"}, {100, 100, 300}, true},
      {{"x", "y", "c", "z"}, {300, 300, 300, 300}, true},
      {{"x", "y"}, {0, 1}, false},  // no time at all: event order
  };
  for (const Case& c : cases) {
    SignalSeries series;
    series.event_refs = c.refs;
    series.points.resize(c.refs.size());
    place_in_time(series, known);
    EXPECT_EQ(series.dated, c.dated);
    for (size_t i = 0; i < c.times.size(); ++i) EXPECT_EQ(series.points[i].time, c.times[i]) << i;
  }
}

}  // namespace
}  // namespace velquor::report
