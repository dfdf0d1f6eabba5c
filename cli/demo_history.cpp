#include "cli/demo_history.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <set>

#include "shared/clock.h"
#include "shared/hash.h"
#include "shared/splitmix.h"

namespace velquor::cli {
namespace {

// Seeded, so the demo history is the same on every machine.
class Random : public SplitMix64 {
 public:
  using SplitMix64::SplitMix64;
  double uniform() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }
  int between(int low, int high) {
    return low + static_cast<int>(next() % static_cast<uint64_t>(high - low + 1));
  }
  bool chance(double p) { return uniform() < p; }
  // Roughly standard normal: the Irwin-Hall sum of four uniforms, rescaled.
  double normal() {
    double sum = uniform() + uniform() + uniform() + uniform();
    return (sum - 2.0) * 1.7320508075688772;
  }
  template <typename T>
  const T& pick(const std::vector<T>& items) {
    return items[next() % items.size()];
  }
};

constexpr int64_t kStart = 1736154000;  // 2025-01-06T09:00:00Z, a Monday morning

double round_to(double value, int decimals) {
  double scale = std::pow(10.0, decimals);
  return std::round(value * scale) / scale;
}

std::string at(int64_t unix_seconds) {
  return format_timestamp(TimePoint(std::chrono::seconds(unix_seconds)));
}

// ---------------------------------------------------------------- project

struct Area {
  std::string name;
  std::vector<std::string> sources;
  std::vector<std::string> tests;
};

const std::vector<Area>& areas() {
  static const std::vector<Area> kAreas = {
      {"orders",
       {"src/api/orders.ts", "src/core/pricing.ts", "src/storage/orders_repo.ts"},
       {"tests/api/orders.test.ts", "tests/core/pricing.test.ts"}},
      {"cart",
       {"src/api/cart.ts", "src/core/cart.ts", "src/web/CartView.tsx"},
       {"tests/api/cart.test.ts", "tests/web/CartView.test.tsx"}},
      {"users",
       {"src/api/users.ts", "src/core/auth.ts", "src/storage/users_repo.ts"},
       {"tests/api/users.test.ts", "tests/core/auth.test.ts"}},
      {"search",
       {"src/api/search.ts", "src/core/ranking.ts", "src/storage/search_index.ts"},
       {"tests/api/search.test.ts", "tests/core/ranking.test.ts"}},
      {"payments",
       {"src/api/payments.ts", "src/core/ledger.ts", "src/storage/payments_repo.ts"},
       {"tests/api/payments.test.ts", "tests/core/ledger.test.ts"}},
  };
  return kAreas;
}

const std::vector<std::string> kDocs = {"docs/api.md", "docs/architecture.md",
                                        "docs/gu\xc3\xad" "a-de-estilo.md", "README.md"};
const std::vector<std::string> kAuthors = {"Ana Lima", "Jos\xc3\xa9 Mart\xc3\xadnez",
                                           "Priya Natarajan", "Tom Becker"};
const std::vector<std::string> kVerbs = {"Add", "Fix", "Refine", "Simplify", "Speed up",
                                         "Handle errors in", "Validate input in"};
const std::vector<std::string> kPackages = {"checkout", "catalog", "accounts"};

enum class Kind { kFeature, kLarge, kDependencies, kSchema, kRelease, kInfra, kRestructure };

struct Commit {
  int index = 0;
  bool drifting = false;
  Kind kind = Kind::kFeature;
  std::string hash;
  std::string message;
  std::string author;
  int64_t time = 0;
  std::vector<std::string> files;
};

void add_file(Commit& commit, const std::string& path) {
  if (std::find(commit.files.begin(), commit.files.end(), path) == commit.files.end())
    commit.files.push_back(path);
}

void touch_area(Commit& commit, Random& random, const Area& area, int sources) {
  for (int i = 0; i < sources; ++i) add_file(commit, random.pick(area.sources));
  add_file(commit, random.pick(area.tests));
}

// The files and the message of one commit, by kind.
void shape_commit(Commit& commit, Random& random) {
  const Area& area = random.pick(areas());
  switch (commit.kind) {
    case Kind::kFeature:
      touch_area(commit, random, area, random.between(1, 3));
      if (random.chance(0.2)) add_file(commit, random.pick(kDocs));
      commit.message = random.pick(kVerbs) + " " + area.name + " handling";
      break;
    case Kind::kLarge:
      for (const Area& other : areas()) touch_area(commit, random, other, random.between(1, 3));
      add_file(commit, random.pick(kDocs));
      add_file(commit, "src/core/events.ts");
      commit.message = "Rework " + area.name + " flow across services";
      break;
    case Kind::kDependencies:
      add_file(commit, "package.json");
      add_file(commit, "package-lock.json");
      commit.message = commit.drifting ? "Add next, prisma, lodash and axios for the new packages"
                                       : "Bump dependencies";
      break;
    case Kind::kSchema:
      add_file(commit, "api/openapi.yaml");
      touch_area(commit, random, area, 1);
      commit.message = commit.drifting ? "Remove the legacy endpoints from the public API"
                                       : "Extend " + area.name + " API";
      break;
    case Kind::kRelease:
      add_file(commit, "CHANGELOG.md");
      add_file(commit, "package.json");
      commit.message = "Prepare release";
      break;
    case Kind::kInfra:
      add_file(commit, "infra/main.tf");
      if (random.chance(0.6)) add_file(commit, "infra/database.tf");
      commit.message = commit.drifting ? "Provision services for the new packages"
                                       : "Tune infrastructure";
      break;
    case Kind::kRestructure: {
      const std::string& package = random.pick(kPackages);
      int count = random.between(18, 34);
      for (int i = 0; i < count; ++i) {
        add_file(commit, "packages/" + package + "/src/module_" +
                             std::to_string(commit.index * 7 + i) + ".ts");
      }
      for (const Area& other : areas()) touch_area(commit, random, other, 1);
      add_file(commit, "scripts/migrate_" + package + ".sh");
      add_file(commit, "infra/main.tf");
      commit.message = "Move " + package + " into its own package";
      break;
    }
  }
}

// ----------------------------------------------------------------- events

struct History {
  std::vector<DemoEvent> events;
  Random random{20250106};
};

std::string numbered(int index, const std::string& suffix) {
  char text[16];
  std::snprintf(text, sizeof text, "%05d", index);
  return text + std::string("-") + suffix + ".json";
}

Json trigger_of(const Commit& commit) {
  return Json{{"commit_sha", commit.hash},
              {"commit_message", commit.message.substr(0, commit.message.find('\n'))}};
}

Json base_event(const std::string& id, const std::string& family, const std::string& type,
                int64_t observed) {
  Json event = Json::object();
  event["event_id"] = id;
  event["source_family"] = family;
  event["source_type"] = type;
  event["observed_at"] = at(observed);
  return event;
}

void add(History& history, int index, const std::string& suffix, Json event) {
  history.events.push_back({numbered(index, suffix), std::move(event)});
}

void emit_git(History& history, const Commit& commit) {
  Json files = Json::array();
  for (const auto& path : commit.files) files.push_back(path);
  Json event = base_event("git-" + commit.hash, "version_control", "git", commit.time);
  event["payload"] = Json{{"commit_hash", commit.hash},  {"message", commit.message},
                          {"author", commit.author},     {"committed_at", at(commit.time)},
                          {"authored_at", at(commit.time - 600)}, {"files", files}};
  event["attestation"] = Json{{"commit_hash", commit.hash}};
  add(history, commit.index, "git", std::move(event));
}

// The CI run of one commit; returns when it finished.
int64_t emit_ci(History& history, const Commit& commit) {
  Random& random = history.random;
  double duration = 240.0 + 7.0 * static_cast<double>(commit.files.size()) + 12.0 * random.normal();
  if (commit.drifting) duration = duration * 1.9 + 60.0;
  bool failed = random.chance(commit.drifting ? 0.35 : 0.04);
  const int64_t created = commit.time + random.between(30, 90);
  const int64_t started = created + random.between(5, 40);
  const int64_t finished = started + static_cast<int64_t>(duration);
  Json ci = base_event("ci-" + std::to_string(91000 + commit.index), "ci", "github_actions",
                       finished);
  ci["payload"] = Json{{"workflow", "build-and-test"},
                       {"run_number", 1000 + commit.index},
                       {"status", "completed"},
                       {"conclusion", failed ? "failure" : "success"},
                       {"timing", Json{{"created_at", at(created)},
                                       {"started_at", at(started)},
                                       {"duration_seconds", round_to(duration, 1)}}},
                       {"trigger", trigger_of(commit)}};
  add(history, commit.index, "ci", std::move(ci));
  return finished;
}

// The cases that did not pass: failing ones and the first few skipped ones.
Json unpassed_cases(const Commit& commit, int failures, int skipped) {
  Json cases = Json::array();
  for (int i = 0; i < failures; ++i) {
    const Area& area = areas()[static_cast<size_t>(commit.index + i) % areas().size()];
    cases.push_back(Json{{"name", area.tests[0] + "::handles " + area.name + " case " +
                                      std::to_string(i + 1)},
                         {"status", i % 4 == 3 ? "errored" : "failed"}});
  }
  for (int i = 0; i < std::min(skipped, 3); ++i)
    cases.push_back(Json{{"name", "tests/web/e2e.test.ts::flow " + std::to_string(i + 1)},
                         {"status", "skipped"}});
  return cases;
}

void emit_test_run(History& history, const Commit& commit, int64_t when) {
  Random& random = history.random;
  int total = 380 + commit.index / 3 - (commit.drifting ? 30 : 0);
  int failures = commit.drifting ? random.between(4, 12)
                                 : (random.chance(0.1) ? random.between(1, 2) : 0);
  int skipped = commit.drifting ? random.between(22, 34) : random.between(3, 12);
  double suite = 95.0 + 1.8 * static_cast<double>(commit.files.size()) + 5.0 * random.normal();
  if (commit.drifting) suite *= 1.6;
  Json tests = base_event("test-" + std::to_string(commit.index), "testing", "junit_xml", when);
  tests["payload"] = Json{{"summary", Json{{"total", total},
                                           {"passed", total - failures - skipped},
                                           {"failed", failures},
                                           {"skipped", skipped}}},
                          {"execution", Json{{"duration_seconds", round_to(suite, 1)}}},
                          {"cases", unpassed_cases(commit, failures, skipped)},
                          {"trigger", trigger_of(commit)}};
  add(history, commit.index, "testing", std::move(tests));
}

void emit_coverage(History& history, const Commit& commit, int64_t when) {
  Random& random = history.random;
  const double drop = commit.drifting ? 1.0 : 0.0;
  double line = 0.842 - 0.09 * drop + 0.004 * random.normal();
  double branch = 0.713 - 0.08 * drop + 0.005 * random.normal();
  Json coverage = base_event("cov-" + std::to_string(commit.index), "coverage", "cobertura", when);
  coverage["payload"] = Json{{"line_rate", round_to(line, 4)},
                             {"branch_rate", round_to(branch, 4)},
                             {"trigger", trigger_of(commit)}};
  add(history, commit.index, "coverage", std::move(coverage));
}

// CI, test run and coverage report of one commit; returns when CI finished.
int64_t emit_build(History& history, const Commit& commit) {
  const int64_t finished = emit_ci(history, commit);
  emit_test_run(history, commit, finished - 20);
  emit_coverage(history, commit, finished - 10);
  return finished;
}

struct DirectDependency {
  std::string name;
  std::string version;
};

void emit_dependencies(History& history, const Commit& commit, int64_t when, int snapshot) {
  static const std::vector<DirectDependency> kDirect = {
      {"express", "4.19.2"}, {"pg", "8.11.5"},      {"zod", "3.23.8"},
      {"react", "18.3.1"},   {"react-dom", "18.3.1"}, {"pino", "9.1.0"},
      {"dayjs", "1.11.11"},  {"stripe", "15.8.0"},  {"ioredis", "5.4.1"},
      {"jsonwebtoken", "9.0.2"}};
  static const std::vector<DirectDependency> kAdded = {
      {"next", "14.2.3"}, {"prisma", "5.14.0"}, {"lodash", "4.17.20"}, {"axios", "0.21.1"}};
  Random& random = history.random;
  Json direct = Json::array();
  for (const auto& dep : kDirect)
    direct.push_back(Json{{"name", dep.name}, {"version", dep.version}, {"direct", true}});
  int total = 182 + snapshot * 2 + random.between(0, 3);
  int depth = random.between(6, 7);
  if (commit.drifting) {
    for (const auto& dep : kAdded)
      direct.push_back(Json{{"name", dep.name}, {"version", dep.version}, {"direct", true}});
    total += 85;
    depth = 11;
  }
  Json event = base_event("dep-" + std::to_string(snapshot), "dependency", "npm", when);
  event["payload"] = Json{{"ecosystem", "npm"},
                          {"snapshot", Json{{"total_count", total},
                                            {"direct_count", static_cast<int>(direct.size())},
                                            {"max_depth", depth}}},
                          {"dependencies", direct},
                          {"trigger", trigger_of(commit)}};
  add(history, commit.index, "dependency", std::move(event));
}

void emit_schema(History& history, const Commit& commit, int64_t when, int version) {
  Random& random = history.random;
  int endpoints = 24 + version, types = 31 + version / 2, fields = 212 + 4 * version;
  Json diff = {{"endpoints_added", 1},
               {"endpoints_removed", 0},
               {"fields_added", random.between(2, 6)},
               {"fields_removed", random.between(0, 1)},
               {"types_added", random.between(0, 1)},
               {"types_removed", 0}};
  if (commit.drifting) {
    endpoints -= 14;
    types -= 9;
    fields -= 96;
    diff = {{"endpoints_added", 0}, {"endpoints_removed", 14}, {"fields_added", 2},
            {"fields_removed", 98}, {"types_added", 0},        {"types_removed", 9}};
  }
  Json event = base_event("schema-" + std::to_string(version), "schema", "openapi", when);
  event["payload"] = Json{{"spec_version", "3.1.0"},
                          {"structure", Json{{"endpoint_count", endpoints},
                                             {"type_count", types},
                                             {"field_count", fields}}},
                          {"diff", diff},
                          {"trigger", trigger_of(commit)}};
  add(history, commit.index, "schema", std::move(event));
}

void emit_release(History& history, const Commit& commit, int64_t when, int number,
                  int64_t& previous) {
  Random& random = history.random;
  bool hotfix = commit.drifting;
  std::string tag = "v1." + std::to_string(number) + ".0" + (hotfix ? "-rc.1" : "");
  Json timing = {{"initiated_at", at(when)}, {"completed_at", at(when + random.between(60, 240))}};
  if (previous != 0) timing["since_previous_seconds"] = when - previous;
  previous = when;
  Json event = base_event("rel-" + tag, "deployment", "github_releases", when);
  event["payload"] = Json{{"tag", tag},
                          {"is_prerelease", hotfix},
                          {"asset_count", hotfix ? 1 : random.between(3, 4)},
                          {"timing", timing},
                          {"trigger", trigger_of(commit)}};
  add(history, commit.index, "deployment", std::move(event));
}

void emit_config(History& history, const Commit& commit, int64_t when, int change) {
  Random& random = history.random;
  int resources = 46 + change, types = 12 + change % 2;
  Json diff = {{"resources_added", random.between(0, 2)},
               {"resources_removed", random.between(0, 1)},
               {"resources_modified", random.between(1, 4)}};
  if (commit.drifting) {
    resources += 19;
    types += 4;
    diff = {{"resources_added", 19}, {"resources_removed", 2}, {"resources_modified", 14}};
  }
  Json event = base_event("cfg-" + std::to_string(change), "config", "terraform", when);
  event["payload"] = Json{
      {"structure", Json{{"resource_count", resources}, {"resource_types", types}}},
      {"diff", diff},
      {"trigger", trigger_of(commit)}};
  add(history, commit.index, "config", std::move(event));
}

void emit_scan(History& history, const Commit& commit, int64_t when, int scan) {
  Random& random = history.random;
  struct Finding {
    std::string id, severity, package, fixed;
  };
  std::vector<Finding> findings = {{"CVE-2024-29041", "medium", "express", "4.19.2"},
                                   {"CVE-2024-4068", "low", "braces", "3.0.3"},
                                   {"GHSA-3h5v-q93c-6h6q", "low", "ws", ""}};
  if (random.chance(0.5)) findings.push_back({"CVE-2024-37890", "medium", "ws", "8.17.1"});
  if (commit.drifting) {
    findings.push_back({"CVE-2021-23337", "critical", "lodash", "4.17.21"});
    findings.push_back({"CVE-2021-3749", "critical", "axios", "0.21.2"});
    findings.push_back({"CVE-2023-45857", "high", "axios", ""});
    findings.push_back({"CVE-2020-28500", "medium", "lodash", ""});
    findings.push_back({"CVE-2024-28849", "medium", "follow-redirects", ""});
  }
  Json list = Json::array();
  int critical = 0, high = 0;
  for (const auto& f : findings) {
    critical += f.severity == "critical";
    high += f.severity == "high";
    list.push_back(Json{{"id", f.id},
                        {"severity", f.severity},
                        {"package", f.package},
                        {"fixed_version", f.fixed}});
  }
  Json event = base_event("sec-" + std::to_string(scan), "security", "trivy", when);
  event["payload"] = Json{{"summary", Json{{"total", static_cast<int>(findings.size())},
                                           {"critical", critical},
                                           {"high", high}}},
                          {"findings", list},
                          {"trigger", trigger_of(commit)}};
  add(history, commit.index, "security", std::move(event));
}

void emit_error(History& history, const Commit& commit, int64_t when, int number) {
  static const std::vector<std::string> kTitles = {
      "TimeoutError: database query exceeded 5000ms",
      "ValidationError: quantity must be positive", "Error: payment provider returned 502",
      "RangeError: page size out of range"};
  Random& random = history.random;
  std::string title = random.pick(kTitles);
  int events = random.between(3, 40), users = random.between(1, 12);
  bool unhandled = random.chance(0.1);
  if (commit.drifting) {
    title = "TypeError: Cannot read properties of undefined (reading 'price')";
    events = random.between(400, 1500);
    users = random.between(150, 600);
    unhandled = true;
  }
  Json event = base_event("err-" + std::to_string(number), "error_tracking", "sentry", when);
  event["payload"] = Json{{"title", title},
                          {"level", "error"},
                          {"stats", Json{{"event_count", events}, {"user_count", users}}},
                          {"is_unhandled", unhandled}};
  add(history, commit.index, "error_tracking-" + std::to_string(number), std::move(event));
}

// `drift_step` counts the commits since the restructuring began (-1 before).
Kind kind_of(int index, int drift_step, Random& random) {
  if (drift_step == 1) return Kind::kDependencies;
  if (drift_step == 2) return Kind::kSchema;
  if (drift_step == 3) return Kind::kInfra;
  if (drift_step >= 0) return index % 3 == 2 ? Kind::kFeature : Kind::kRestructure;
  if (index % 11 == 5) return Kind::kDependencies;
  if (index % 13 == 7) return Kind::kSchema;
  if (index % 17 == 11) return Kind::kRelease;
  if (index % 14 == 3) return Kind::kInfra;
  return random.chance(0.1) ? Kind::kLarge : Kind::kFeature;
}

Commit make_commit(History& history, int index, int64_t time, int drift_step) {
  Commit commit;
  commit.index = index;
  commit.drifting = drift_step >= 0;
  commit.time = time;
  commit.hash = sha256_hex("velquor demo commit " + std::to_string(index)).substr(0, 40);
  commit.author = history.random.pick(kAuthors);
  commit.kind = kind_of(index, drift_step, history.random);
  shape_commit(commit, history.random);
  return commit;
}

}  // namespace

