// The scanned readers against the tree readers they replace: the same rows,
// the same explanation index and the same errors, over usual, unusual and
// damaged records; and a run on events handed over by a host against a run
// that reads the event files.

#include <fstream>
#include <typeinfo>

#include "fixture.h"
#include "shared/errors.h"
#include "velquor/dornath/event_scan.h"
#include "velquor/dornath/record_stream.h"
#include "velquor/dornath/scanned_inputs.h"
#include "velquor/dornath/signal_table.h"
#include "velquor/lorvessa/lorvessa.h"

namespace velquor::dornath {
namespace {

using testing::ci_event;
using testing::day_time;
using testing::git_event;
using testing::make_signal;
using testing::VelDir;

void put(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

// The value `read` gives, or the kind and message of the error it raises.
template <typename Read>
std::string outcome(Read read) {
  try {
    return read();
  } catch (const Error& e) {
    return std::string("error ") + typeid(e).name() + ": " + e.what();
  }
}

// Everything a row reads as, one line per row.
std::string describe(const SignalTable& table) {
  std::string text;
  for (size_t i = 0; i < table.size(); ++i) {
    bool usable = false;
    text += outcome([&] {
      const Measure& m = table.measure(i);
      usable = true;
      return std::to_string(static_cast<int>(m.state)) + " " + float_repr(m.value) +
             (m.degenerate_unit ? " degenerate-unit" : "");
    });
    if (usable) {
      text += " | " + outcome([&] { return table.names.text(table.family(i)); });
      text += " | " + outcome([&] { return table.names.text(table.metric(i)); });
    }
    text += " | " + table.refs.text(table.event_ref(i)) + "\n";
  }
  return text;
}

std::string scanned_signals(const Dornath& engine) {
  return outcome([&] {
    SignalTable table;
    for (const char* file : {"git_signals.json", "ci_signals.json"})
      if (fs::exists(engine.phase2_path / file)) read_signal_file(engine.phase2_path / file, table);
    return describe(table);
  });
}

std::string tree_signals(const Dornath& engine) {
  return outcome([&] { return describe(SignalTable::from_json(engine._load_all_signals())); });
}

const char* const kUnusualSignals[] = {
    R"({"engine_id": "g\u0069t", "metric": "lines", "deviation": {"measure": 2.5}, "event_ref": "e\"1"})",
    "{\"engine_id\": \"git\", \"metric\": \"gr\xC3\xB6\xC3\x9F" "e\", \"deviation\": {\"measure\": -3}, "
    "\"event_ref\": \"\xC3\xA9v\"}",
    R"({"engine_id": "git", "metric": "m", "deviation": {"measure": null}, "event_ref": "e2"})",
    R"({"engine_id": "git", "metric": "m", "event_ref": "e3"})",
    R"({"engine_id": "git", "metric": "m", "deviation": {}, "event_ref": null})",
    R"({"engine_id": "git", "metric": "m", "deviation": {"unit": "degenerate"}})",
    R"({"engine_id": "git", "metric": "m", "deviation": {"measure": 5, "unit": "degenerate"}})",
    R"({"engine_id": "git", "metric": "m", "deviation": {"measure": 5, "unit": 7}})",
    R"({"engine_id": "git", "metric": "m", "deviation": {"measure": 5, "unit": "degen\u0065rate"}})",
    R"({"engine_id": "git", "metric": "m", "deviation": {"measure": 5, "degenerate": true}})",
    R"({"engine_id": "git", "metric": "m", "deviation": {"measure": 5, "degenerate": null}})",
    R"({"engine_id": "git", "metric": "m", "deviation": {"measure": 5, "degenerate": 1}})",
    R"({"engine_id": "git", "metric": "m", "deviation": {"measure": 5, "degenerate": "no"}})",
    R"({"engine_id": "git", "metric": "m", "deviation": {"measure": 5, "degenerate": []}})",
    R"({"engine_id": "git", "metric": "m", "deviation": {"measure": 123456789012345678901234567890}})",
    R"({"engine_id": "git", "metric": "m", "deviation": {"measure": 18446744073709551615}})",
    R"({"engine_id": "git", "metric": "m", "deviation": {"measure": -9223372036854775808}})",
    R"({"engine_id": "git", "metric": "m", "deviation": {"measure": -0}})",
    R"({"engine_id": "git", "metric": "m", "deviation": {"measure": 1e400}})",
    R"({"engine_id": "git", "metric": "m", "deviation": {"measure": NaN}})",
    R"({"engine_id": "git", "metric": "m", "deviation": {"measure": -Infinity}})",
    R"({"engine_id": "git", "metric": "m", "deviation": {"measure": 1.50E-7}})",
    R"({"engine_id": "git", "metric": "m", "deviation": {"measure": "3"}})",
    R"({"engine_id": "git", "metric": "m", "deviation": {"measure": true}})",
    R"({"engine_id": "git", "metric": "m", "deviation": [1.5]})",
    R"({"engine_id": "git", "metric": "m", "deviation": null})",
    R"(42)",
    R"("signal")",
    R"(null)",
    R"([{"engine_id": "git"}])",
    R"({"metric": "m", "deviation": {"measure": 5}})",
    R"({"engine_id": "git", "metric": 5, "deviation": {"measure": 5}})",
    R"({"engine_id": null, "metric": "m", "deviation": {"measure": 0.5}})",
    R"({"engine_id": "git", "metric": "m", "deviation": {"measure": 5}, "event_ref": 5})",
    R"({"engine_id": "ci", "metric": "m", "engine_id": "git", "deviation": {"measure": 5}})",
    R"({"engine_id": "git", "metric": "m", "deviation": {"measure": 1, "measure": 4}})",
    R"({"engine_id": "git", "metric": "m", "a": 1, "b": 2, "c": 3, "d": 4, "e": 5, "f": 6, "g": 7,
        "h": 8, "i": 9, "j": 10, "k": 11, "l": 12, "n": 13, "o": 14, "deviation": {"measure": 2}})",
    R"({"engine_id": "git", "metric": "m", "note": "bad \x escape"})",
    "{\"engine_id\": \"git\", \"metric\": \"m\", \"note\": \"\xFF\"}",
    "{\"engine_id\": \"git\", \"metric\": \"m\", \"note\": \"tab\there\"}",
    R"({"engine_id": "git", "metric": "m",})",
    R"({"engine_id": "git", "metric": "m", "deviation": {"measure": 01}})",
    R"({"engine_id": "git", "metric": "m", "deviation": {"measure": tru}})",
    // Members stage 4 passes over still decide whether the record is sound.
    R"({"engine_id": "git", "metric": "m", "observed": -0, "deviation": {"measure": 2}})",
    R"({"engine_id": "git", "metric": "m", "baseline": {"mean": 1e400}, "deviation": {"measure": 2}})",
    R"({"engine_id": "git", "metric": "m", "window": {"size": 123456789012345678901234567890}})",
    R"({"engine_id": "git", "metric": "m", "baseline": {"mad": 0.1000000000000000055511151231257827}})",
    R"({"engine_id": "git", "metric": "m", "confidence": {"status": "acc\u0075mulating", "n": [NaN]}})",
    R"({"engine_id": "git", "metric": "m", "confidence": {"status": "bad \q"}})",
};

