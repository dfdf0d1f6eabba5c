// A throw-away data directory for advisory-engine tests, with helpers that
// write the inputs of the earlier stages into it.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "shared/file_io.h"
#include "shared/json.h"
#include "velquor/esperlin/esperlin.h"

namespace velquor::esperlin::testing {

namespace fs = std::filesystem;

inline constexpr const char* kNow = "2025-04-01T12:00:00Z";

// "<prefix><i>" (built without the "literal" + text form, which draws a
// spurious -Wrestrict warning from GCC 12).
inline std::string numbered(const char* prefix, int i) {
  std::string text = prefix;
  text += std::to_string(i);
  return text;
}

// A signal record as stage 2 writes it.
inline Json signal(const std::string& family, const std::string& metric, const std::string& event_ref,
                   const Json& observed, const Json& measure, const Json& baseline = nullptr) {
  Json base = baseline.is_null() ? Json{{"mean", 10}, {"stddev", 2.0}, {"median", 10}, {"mad", 1.0}} : baseline;
  return Json{{"engine_id", family},
              {"source_type", family},
              {"metric", metric},
              {"window", {{"type", "rolling"}, {"size", 50}}},
              {"baseline", base},
              {"observed", observed},
              {"deviation", {{"measure", measure}, {"unit", "modified_zscore"}, {"degenerate", false}}},
              {"confidence", {{"sample_count", 10}, {"status", "accumulating"}}},
              {"event_ref", event_ref}};
}

inline Json git_event(const std::string& id, const std::string& sha, const std::string& when,
                      const Json& files = Json::array(), const std::string& message = "") {
  return Json{{"event_id", id},
              {"source_family", "version_control"},
              {"source_type", "git"},
              {"observed_at", when},
              {"attestation", {{"commit_hash", sha}}},
              {"payload", {{"commit_hash", sha}, {"message", message}, {"author", "dev"}, {"files", files}}}};
}

inline Json family_event(const std::string& id, const std::string& family, const std::string& when,
                         const Json& payload = Json::object()) {
  return Json{{"event_id", id}, {"source_family", family}, {"source_type", family},
              {"observed_at", when}, {"payload", payload}};
}

class DataDir : public ::testing::Test {
 protected:
  DataDir() {
    static std::atomic<int> counter{0};
    dir = fs::temp_directory_path() /
          ("velquor-esperlin-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
    fs::remove_all(dir);
    fs::create_directories(dir);
    ::setenv("VELQUOR_NOW", kNow, 1);
  }
  ~DataDir() override {
    ::unsetenv("VELQUOR_NOW");
    std::error_code ec;
    fs::remove_all(dir, ec);
  }

  void write(const fs::path& relative, const std::string& content) {
    fs::create_directories((dir / relative).parent_path());
    std::ofstream(dir / relative, std::ios::binary | std::ios::trunc) << content;
  }
  void write_json(const fs::path& relative, const Json& value) { write(relative, dump_pretty(value)); }
  void write_signals(const std::string& family, const Json& signals) {
    write_json(fs::path("phase2") / (family + "_signals.json"), signals);
  }
  void write_event(const Json& event) {
    write_json(fs::path("events") / (event["event_id"].get<std::string>() + ".json"), event);
  }
  std::string output(const std::string& name) { return read_file(dir / "phase5" / name); }
  bool has_output(const std::string& name) { return fs::exists(dir / "phase5" / name); }

  fs::path dir;
};

}  // namespace velquor::esperlin::testing
