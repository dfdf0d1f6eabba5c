// The streamed reading of a run's inputs against the reading from whole JSON
// values, and against a host's prepared events: on the same data, plain or
// unusual or damaged, all must write the same files byte for byte and return
// the same result, or fail with the same error.

#include <gtest/gtest.h>

#include <functional>
#include <typeinfo>

#include "shared/errors.h"
#include "shared/file_io.h"
#include "tests/esperlin/fixture.h"
#include "velquor/esperlin/advisory_inputs.h"

namespace velquor::esperlin {
namespace {

using testing::family_event;
using testing::git_event;
using testing::signal;

const char* const kOutputs[] = {"advisory.json", "evidence.json", "summary.txt", "chat.txt",
                                "investigation_prompt.txt"};

// A result or an error, and every output file, of one run.
std::string outcome_of(Esperlin& engine, AdvisoryInputs (*read)(const Esperlin&)) {
  fs::remove_all(engine.output_path);
  fs::create_directories(engine.output_path);
  std::string outcome;
  try {
    outcome = dump_pretty(run_advisory(engine, "scope", read));
  } catch (const std::exception& error) {
    return std::string("error ") + typeid(error).name() + ": " + error.what();
  }
  for (const char* name : kOutputs) {
    const fs::path path = engine.output_path / name;
    outcome += std::string("\n--- ") + name + "\n" + (fs::exists(path) ? read_file(path) : "(none)");
  }
  return outcome;
}

// What a host that parsed every event file, keeping only what
// prepared_event_members names, gives the engine.
std::vector<PreparedEvent> prepared_events(const fs::path& events) {
  std::vector<PreparedEvent> prepared;
  for (const fs::path& file : list_json_files(events)) {
    try {
      const Json event = parse_json(read_file(file), file.string(), NonFinite::kReject, prepared_event_members());
      prepared.push_back(prepare_event(event, file));
    } catch (const Error&) {
      prepared.push_back({file, std::current_exception(), "", {}});
    }
  }
  return prepared;
}

class StreamedInputs : public testing::DataDir {
 protected:
  // Signals of two families, with their explanations and events: records
  // the scanner reads plainly, and some it leaves to the parser.
  void write_history() {
    Json git = Json::array(), ci = Json::array(), explanations = Json::array();
    for (int i = 0; i < 12; ++i) {
      const std::string id = testing::numbered("g", i), when = "2025-03-0" + std::to_string(1 + i % 9) + "T10:00:00Z";
      write_event(git_event(id, testing::numbered("sha", i), when, Json::array({"src/a.cpp", "b é.txt"}), "msg"));
      const Json measure = i % 4 == 0 ? Json(3.5 + i) : i % 4 == 1 ? Json(-2) : Json(0.25 * i);
      git.push_back(signal("git", i % 2 ? "files_touched" : "lines_added", id, i * 3, measure));
      const std::string run = testing::numbered("c", i);
      Json payload = {{"trigger", {{"commit_sha", testing::numbered("sha", i)}, {"commit_message", "m"}}}};
      write_event(family_event(run, "ci", when, payload));
      ci.push_back(signal("ci", "run_duration", run, 100.5 + i, i % 3 ? 1.0 : -4.75));
      explanations.push_back({{"engine_id", "git"}, {"signal_ref", id},
                              {"summary", "Commit " + std::to_string(i) + " \u2014 note"},
                              {"details", {{"metric", i % 2 ? "files_touched" : "lines_added"}}}});
    }
    explanations.push_back({{"engine_id", "ci"}, {"summary", "first ci"}, {"details", {{"metric", "run_duration"}}}});
    explanations.push_back({{"engine_id", "ci"}, {"summary", "second ci"}, {"details", {{"metric", "run_duration"}}}});
    write_signals("git", git);
    write_signals("ci", ci);
    write_json("phase3/explanations.json", explanations);
  }

