// The scanned fast path against the JSON path: the same signals, written so
// that a run takes one path or the other, must give the same explanations
// file byte for byte, and the same error when they fail.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <typeinfo>

#include <unistd.h>

#include "shared/errors.h"
#include "shared/file_io.h"
#include "tests/cindrel/record_text.h"
#include "velquor/cindrel/cindrel.h"
#include "tests/cindrel/signal_dir.h"
#include "velquor/cindrel/record_scanner.h"
#include "velquor/cindrel/scanned_explanation.h"

namespace velquor::cindrel {
namespace {

using testing::Layout;
using testing::Node;
using testing::RecordMaker;

// What a run did: its file, or the type and message of its error.
struct Outcome {
  bool ok = false;
  std::string text;
  std::string error_type;
  std::string message;
};

// The elements of an explanations file: each starts at "\n  {", a text that
// only a new element opens (deeper lines are indented further and strings
// never hold a raw line feed).
std::vector<std::string> elements_of(const std::string& text) {
  std::vector<size_t> starts;
  for (size_t at = text.find("\n  {"); at != std::string::npos; at = text.find("\n  {", at + 1))
    starts.push_back(at);
  std::vector<std::string> elements;
  for (size_t i = 0; i < starts.size(); ++i) {
    size_t end = i + 1 < starts.size() ? starts[i + 1] - 1 : text.size() - 2;  // "," or "\n]"
    elements.push_back(text.substr(starts[i], end - starts[i]));
  }
  return elements;
}

class FastPath : public testing::SignalDirTest {
 protected:
  FastPath() : SignalDirTest("2025-06-01T12:00:00Z") {}

  void clear_signals() {
    fs::remove_all(vel_dir / "phase2");
    fs::create_directories(vel_dir / "phase2");
  }

  Outcome run() {
    Outcome outcome;
    try {
      Cindrel(vel_dir).run();
      outcome.ok = true;
      outcome.text = read_file(vel_dir / "phase3/explanations.json");
    } catch (const Error& e) {
      outcome.error_type = typeid(e).name();
      outcome.message = e.what();
    }
    return outcome;
  }

  // Whether a run explains `record` without an error, judged on the JSON
  // path alone.
  static bool explainable(const Cindrel& engine, const std::string& text) {
    try {
      Json signal = parse_json(text, "record", NonFinite::kAccept);
      for (const char* key : {"engine_id", "source_type", "metric", "observed", "baseline",
                              "deviation", "confidence"})
        if (!signal.contains(key)) return false;
      engine._template(signal);
      return true;
    } catch (const Error&) {
      return false;
    }
  }

  struct Written {
    std::string plain, escaped;
  };

