// Temporary data directories with event files, for the engine tests.
#pragma once

#include <filesystem>
#include <string>

#include "shared/json.h"
#include "velquor/brevalt/brevalt.h"

namespace velquor::brevalt::testing {

namespace fs = std::filesystem;

// A fresh data directory under the system's temporary folder, removed when
// the object goes away.
class DataDir {
 public:
  DataDir();
  ~DataDir();
  DataDir(const DataDir&) = delete;
  DataDir& operator=(const DataDir&) = delete;

  const fs::path& path() const { return path_; }
  fs::path events() const { return path_ / "events"; }
  // Writes events/<name> with the given text.
  void write_text(const std::string& name, const std::string& text) const;
  void write_event(const std::string& name, const Json& event) const;
  std::string read_signals(const std::string& family) const;  // phase2/<family>_signals.json

 private:
  fs::path path_;
};

// An event of a payload family with the given payload.
Json payload_event(const std::string& family, const std::string& id, const std::string& observed_at,
                   const Json& payload);
// A git event touching `files`.
Json git_event(const std::string& id, const std::string& observed_at, const Json& files);

std::vector<SampleValue> integers(std::initializer_list<long long> values);

}  // namespace velquor::brevalt::testing