TEST(ScannedSignals, ReadEveryRecordAsTheTreePathDoes) {
  const std::string usual = dump_pretty(make_signal("ci", "run_duration", 2.5, "r1"));
  VelDir dir;
  Dornath engine(dir.path());
  put(dir.path() / "phase2" / "ci_signals.json", "[" + usual + "]");
  for (const char* unusual : kUnusualSignals) {
    put(dir.path() / "phase2" / "git_signals.json", "[" + usual + ",\n" + unusual + ", " + usual + "]");
    EXPECT_EQ(scanned_signals(engine), tree_signals(engine)) << unusual;
  }
}

TEST(ScannedSignals, EveryTruncationReadsAsTheTreePathReadsIt) {
  std::string text = "[" + dump_compact(make_signal("git", "files_touched", 2.5, "\xC3\xA9v1"));
  for (const char* unusual : {kUnusualSignals[0], kUnusualSignals[19], kUnusualSignals[34]})
    text += std::string(",") + unusual;
  text += "]";
  VelDir dir;
  Dornath engine(dir.path());
  for (size_t n = 0; n <= text.size(); ++n) {
    put(dir.path() / "phase2" / "git_signals.json", text.substr(0, n));
    ASSERT_EQ(scanned_signals(engine), tree_signals(engine)) << "prefix " << n;
  }
}

