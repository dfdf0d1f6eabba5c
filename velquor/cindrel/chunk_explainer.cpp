#include "velquor/cindrel/chunk_explainer.h"

#include <algorithm>
#include <utility>

#include "shared/clock.h"
#include "shared/errors.h"
#include "shared/json_access.h"
#include "velquor/cindrel/scanned_explanation.h"

namespace velquor::cindrel {
namespace {

// The member moved out of `signal`, or a MissingMember naming it.
Json take_member(Json& signal, std::string_view key, const std::string& where) {
  require_member(signal, key, where);
  return std::move(signal.find(key).value());
}

// Appends `record` as an element of the top-level array in dump_pretty's
// layout: on a new line, every line indented by two more spaces. Raw line
// feeds occur only in the layout (strings escape theirs).
void append_array_element(std::string& text, const Json& record) {
  std::string element = dump_pretty(record);
  text += "\n  ";
  size_t start = 0;
  for (size_t end; (end = element.find('\n', start)) != std::string::npos; start = end + 1) {
    text.append(element, start, end + 1 - start);
    text += "  ";
  }
  text.append(element, start);
}

}  // namespace

Json parse_signals(const fs::path& path, std::string_view content) {
  // Signal files may carry NaN and Infinity for non-finite observations.
  Json signals = parse_json(content, path.string(), NonFinite::kAccept);
  if (!signals.is_array())
    throw TypeError(path.string() + ": expected an array of signals, got " + json_kind(signals));
  return signals;
}

Json explanation_record(const Cindrel& engine, Json& signal, const std::string& where) {
  Json record = Json::object();
  record["engine_id"] = take_member(signal, "engine_id", where);
  record["source_type"] = take_member(signal, "source_type", where);
  const Json* ref = find_member(signal, "event_ref");
  record["signal_ref"] = ref ? *ref : Json(nullptr);
  record["summary"] = engine._template(signal, where);
  Json details = Json::object();
  for (std::string_view key : {"metric", "observed", "baseline", "deviation"})
    details[std::string(key)] = take_member(signal, key, where);
  record["details"] = std::move(details);
  record["confidence"] = take_member(signal, "confidence", where);
  record["generated_at"] = now_timestamp();
  record["explanation_id"] = Cindrel::_hash(record);
  return record;
}

std::string TextBuffers::take() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (free_.empty()) return {};
  std::string text = std::move(free_.back());
  free_.pop_back();
  return text;
}

void TextBuffers::give_back(std::string text) {
  text.clear();
  std::lock_guard<std::mutex> lock(mutex_);
  free_.push_back(std::move(text));
}

ChunkExplainer::ChunkExplainer(const Cindrel& engine, const fs::path& path,
                               std::string_view content, TextBuffers& buffers)
    : engine_(engine),
      buffers_(&buffers),
      path_(path),
      content_(content),
      index_prefix_(path.string() + "[") {}

void raise_parse_error(const fs::path& path, std::string_view content) {
  parse_signals(path, content);
  // Not reached: the scanner takes every text the parser accepts.
  throw JsonError(path.string() + ": invalid JSON");
}

ChunkResult ChunkExplainer::explain(size_t start, size_t limit, size_t first_index,
                                    bool report_errors) {
  ChunkResult result;
  result.text = buffers_->take();
  // Explanations run about one and a half times the size of their signals;
  // room made at once spares copying the text as it grows.
  size_t end = std::min({limit, content_.size(), start + kMaxText / 2});
  if (start < end) result.text.reserve((end - start) * 8 / 5);
  RecordScanner scanner(content_, start);
  std::string where;
  while (scanner.position() < limit && result.text.size() < kMaxText && scanner.next(record_)) {
    where.assign(index_prefix_).append(std::to_string(first_index + result.records)).append("]");
    try {
      explain_record(result.text, where);
    } catch (const std::exception& error) {
      if (!report_errors) {
        result.failed = true;
        return result;
      }
      // A syntax error anywhere in the file is what the run reports.
      if (dynamic_cast<const Error*>(&error)) parse_signals(path_, content_);
      throw;
    }
    ++result.records;
  }
  if (scanner.failed()) {
    if (report_errors) raise_parse_error(path_, content_);
    result.failed = true;
  }
  result.end = scanner.position();
  result.array_ended = !scanner.in_array();
  return result;
}

void ChunkExplainer::explain_record(std::string& text, const std::string& where) {
  text += ',';
  if (append_scanned_explanation(text, record_, where, canonical_)) return;
  Json signal = parse_json(record_.span, path_.string(), NonFinite::kAccept);
  append_array_element(text, explanation_record(engine_, signal, where));
}

}  // namespace velquor::cindrel
