// JUnit XML: one test run from one or more report files.
//
// Producers differ in the envelope (a <testsuites> root or a single
// <testsuite>, suites nested or not, one file per class) but agree on
// <testcase> with an optional <failure>, <error> or <skipped> child, so the
// cases are counted from the elements rather than from the suites' own
// (often inconsistent) counters; ctest marks cases it did not run with a
// `status` attribute only. A file's duration is the root's `time`, else its
// top-level suites' added up, else (all zero) its cases'; the files' add up.
// The run ends at the latest suite `timestamp` plus that suite's time.

#include <pugixml.hpp>

#include <cstdlib>

#include "velquor/collect/internal.h"

namespace velquor::collect {
namespace {

// Passing and skipped cases are listed up to this many each; failing and
// errored ones always.
constexpr size_t kListedPerStatus = 5;

struct Case {
  std::string name;
  const char* status;
};

struct Run {
  int64_t total = 0, passed = 0, failed = 0, errored = 0, skipped = 0;
  double seconds = 0;
  std::optional<TimePoint> ended;
  std::vector<Case> failing, skipped_cases, passing;
};

double seconds_of(const pugi::xml_node& node, const fs::path& path) {
  std::string text = node.attribute("time").value();
  std::erase(text, ',');  // "1,234.5" from some locales
  if (text.empty()) return 0;
  char* end = nullptr;
  double value = std::strtod(text.c_str(), &end);
  if (*end != '\0' || !(value >= 0))
    bad_input(path, "<" + std::string(node.name()) + " name=\"" + node.attribute("name").value() +
                        "\">: time '" + node.attribute("time").value() + "' is not a duration");
  return value;
}

const char* status_of(const pugi::xml_node& test_case) {
  if (test_case.child("failure")) return "failed";
  if (test_case.child("error")) return "errored";
  std::string_view status = test_case.attribute("status").value();  // ctest's own
  if (test_case.child("skipped") || status == "notrun" || status == "disabled") return "skipped";
  return "passed";
}

std::string name_of(const pugi::xml_node& test_case) {
  std::string name = test_case.attribute("name").value();
  std::string owner = test_case.attribute("classname").value();
  if (owner.empty() || owner == name) return name;
  return owner + "::" + name;
}

void count_case(const pugi::xml_node& test_case, Run& run, double& case_seconds, const fs::path& path) {
  case_seconds += seconds_of(test_case, path);
  const char* status = status_of(test_case);
  Case listed{name_of(test_case), status};
  ++run.total;
  std::string_view s = status;
  if (s == "failed" || s == "errored") {
    ++(s == "failed" ? run.failed : run.errored);
    run.failing.push_back(std::move(listed));
  } else if (s == "skipped") {
    ++run.skipped;
    if (run.skipped_cases.size() < kListedPerStatus) run.skipped_cases.push_back(std::move(listed));
  } else {
    ++run.passed;
    if (run.passing.size() < kListedPerStatus) run.passing.push_back(std::move(listed));
  }
}

void note_suite_end(const pugi::xml_node& suite, double seconds, Run& run, const fs::path& path) {
  const char* stamp = suite.attribute("timestamp").value();
  if (*stamp == '\0') return;
  std::optional<TimePoint> start = read_time(stamp);
  if (!start) bad_input(path, "<testsuite>: timestamp '" + std::string(stamp) + "' is not a time");
  TimePoint end = *start + std::chrono::microseconds(static_cast<int64_t>(seconds * 1e6));
  if (!run.ended || end > *run.ended) run.ended = end;
}

void read_report(const fs::path& path, const std::string& text, Run& run) {
  pugi::xml_document document;
  parse_xml_artefact(document, text, path);
  pugi::xml_node root = document.document_element();
  std::string_view root_name = root.name();
  if (root_name != "testsuites" && root_name != "testsuite")
    bad_input(path, "not a JUnit report: the root element is <" + std::string(root_name) + ">");
  const int64_t cases_before = run.total;
  double case_seconds = 0;
  for (pugi::xpath_node node : root.select_nodes("descendant-or-self::testcase"))
    count_case(node.node(), run, case_seconds, path);
  if (run.total == cases_before) bad_input(path, "no <testcase> in the report");

  double file_seconds = seconds_of(root, path);
  if (root_name == "testsuite") {
    note_suite_end(root, file_seconds, run, path);
  } else {
    double suites_seconds = 0;
    for (pugi::xml_node suite : root.children("testsuite")) {
      const double seconds = seconds_of(suite, path);
      note_suite_end(suite, seconds, run, path);
      suites_seconds += seconds;
    }
    if (!root.attribute("time")) file_seconds = suites_seconds;
  }
  // Some producers write time="0" on the suite and the real times on the cases.
  run.seconds += file_seconds > 0 ? file_seconds : case_seconds;
}

Json case_list(const Run& run) {
  Json cases = Json::array();
  for (const auto* group : {&run.failing, &run.skipped_cases, &run.passing})
    for (const Case& c : *group) cases.push_back(Json{{"name", c.name}, {"status", c.status}});
  return cases;
}

}  // namespace

std::vector<Draft> collect_junit(const Context& context) {
  Run run;
  std::vector<std::string> contents;
  for (const fs::path& path : context.request.files) {
    contents.push_back(read_artefact(path));
    read_report(path, contents.back(), run);
  }
  Draft draft;
  draft.family = "testing";
  draft.source_type = "junit_xml";
  draft.payload = Json{{"summary", Json{{"total", run.total},
                                        {"passed", run.passed},
                                        {"failed", run.failed + run.errored},
                                        {"skipped", run.skipped}}},
                       {"execution", Json{{"duration_seconds", run.seconds}}},
                       {"cases", case_list(run)}};
  draft.observed = run.ended;
  draft.identity = digest_of_files(contents);
  return {std::move(draft)};
}

}  // namespace velquor::collect
