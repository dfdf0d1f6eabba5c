#include "tests/brevalt/test_support.h"

#include <atomic>
#include <fstream>

#include <unistd.h>

#include "shared/file_io.h"

namespace velquor::brevalt::testing {

DataDir::DataDir() {
  static std::atomic<int> counter{0};
  path_ = fs::temp_directory_path() /
          ("brevalt-test-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
  fs::remove_all(path_);
  fs::create_directories(events());
}

DataDir::~DataDir() {
  std::error_code ec;
  fs::remove_all(path_, ec);
}

void DataDir::write_text(const std::string& name, const std::string& text) const {
  std::ofstream(events() / name, std::ios::binary) << text;
}

void DataDir::write_event(const std::string& name, const Json& event) const {
  write_text(name, dump_pretty(event));
}

std::string DataDir::read_signals(const std::string& family) const {
  return read_file(path_ / "phase2" / (family + "_signals.json"));
}

Json payload_event(const std::string& family, const std::string& id, const std::string& observed_at,
                   const Json& payload) {
  return Json{{"event_id", id}, {"source_family", family}, {"observed_at", observed_at},
              {"payload", payload}};
}

Json git_event(const std::string& id, const std::string& observed_at, const Json& files) {
  return Json{{"event_id", id}, {"source_family", "version_control"}, {"source_type", "git"},
              {"observed_at", observed_at}, {"payload", {{"files", files}}}};
}

std::vector<SampleValue> integers(std::initializer_list<long long> values) {
  std::vector<SampleValue> out;
  for (long long v : values) out.push_back(SampleValue::integer(v));
  return out;
}

}  // namespace velquor::brevalt::testing