// The explanation index as the prompt reads it, or the error.
template <typename Read>
std::string index_outcome(Read read) {
  return outcome([&] {
    std::map<std::string, std::string> sorted;
    for (const auto& [ref, record] : read()) sorted[ref] = dump_compact(record);
    std::string text;
    for (const auto& [ref, record] : sorted) text += ref + " = " + record + "\n";
    return text;
  });
}

const char* const kExplanations[] = {
    R"({"signal_ref": "e1", "summary": "first"})",
    R"({"signal_ref": "e1", "summary": "second", "details": {"metric": "m"}})",
    R"({"signal_ref": "e\u0032", "summary": "escaped ref"})",
    "{\"signal_ref\": \"e3\", \"summary\": \"gr\xC3\xB6\xC3\x9F" "e \\\"quoted\\\"\"}",
    R"({"signal_ref": "e4", "summary": 12.5})",
    R"({"signal_ref": "e5", "detail": "no summary"})",
    R"({"signal_ref": "e6"})",
    R"({"signal_ref": "e7", "summary": null})",
    R"({"signal_ref": 7, "summary": "number ref"})",
    R"({"signal_ref": "", "summary": "empty ref"})",
    R"({"summary": "no ref"})",
    R"({})",
    R"({"signal_ref": "e8", "summary": "a", "summary": "b"})",
    R"({"signal_ref": "e9", "summary": NaN})",
    R"(5)",
    R"(["signal_ref", "e1"])",
    R"({"signal_ref": "e1", "summary": "bad \q"})",
    "{\"signal_ref\": \"e1\", \"summary\": \"\xC3\"}",
    R"({"signal_ref": "e1" "summary": "x"})",
};

// The outcome of checking the explanations file `path` without a model: the
// tree path's error, or nothing.
std::string checked_outcome(const fs::path& path) {
  return index_outcome([&] { return read_explanation_file(path, false); });
}
std::string tree_check_outcome(const fs::path& path) {
  const std::string tree = index_outcome([&] { return read_explanation_records(path, true); });
  return tree.rfind("error", 0) == 0 ? tree : std::string();
}

TEST(ScannedExplanations, IndexAndErrorsAsTheTreePath) {
  const auto& cases = kExplanations;
  VelDir dir;
  for (size_t first = 0; first < std::size(cases); ++first) {
    const fs::path path = dir.path() / "phase3" / "explanations.json";
    std::string text = "[";
    for (size_t i = first; i < first + 4; ++i) text += std::string(i > first ? ",\n" : "") + cases[i % std::size(cases)];
    text += "]";
    for (size_t n : {text.size(), text.size() / 2}) {
      put(path, text.substr(0, n));
      EXPECT_EQ(index_outcome([&] { return read_explanation_file(path, true); }),
                index_outcome([&] { return read_explanation_records(path, true); }))
          << text.substr(0, n);
      // Without a model only the checks remain: the same error or none.
      EXPECT_EQ(checked_outcome(path), tree_check_outcome(path)) << text.substr(0, n);
    }
  }
}

