// Data directories for the pattern engine's tests: events, signal files and
// explanations written the way stages 1 to 3 write them.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "shared/file_io.h"
#include "shared/json.h"
#include "velquor/dornath/dornath.h"

namespace velquor::dornath::testing {

namespace fs = std::filesystem;

// A fresh directory, removed with everything in it at the end of the test.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "dornath-XXXXXX").string();
    path_ = ::mkdtemp(pattern.data());
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

// Sets an environment variable for the life of the object.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value) ::setenv(name, value, 1);
    else ::unsetenv(name);
  }
  ~ScopedEnv() {
    if (old_) ::setenv(name_.c_str(), old_->c_str(), 1);
    else ::unsetenv(name_.c_str());
  }

 private:
  std::string name_;
  std::optional<std::string> old_;
};

inline Json make_signal(const std::string& family, const std::string& metric, double measure,
                        const std::string& ref, bool degenerate = false) {
  return Json{{"engine_id", family},
              {"source_type", family},
              {"metric", metric},
              {"window", {{"type", "rolling"}, {"size", 50}}},
              {"baseline", {{"mean", 1}, {"stddev", 0.5}, {"median", 1}, {"mad", 0.5}}},
              {"observed", 3},
              {"deviation",
               {{"measure", measure},
                {"unit", degenerate ? "degenerate" : "modified_zscore"},
                {"degenerate", degenerate}}},
              {"confidence", {{"sample_count", 10}, {"status", "accumulating"}}},
              {"event_ref", ref}};
}

inline Json git_event(const std::string& id, const std::string& commit, const std::string& at) {
  return Json{{"event_id", id},
              {"source_family", "version_control"},
              {"source_type", "git"},
              {"observed_at", at},
              {"payload", {{"commit_hash", commit}, {"committed_at", at}}}};
}

// A CI run; an empty `commit` leaves the trigger out.
inline Json ci_event(const std::string& id, const std::string& commit, const std::string& at) {
  Json payload = {{"timing", {{"created_at", at}}}};
  if (!commit.empty()) payload["trigger"] = {{"commit_sha", commit}};
  return Json{{"event_id", id},
              {"source_family", "ci"},
              {"source_type", "github_actions"},
              {"observed_at", at},
              {"payload", payload}};
}

// A data directory with helpers to fill it.
class VelDir : public TempDir {
 public:
  void add_event(const Json& event) {
    put(path() / "events" / (event["event_id"].get<std::string>() + ".json"), event);
  }
  void write_signals(const std::string& family, const Json& signals) {
    put(path() / "phase2" / (family + "_signals.json"), signals);
  }
  void write_explanations(const Json& records) {
    put(path() / "phase3" / "explanations.json", records);
  }

 private:
  // A plain write: tests write many small files, and the atomic writer's
  // flush to disk would make them slow.
  static void put(const fs::path& file, const Json& value) {
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << dump_pretty(value);
  }
};

// "2024-05-DDT10:00:00Z" for day 1..28 of May 2024.
inline std::string day_time(int day, const char* clock = "10:00:00") {
  char buf[32];
  std::snprintf(buf, sizeof buf, "2024-05-%02dT%sZ", day, clock);
  return buf;
}

}  // namespace velquor::dornath::testing
