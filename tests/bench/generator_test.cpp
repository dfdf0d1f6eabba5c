// The synthetic history generator: deterministic, and holding the awkward
// cases the benchmarks and other engines' tests rely on.
#include <gtest/gtest.h>

#include <unistd.h>

#include <map>

#include "bench/generate.h"
#include "shared/file_io.h"
#include "shared/hash.h"

namespace velquor::bench {
namespace {

namespace fs = std::filesystem;

class TempDir {
 public:
  explicit TempDir(const std::string& name)
      : path_(fs::temp_directory_path() / ("velquor-gen-" + std::to_string(::getpid()) + "-" + name)) {
    fs::remove_all(path_);
  }
  ~TempDir() { fs::remove_all(path_); }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

std::map<std::string, std::string> contents(const fs::path& dir) {
  std::map<std::string, std::string> files;
  for (const fs::path& file : list_json_files(dir / "events")) files[file.filename()] = read_file(file);
  return files;
}

TEST(Generator, SameSeedSameBytes) {
  TempDir a("a"), b("b"), c("c");
  EXPECT_EQ(generate_events(a.path(), {400, 5}), 400u);
  generate_events(b.path(), {400, 5});
  generate_events(c.path(), {400, 6});
  EXPECT_EQ(contents(a.path()).size(), 400u);
  EXPECT_EQ(contents(a.path()), contents(b.path()));
  EXPECT_NE(contents(a.path()), contents(c.path()));
}

// Other benchmarks and tests compare against histories generated earlier:
// new options must leave the default bytes alone.
TEST(Generator, DefaultBytesArePinnedAndADriftChangesThem) {
  TempDir plain("plain"), drifted("drifted");
  generate_events(plain.path(), {400, 1});
  std::string all;
  for (const auto& [name, text] : contents(plain.path())) all += name + "\n" + text + "\n";
  EXPECT_EQ(sha256_hex(all), "dd169c056f2ae6940dacd1f9df44cdc0641318d627cd7ef71288b53e92161222");
  GeneratorOptions drift{400, 1};
  drift.drift_commit = 100;
  generate_events(drifted.path(), drift);
  EXPECT_NE(contents(plain.path()), contents(drifted.path()));
}

TEST(Generator, HistoryHoldsTheAwkwardCases) {
  TempDir dir("cases");
  generate_events(dir.path(), {3000, 1});
  std::map<std::string, int> families, stamps;
  bool merge = false, non_ascii = false, wide = false;
  for (const fs::path& file : list_json_files(dir.path() / "events")) {
    Json event = read_json_file(file, NonFinite::kReject);
    ++stamps[event["observed_at"].get<std::string>()];
    if (event["source_type"] == "git") {
      ++families["git"];
      const Json& payload = event["payload"];
      ASSERT_EQ(payload["commit_hash"], event["attestation"]["commit_hash"]);
      for (const char* member : {"message", "author", "committed_at", "authored_at", "files"})
        ASSERT_TRUE(payload.contains(member)) << member;
      merge |= payload["files"].empty();
      wide |= payload["files"].size() > 30;
      for (const Json& path : payload["files"])
        non_ascii |= std::any_of(path.get<std::string>().begin(), path.get<std::string>().end(),
                                 [](char c) { return static_cast<unsigned char>(c) >= 0x80; });
    } else {
      ++families[event["source_family"].get<std::string>()];
      ASSERT_TRUE(event["payload"]["trigger"].contains("commit_sha"));
      ASSERT_TRUE(event["payload"]["trigger"].contains("commit_message"));
    }
  }
  EXPECT_EQ(families.size(), 10u);
  EXPECT_TRUE(merge);
  EXPECT_TRUE(wide);
  EXPECT_TRUE(non_ascii);
  EXPECT_TRUE(std::any_of(stamps.begin(), stamps.end(), [](const auto& s) { return s.second > 1; }));
}

}  // namespace
}  // namespace velquor::bench