  // Runs `records` written plainly and with their first names escaped, and
  // expects the same explanations. Records that cannot be explained are run
  // one at a time, third in a file after two good ones, and must fail alike.
  // `file_of(i)` is the signal file of good record i. Returns how many
  // records the plain run explained on the fast path.
  size_t expect_same_explanations(const std::vector<Node>& records, RecordMaker& maker,
                                  const std::function<size_t(size_t)>& file_of,
                                  size_t max_failing = 400) {
    const Cindrel engine(vel_dir);
    std::vector<Written> good, bad;
    for (const Node& record : records) {
      Layout layout = maker.layout();
      Written w{testing::record_text(record, layout, false),
                testing::record_text(record, layout, true)};
      (explainable(engine, w.plain) ? good : bad).push_back(std::move(w));
    }
    EXPECT_GT(good.size(), records.size() / 3) << "too few explainable records to compare";

    // Output order: files in reading order, records in file order.
    constexpr size_t kFiles = std::size(SIGNAL_FILES);
    std::vector<std::vector<size_t>> in_file(kFiles);
    for (size_t i = 0; i < good.size(); ++i) in_file[file_of(i) % kFiles].push_back(i);
    std::vector<size_t> order;
    std::string plain_files[kFiles], escaped_files[kFiles];
    for (size_t f = 0; f < kFiles; ++f) {
      std::vector<std::string> plain, escaped;
      for (size_t i : in_file[f]) {
        order.push_back(i);
        plain.push_back(good[i].plain);
        escaped.push_back(good[i].escaped);
      }
      plain_files[f] = testing::file_text(plain);
      escaped_files[f] = testing::file_text(escaped);
    }

    size_t fast = 0;
    for (size_t f = 0; f < kFiles; ++f) {
      fast += fast_records(plain_files[f]);
      EXPECT_EQ(fast_records(escaped_files[f]), 0u) << "an escaped record took the fast path";
    }

    clear_signals();
    for (size_t f = 0; f < kFiles; ++f)
      if (!in_file[f].empty()) write_signals(std::string(SIGNAL_FILES[f].file_name), plain_files[f]);
    Outcome fast_run = run();
    clear_signals();
    for (size_t f = 0; f < kFiles; ++f)
      if (!in_file[f].empty())
        write_signals(std::string(SIGNAL_FILES[f].file_name), escaped_files[f]);
    Outcome json_run = run();
    EXPECT_TRUE(fast_run.ok) << fast_run.message;
    EXPECT_TRUE(json_run.ok) << json_run.message;
    if (fast_run.ok && json_run.ok) {
      std::vector<std::string> a = elements_of(fast_run.text), b = elements_of(json_run.text);
      EXPECT_EQ(a.size(), good.size());
      EXPECT_EQ(b.size(), good.size());
      size_t reported = 0;
      for (size_t k = 0; k < std::min(a.size(), b.size()) && reported < 5; ++k) {
        if (a[k] == b[k]) continue;
        ++reported;
        ADD_FAILURE() << "explanation " << k << " differs\nsignal: " << good[order[k]].plain
                      << "\nfast path:" << a[k] << "\nJSON path:" << b[k];
      }
      if (reported == 0) {
        EXPECT_EQ(fast_run.text, json_run.text);
      }
    }

    // The failing records, each after two good ones: the same error,
    // naming the third record.
    clear_signals();
    const std::string first = good.empty() ? "" : good[0].plain + ",\n  " + good.back().plain;
    size_t reported = 0;
    for (size_t i = 0; i < bad.size() && i < max_failing && reported < 5; ++i) {
      write_signals("ci_signals.json", "[\n  " + first + ",\n  " + bad[i].plain + "\n]");
      Outcome from_fast = run();
      write_signals("ci_signals.json", "[\n  " + first + ",\n  " + bad[i].escaped + "\n]");
      Outcome from_json = run();
      if (!from_json.ok && from_fast.error_type == from_json.error_type &&
          from_fast.message == from_json.message &&
          from_fast.message.find("ci_signals.json[2]") != std::string::npos)
        continue;
      ++reported;
      ADD_FAILURE() << "failing signal: " << bad[i].plain << "\nfast path: "
                    << (from_fast.ok ? "succeeded" : from_fast.error_type + " " + from_fast.message)
                    << "\nJSON path: "
                    << (from_json.ok ? "succeeded" : from_json.error_type + " " + from_json.message);
    }
    return fast;
  }

