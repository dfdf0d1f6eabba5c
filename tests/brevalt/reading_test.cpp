// The loader builds only the members the family runs read, and hands the
// events it parses to an observer: every reading the runs make is the same
// as on the whole event, and the drivers' files do not change.
#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <random>

#include "bench/generate.h"
#include "shared/errors.h"
#include "shared/file_io.h"
#include "tests/brevalt/test_support.h"
#include "velquor/brevalt/internal.h"

namespace velquor::brevalt {
namespace {

using testing::DataDir;

template <class Read>
std::string outcome(Read read) {
  try {
    return read();
  } catch (const std::exception& e) {
    return std::string("error: ") + e.what();
  }
}

std::string metrics_text(const MetricMap& metrics) {
  std::string out;
  for (const Metric& metric : metrics) out += metric.name + "=" + dump_compact(metric.value) + " ";
  return out;
}

// Everything a family run reads of an event, errors included.
std::string readings(const Json& event) {
  std::string out;
  for (size_t f = 0; f < families().size(); ++f) {
    if (!selecting_families(event).test(f)) continue;
    const bool git = f == kGitFamily;
    out += std::string(families()[f].name) + ": " +
           outcome([&] { return observed_at_key(event, "e"); }) + " | " +
           outcome([&] { return event_ref_of(event, "e", git); }) + " | " + outcome([&] {
             return metrics_text(git ? git_base_metrics(git_paths(event, "e"))
                                     : payload_metrics(families()[f].name, event, "e"));
           }) + "\n";
  }
  return out;
}

// The event with the member at `path` (under payload) replaced by `value`,
// for every payload member of every depth, objects only.
void each_damaged(const Json& event, const std::function<void(const Json&)>& use) {
  static const std::vector<Json> kValues = {"text", Json::array({1, "x", Json::object()}), nullptr,
                                            Json{{"fixed_version", 1}}, 2.5, true};
  std::function<void(Json&, Json&)> walk = [&](Json& root, Json& object) {
    for (auto& [name, member] : object.items()) {
      Json saved = member;
      for (const Json& value : kValues) {
        member = value;
        use(root);
      }
      member = saved;
      if (member.is_object()) walk(root, member);
      if (member.is_array() && !member.empty() && member[0].is_object()) walk(root, member[0]);
    }
  };
  Json copy = event;
  walk(copy, copy);
}

// Git is chosen by source_type, every other family by source_family; an
// event may feed both.
TEST(Reading, SelectingFamilies) {
  const std::vector<std::pair<Json, std::vector<std::string>>> cases = {
      {Json{{"source_type", "git"}}, {"git"}},
      {Json{{"source_type", "git"}, {"source_family", "ci"}}, {"git", "ci"}},
      {Json{{"source_family", "error_tracking"}}, {"error_tracking"}},
      {Json{{"source_family", "git"}}, {}},
      {Json{{"source_type", "ci"}}, {}},
      {Json{{"source_family", Json::array({"ci"})}, {"source_type", 1}}, {}},
      {Json{{"source_family", "CI"}}, {}},
      {Json::object(), {}},
  };
  for (const auto& [event, expected] : cases) {
    std::vector<std::string> selected;
    const FamilySet set = selecting_families(event);
    for (size_t f = 0; f < families().size(); ++f)
      if (set.test(f)) selected.push_back(families()[f].name);
    EXPECT_EQ(selected, expected) << dump_compact(event);
  }
}

TEST(Reading, TheMembersKeptGiveEveryReadingOfTheWholeEvent) {
  DataDir dir;
  velquor::bench::generate_events(dir.path(), {200, 5});
  size_t compared = 0;
  for (const fs::path& file : list_json_files(dir.events())) {
    each_damaged(read_event(file), [&](const Json& event) {
      const Json kept = parse_json(dump_compact(event), "e", NonFinite::kReject, event_members());
      ASSERT_EQ(readings(kept), readings(event)) << dump_compact(event);
      ++compared;
    });
  }
  EXPECT_GT(compared, 10000u);
}

// What the families read of a plain event without a tree, as readings()
// words it; "" when the tree must read the event.
std::string plain_readings(std::string_view text) {
  cindrel::ScannedRecord scanned;
  cindrel::RecordScanner scanner(text);
  if (!scanner.scan_plain_object(scanned)) return "";
  std::optional<PlainDigest> digest = digest_plain_event(scanned, "e", FamilySet().set());
  if (!digest) return "";
  std::string out;
  for (const auto& [family, event] : digest->events)
    out += std::string(families()[family].name) + ": " + event.observed_at + " | " +
           event.event_ref + " | " + metrics_text(event.metrics) + "\n";
  return out;
}

// Every event read without a tree gives the readings of its tree, kinds of
// numbers included; anything odd is left to the tree.
TEST(Reading, APlainEventGivesTheReadingsOfItsTree) {
  DataDir dir;
  velquor::bench::generate_events(dir.path(), {100, 7});
  std::vector<std::string> texts;
  for (const fs::path& file : list_json_files(dir.events()))
    each_damaged(read_event(file), [&](const Json& event) { texts.push_back(dump_compact(event)); });
  const std::string ci = R"({"source_family": "ci", "event_id": "e1", "observed_at": "2026-01-01", )";
  const std::string sum = R"({"source_family": "config", "event_id": "c", "payload": {"diff": )";
  for (const char* odd : {
           R"("payload": {"timing": {"duration_seconds": 4.0}}})",
           R"("payload": {"timing": {"duration_seconds": 4}, "conclusion": null, "status": "failure"}})",
           R"("payload": {"timing": {"duration_seconds": 1e2}, "status": "failure"}})",
           R"("payload": {"timing": {"duration_seconds": 0.10000000000000001}}})",
           R"("payload": {"timing": {"duration_seconds": -0}}})",
           R"("payload": {"timing": {"duration_seconds": -0.0}}})",
           R"("payload": {"timing": {"duration_seconds": 12345678901234567890}}})",
           R"("payload": {"timing": {"duration_seconds": 9223372036854775807}}})",
           R"("payload": {"timing": {"duration_seconds": 1e400}}})",
           R"("payload": {"timing": {"duration_seconds": NaN}}})",
           R"("payload": {"conclusion": "failure"}})",
           R"("payload": {"conclusion": "échec"}})",
           R"("payload": {"timing": null}})",
           R"("payload": {"timing": [1]}})",
           R"("payload": null})",
           R"("payload": {}, "payload": {}})",
       })
    texts.push_back(ci + odd);
  for (const char* diff : {R"({"resources_added": 9223372036854775807, "resources_removed": 1}}})",
                           R"({"resources_added": 2, "resources_removed": 1.5}}})",
                           R"({"resources_added": true, "resources_modified": null}}})"})
    texts.push_back(sum + diff);
  for (const char* event : {R"({"source_type": "git", "observed_at": "t", "payload": {"files": ["b", "a", "b"]}})",
                            R"({"source_type": "git", "event_id": "x", "payload": {}})",
                            R"({"source_family": "ci", "event_id": "café", "payload": {}})",
                            R"({"source_family": "ci", "observed_at": 5, "payload": {}})",
                            R"([{"source_family": "ci"}])"})
    texts.push_back(event);
  size_t plain = 0;
  for (const std::string& text : texts) {
    const std::string flat = plain_readings(text);
    if (flat.empty()) continue;
    ++plain;
    EXPECT_EQ(flat, readings(parse_json(text, "e"))) << text;
  }
  EXPECT_GT(plain, texts.size() / 3) << "most events are read without a tree";
  EXPECT_LT(plain, texts.size()) << "the odd ones are left to the tree";
}

// A cut event file is never read without the tree, which words the error.
TEST(Reading, ACutEventIsLeftToTheTree) {
  DataDir dir;
  velquor::bench::generate_events(dir.path(), {30, 11});
  for (const fs::path& file : list_json_files(dir.events())) {
    const std::string text = read_file(file);
    const size_t end = text.rfind('}');
    ASSERT_FALSE(plain_readings(text).empty()) << file;
    for (size_t size = 0; size < end; ++size)
      ASSERT_EQ(plain_readings(std::string_view(text).substr(0, size)), "") << file << " cut at " << size;
  }
}

std::map<std::string, std::string> signal_files(const DataDir& dir) {
  std::map<std::string, std::string> files;
  for (const fs::path& file : list_json_files(dir.path() / "phase2")) files[file.filename()] = read_file(file);
  return files;
}

std::string extra_members(const Json& payload) {
  auto text = [&](const char* name) {
    return payload.contains(name) ? dump_compact(payload[name]) : std::string("-");
  };
  return text("trigger") + " " + text("cases");
}

TEST(Reading, AnObserverSeesEveryParsedEventOnceAndChangesNoFile) {
  DataDir dir;
  velquor::bench::generate_events(dir.path(), {300, 3});
  dir.write_text("testing-9999999.json", R"({"payload": {"cases": [1e400]}})");
  const std::vector<fs::path> files = list_json_files(dir.events());
  EventReport report;
  report.skip_unreadable = true;
  Brevalt engine(dir.path());
  engine.run_all_parallel(4, nullptr, &report);
  const auto unobserved = signal_files(dir);

  const JsonKeep asked{"payload.trigger.commit_sha", "payload.cases"};
  for (bool parallel : {true, false}) {
    std::mutex mutex;
    std::map<size_t, std::string> seen;  // index: the path and the members asked for
    engine.observe_events(asked,
                          [&](size_t index, const fs::path& file, std::string_view content,
                              const cindrel::ScannedRecord* plain, const Json* tree) {
                            cindrel::ScannedRecord rescanned;
                            const bool is_plain = cindrel::RecordScanner(content).scan_plain_object(rescanned);
                            EXPECT_EQ(plain != nullptr, is_plain) << file;
                            if (plain) {
                              EXPECT_EQ(plain->values.size(), rescanned.values.size()) << file;
                            }
                            const Json event =
                                tree ? *tree : parse_json(content, file.string(), NonFinite::kReject, asked);
                            std::string text = file.string() + " " + extra_members(event.at("payload"));
                            std::lock_guard<std::mutex> lock(mutex);
                            EXPECT_TRUE(seen.emplace(index, text).second) << index;
                          });
    report = EventReport();
    report.skip_unreadable = true;
    if (parallel) engine.run_all_parallel(4, nullptr, &report);
    else engine.run_all(nullptr, &report);
    EXPECT_EQ(signal_files(dir), unobserved);
    ASSERT_EQ(seen.size(), files.size() - 1) << "all but the broken file";
    for (const auto& [index, text] : seen) {
      Json payload = read_event(files[index])["payload"];
      if (payload.contains("trigger"))
        payload["trigger"] = Json{{"commit_sha", payload["trigger"]["commit_sha"]}};
      EXPECT_EQ(text, files[index].string() + " " + extra_members(payload));
    }
  }

  engine.observe_events({}, [](size_t index, const fs::path&, std::string_view, const cindrel::ScannedRecord*,
                                const Json*) {
    if (index == 7) throw ValueError("observer refused event 7");
  });
  fs::remove_all(dir.path() / "phase2");
  fs::create_directories(dir.path() / "phase2");
  EXPECT_THROW(engine.run_all_parallel(4), ValueError);
  EXPECT_THROW(engine.run_all(), ValueError);
  EXPECT_TRUE(signal_files(dir).empty()) << "no family runs after the observer failed";
}

// Processing order is a stable sort by the observed_at text, byte by byte:
// ties, prefixes, texts alike in their first 16 bytes, empty and non-ASCII.
TEST(EventOrder, StableByObservedAtBytes) {
  const std::vector<std::string> texts = {"2026-01-01T10:00:05Z", "2026-01-01T10:00:04Z", "2026-01-01T10:00",
                                          "2026-01-01T10:00:05Z", "", "2026-01-01T10:00\x01",
                                          "2026-01-01T10:00:05.5Z", "\xc3\xa9t\xc3\xa9", "2025", "2026-01-01T10:00\xff",
                                          "2026-01-01T10:00:04Z", "a", "",
                                          "2026-01-02", "2026-01-01T09:59:59Z", "2026-01-1"};
  std::mt19937_64 rng(4);
  for (int round = 0; round < 200; ++round) {
    FamilyInput input;
    for (size_t i = 0, n = rng() % 40 + 2; i < n; ++i) {
      FamilyEvent event;
      event.observed_at = texts[rng() % texts.size()];
      event.file = std::to_string(i);
      input.events.push_back(std::move(event));
    }
    std::vector<FamilyEvent> want = input.events;
    std::stable_sort(want.begin(), want.end(),
                     [](const FamilyEvent& a, const FamilyEvent& b) { return a.observed_at < b.observed_at; });
    order_events(input);
    ASSERT_EQ(input.events.size(), want.size());
    for (size_t i = 0; i < want.size(); ++i) ASSERT_EQ(input.events[i].file, want[i].file) << round;
  }
}

}  // namespace
}  // namespace velquor::brevalt