  // A test report of thousands of cases, a few dozen failed or errored, as
  // the event of a significant signal.
  void write_long_report(const Json& last_case) {
    Json cases = Json::array();
    for (int i = 0; i < 3000; ++i) {
      const char* status = i % 97 == 5 ? "failed" : i % 211 == 7 ? "errored" : i % 3 ? "passed" : "skipped";
      cases.push_back({{"name", testing::numbered("suite::case_", i)}, {"status", status}, {"ms", i}});
    }
    cases[1000]["status"] = Json::array({"failed"});
    cases[1001] = {{"status", "failed"}};
    if (!last_case.is_null()) cases.push_back(last_case);
    write_json("events/c3.json", family_event("c3", "testing", "2025-03-04T10:00:00Z",
                                              {{"trigger", {{"commit_sha", "sha5"}}}, {"cases", cases}}));
    edit("events/c3.json", "\"status\": \"failed\"", "\"status\": \"fail\\u0065d\"");
  }

  // Replaces the first `from` in a file with `to`.
  void edit(const std::string& relative, const std::string& from, const std::string& to) {
    std::string text = read_file(dir / relative);
    const size_t at = text.find(from);
    ASSERT_NE(at, std::string::npos) << from;
    write(relative, text.replace(at, from.size(), to));
  }

