#include <array>
#include <bit>
#include <cmath>

#include "shared/file_io.h"
#include "shared/json.h"
#include "velquor/brevalt/brevalt.h"

namespace velquor::brevalt {

Json Signal::to_json() const {
  Json record = Json::object();
  record["engine_id"] = engine_id;
  record["source_type"] = source_type;
  record["metric"] = metric;
  record["window"] = Json::object({{"type", "rolling"}, {"size", window_size}});
  Json baseline = Json::object();
  baseline["mean"] = mean.to_json();
  baseline["stddev"] = stddev;
  baseline["median"] = median.to_json();
  baseline["mad"] = mad.to_json();
  record["baseline"] = std::move(baseline);
  record["observed"] = observed;
  Json deviation = Json::object();
  deviation["measure"] = measure;
  deviation["unit"] = unit_name(unit);
  deviation["degenerate"] = degenerate;
  record["deviation"] = std::move(deviation);
  Json confidence = Json::object();
  confidence["sample_count"] = sample_count;
  confidence["status"] = sufficient ? "sufficient" : "accumulating";
  record["confidence"] = std::move(confidence);
  record["event_ref"] = event_ref;
  return record;
}

Json to_json(const SignalList& signals) {
  Json list = Json::array();
  for (const Signal& signal : signals) list.push_back(signal.to_json());
  return list;
}

namespace {

// The text of the reals of recent records by bit pattern: a window that moved
// by one event often keeps its median, MAD or even mean and deviation, and
// the shortest round-trip digits are the dearest part of a record.
class RecentReals {
 public:
  void append(std::string& out, double value) {
    const auto bits = std::bit_cast<uint64_t>(value);
    Entry& entry = entries_[(bits * 0x9E3779B97F4A7C15ULL) >> 56];
    if (!entry.filled || entry.bits != bits) {
      std::string& text = scratch();
      text.clear();
      append_float_repr(text, value);
      if (text.size() > sizeof entry.text) {
        out += text;
        return;
      }
      entry = Entry{bits, true, static_cast<uint8_t>(text.size()), {}};
      text.copy(entry.text, text.size());
    }
    out.append(entry.text, entry.size);
  }

 private:
  struct Entry {
    uint64_t bits = 0;
    bool filled = false;
    uint8_t size = 0;
    char text[32];
  };
  static std::string& scratch() {
    thread_local std::string text;
    return text;
  }
  std::array<Entry, 256> entries_;
};

// Writes one record in the layout dump_pretty gives it as an element of the
// file's array (indented one level). Signal files hold hundreds of thousands
// of records; building a JSON value per record first costs more than the
// figures themselves. Tests hold this equal to dump_pretty.
class RecordWriter {
 public:
  explicit RecordWriter(std::string& out) : out_(out) {}

  // The member names and layout are fixed, so they are written as literal
  // fragments; only values go through the JSON text helpers.
  void signal(const Signal& s) {
    out_ += "  {\n    \"engine_id\": ";
    text(s.engine_id);
    out_ += ",\n    \"source_type\": ";
    text(s.source_type);
    out_ += ",\n    \"metric\": ";
    text(s.metric);
    out_ += ",\n    \"window\": {\n      \"type\": \"rolling\",\n      \"size\": ";
    out_ += std::to_string(s.window_size);
    out_ += "\n    },\n    \"baseline\": {\n      \"mean\": ";
    number(s.mean);
    out_ += ",\n      \"stddev\": ";
    real(s.stddev);
    out_ += ",\n      \"median\": ";
    number(s.median);
    out_ += ",\n      \"mad\": ";
    number(s.mad);
    out_ += "\n    },\n    \"observed\": ";
    observed(s.observed);
    out_ += ",\n    \"deviation\": {\n      \"measure\": ";
    real(s.measure);
    out_ += ",\n      \"unit\": ";
    text(unit_name(s.unit));
    out_ += s.degenerate ? ",\n      \"degenerate\": true" : ",\n      \"degenerate\": false";
    out_ += "\n    },\n    \"confidence\": {\n      \"sample_count\": ";
    out_ += std::to_string(s.sample_count);
    out_ += s.sufficient ? ",\n      \"status\": \"sufficient\"" : ",\n      \"status\": \"accumulating\"";
    out_ += "\n    },\n    \"event_ref\": ";
    text(s.event_ref);
    out_ += "\n  }";
  }

 private:
  void text(std::string_view value) { append_json_string(out_, value); }

  void real(double d) {
    if (std::isnan(d)) out_ += "NaN";
    else if (std::isinf(d)) out_ += d > 0 ? "Infinity" : "-Infinity";
    else reals_.append(out_, d);
  }

  void number(const SampleValue& value) {
    if (!value.is_integer()) return real(value.real_value());
    __int128 i = value.integer_value();
    if (i >= INT64_MIN && i <= INT64_MAX) out_ += std::to_string(static_cast<int64_t>(i));
    else wide_integer(i);
  }

  // An integer figure can leave 64 bits (the MAD of counts near both ends of
  // the 64-bit range); it is still an exact integer and is written in full.
  void wide_integer(__int128 i) {
    unsigned __int128 magnitude = i < 0 ? -static_cast<unsigned __int128>(i) : static_cast<unsigned __int128>(i);
    char digits[48];
    size_t n = 0;
    do {
      digits[n++] = static_cast<char>('0' + static_cast<int>(magnitude % 10));
      magnitude /= 10;
    } while (magnitude != 0);
    if (i < 0) out_ += '-';
    while (n > 0) out_ += digits[--n];
  }

  void observed(const Json& value) {
    if (value.is_number_float()) real(value.get<double>());
    else if (value.is_number_integer() && !value.is_number_unsigned()) out_ += std::to_string(value.get<int64_t>());
    else out_ += dump_compact(value);
  }

  std::string& out_;
  RecentReals reals_;
};

// Appends the text of a signal file to `text`, handing it to `flush` each
// time it reaches `piece_bytes`, so that a writer can pass on a large file
// through one reused buffer instead of building it whole.
template <class Flush>
void append_signal_text(std::span<const Signal* const> signals, std::string& text,
                        size_t piece_bytes, Flush&& flush) {
  if (signals.empty()) {
    text += "[]";
    return;
  }
  text += "[\n";
  RecordWriter writer(text);
  for (size_t i = 0; i < signals.size(); ++i) {
    if (i > 0) text += ",\n";
    writer.signal(*signals[i]);
    if (text.size() >= piece_bytes) {
      flush(text);
      text.clear();
    }
  }
  text += "\n]";
}

std::vector<const Signal*> in_order(const SignalList& signals) {
  std::vector<const Signal*> order;
  order.reserve(signals.size());
  for (const Signal& signal : signals) order.push_back(&signal);
  return order;
}

}  // namespace

std::string signal_file_text(const SignalList& signals) {
  std::string text;
  text.reserve(signals.size() * 560);
  append_signal_text(in_order(signals), text, SIZE_MAX, [](const std::string&) {});
  return text;
}

void write_signal_file(const fs::path& path, const SignalList& signals) {
  write_signal_file(path, in_order(signals));
}

void write_signal_file(const fs::path& path, std::span<const Signal* const> signals) {
  constexpr size_t kPieceBytes = size_t{1} << 20;
  AtomicFile file(path);
  std::string piece;
  piece.reserve(kPieceBytes + 4096);  // room for the record that crosses the mark
  append_signal_text(signals, piece, kPieceBytes, [&](const std::string& full) { file.append(full); });
  file.append(piece);
  file.commit();
}

}  // namespace velquor::brevalt
