#include "bench/generate.h"

#include <algorithm>
#include <cmath>
#include <ctime>
#include <deque>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "shared/errors.h"
#include "shared/file_io.h"
#include "shared/hash.h"
#include "shared/json.h"
#include "shared/splitmix.h"

namespace velquor::bench {
namespace {

namespace fs = std::filesystem;

const std::vector<std::string> kTopLevel = {"src", "tests", "docs", "lib", "api", "infra",
                                            "scripts", "web", "café", "データ", "ünïcode-tools"};
const std::vector<std::string> kRootFiles = {"README.md", "setup.py", "Makefile", "CHANGELOG.md",
                                             "pyproject.toml", "LICENSE"};
const std::vector<std::string> kAuthors = {"Ana Núñez <ana@example.org>", "Bo Chen <bo@example.org>",
                                           "Chidi Okafor <chidi@example.org>",
                                           "Dörte Müller <doerte@example.org>", "Eve Park <eve@example.org>"};
const std::vector<std::string> kVerbs = {"Fix", "Add", "Refactor", "Update", "Remove", "Tune"};
const std::vector<std::string> kTopics = {"naïve date parsing", "retry logic", "日本語 docs", "CI cache",
                                          "login flow", "schema validation", "memory leak",
                                          "flaky test", "release notes", "config loader"};

std::string iso(int64_t seconds, int offset_minutes = 0) {
  time_t t = static_cast<time_t>(seconds + offset_minutes * 60);
  std::tm tm{};
  gmtime_r(&t, &tm);
  char text[40];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &tm);
  std::string out = text;
  if (offset_minutes == 0) return out + "Z";
  char offset[16];
  std::snprintf(offset, sizeof offset, "%c%02d:%02d", offset_minutes < 0 ? '-' : '+',
                std::abs(offset_minutes) / 60, std::abs(offset_minutes) % 60);
  return out + offset;
}

class History {
 public:
  History(const fs::path& events_dir, const GeneratorOptions& options)
      : dir_(events_dir), options_(options), rng_(options.seed) {
    for (int i = 0; i < 400; ++i) files_.push_back(new_path());
  }

  size_t run() {
    while (written_ < options_.event_count) commit();
    return written_;
  }

 private:
  // ---- random helpers
  double uniform(double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(rng_); }
  int64_t between(int64_t lo, int64_t hi) { return std::uniform_int_distribution<int64_t>(lo, hi)(rng_); }
  bool chance(double p) { return uniform(0, 1) < p; }
  template <class T>
  const T& pick(const std::vector<T>& items) { return items[between(0, static_cast<int64_t>(items.size()) - 1)]; }
  // A positive value around `typical`, now and then an outlier.
  double around(double typical, double spread) {
    double v = std::max(0.0, std::normal_distribution<double>(typical, spread)(rng_));
    return chance(0.02) ? v * uniform(3, 8) : v;
  }
  double one_decimal(double v) { return std::round(v * 10) / 10; }
  Json count(double typical, double spread) { return Json(static_cast<int64_t>(std::llround(around(typical, spread)))); }

  std::string new_path() {
    if (chance(0.03)) return pick(kRootFiles);
    std::string top = pick(kTopLevel);
    std::string sub = "m" + std::to_string(between(0, 6));
    if (top == "café" || top == "データ") sub = chance(0.5) ? "résumé" : "模块";
    return top + "/" + sub + "/f" + std::to_string(between(0, 9999)) + (chance(0.7) ? ".py" : ".md");
  }