  // How many records of a file's text append_scanned_explanation writes.
  static size_t fast_records(const std::string& text) {
    RecordScanner scanner(text);
    if (!scanner.open_array()) return 0;
    ScannedRecord record;
    std::string out, canonical;
    size_t count = 0;
    while (scanner.next(record)) {
      try {
        if (append_scanned_explanation(out, record, "w", canonical)) ++count;
      } catch (const Error&) {
      }
      out.clear();
    }
    return count;
  }
};

// The usual signal, every member of which the cases below vary.
Node base_signal() {
  using N = Node;
  return N::object({
      {"engine_id", N::string("git")},
      {"source_type", N::string("git")},
      {"metric", N::string("files_touched")},
      {"window", N::object({{"type", N::string("rolling")}, {"size", N::token("50")}})},
      {"baseline", N::object({{"mean", N::token("4")},
                              {"stddev", N::token("1.4142135623730951")},
                              {"median", N::token("4.0")},
                              {"mad", N::token("1.0")}})},
      {"observed", N::token("12")},
      {"deviation", N::object({{"measure", N::token("5.39604")},
                               {"unit", N::string("modified_zscore")},
                               {"degenerate", N::token("false")}})},
      {"confidence", N::object({{"sample_count", N::token("3")},
                                {"status", N::string("accumulating")}})},
      {"event_ref", N::string("c0ffee")},
  });
}

// An object of `count` members m0..: numbers, strings, empty containers.
Node wide_object(size_t count) {
  Node object = Node::object();
  for (size_t i = 0; i < count; ++i) {
    Node value = i % 4 == 0   ? Node::token(testing::kReals[i % testing::kReals.size()])
                 : i % 4 == 1 ? Node::string(testing::kPlainStrings[i % testing::kPlainStrings.size()])
                 : i % 4 == 2 ? Node::array()
                              : Node::object();
    object.set("m" + std::to_string(i), value);
  }
  return object;
}

std::vector<Node> corpus() {
  std::vector<Node> records;
  const std::vector<std::string> observed_forms = {
      "12", "0", "-3", "0.5", "1.0", "true", "false", "1e-05", "123456789012345.0",
      "9223372036854775807", "0.125", "-0.0", "2.5e-300"};
  // Every sentence with numbers of each kind, with and without the note of
  // a limited history.
  for (const std::string& metric : testing::kMetrics)
    for (const std::string& observed : observed_forms)
      for (const char* status : {"sufficient", "accumulating"}) {
        Node r = base_signal();
        r.set("metric", Node::string(metric));
        r.set("observed", Node::token(observed));
        r.at("confidence").set("status", Node::string(status));
        records.push_back(r);
      }
  // Every number form in every figure and in copied members.
  std::vector<std::string> numbers = testing::kIntegers;
  numbers.insert(numbers.end(), testing::kWideIntegers.begin(), testing::kWideIntegers.end());
  numbers.insert(numbers.end(), testing::kReals.begin(), testing::kReals.end());
  numbers.insert(numbers.end(), testing::kNonFinite.begin(), testing::kNonFinite.end());
  for (const std::string& number : numbers)
    for (const char* metric : {"run_duration", "files_touched", "custom"}) {
      Node r = base_signal();
      r.set("metric", Node::string(metric));
      r.set("observed", Node::token(number));
      records.push_back(r);
      r = base_signal();
      r.set("metric", Node::string(metric));
      r.at("baseline").set("mean", Node::token(number));
      r.at("baseline").set("mad", Node::token("0.0"));
      records.push_back(r);
      r.at("baseline").set("median", Node::token(number));
      r.at("baseline").set("mad", Node::token("2"));
      records.push_back(r);
      r = base_signal();
      r.at("baseline").set("mad", Node::token(number));
      records.push_back(r);
      r = base_signal();
      r.at("window").set("size", Node::token(number));
      r.at("deviation").set("measure", Node::token(number));
      r.at("confidence").set("sample_count", Node::token(number));
      r.at("deviation").set("degenerate", Node::token("true"));
      records.push_back(r);
    }
  // The degenerate flag against the reference value.
  const std::vector<std::string> flags = {"", "true", "false", "\"true\"", "1", "null", "0"};
  const std::vector<std::string> medians = {"", "null", "0", "0.0", "4.0", "-1", "7"};
  const std::vector<std::string> mads = {"", "null", "0", "0.0", "1.0", "-2", "1e-05"};
  size_t n = 0;
  for (const std::string& flag : flags)
    for (const std::string& median : medians)
      for (const std::string& mad : mads) {
        Node r = base_signal();
        r.set("metric", Node::string(testing::kMetrics[n++ % testing::kMetrics.size()]));
        if (flag.empty()) r.at("deviation").erase("degenerate");
        else r.at("deviation").set("degenerate", Node::token(flag));
        if (median.empty()) r.at("baseline").erase("median");
        else r.at("baseline").set("median", Node::token(median));
        if (mad.empty()) r.at("baseline").erase("mad");
        else r.at("baseline").set("mad", Node::token(mad));
        records.push_back(r);
      }
  // Status and reference of every kind.
  for (const char* status : {"\"sufficient\"", "\"accumulating\"", "\"Sufficient\"", "1", "null",
                             "true", "[\"sufficient\"]", "{}", "\"suf\\u0066icient\""}) {
    Node r = base_signal();
    r.at("confidence").set("status", Node::token(status));
    records.push_back(r);
  }
  for (const char* ref : {"", "null", "\"a/b\"", "\"\"", "12", "1.50", "{}", "[]",
                          "{\"sha\": \"x\", \"n\": [1, 2.0]}", "\"caf\\u00e9\""}) {
    Node r = base_signal();
    if (*ref) r.set("event_ref", Node::token(ref));
    else r.erase("event_ref");
    records.push_back(r);
  }
  // Copied members of every kind, empty containers and nesting among them.
  const std::vector<Node> copied = {
      Node::array(), Node::object(), Node::array({Node::array(), Node::object()}),
      Node::object({{"a", Node::array({Node::token("1"), Node::token("0.50"),
                                       Node::object({{"b", Node::array({Node::token("1E2")})}})})},
                    {"z", Node::string("/")}, {"y", Node::object()}}),
      wide_object(15), wide_object(16), wide_object(17),
      Node::array({wide_object(16), wide_object(3)}),
      Node::string(" !#$%&'()*+,-./0123456789:;<=>?@[]^_`{|}~"),
      Node::object({{"}, {", Node::string("],")}, {"x\\ny", Node::string("\\n  {")}}),
  };
  for (const Node& value : copied) {
    for (const char* holder : {"baseline", "deviation", "confidence", "window"}) {
      Node r = base_signal();
      r.at(holder).set("extra", value);
      records.push_back(r);
    }
    Node r = base_signal();
    r.set("engine_id", value);
    r.set("source_type", value);
    r.set("event_ref", value);
    records.push_back(r);
  }
  // Members of 16 and 17 in a figure's object, and in the record itself.
  for (size_t count : {16, 17}) {
    for (const char* holder : {"baseline", "deviation", "confidence"}) {
      Node r = base_signal();
      Node& object = r.at(holder);
      for (size_t i = 0; object.members.size() < count; ++i)
        object.set("p" + std::to_string(i), Node::token(std::to_string(i)));
      records.push_back(r);
    }
    Node r = base_signal();
    for (size_t i = 0; r.members.size() < count; ++i)
      r.set("p" + std::to_string(i), Node::token("0.5"));
    records.push_back(r);
  }
  // Members in another order, and written twice.
  {
    Node r = base_signal();
    std::reverse(r.members.begin(), r.members.end());
    records.push_back(r);
    r = base_signal();
    r.members.emplace_back("observed", Node::token("99.5"));
    records.push_back(r);
    r = base_signal();
    r.at("baseline").members.emplace_back("mean", Node::token("1.0"));
    records.push_back(r);
  }
  // Many reals that the scanner rewrites in shortest form, in one record.
  {
    Node many = Node::array();
    for (size_t i = 0; i < 6000; ++i)
      many.elements.push_back(Node::token(i % 2 ? "1.50e-7" : "0.10000000000000001"));
    Node r = base_signal();
    r.at("baseline").set("history", many);
    records.push_back(r);
    records.push_back(base_signal());
  }
  return records;
}

TEST_F(FastPath, CorpusOfShapesGivesTheSameBytesOnBothPaths) {
  std::vector<Node> records = corpus();
  RecordMaker maker(7);
  size_t fast = expect_same_explanations(records, maker, [](size_t i) { return i / 97; });
  // Most of the corpus must really have taken the fast path.
  EXPECT_GT(fast, records.size() / 2);
}

TEST_F(FastPath, RandomSignalsGiveTheSameBytesOnBothPaths) {
  RecordMaker maker(20250601);
  std::vector<Node> records;
  for (size_t i = 0; i < 5000; ++i) records.push_back(maker.record());
  // Most records in one file, large enough to be explained in several
  // chunks; the rest spread over the other files.
  size_t fast = expect_same_explanations(records, maker, [](size_t i) {
    return i % 5 == 0 ? i / 5 : 1;
  }, 300);
  EXPECT_GT(fast, records.size() / 4);
}

// The text of `signals` (an array) with the first member name of every
// record escaped, so that a run reads each record on the JSON path.
std::string escaped_signal_file(const Json& signals) {
  std::vector<std::string> elements;
  for (const Json& signal : signals) {
    std::string text = dump_pretty(signal);
    // "{\n  \"name\": ...": escape the first character of the name.
    unsigned char c = text.size() > 5 ? static_cast<unsigned char>(text[5]) : 0;
    if (signal.is_object() && !signal.empty() && c >= 0x20 && c < 0x7F && c != '"' && c != '\\') {
      char escape[7];
      std::snprintf(escape, sizeof escape, "\\u%04x", c);
      text.replace(5, 1, escape);
    }
    std::string indented;
    for (char ch : text) {
      indented += ch;
      if (ch == '\n') indented += "  ";
    }
    elements.push_back(std::move(indented));
  }
  return testing::file_text(elements);
}

// Damaged signal files: a run either explains them exactly as the JSON path
// explains the same signals, or fails with the error of the JSON path: the
// parser's own message when the file is not JSON.
TEST_F(FastPath, DamagedFilesFailOrAgreeWithTheJsonPath) {
  RecordMaker maker(424242);
  std::vector<std::string> records;
  const Cindrel engine(vel_dir);
  while (records.size() < 6) {
    std::string text = testing::record_text(maker.record(), Layout::kPretty, false);
    if (explainable(engine, text)) records.push_back(text);
  }
  records.push_back(testing::record_text(base_signal(), Layout::kPretty, false));
  records.push_back(testing::record_text(base_signal(), Layout::kCompact, false));
  const std::string valid = testing::file_text(records);
  const fs::path path = vel_dir / "phase2/ci_signals.json";
  write_signals("git_signals.json", read_file(fs::path(VELQUOR_SOURCE_DIR) /
                                              "tests/cindrel/golden/mixed_families/phase2/git_signals.json"));

  const std::vector<std::string> snippets = {
      ",", "]", "[", "{", "}", "\"", "\\", "-", "0", "1e5", ".5", "\\u00e9", "\xc3\xa9", "\xff",
      std::string(1, '\0'), " ", "\n", "NaN", "true", "null", "\"x\": 1,", "\t", ":", "\\\""};
  std::mt19937_64 rng(99);
  auto below = [&](size_t n) { return static_cast<size_t>(rng() % n); };
  size_t successes = 0, failures = 0;
  for (size_t round = 0; round < 400; ++round) {
    std::string text = valid;
    for (size_t n = 1 + below(3); n > 0; --n) {
      size_t at = below(text.size());
      switch (below(6)) {
        case 0: text[at] = snippets[below(snippets.size())][0]; break;
        case 1: text.erase(at, 1 + below(8)); break;
        case 2: text.insert(at, snippets[below(snippets.size())]); break;
        case 3: text.insert(below(text.size()), text.substr(at, 1 + below(40))); break;
        case 4: {  // another digit, or a sign or point near one
          size_t digit = text.find_first_of("0123456789", at);
          if (digit != std::string::npos) text[digit] = "0123456789-.eE+"[below(15)];
          break;
        }
        default: {  // a whole line: a member, or a bracket
          size_t start = text.rfind('\n', at);
          size_t end = text.find('\n', at);
          if (start != std::string::npos && end != std::string::npos) text.erase(start, end - start);
        }
      }
    }
    SCOPED_TRACE("round " + std::to_string(round) + ", signal file:\n" + text);
    write_signals("ci_signals.json", text);
    Outcome damaged = run();

    Outcome expected;
    try {
      Json signals = parse_json(text, path.string(), NonFinite::kAccept);
      write_signals("ci_signals.json",
                    signals.is_array() ? escaped_signal_file(signals) : dump_pretty(signals));
      expected = run();
    } catch (const JsonError& e) {
      expected.error_type = typeid(e).name();
      expected.message = e.what();
    }
    (damaged.ok ? successes : failures)++;
    ASSERT_EQ(damaged.ok, expected.ok) << (damaged.ok ? expected.message : damaged.message);
    if (damaged.ok) {
      ASSERT_EQ(damaged.text, expected.text);
    } else {
      ASSERT_EQ(damaged.error_type, expected.error_type);
      ASSERT_EQ(damaged.message, expected.message);
    }
  }
  // Both outcomes must be common enough to mean something.
  EXPECT_GT(successes, 40u);
  EXPECT_GT(failures, 100u);
}

}  // namespace
}  // namespace velquor::cindrel