TEST(ScannedExplanations, EveryTruncationIsCheckedAsTheTreePathChecksIt) {
  std::string text = "[\n";
  for (size_t i : {0, 2, 3, 4, 13, 1})
    text += std::string("  ") + kExplanations[i] + (i == 1 ? "\n" : ",\n");
  text += "]";
  VelDir dir;
  const fs::path path = dir.path() / "phase3" / "explanations.json";
  for (size_t n = 0; n <= text.size(); ++n) {
    put(path, text.substr(0, n));
    ASSERT_EQ(checked_outcome(path), tree_check_outcome(path)) << text.substr(0, n);
  }
}

// Eight commits with CI runs; the last event file is not JSON, and one CI
// run's trigger names no commit.
void history(VelDir& dir) {
  const double xs[] = {2.0, 3.0, -2.0, 4.0, 2.5, -3.0, 1.8, -2.2};
  Json git = Json::array(), ci = Json::array();
  for (int i = 1; i <= 8; ++i) {
    std::string n = std::to_string(i);
    dir.add_event(git_event("g" + n, "c" + n, day_time(i)));
    Json run = ci_event("r" + n, i == 8 ? "" : "c" + n, day_time(i, "11:00:00"));
    run["payload"]["trigger"]["branch"] = "main";  // no commit_sha on run 8: a trigger without one
    dir.add_event(run);
    git.push_back(make_signal("git", "files_touched", xs[i - 1], "g" + n));
    ci.push_back(make_signal("ci", "run_duration", 2 * xs[i - 1] + (i % 3), "r" + n));
  }
  dir.write_signals("git", git);
  dir.write_signals("ci", ci);
  put(dir.path() / "events" / "zz.json", "{\"event_id\": ");
}

TEST(HandedEvents, ARunOnAHostsScanEqualsARunThatReadsTheFiles) {
  testing::ScopedEnv now("VELQUOR_NOW", "2026-12-01T00:00:00Z");
  VelDir read_dir, handed_dir;
  history(read_dir);
  history(handed_dir);
  const Json params = {{"confidence_full_at", 6}, {"min_support", 5}};
  Json read_summary = Dornath(read_dir.path(), params).run();

  // The host keeps only the members the engine names.
  JsonKeep keep;
  for (std::string_view member : kEventMembers) keep.add(member);
  EventScan scan;
  for (const fs::path& file : list_json_files(handed_dir.path() / "events")) {
    try {
      scan.events.push_back(
          scan_event(parse_json(read_file(file), file.string(), NonFinite::kReject, keep), file.string()));
    } catch (const JsonError&) {
    }
  }
  fs::remove_all(handed_dir.path() / "events");
  Dornath handed(handed_dir.path(), params);
  handed.use_event_scan(std::move(scan));
  Json handed_summary = handed.run();

  EXPECT_GT(read_summary["patterns_discovered"].get<int>(), 0);
  EXPECT_EQ(dump_pretty(handed_summary), dump_pretty(read_summary));
  lorvessa::SQLiteLorvessa a(read_dir.path() / "phase4" / "knowledge.db");
  lorvessa::SQLiteLorvessa b(handed_dir.path() / "phase4" / "knowledge.db");
  EXPECT_EQ(a.list_patterns("local"), b.list_patterns("local"));
}

TEST(HandedEvents, TheFirstUnreadableFileInNameOrderIsReported) {
  VelDir dir;
  for (int i = 0; i < 40; ++i) dir.add_event(git_event("g" + std::to_string(100 + i), "c", day_time(1)));
  put(dir.path() / "events" / "g120x.json", "{\"event_id\": \"\xFF\"}");
  put(dir.path() / "events" / "g130x.json", "{\"event_id\": \"\xFE\"}");
  try {
    scan_events(dir.path() / "events");
    FAIL() << "no error";
  } catch (const JsonError& e) {
    EXPECT_NE(std::string(e.what()).find("g120x.json"), std::string::npos) << e.what();
  }
}

}  // namespace
}  // namespace velquor::dornath
