#include "velquor/cindrel/scanned_explanation.h"

#include <charconv>
#include <optional>

#include "shared/clock.h"
#include "shared/hash.h"
#include "shared/json.h"
#include "velquor/cindrel/flat_text.h"
#include "velquor/cindrel/summary.h"

namespace velquor::cindrel {
namespace {

using Kind = FlatValue::Kind;

// Where the members an explanation reads sit in a record's values; 0 marks
// an absent member.
struct SignalLayout {
  size_t engine_id, source_type, event_ref, metric, observed, baseline, deviation, confidence;
  size_t mean, median, mad, window_size, status, degenerate;
};

std::optional<SignalLayout> locate_members(const std::vector<FlatValue>& values) {
  auto member = [&](size_t object, std::string_view key) {
    return find_flat_member(values, object, key);
  };
  auto is_object = [&](size_t index) { return index && values[index].kind == Kind::kObject; };
  SignalLayout at{};
  at.engine_id = member(0, "engine_id");
  at.source_type = member(0, "source_type");
  at.event_ref = member(0, "event_ref");
  at.metric = member(0, "metric");
  at.observed = member(0, "observed");
  at.baseline = member(0, "baseline");
  at.deviation = member(0, "deviation");
  at.confidence = member(0, "confidence");
  size_t window = member(0, "window");
  if (!at.engine_id || !at.source_type || !at.metric || values[at.metric].kind != Kind::kString ||
      !at.observed || !is_object(at.baseline) || !is_object(at.deviation) ||
      !is_object(at.confidence) || !is_object(window))
    return std::nullopt;
  at.mean = member(at.baseline, "mean");
  at.median = member(at.baseline, "median");
  at.mad = member(at.baseline, "mad");
  at.window_size = member(window, "size");
  at.status = member(at.confidence, "status");
  at.degenerate = member(at.deviation, "degenerate");
  if (!at.mean || !at.window_size || !at.status) return std::nullopt;
  return at;
}

// The JSON scalar of a plain value, or nullopt for a container.
std::optional<Json> scalar(const FlatValue& value) {
  const char* first = value.text.data();
  const char* last = first + value.text.size();
  switch (value.kind) {
    case Kind::kNull: return Json(nullptr);
    case Kind::kFalse: return Json(false);
    case Kind::kTrue: return Json(true);
    case Kind::kString: return Json(std::string(value.text));
    case Kind::kInteger: {
      int64_t integer = 0;
      std::from_chars(first, last, integer);
      return Json(integer);
    }
    case Kind::kReal: {
      double real = 0;
      std::from_chars(first, last, real);
      return Json(real);
    }
    default: return std::nullopt;
  }
}

// The summary's figures, or nullopt when one of them is not a scalar.
struct SummaryScalars {
  Json observed, mean, median, mad, window_size;
};

std::optional<SummaryScalars> summary_scalars(const std::vector<FlatValue>& values,
                                              const SignalLayout& at) {
  auto read = [&](size_t index) { return index ? scalar(values[index]) : Json(nullptr); };
  std::optional<Json> observed = read(at.observed), mean = read(at.mean),
                      median = read(at.median), mad = read(at.mad),
                      window_size = read(at.window_size);
  if (!observed || !mean || !median || !mad || !window_size) return std::nullopt;
  return SummaryScalars{std::move(*observed), std::move(*mean), std::move(*median),
                        std::move(*mad), std::move(*window_size)};
}

void append_member(std::string& out, const char* name_line, const std::vector<FlatValue>& values,
                   size_t index, int indent) {
  out += name_line;
  append_flat_pretty(out, values, index, indent);
}

void append_canonical_member(std::string& out, const char* name, const std::vector<FlatValue>& values,
                             size_t index) {
  out += name;
  append_flat_canonical(out, values, index);
}

}  // namespace

bool append_scanned_explanation(std::string& out, const ScannedRecord& record,
                                const std::string& where, std::string& canonical) {
  const std::vector<FlatValue>& values = record.values;
  if (!record.plain || values[0].kind != Kind::kObject) return false;
  std::optional<SignalLayout> at = locate_members(values);
  if (!at) return false;
  std::optional<SummaryScalars> figures = summary_scalars(values, *at);
  if (!figures) return false;
  const FlatValue& status = values[at->status];
  SummaryFacts facts{values[at->metric].text,
                     figures->observed,
                     figures->mean,
                     at->median ? &figures->median : nullptr,
                     at->mad ? &figures->mad : nullptr,
                     figures->window_size,
                     status.kind == Kind::kString && status.text == "sufficient"};
  Wording wording = word_signal(facts, where);
  bool degenerate = at->degenerate && values[at->degenerate].kind == Kind::kTrue;
  std::string summary;  // escaped once, written twice below
  append_json_string(summary, summary_sentence(facts, wording, degenerate, where));
  const std::string generated_at = now_timestamp();

  // The hash input: members sorted by name, the id left out.
  canonical.clear();
  append_canonical_member(canonical, "{\"confidence\":", values, at->confidence);
  append_canonical_member(canonical, ",\"details\":{\"baseline\":", values, at->baseline);
  append_canonical_member(canonical, ",\"deviation\":", values, at->deviation);
  append_canonical_member(canonical, ",\"metric\":", values, at->metric);
  append_canonical_member(canonical, ",\"observed\":", values, at->observed);
  append_canonical_member(canonical, "},\"engine_id\":", values, at->engine_id);
  canonical += ",\"generated_at\":";
  append_json_string(canonical, generated_at);
  canonical += ",\"signal_ref\":";
  if (at->event_ref) append_flat_canonical(canonical, values, at->event_ref);
  else canonical += "null";
  append_canonical_member(canonical, ",\"source_type\":", values, at->source_type);
  canonical += ",\"summary\":";
  canonical += summary;
  canonical += '}';

  append_member(out, "\n  {\n    \"engine_id\": ", values, at->engine_id, 4);
  append_member(out, ",\n    \"source_type\": ", values, at->source_type, 4);
  out += ",\n    \"signal_ref\": ";
  if (at->event_ref) append_flat_pretty(out, values, at->event_ref, 4);
  else out += "null";
  out += ",\n    \"summary\": ";
  out += summary;
  append_member(out, ",\n    \"details\": {\n      \"metric\": ", values, at->metric, 6);
  append_member(out, ",\n      \"observed\": ", values, at->observed, 6);
  append_member(out, ",\n      \"baseline\": ", values, at->baseline, 6);
  append_member(out, ",\n      \"deviation\": ", values, at->deviation, 6);
  append_member(out, "\n    },\n    \"confidence\": ", values, at->confidence, 4);
  out += ",\n    \"generated_at\": ";
  append_json_string(out, generated_at);
  out += ",\n    \"explanation_id\": \"";
  out += sha256_hex(canonical);
  out += "\"\n  }";
  return true;
}

}  // namespace velquor::cindrel