  // The tree reading's outcome, after checking the streamed ones against it.
  std::string expect_same_outcome() {
    Esperlin engine(dir);
    const std::string tree = outcome_of(engine, read_advisory_inputs_from_trees);
    EXPECT_EQ(outcome_of(engine, read_advisory_inputs), tree);
    engine.use_prepared_events(prepared_events(engine.phase1_path));
    EXPECT_EQ(outcome_of(engine, read_advisory_inputs), tree) << "prepared events";
    return tree;
  }
};

TEST_F(StreamedInputs, BothReadingsGiveTheSameFilesAndErrors) {
  const std::string git = "phase2/git_signals.json", ci = "phase2/ci_signals.json",
                    explained = "phase3/explanations.json";
  struct Case {
    const char* name;
    std::function<void()> change;
  };
  const std::vector<Case> cases = {
      {"plain", [] {}},
      {"escaped family name", [&] { edit(git, "\"engine_id\": \"git\"", "\"engine_id\": \"gi\\u0074\""); }},
      {"non-ASCII metric", [&] { edit(ci, "\"metric\": \"run_duration\"", "\"metric\": \"dur\\u00e9e\""); }},
      {"escaped reference", [&] { edit(git, "\"event_ref\": \"g1\"", "\"event_ref\": \"\\u00671\""); }},
      {"null reference and measure", [&] {
         edit(git, "\"event_ref\": \"g2\"", "\"event_ref\": null");
         edit(ci, "\"measure\": 1.0", "\"measure\": null");
       }},
      {"absent deviation", [&] { edit(ci, "\"deviation\": {", "\"deviation_was\": {"); }},
      {"degenerate", [&] { edit(git, "\"degenerate\": false", "\"degenerate\": true"); }},
      {"degenerate as a number", [&] { edit(git, "\"degenerate\": false", "\"degenerate\": 0"); }},
      {"boolean measure", [&] { edit(ci, "\"measure\": 1.0", "\"measure\": true"); }},
      {"huge integer observed", [&] { edit(ci, "\"observed\": 101.5", "\"observed\": 123456789012345678901234"); }},
      {"observed as a list", [&] { edit(ci, "\"observed\": 101.5", "\"observed\": [1, 2]"); }},
      // The latest run's signal is not significant: its observed value is
      // converted from the scanned text.
      {"latest observed integer", [&] { edit(ci, "\"observed\": 108.5", "\"observed\": -9223372036854775807"); }},
      {"latest observed beyond 63 bits", [&] { edit(ci, "\"observed\": 108.5", "\"observed\": 9223372036854775808"); }},
      {"latest observed negative zero", [&] { edit(ci, "\"observed\": 108.5", "\"observed\": -0"); }},
      {"latest observed of the real forms", [&] { edit(ci, "\"observed\": 108.5", "\"observed\": 1085E-1"); }},
      {"latest observed subnormal", [&] { edit(ci, "\"observed\": 108.5", "\"observed\": 2.5e-320"); }},
      {"latest observed beyond a double", [&] { edit(ci, "\"observed\": 108.5", "\"observed\": -1e400"); }},
      {"latest observed text with escapes", [&] {
         edit(ci, "\"observed\": 108.5", "\"observed\": \"10\\u0038.5 \\\"s\\\"\"");
       }},
      {"significant signal members of every kind", [&] {
         edit(git, "\"mean\": 10", "\"mean\": 1E1, \"note\": \"\\u00e9\", \"ranges\": [[1, -0.5], {}]");
         edit(git, "\"observed\": 0", "\"observed\": 18446744073709551615");
         edit(git, "\"unit\": \"modified_zscore\"", "\"unit\": \"z\\tscore\", \"spread\": [2e-320, true, null]");
         edit(git, "\"deviation\": {", "\"deviation\": {\"extra\": {\"a\": [1]}, ");
       }},
      {"NaN and infinite measures", [&] {
         edit(ci, "\"measure\": 1.0", "\"measure\": NaN");
         edit(git, "\"measure\": -2", "\"measure\": -Infinity");
       }},
      {"repeated member", [&] { edit(ci, "\"measure\": 1.0", "\"measure\": 1.0, \"measure\": 9.0"); }},
      {"metric_name excludes", [&] {
         edit(git, "\"metric\": \"lines_added\"", "\"metric\": \"lines_added\", \"metric_name\": \"direct_count\"");
         edit(ci, "\"metric\": \"run_duration\"", "\"metric\": \"run_duration\", \"metric_name\": \"run_\\u0064uration\"");
       }},
      {"real forms", [&] { edit(git, "\"measure\": 3.5", "\"measure\": 35e-1"); }},
      {"explanation escapes and repeats", [&] {
         edit(explained, "\"signal_ref\": \"g4\"", "\"signal_ref\": \"\\u00674\"");
         edit(explained, "\"summary\": \"first ci\"", "\"summary\": \"first\", \"summary\": \"again\"");
       }},
      {"empty explanation", [&] { write("phase3/explanations.json", "[{}, {\"engine_id\": 5}]"); }},
      {"explanation details null", [&] { edit(explained, "\"details\": {", "\"details\": null, \"x\": {"); }},
      {"bad escape in an unused explanation", [&] { edit(explained, "second ci", "second \\q"); }},
      {"raw control byte in a signal", [&] { edit(ci, "\"type\": \"rolling\"", "\"type\": \"roll\x01ing\""); }},
      {"invalid UTF-8 in a signal", [&] { edit(ci, "\"type\": \"rolling\"", "\"type\": \"roll\xff\""); }},
      {"truncated signals", [&] {
         std::string text = read_file(dir / ci);
         write(ci, text.substr(0, text.size() / 2));
       }},
      {"truncated explanations", [&] {
         std::string text = read_file(dir / explained);
         write(explained, text.substr(0, text.size() - 3));
       }},
      {"record fault before a syntax error", [&] {
         edit(git, "\"event_ref\": \"g0\"", "\"event_ref\": 7");
         std::string text = read_file(dir / git);
         write(git, text.substr(0, text.size() - 1) + "x]");
       }},
      {"significant without baseline", [&] { edit(git, "\"baseline\"", "\"base\""); }},
      {"signals not a list", [&] { write(ci, "{\"a\": 1}"); }},
      {"empty signal files", [&] {
         write(ci, "[]");
         write(git, " [ ] ");
       }},
      {"trailing text", [&] { write(ci, "[] x"); }},
      {"signal not a map", [&] { edit(ci, "[", "[3, "); }},
      {"bad event", [&] { edit("events/c3.json", "\"payload\": {", "\"payload\": {\"trigger\": 4, \"x\": {"); }},
      {"event without id", [&] { edit("events/g0.json", "\"event_id\"", "\"id\""); }},
      {"later event under the same id", [&] {
         write_json("events/zz.json", git_event("g0", "late", "2025-03-09T23:00:00Z"));
       }},
      {"explanation summaries of other kinds", [&] {
         edit(explained, "\"summary\": \"Commit 0", "\"summary\": 12.5, \"was\": \"Commit 0");
         edit(explained, "\"summary\": \"Commit 4", "\"summary\": [\"a\"], \"was\": \"Commit 4");
         edit(explained, "\"summary\": \"first ci\"", "\"summary\": null");
       }},
      {"explanation without summary", [&] { edit(explained, "\"summary\": \"Commit 8", "\"said\": \"Commit 8"); }},
      {"event members escaped and non-ASCII", [&] {
         edit("events/g0.json", "\"message\": \"msg\"", "\"message\": \"fix \\u00e9\\n\\\"quoted\\\" caf\u00e9\"");
         edit("events/c0.json", "\"commit_message\": \"m\"", "\"commit_message\": \"\\ud83d\\ude00 \u00fc\"");
       }},
      {"event with only members the run does not read", [&] {
         write("events/g4.json", "{\"note\": {\"deep\": [1, 2]}, \"other\": 1e300}");
       }},
      {"empty event", [&] { write("events/g8.json", " { } "); }},
      {"nulls in an event", [&] {
         edit("events/g0.json", "\"attestation\": {", "\"attestation\": null, \"x\": {");
         edit("events/c4.json", "\"trigger\": {", "\"trigger\": null, \"x\": {");
       }},
      {"null payload", [&] { edit("events/c8.json", "\"payload\": {", "\"payload\": null, \"x\": {"); }},
      {"files not a list", [&] { edit("events/g4.json", "\"files\": [", "\"files\": 3, \"x\": ["); }},
      {"file name of another kind", [&] { edit("events/g8.json", "\"src/a.cpp\"", "7"); }},
      {"huge integer in an unread event member", [&] {
         edit("events/g0.json", "\"author\"", "\"size\": 123456789012345678901234567890, \"author\"");
       }},
      {"number beyond a double in an unread event member", [&] {
         edit("events/g1.json", "\"author\"", "\"size\": 1e400, \"author\"");
       }},
      {"NaN in an event", [&] { edit("events/c1.json", "\"commit_message\"", "\"score\": NaN, \"commit_message\""); }},
      {"number beyond a double in an unread signal member", [&] {
         edit(git, "\"size\": 50", "\"size\": -1e999");
       }},
      {"truncated event", [&] {
         std::string text = read_file(dir / "events/g2.json");
         write("events/g2.json", text.substr(0, text.size() / 2));
       }},
      {"invalid UTF-8 in an event", [&] { edit("events/g3.json", "\"dev\"", "\"d\xc3\""); }},
      {"two damaged events, the first named wins", [&] {
         write("events/g2.json", "{\"event_id\": ");
         edit("events/c5.json", "\"payload\": {", "\"payload\": [], \"x\": {");
       }},
      {"damaged events among more files than a batch", [&] {
         // Enough events that the reading threads take several batches each.
         for (int i = 0; i < 1300; ++i)
           write_json("events/" + testing::numbered("f", i) + ".json",
                      family_event(testing::numbered("f", i), "ci", "2025-02-01T10:00:00Z", Json::object()));
         write("events/f1200.json", "[");  // named before f700 and g3
         edit("events/g3.json", "\"dev\"", "\"d\xc3\"");
         edit("events/f700.json", "\"observed_at\"", "\"observed_at\": 5, \"was\"");
       }},
      {"damaged wanted events among more than a batch", [&] {
         // Enough significant signals that the events they refer to are
         // read again on both threads, a few batches each.
         Json signals = parse_json(read_file(dir / git), git);
         for (int i = 0; i < 900; ++i) {
           const std::string id = testing::numbered("w", i);
           write_event(git_event(id, testing::numbered("wsha", i), "2025-02-02T10:00:00Z", Json::array({"w.c"})));
           signals.push_back(signal("git", "lines_added", id, 40, 6.5));
         }
         write_signals("git", signals);
         edit("events/w700.json", "\"files\": [", "\"files\": 3, \"x\": [");
         edit("events/w300.json", "\"files\": [", "\"files\": 3, \"x\": [");
       }},
      {"test cases, dependencies and findings", [&] {
         Json cases = Json::array({{{"name", "t1"}, {"status", "failed"}, {"ms", 3}},
                                   {{"status", "errored"}},
                                   {{"name", "t3"}, {"status", "passed"}}});
         write_json("events/c3.json", family_event("c3", "testing", "2025-03-04T10:00:00Z",
                                                   {{"trigger", {{"commit_sha", "sha5"}}}, {"cases", cases}}));
         Json dependencies = Json::array({{{"name", "lib"}, {"version", "1.2"}, {"direct", true}, {"x", 1}},
                                          {{"name", "dep"}, {"direct", false}}});
         write_json("events/c6.json", family_event("c6", "dependency", "2025-03-07T10:00:00Z",
                                                   {{"dependencies", dependencies}}));
         Json findings = Json::array({{{"id", "V-1"}, {"severity", "high"}, {"package", "p"}, {"cvss", 9.1}},
                                      {{"severity", "low"}}, {{"severity", "critical"}}});
         write_json("events/c9.json", family_event("c9", "security", "2025-03-01T10:00:00Z",
                                                   {{"findings", findings}}));
       }},
      {"event file beyond a megabyte", [&] {
         edit("events/g0.json", "\"message\": \"msg\"", "\"message\": \"" + std::string(1200000, 'm') + "\"");
       }},
      {"long test report", [&] { write_long_report(nullptr); }},
      {"long test report with a case of another kind", [&] { write_long_report("suite::late"); }},
      {"test case of another kind", [&] {
         write_json("events/c3.json", family_event("c3", "testing", "2025-03-04T10:00:00Z",
                                                   {{"cases", Json::array({"t1"})}}));
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(dir);
    write_history();
    c.change();
    const std::string outcome = expect_same_outcome();
    if (std::string(c.name) == "plain") {
      EXPECT_NE(outcome.find("\"latest_deviation\""), std::string::npos) << outcome;
      EXPECT_NE(outcome.find("\\u2014 note"), std::string::npos) << outcome;
    }
    if (std::string(c.name) == "damaged events among more files than a batch") {
      EXPECT_NE(outcome.find("f1200.json"), std::string::npos) << outcome;
    }
    if (std::string(c.name) == "damaged wanted events among more than a batch") {
      EXPECT_NE(outcome.find("w300.json"), std::string::npos) << outcome.substr(0, 300);
    }
    if (std::string(c.name) == "two damaged events, the first named wins") {
      EXPECT_NE(outcome.find("c5.json"), std::string::npos) << outcome;
    }
    if (std::string(c.name) == "long test report") {
      EXPECT_NE(outcome.find("suite::case_5\""), std::string::npos) << "escaped status";
      EXPECT_NE(outcome.find("suite::case_1848\""), std::string::npos) << "the 30th failed case";
      EXPECT_EQ(outcome.find("suite::case_1906\""), std::string::npos) << "the 31st";
    }
  }
}

// A window's changes are made of its own strongest signals, whose
// explanations must be the ones kept.
TEST_F(StreamedInputs, BothReadingsAgreeOverAWindow) {
  write_history();
  const std::vector<window::EventStamp> stamps = window::read_event_stamps(dir / "events");
  for (const window::Request& request :
       {window::Request{window::Kind::kSince, "2025-03-05"}, window::Request{window::Kind::kLast, "3"}}) {
    SCOPED_TRACE(request.argument);
    Esperlin engine(dir);
    engine.window = window::resolve(request, stamps, std::nullopt);
    const std::string tree = outcome_of(engine, read_advisory_inputs_from_trees);
    EXPECT_NE(tree.find("Commit "), std::string::npos) << tree;
    EXPECT_EQ(outcome_of(engine, read_advisory_inputs), tree);
  }
}

// With prepared events the run reads again only the files of the events its
// significant signals refer to.
TEST_F(StreamedInputs, PreparedEventsSpareTheFilesNoSignificantSignalNeeds) {
  write_history();
  Esperlin engine(dir);
  const std::string tree = outcome_of(engine, read_advisory_inputs_from_trees);
  engine.use_prepared_events(prepared_events(engine.phase1_path));
  fs::remove(dir / "events/c1.json");  // its signal is not significant
  EXPECT_EQ(outcome_of(engine, read_advisory_inputs), tree);
  fs::remove(dir / "events/g1.json");  // its signal is
  const std::string missing = outcome_of(engine, read_advisory_inputs);
  EXPECT_EQ(missing.rfind("error ", 0), 0u) << missing;
  EXPECT_NE(missing.find("g1.json"), std::string::npos) << missing;
}

}  // namespace
}  // namespace velquor::esperlin