  std::vector<std::string> commit_files() {
    double r = uniform(0, 1);
    int64_t n = r < 0.7 ? between(1, 4) : r < 0.9 ? between(5, 12) : r < 0.97 ? between(13, 30) : between(31, 80);
    if (drifting()) n *= 2;
    std::vector<std::string> chosen;
    std::string focus = pick(kTopLevel);
    for (int64_t i = 0; i < n; ++i) {
      if (chance(0.05)) files_.push_back(new_path());
      std::string path = !recent_.empty() && chance(0.5)
                             ? recent_[between(0, static_cast<int64_t>(recent_.size()) - 1)]
                             : pick(files_);
      // Commits stay mostly in one area until the drift spreads them.
      if (!drifting() && chance(0.6) && path.rfind(focus, 0) != 0) continue;
      chosen.push_back(path);
    }
    if (chosen.empty()) chosen.push_back(pick(files_));
    if (chance(0.05)) chosen.push_back(chosen.front());  // a path listed twice
    for (const std::string& path : chosen) {
      recent_.push_back(path);
      if (recent_.size() > 40) recent_.pop_front();
    }
    return chosen;
  }

  bool drifting() const { return options_.drift_commit > 0 && commits_ >= options_.drift_commit; }

  // ---- events
  void commit() {
    if (!chance(0.05)) clock_ += between(5, 600) * 60;  // else: same time as the previous commit
    ++commits_;
    const std::string sha = sha256_hex("commit:" + std::to_string(options_.seed) + ":" + std::to_string(commits_)).substr(0, 40);
    const bool merge = chance(0.06);
    const std::string message = merge ? "Merge branch 'feature/" + std::to_string(commits_ % 97) + "'"
                                      : pick(kVerbs) + " " + pick(kTopics);
    Json files = Json::array();
    if (!merge)
      for (const std::string& path : commit_files()) files.push_back(path);
    int offset = chance(0.3) ? 120 : 0;
    Json payload = {{"commit_hash", sha},        {"message", message},
                    {"author", pick(kAuthors)},  {"committed_at", iso(clock_, offset)},
                    {"authored_at", iso(clock_ - between(0, 3600), offset)},
                    {"files", files},            {"parents", merge ? 2 : 1}};
    write({{"event_id", "git-" + sha.substr(0, 12)},
           {"source_family", "version_control"},
           {"source_type", "git"},
           {"observed_at", iso(clock_)},
           {"payload", payload},
           {"attestation", {{"commit_hash", sha}}}});
    if (merge) return;
    Json trigger = {{"commit_sha", sha}, {"commit_message", message}};
    const std::string ci_time = iso(clock_ + 300);  // CI and tests share a time stamp
    if (chance(0.6)) ci(trigger, ci_time);
    if (chance(0.45)) testing(trigger, ci_time, sha);
    if (chance(0.25)) triggered("coverage", "coverage_xml", trigger, 600,
                                {{"line_rate", std::round(around(0.82, 0.03) * 1e4) / 1e4},
                                 {"branch_rate", std::round(around(0.71, 0.04) * 1e4) / 1e4}});
    if (chance(0.12)) dependency(trigger);
    if (chance(0.10)) schema(trigger);
    if (chance(0.06)) deployment(trigger);
    if (chance(0.10)) triggered("config", "terraform", trigger, 900,
                                {{"structure", {{"resource_count", count(140, 10)}, {"resource_types", count(18, 2)}}},
                                 {"diff", {{"resources_added", count(1, 1)}, {"resources_removed", count(0.5, 0.7)},
                                           {"resources_modified", count(2, 2)}}}});
    if (chance(0.08)) triggered("error_tracking", "sentry", trigger, 3600,
                                {{"title", "TypeError in ünïcode handler"},
                                 {"stats", {{"event_count", count(40, 20)}, {"user_count", count(8, 5)}}},
                                 {"is_unhandled", chance(0.3)}});
    if (chance(0.08)) security(trigger);
  }