std::vector<DemoEvent> demo_history(int commits) {
  History history;
  Random& random = history.random;
  const int drift_start = commits - std::max(6, commits / 12);
  int64_t time = kStart, previous_release = 0;
  int dependency = 0, schema = 0, release = 0, config = 0, scan = 0, error = 0;
  for (int i = 0; i < commits; ++i) {
    time += 60 * random.between(120, 540) + random.between(0, 59);
    const bool drifting = i >= drift_start;
    Commit commit = make_commit(history, i, time, drifting ? i - drift_start : -1);
    emit_git(history, commit);
    const int64_t built = emit_build(history, commit);
    switch (commit.kind) {
      case Kind::kDependencies: emit_dependencies(history, commit, built, dependency++); break;
      case Kind::kSchema: emit_schema(history, commit, built, schema++); break;
      case Kind::kRelease: emit_release(history, commit, built, release++, previous_release); break;
      case Kind::kInfra: emit_config(history, commit, built, config++); break;
      default: break;
    }
    // Hasty release candidates follow the restructuring.
    if (drifting && i % 2 == 0) emit_release(history, commit, built, release++, previous_release);
    if (i % 9 == 4 || (drifting && i == drift_start + 2)) emit_scan(history, commit, built + 300, scan++);
    if (drifting || random.chance(0.3))
      emit_error(history, commit, built + 60 * random.between(30, 300), error++);
  }
  return std::move(history.events);
}

}  // namespace velquor::cli
