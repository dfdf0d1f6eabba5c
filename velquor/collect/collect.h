// Collectors: the artefacts a CI job already has, turned into events.
//
// One collector per kind of artefact. Each reads its files, checks that they
// are the kind of document it expects, and makes events with exactly the
// payload members the engines read (examples/events/ shows one per family):
//
//   kind       reads                                         family (source_type)
//   junit      JUnit XML, several files are one test run     testing (junit_xml)
//   coverage   Cobertura XML or LCOV tracefiles              coverage (cobertura | lcov)
//   ci         a workflow run of the hosting service's REST  ci (github_actions, or --system)
//              API (+ its jobs), or the run given as flags
//   npm        package-lock.json, lockfile versions 1 to 3   dependency (npm)
//   pip        requirements / freeze text (+ a dependency    dependency (pip)
//              tree JSON for the depth)
//   openapi    an OpenAPI 3 or Swagger 2 document, JSON or   schema (openapi)
//              YAML, diffed against the previous one in DIR
//   terraform  the JSON of a plan                            config (terraform)
//   trivy      a vulnerability scanner's JSON report         security (trivy)
//   releases   the hosting service's list of releases        deployment (github_releases)
//   errors     an error tracker's export of issues           error_tracking (sentry)
//
// Every event names its commit in payload.trigger (commit_sha and the first
// line of its message): the commit given, or HEAD of the repository, looked up
// with git so that a short or symbolic name becomes the full hash the git
// events carry. A revision git does not know is an error. (A release is tied
// to the commit of its tag when the repository has the tag.)
//
// observed_at is the artefact's own time where it has one (converted to UTC),
// else the time given, else now() of shared/clock.h.
//
// Identity: an event's id, and its file name DIR/events/<id>.json, come from
// its kind, its commit and the digest of what it was made from, so collecting
// the same artefact again writes nothing and counts it as already there.
// Nothing is written unless every artefact was read and understood: faulty
// input raises an Error whose one-line message names the file and what is
// wrong. Each event file is written atomically.
#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace velquor::collect {

namespace fs = std::filesystem;

struct Kind {
  std::string_view name;         // "junit"
  std::string_view reads;        // one line for the help text
  size_t min_files, max_files;   // how many FILE arguments it takes
};

// The kinds in the order of the table above.
std::span<const Kind> kinds();

// The kind called `name`, or nullptr.
const Kind* find_kind(std::string_view name);

// A CI run described on the command line, for CI systems without an API
// document: its system ("jenkins"), outcome, start and end (ISO-8601).
struct CiRunFlags {
  std::string system;
  std::string status;  // success | failure | cancelled, or a synonym
  std::string started;
  std::string completed;
  std::string workflow;  // may be empty
};

// The outcomes --status accepts, and the conclusion each stands for
// ("failed" -> "failure"); nullopt for any other text.
std::optional<std::string> ci_conclusion_of(std::string_view status);

struct Request {
  std::string kind;
  std::vector<fs::path> files;
  fs::path repo = ".";                  // where commits are looked up
  std::string revision = "HEAD";        // the commit of the events
  std::optional<std::string> at;        // ISO-8601, when the artefact has no time
  std::optional<CiRunFlags> ci_run;     // ci without a file
};

struct Result {
  size_t written = 0;
  size_t already_there = 0;
  fs::path events_dir;
};

// Reads the artefacts of `request`, makes their events and writes the new
// ones into data_dir/events (created when needed). Throws an Error naming
// the file on faulty input, before anything is written.
Result collect(const Request& request, const fs::path& data_dir);

}  // namespace velquor::collect