  void ci(const Json& trigger, const std::string& time) {
    const double slowdown = drifting() ? 1.8 : 1.0;
    Json duration = chance(0.2) ? Json(static_cast<int64_t>(around(300 * slowdown, 40 * slowdown)))
                                : Json(one_decimal(around(300 * slowdown, 40 * slowdown)));
    bool failed = chance(drifting() ? 0.3 : 0.1);
    Json payload = {{"trigger", trigger}, {"workflow", "build"}, {"status", "completed"},
                    {"timing", {{"created_at", time}, {"started_at", time}, {"duration_seconds", duration}}}};
    if (!chance(0.05)) payload["conclusion"] = failed ? "failure" : "success";
    emit("ci", "github_actions", time, payload);
  }

  void testing(const Json& trigger, const std::string& time, const std::string& sha) {
    int64_t total = 800 + commits_ / 50 + between(-5, 5);
    int64_t failed = chance(drifting() ? 0.55 : 0.85) ? 0 : between(1, 12);
    Json cases = Json::array();
    for (int64_t i = 0; i < failed; ++i)
      cases.push_back({{"name", "tests/test_" + sha.substr(i, 4) + ".py::test_case"}, {"status", chance(0.8) ? "failed" : "errored"}});
    cases.push_back({{"name", "tests/test_smoke.py::test_ok"}, {"status", "passed"}});
    emit("testing", "junit_xml", time,
         {{"trigger", trigger},
          {"summary", {{"total", total}, {"passed", total - failed}, {"failed", failed}, {"skipped", count(6, 2)}}},
          {"execution", {{"duration_seconds", one_decimal(around(95, 10))}}},
          {"cases", cases}});
  }

  void dependency(const Json& trigger) {
    static const std::vector<std::string> ecosystems = {"pip", "pip", "npm", "go", "cargo"};
    Json deps = Json::array();
    for (int i = 0; i < 4; ++i)
      deps.push_back({{"name", "pkg" + std::to_string(between(0, 60))}, {"version", "1." + std::to_string(between(0, 20))}, {"direct", chance(0.5)}});
    Json snapshot = {{"total_count", count(drifting() ? 165 : 120, 8)}};
    if (chance(0.8)) snapshot["max_depth"] = count(6, 1);
    const std::string ecosystem = pick(ecosystems);
    triggered("dependency", ecosystem, trigger, 60,
              {{"ecosystem", ecosystem}, {"snapshot", snapshot}, {"dependencies", deps}});
  }

  void schema(const Json& trigger) {
    triggered("schema", "openapi", trigger, 120,
              {{"structure", {{"endpoint_count", count(40, 2)}, {"type_count", count(25, 2)}, {"field_count", count(300, 15)}}},
               {"diff", {{"endpoints_added", count(0.5, 0.7)}, {"fields_added", count(2, 2)}, {"fields_removed", count(0.5, 0.7)}}}});
  }

  void deployment(const Json& trigger) {
    Json payload = {{"tag", "v1." + std::to_string(releases_)}, {"is_prerelease", chance(0.2)},
                    {"asset_count", count(3, 1)}};
    if (!chance(0.05)) {
      Json timing = {{"initiated_at", iso(clock_ + 1800)}, {"completed_at", iso(clock_ + 2400)}};
      if (last_release_ > 0) timing["since_previous_seconds"] = clock_ - last_release_;
      payload["timing"] = timing;
    }
    last_release_ = clock_;
    ++releases_;
    triggered("deployment", "github_releases", trigger, 1800, payload);
  }

  void security(const Json& trigger) {
    static const std::vector<std::string> severities = {"critical", "high", "medium", "low"};
    Json findings = Json::array();
    int64_t n = drifting() ? between(4, 12) : between(0, 6);
    int64_t critical = 0;
    for (int64_t i = 0; i < n; ++i) {
      std::string severity = pick(severities);
      critical += severity == "critical";
      Json finding = {{"id", "CVE-2024-" + std::to_string(between(1000, 9999))}, {"severity", severity},
                      {"package", "pkg" + std::to_string(between(0, 60))}};
      if (chance(0.6)) finding["fixed_version"] = "2." + std::to_string(between(0, 9));
      findings.push_back(finding);
    }
    triggered("security", "trivy", trigger, 1200,
              {{"summary", {{"total", n}, {"critical", critical}}}, {"findings", findings}});
  }

