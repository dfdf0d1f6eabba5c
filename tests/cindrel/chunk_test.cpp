// Large signal files explained in chunks on several threads: the file must
// not depend on the thread count or on where the chunks were guessed to
// start, and a fault must be reported as a one-thread run reports it.

#include <gtest/gtest.h>
#include <gmock/gmock.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include <unistd.h>

#include "shared/errors.h"
#include "shared/file_io.h"
#include "velquor/cindrel/chunk_explainer.h"
#include "velquor/cindrel/chunk_pipeline.h"
#include "velquor/cindrel/cindrel.h"
#include "tests/cindrel/signal_dir.h"

namespace velquor::cindrel {
namespace {

using ::testing::HasSubstr;

// Enough records for several chunks of about a megabyte.
constexpr size_t kRecords = 6000;

Json signal(size_t i) {
  static const char* kMetrics[] = {"files_touched", "dispersion", "run_duration", "skip_rate",
                                   "line_rate", "run_failed"};
  Json record = Json::object();
  record["engine_id"] = i % 7 == 0 ? "g\u00e9t" : "git";  // some records take the JSON path
  record["source_type"] = "git";
  record["metric"] = kMetrics[i % 6];
  record["window"] = {{"type", "rolling"}, {"size", 50}};
  record["baseline"] = {{"mean", 2.5 + static_cast<double>(i % 13) / 7},
                        {"stddev", 1.25},
                        {"median", static_cast<int64_t>(i % 5)},
                        {"mad", i % 3 == 0 ? 0.0 : 0.5},
                        {"history", "HISTORY"}};
  record["observed"] = i % 2 ? Json(static_cast<int64_t>(i % 40)) : Json(0.1 * static_cast<double>(i));
  record["deviation"] = {{"measure", 1.5}, {"unit", "modified_zscore"}, {"degenerate", i % 11 == 0}};
  record["confidence"] = {{"sample_count", 20}, {"status", i % 4 ? "sufficient" : "accumulating"}};
  record["event_ref"] = "git-" + std::to_string(i);
  return record;
}

// The signals in the system's layout; `history` replaces the placeholder of
// each baseline (raw JSON text).
std::string signal_file(const std::string& history, size_t records = kRecords) {
  Json signals = Json::array();
  for (size_t i = 0; i < records; ++i) signals.push_back(signal(i));
  std::string text = dump_pretty(signals);
  const std::string placeholder = "\"HISTORY\"";
  std::string out;
  size_t start = 0;
  for (size_t at; (at = text.find(placeholder, start)) != std::string::npos;
       start = at + placeholder.size())
    out.append(text, start, at - start).append(history);
  return out.append(text, start);
}

class CindrelChunks : public testing::SignalDirTest {
 protected:
  CindrelChunks() : SignalDirTest("2026-03-01T09:15:02Z") {}

