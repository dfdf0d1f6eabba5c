// Faulty and truncated artefacts, collecting twice, the commit of an event,
// and the way through the engines: collect -> velquor run -> signals.

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <future>
#include <map>
#include <optional>
#include <thread>

#include "shared/errors.h"
#include "shared/file_io.h"
#include "tests/collect/collect_test_support.h"
#include "velquor/collect/internal.h"
#include "velquor/guard/guard.h"

namespace velquor::collect::testing {
namespace {

using cli::testing::line_count;
using cli::testing::Outcome;
using cli::testing::ScratchDir;
using cli::testing::velquor;

struct BadCase {
  std::string kind;
  std::vector<std::pair<std::string, std::string>> files;  // name, content
  std::string complaint;
};

const std::vector<BadCase>& bad_cases() {
  static const std::vector<BadCase> kCases = {
      {"junit", {{"r.xml", "PASS all tests\n"}}, "not XML"},
      {"junit", {{"r.xml", "   \n"}}, "empty file"},
      {"junit", {{"r.xml", "<coverage line-rate=\"1\"/>"}}, "not a JUnit report"},
      {"junit", {{"r.xml", "<testsuites><testsuite name=\"a\" tests=\"0\"/></testsuites>"}}, "no <testcase>"},
      {"junit", {{"a.xml", "<testsuite><testcase name=\"t\"/></testsuite>"}, {"b.xml", "<testsuite>"}}, "not XML"},
      {"junit", {{"r.xml", "<testsuite time=\"soon\"><testcase name=\"t\"/></testsuite>"}}, "not a duration"},
      {"coverage", {{"c.txt", "coverage: 85%\n"}}, "neither Cobertura XML nor an LCOV tracefile"},
      {"coverage", {{"c.xml", "<coverage branch-rate=\"0.5\"/>"}}, "no line-rate"},
      {"coverage", {{"c.xml", "<coverage line-rate=\"85\"/>"}}, "not a rate"},
      {"coverage", {{"c.info", "SF:a.c\nDA:1,1\n"}}, "no end_of_record"},
      {"coverage", {{"c.info", "SF:a.c\nDA:1,many\nend_of_record\n"}}, "not a count"},
      {"coverage", {{"a.info", "SF:a.c\nDA:1,1\nend_of_record\n"}, {"b.xml", "<coverage line-rate=\"1\"/>"}}, "mixes"},
      {"ci", {{"run.json", "[1, 2]"}}, "not a workflow run"},
      {"ci", {{"run.json", R"({"status": "queued", "created_at": "2025-01-01T00:00:00Z"})"}}, "still queued"},
      {"ci", {{"run.json", R"({"status": "completed", "conclusion": "success", "created_at": "2025-01-01T00:00:00Z"})"}}, "'updated_at'"},
      {"npm", {{"package-lock.json", R"({"name": "x", "dependencies": {}})"}}, "no lockfileVersion"},
      {"npm", {{"package-lock.json", R"({"lockfileVersion": 9, "packages": {}})"}}, "not 1, 2 or 3"},
      {"npm", {{"package-lock.json", R"({"lockfileVersion": 1, "dependencies": {}})"}}, "no package.json"},
      {"npm", {{"package-lock.json", R"({"lockfileVersion": 3, "packages": {"node_modules/a": {}}})"}}, "missing member ''"},
      {"pip", {{"requirements.txt", "==1.0\n"}}, "line 1 is not a requirement"},
      {"pip", {{"requirements.txt", "# nothing yet\n-r base.txt\n"}}, "names no package"},
      {"pip", {{"requirements.txt", "flask\n"}, {"tree.json", R"({"flask": []})"}}, "not a dependency tree"},
      {"openapi", {{"api.yaml", "title: not an API\n"}}, "not an OpenAPI 3 or Swagger 2 document"},
      {"openapi", {{"api.yaml", "openapi: 3.0.0\npaths: [unclosed\n"}}, "not YAML"},
      {"openapi", {{"api.json", "{\"openapi\": \"3.0.0\", "}}, "invalid JSON"},
      // Each level holds ten of the one before: 10^7 nodes once expanded.
      {"openapi", {{"api.yaml", "openapi: 3.0.0\na: &a [x, x, x, x, x, x, x, x, x, x]\n"
                                "b: &b [*a, *a, *a, *a, *a, *a, *a, *a, *a, *a]\n"
                                "c: &c [*b, *b, *b, *b, *b, *b, *b, *b, *b, *b]\n"
                                "d: &d [*c, *c, *c, *c, *c, *c, *c, *c, *c, *c]\n"
                                "e: &e [*d, *d, *d, *d, *d, *d, *d, *d, *d, *d]\n"
                                "f: &f [*e, *e, *e, *e, *e, *e, *e, *e, *e, *e]\n"
                                "g: [*f, *f, *f, *f, *f, *f, *f, *f, *f, *f]\n"}},
       "too large"},
      {"openapi", {{"api.yaml", "openapi: 3.0.0\ninfo: {title: x}\n"}}, "'paths'"},
      {"terraform", {{"state.json", R"({"format_version": "1.0", "values": {}})"}}, "not the JSON of a plan"},
      {"terraform", {{"plan.json", R"({"format_version": "1.2", "resource_changes": [{"mode": "managed"}]})"}}, "'change'"},
      {"trivy", {{"scan.json", R"({"Results": []})"}}, "no SchemaVersion"},
      {"trivy", {{"scan.json", R"({"SchemaVersion": 2, "Results": [{"Vulnerabilities": [{"VulnerabilityID": "CVE-1", "Severity": "LOW"}]}]})"}}, "'PkgName'"},
      {"releases", {{"releases.json", R"({"tag_name": "v1"})"}}, "not a list of releases"},
      {"releases", {{"releases.json", R"([{"tag_name": "v2", "draft": true}])"}}, "no published release"},
      {"releases", {{"releases.json", R"([{"tag_name": "v2", "created_at": "2025-01-01T00:00:00Z"}])"}}, "'published_at'"},
      {"errors", {{"issues.json", R"([{"title": "x"}])"}}, "has no title and count"},
      {"errors", {{"issues.json", R"([{"title": "x", "count": "many", "userCount": 1, "lastSeen": "2025-01-01T00:00:00Z"}])"}}, "expected a whole number"},
      {"errors", {{"issues.json", R"([{"title": "x", "count": 3, "userCount": 1, "lastSeen": "yesterday"}])"}}, "not an ISO-8601 time"},
  };
  return kCases;
}

TEST(BadInput, OneLineNamingTheFileExitOneAndNothingWritten) {
  PinnedRepository repo;
  for (const BadCase& bad : bad_cases()) {
    ScratchDir scratch;
    std::vector<std::string> command = {"collect", bad.kind};
    for (const auto& [name, content] : bad.files) {
      write_file_atomic(scratch.path() / name, content);
      command.push_back((scratch.path() / name).string());
    }
    const fs::path data = scratch.path() / "data";
    command.insert(command.end(), {"--repo", repo.str(), data.string()});
    Outcome run = velquor(command);
    SCOPED_TRACE(bad.kind + " " + bad.files.back().first + ": " + run.err);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(line_count(run.err), 1u);
    EXPECT_NE(run.err.find(scratch.str()), std::string::npos);
    EXPECT_NE(run.err.find(bad.complaint), std::string::npos);
    EXPECT_FALSE(fs::exists(data));
  }
}

// The artefact files of a golden case's command lines (options left out).
std::vector<std::vector<std::string>> commands_of(const fs::path& folder) {
  std::vector<std::vector<std::string>> commands;
  std::ifstream args(folder / "args");
  for (std::string line; std::getline(args, line);) {
    std::istringstream words(line);
    std::vector<std::string> command;
    for (std::string word; words >> word;)
      if (command.empty() || fs::exists(folder / word)) command.push_back(word);
    commands.push_back(command);
  }
  return commands;
}

// Runs a collector on the files, as `collect` would before writing.
std::string outcome_of(const std::vector<std::string>& command, const fs::path& folder) {
  Request request;
  request.kind = command[0];
  for (size_t i = 1; i < command.size(); ++i) request.files.push_back(folder / command[i]);
  try {
    collector_of(request.kind)(Context{request, folder / "no-events"});
    return "";
  } catch (const Error& e) {
    return e.what();
  }
}

// Cutting a JSON or XML artefact anywhere before its last character leaves
// text that must be refused naming the file; a YAML, LCOV or requirements
// text cut short may still be read, but never crashes or blames another file.
TEST(Truncation, ArtefactsCutShortAreRefusedNamingTheFile) {
  constexpr size_t kCutsPerFile = 24;
  size_t strict_cuts = 0;
  for (const fs::path& folder : case_folders()) {
    for (const auto& command : commands_of(folder)) {
      for (size_t f = 1; f < command.size(); ++f) {
        ScratchDir scratch;
        for (const auto& entry : fs::directory_iterator(folder)) fs::copy(entry.path(), scratch.path());
        const fs::path cut = scratch.path() / command[f];
        const std::string whole = read_file(folder / command[f]);
        const size_t end = whole.find_last_not_of(" \t\r\n");
        const std::string ext = cut.extension().string();
        const bool strict = ext == ".json" || ext == ".xml";
        for (size_t k = 0; k < kCutsPerFile; ++k) {
          const size_t length = end * k / kCutsPerFile;
          std::ofstream(cut, std::ios::binary | std::ios::trunc) << whole.substr(0, length);
          const std::string error = outcome_of(command, scratch.path());
          SCOPED_TRACE(folder.filename().string() + "/" + command[f] + " cut at " + std::to_string(length));
          if (strict) {
            EXPECT_NE(error.find(cut.string()), std::string::npos) << error;
            ++strict_cuts;
          } else if (!error.empty()) {
            EXPECT_NE(error.find(scratch.str()), std::string::npos) << error;
          }
        }
      }
    }
  }
  EXPECT_GT(strict_cuts, 400u);
}

class Collecting : public ::testing::Test {
 protected:
  Outcome collect(std::vector<std::string> command) {
    command.insert(command.begin(), "collect");
    command.insert(command.end(), {"--repo", repo_.str(), data_.str()});
    return velquor(command);
  }
  static std::string golden(const std::string& file) {
    return (fs::path(VELQUOR_SOURCE_DIR) / "tests/collect/golden" / file).string();
  }
  std::vector<Json> events() const {
    std::vector<Json> all;
    for (const auto& file : list_json_files(data_.path() / "events")) all.push_back(read_json_file(file));
    return all;
  }

