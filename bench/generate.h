// Deterministic synthetic development histories for benchmarks and tests.
//
// generate_events writes `event_count` event files into `vel_dir`/events:
// a stream of commits, each a git event, followed by events of the other
// nine families that the commit triggered (CI runs, test runs, coverage,
// dependency snapshots, schemas, releases, infrastructure configuration,
// error reports, security scans), each naming the commit in
// payload.trigger.commit_sha. Git events carry event_id, source_family
// "version_control", source_type "git", observed_at and a payload with
// commit_hash, message, author, committed_at, authored_at and files, plus
// attestation.commit_hash.
//
// The history is meant to exercise real-world awkwardness: non-ASCII paths,
// equal time stamps, merges without files, commits above the co-change file
// limit, integer and real values, conditional members, outliers. Half of the
// files are written with \u escapes and half with raw UTF-8. The same seed
// and count give the same bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

namespace velquor::bench {

// With a drift commit, the history changes for good from that commit on:
// commits touch about twice as many files and spread over the whole tree
// instead of one area, builds take 1.8 times as long and fail three times
// as often, test runs fail about three times as often, dependency
// snapshots jump from about 120 to 165 packages and security scans from
// 0-6 to 4-12 findings. Coverage, schemas, releases, configuration and
// error reports keep their level. Without one (0) the output is the same
// as before drifts existed.
struct GeneratorOptions {
  size_t event_count = 1000;
  uint64_t seed = 1;
  int64_t drift_commit = 0;  // 1-based commit number; 0: no drift
};

// Creates `vel_dir`/events (with parents) and writes the events; existing
// files of the same names are replaced. Returns the number written.
size_t generate_events(const std::filesystem::path& vel_dir, const GeneratorOptions& options);

// One very large test run: a testing event (source_type junit_xml) whose
// payload holds `case_count` cases (name, classname, status, duration, and a
// message for failures), a summary whose totals agree with them, the
// execution time and a trigger naming `commit_sha`. Written piece by piece
// to `file` (about 140 bytes a case), never built in memory.
void write_huge_test_event(const std::filesystem::path& file, size_t case_count,
                           const std::string& commit_sha, const std::string& observed_at);

}  // namespace velquor::bench