  std::string explained(size_t threads) {
    Cindrel(vel_dir, threads).run();
    return read_file(explanations());
  }
};

TEST_F(CindrelChunks, ThreadCountDoesNotChangeTheFile) {
  write_signals("git_signals.json", signal_file("[]"));
  write_signals("ci_signals.json", signal_file("[1, 2]", 50));
  const std::string one_thread = explained(1);
  EXPECT_GT(one_thread.size(), size_t{3} << 20);  // several chunks
  for (size_t threads : {2, 3, 8}) EXPECT_EQ(explained(threads), one_thread) << threads;
  EXPECT_EQ(read_json_file(explanations()).size(), kRecords + 50);
}

// Chunk texts are reused from chunk to chunk and file to file: every
// element must hold its own record alone, as the JSON path builds it, even
// when a file's records are shorter than those of the file before.
TEST_F(CindrelChunks, ReusedChunkTextsHoldTheirOwnRecordsOnly) {
  write_signals("git_signals.json", signal_file("[\"" + std::string(300, 'h') + "\"]"));
  write_signals("ci_signals.json", signal_file("[]", 3000));
  write_signals("testing_signals.json", signal_file("[1]", 7));
  for (size_t threads : {1, 2}) {
    Cindrel engine(vel_dir, threads);
    engine.run();
    const Json written = read_json_file(explanations());
    Json signals = engine._load_signals();
    ASSERT_EQ(written.size(), signals.size()) << threads;
    for (size_t i = 0; i < signals.size(); ++i)
      ASSERT_EQ(written[i], explanation_record(engine, signals[i], "signal")) << threads << " " << i;
  }
}

// Guessed chunk starts inside records must be thrown away: "},\n  {" in
// every record, and one record holding megabytes of whole signals laid out
// like the file itself, which a chunk starting inside it would explain.
TEST_F(CindrelChunks, MisleadingRecordStartsInsideRecords) {
  const std::string misleading = "[{\"a\": 1},\n  {\"b\": [{\"c\": 2},\n  {\"d\": 3}]}]";
  std::string text = signal_file(misleading);
  std::string inner = "[";
  for (size_t i = 0; i < kRecords; ++i) inner += (i ? ",\n  " : "") + dump_compact(signal(i));
  const std::string member = "\"source_type\": \"git\",";
  text.insert(text.find(member) + member.size(), "\"extra\": " + inner + "],");
  write_signals("git_signals.json", text);
  const std::string one_thread = explained(1);
  EXPECT_EQ(read_json_file(explanations()).size(), kRecords);
  EXPECT_EQ(explained(4), one_thread);
  // The same signals on one line (no guessed starts at all) read alike.
  write_signals("git_signals.json", dump_compact(read_json_file(vel_dir / "phase2/git_signals.json")));
  EXPECT_EQ(explained(4), one_thread);
}

// Without guessed chunk starts a file is one chunk, explained piece by
// piece once its text reaches the size limit.
TEST_F(CindrelChunks, OneLineFileLargerThanAChunkText) {
  std::string text = signal_file("[]", 16000);
  write_signals("git_signals.json", text);
  const std::string chunked = explained(2);
  ASSERT_GT(chunked.size(), ChunkExplainer::kMaxText);
  write_signals("git_signals.json", dump_compact(parse_json(text, "signals")));
  EXPECT_EQ(explained(2), chunked);
  EXPECT_EQ(explained(1), chunked);
}

TEST_F(CindrelChunks, FaultInALaterChunkNamesItsTruePosition) {
  Json signals = read_json_file([&] {
    write_signals("git_signals.json", signal_file("[]"));
    return vel_dir / "phase2/git_signals.json";
  }());
  signals[4321].erase("metric");
  write_signals("git_signals.json", dump_pretty(signals));
  for (size_t threads : {1, 4}) {
    try {
      Cindrel(vel_dir, threads).run();
      ADD_FAILURE() << "run succeeded with " << threads << " threads";
    } catch (const MissingMember& e) {
      EXPECT_THAT(e.what(), HasSubstr("git_signals.json[4321]"));
      EXPECT_THAT(e.what(), HasSubstr("metric"));
    }
  }
  // A syntax error at the very end wins over the missing member.
  std::string text = dump_pretty(signals);
  write_signals("git_signals.json", text.substr(0, text.size() - 1));
  for (size_t threads : {1, 4}) EXPECT_THROW(Cindrel(vel_dir, threads).run(), JsonError);
}

// The scanner and the parser must agree on how deep a file may nest: the
// parser allows values down to depth 512, counting the file's array as 0.
TEST_F(CindrelChunks, NestingLimitAsTheParser) {
  auto nested = [](size_t arrays) { return std::string(arrays, '[') + std::string(arrays, ']'); };
  std::string text = signal_file("[]", 1);
  const std::string member = "\"source_type\": \"git\",";
  auto with_extra = [&](size_t arrays) {
    std::string deep = text;
    deep.insert(deep.find(member) + member.size(), "\"extra\": " + nested(arrays) + ",");
    return deep;
  };
  write_signals("git_signals.json", with_extra(511));  // innermost array at depth 512
  EXPECT_NO_THROW(Cindrel(vel_dir, 1).run());
  write_signals("git_signals.json", with_extra(512));
  EXPECT_THROW(Cindrel(vel_dir, 1).run(), JsonError);
}

TEST(ChunkPipeline, ResultsComeInOrderAndErrorsAtTheirChunk) {
  std::atomic<size_t> done{0};
  ChunkPipeline pipeline(40, 3, 4, [&](size_t, size_t chunk) {
    if (chunk == 25) throw std::runtime_error("chunk 25");
    ChunkResult result;
    result.records = chunk;
    ++done;
    return result;
  });
  for (size_t chunk = 0; chunk < 25; ++chunk) EXPECT_EQ(pipeline.take(chunk).records, chunk);
  EXPECT_THROW(pipeline.take(25), std::runtime_error);
  // Workers never run more than the lookahead past the last chunk taken.
  EXPECT_LE(done.load(), 25u + 4u);
  // Destroying the pipeline with chunks left neither waits for them nor hangs.
}

}  // namespace
}  // namespace velquor::cindrel