  PinnedRepository repo_;
  ScratchDir data_;
};

TEST_F(Collecting, TheSameArtefactTwiceAddsNothingWhateverTheTime) {
  Outcome first = collect({"junit", golden("junit-pytest/report.xml")});
  ASSERT_EQ(first.status, 0) << first.err;
  EXPECT_NE(first.out.find("1 new event, 0 already there"), std::string::npos) << first.out;
  const auto files = list_json_files(data_.path() / "events");
  ASSERT_EQ(files.size(), 1u);
  const std::string bytes = read_file(files[0]);

  Outcome again = collect({"junit", golden("junit-pytest/report.xml"), "--at", "2030-01-01T00:00:00Z"});
  EXPECT_EQ(again.status, 0) << again.err;
  EXPECT_NE(again.out.find("0 new events, 1 already there"), std::string::npos) << again.out;
  EXPECT_EQ(read_file(files[0]), bytes);
  // Only event files: every write went through a temporary file renamed in place.
  EXPECT_EQ(std::distance(fs::directory_iterator(data_.path() / "events"), fs::directory_iterator()), 1);

  // A second commit is a second run of the same tests.
  Outcome other_commit = collect({"junit", golden("junit-pytest/report.xml"), "--commit", "HEAD~1"});
  EXPECT_NE(other_commit.out.find("1 new event, 0 already there"), std::string::npos) << other_commit.out;
}

// Like every command that writes a data folder, collect takes turns with the
// others once the folder exists: it is refused, or waits with --wait.
TEST_F(Collecting, AFolderAnotherCommandWritesIsRefusedOrWaitedFor) {
  const std::string report = golden("junit-pytest/report.xml");
  std::optional<guard::DirectoryLock> held;
  held.emplace(data_.path(), "test", 0, [] {});
  Outcome refused = collect({"junit", report});
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(line_count(refused.err), 1u) << refused.err;
  EXPECT_NE(refused.err.find("another velquor command is writing"), std::string::npos) << refused.err;
  EXPECT_FALSE(fs::exists(data_.path() / "events"));

  auto waiting = std::async(std::launch::async, [&] { return collect({"junit", report, "--wait", "60"}); });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  held.reset();
  Outcome waited = waiting.get();
  EXPECT_EQ(waited.status, 0) << waited.err;
  EXPECT_NE(waited.out.find("1 new event"), std::string::npos) << waited.out;
}

TEST_F(Collecting, ALongerReleaseListAddsOnlyTheNewReleases) {
  Json list = read_json_file(golden("releases-list/releases.json"));
  ScratchDir scratch;
  write_json_file(scratch.path() / "releases.json", list);
  ASSERT_EQ(collect({"releases", (scratch.path() / "releases.json").string()}).status, 0);
  list.push_back(Json{{"tag_name", "v1.0.0"}, {"prerelease", false}, {"assets", Json::array()},
                      {"created_at", "2025-02-01T10:00:00Z"}, {"published_at", "2025-02-01T10:00:00Z"}});
  list[0]["assets"][0]["download_count"] = 90;  // downloads change, the release does not
  write_json_file(scratch.path() / "releases.json", list);
  Outcome later = collect({"releases", (scratch.path() / "releases.json").string(), "--commit", "HEAD~1"});
  EXPECT_NE(later.out.find("1 new event, 2 already there"), std::string::npos) << later.out;
}

TEST_F(Collecting, EventsNameTheirCommitAndAMissingCommitIsAnError) {
  const std::string first = repo_.git({"rev-parse", "HEAD~1"}).substr(0, 40);
  ASSERT_EQ(collect({"coverage", golden("lcov-geninfo/app.info"), "--commit", first.substr(0, 9)}).status, 0);
  ASSERT_EQ(collect({"trivy", golden("trivy-report/trivy.json")}).status, 0);
  std::map<std::string, Json> triggers;
  for (const Json& event : events()) triggers[event["source_family"]] = event["payload"]["trigger"];
  EXPECT_EQ(triggers["coverage"], (Json{{"commit_sha", first}, {"commit_message", "Prepare release 1.1.0"}}));
  EXPECT_EQ(triggers["security"], (Json{{"commit_sha", repo_.head()}, {"commit_message", "Add cart handling"}}));

  Outcome unknown = collect({"trivy", golden("trivy-report/trivy.json"), "--commit", "0123456789abcdef"});
  EXPECT_EQ(unknown.status, 1);
  EXPECT_EQ(line_count(unknown.err), 1u) << unknown.err;
  EXPECT_NE(unknown.err.find("no commit '0123456789abcdef'"), std::string::npos) << unknown.err;

  ScratchDir not_a_repository;
  Outcome outside = velquor({"collect", "trivy", golden("trivy-report/trivy.json"), "--repo",
                             not_a_repository.str(), data_.str()});
  EXPECT_EQ(outside.status, 1);
  EXPECT_NE(outside.err.find("not a git repository"), std::string::npos) << outside.err;
  EXPECT_EQ(events().size(), 2u);
}

TEST_F(Collecting, UsageErrorsNameTheOption) {
  const std::string report = golden("junit-pytest/report.xml");
  const std::vector<std::vector<std::string>> cases = {
      {"junit"},
      {"npm", report, report},
      {"junit", report, "--at", "last tuesday"},
      {"junit", report, "--max-commits", "3"},
      {"junit", report, "--status", "success"},
      {"ci", "--system", "jenkins", "--status", "green", "--started", "2025-01-01T00:00:00Z",
       "--completed", "2025-01-01T00:10:00Z"},
      {"ci", "--status", "success", "--started", "2025-01-01T00:00:00Z", "--completed",
       "2025-01-01T00:10:00Z"},
      {"ci"},
      {"git", repo_.str(), "--commit", "HEAD"},
  };
  for (const auto& command : cases) {
    std::vector<std::string> words = {"collect"};
    words.insert(words.end(), command.begin(), command.end());
    words.push_back(data_.str());
    Outcome run = velquor(words);
    EXPECT_EQ(run.status, 2) << command[0] << " " << run.err;
    EXPECT_EQ(line_count(run.err), 1u) << run.err;
  }
  EXPECT_FALSE(fs::exists(data_.path() / "events"));
}

}  // namespace
}  // namespace velquor::collect::testing