  // An event of `family` some seconds after the commit.
  void triggered(const std::string& family, const std::string& source_type, const Json& trigger,
                 int64_t delay, Json payload) {
    payload["trigger"] = trigger;
    emit(family, source_type, iso(clock_ + delay), payload);
  }

  void emit(const std::string& family, const std::string& source_type, const std::string& time,
            const Json& payload) {
    char id[64];
    std::snprintf(id, sizeof id, "%s-%07zu", family.c_str(), written_);
    write({{"event_id", id}, {"source_family", family}, {"source_type", source_type},
           {"observed_at", time}, {"payload", payload}});
  }

  void write(const Json& event) {
    if (written_ >= options_.event_count) return;
    // Half the files escape non-ASCII text, half carry raw UTF-8.
    std::string text = written_ % 2 ? dump_pretty(event) : event.dump(2);
    fs::path path = dir_ / (event["event_id"].get<std::string>() + ".json");
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out) throw IoError(path.string() + ": cannot be written");
    ++written_;
  }

  fs::path dir_;
  GeneratorOptions options_;
  std::mt19937_64 rng_;
  std::vector<std::string> files_;
  std::deque<std::string> recent_;
  int64_t clock_ = 1704067200;  // 2024-01-01T00:00:00Z
  int64_t commits_ = 0;
  int64_t releases_ = 0;
  int64_t last_release_ = 0;
  size_t written_ = 0;
};

}  // namespace

size_t generate_events(const fs::path& vel_dir, const GeneratorOptions& options) {
  fs::path events = vel_dir / "events";
  fs::create_directories(events);
  return History(events, options).run();
}

void write_huge_test_event(const fs::path& file, size_t case_count, const std::string& commit_sha,
                           const std::string& observed_at) {
  AtomicFile out(file);
  std::string text = R"({"event_id": "testing-huge", "source_family": "testing", )"
                     R"("source_type": "junit_xml", "observed_at": )";
  append_json_string(text, observed_at);
  text += R"(, "payload": {"trigger": {"commit_sha": )";
  append_json_string(text, commit_sha);
  text += R"(}, "cases": [)";
  SplitMix64 random(13);
  size_t failed = 0, skipped = 0;
  double seconds = 0;
  for (size_t i = 0; i < case_count; ++i) {
    const uint64_t draw = random.next();
    const char* status = draw % 100 == 0 ? "failed" : draw % 100 < 4 ? "skipped" : "passed";
    failed += draw % 100 == 0;
    skipped += draw % 100 != 0 && draw % 100 < 4;
    const int millis = static_cast<int>(draw >> 40) % 2000;
    seconds += millis / 1000.0;
    char item[256];
    const int module = static_cast<int>(i / 200);
    std::snprintf(item, sizeof item,
                  R"(%s{"name": "tests/pkg_%03d/test_mod_%04d.py::test_case_%07zu", )"
                  R"("classname": "tests.pkg_%03d.test_mod_%04d", "status": "%s", "duration": %d.%03d%s})",
                  i ? ", " : "", module / 100, module, i, module / 100, module, status, millis / 1000,
                  millis % 1000,
                  draw % 100 == 0 ? R"(, "message": "AssertionError: expected 200, got 500")" : "");
    text += item;
    if (text.size() > (size_t{1} << 20)) {
      out.append(text);
      text.clear();
    }
  }
  char tail[256];
  std::snprintf(tail, sizeof tail,
                R"(], "summary": {"total": %zu, "passed": %zu, "failed": %zu, "skipped": %zu}, )"
                R"("execution": {"duration_seconds": %.1f}}})",
                case_count, case_count - failed - skipped, failed, skipped, seconds);
  text += tail;
  out.append(text);
  out.commit();
}

}  // namespace velquor::bench
