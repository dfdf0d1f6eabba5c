#include "velquor/dornath/scanned_inputs.h"

#include <optional>

#include "shared/errors.h"
#include "velquor/cindrel/record_scanner.h"
#include "velquor/dornath/record_stream.h"

namespace velquor::dornath {
namespace {

using cindrel::flat_member;
using cindrel::FlatValue;
using cindrel::is_plain_text;
using cindrel::RecordScanner;
using cindrel::ScannedRecord;
using Kind = FlatValue::Kind;

bool is_text(const FlatValue* value) {
  return value && value->kind == Kind::kString && is_plain_text(value->text);
}

// The record as the strict parser reads it; nullopt when it refuses it.
std::optional<Json> parse_record(const ScannedRecord& record) {
  try {
    return parse_json(record.span, "record", NonFinite::kAccept);
  } catch (const JsonError&) {
    return std::nullopt;
  }
}

// The row of a signal whose members discovery reads are all of the usual
// kind; nullopt when the strict parser must read it.
std::optional<SignalRow> plain_row(const ScannedRecord& record, SignalTable& table) {
  if (!record.plain_shape || record.values[0].kind != Kind::kObject) return std::nullopt;
  const FlatValue* family = flat_member(record, 0, "engine_id");
  const FlatValue* metric = flat_member(record, 0, "metric");
  const FlatValue* ref = flat_member(record, 0, "event_ref");
  const FlatValue* deviation = flat_member(record, 0, "deviation");
  // A plain record's strings are all plain text.
  auto plain_text = [&](const FlatValue* value) { return record.plain || is_plain_text(value->text); };
  auto is_string = [](const FlatValue* value) { return value && value->kind == Kind::kString; };
  if (!is_string(family) || !is_string(metric) || !plain_text(family) || !plain_text(metric)) return std::nullopt;
  if (is_string(ref) && !plain_text(ref)) return std::nullopt;
  SignalRow row;
  if (deviation) {
    if (deviation->kind != Kind::kObject) return std::nullopt;
    const size_t at = static_cast<size_t>(deviation - record.values.data());
    const FlatValue* degenerate = flat_member(record, at, "degenerate");
    const FlatValue* measure = flat_member(record, at, "measure");
    const FlatValue* unit = flat_member(record, at, "unit");
    if (degenerate && degenerate->kind != Kind::kTrue && degenerate->kind != Kind::kFalse &&
        degenerate->kind != Kind::kNull)
      return std::nullopt;
    if (is_string(unit) && !plain_text(unit)) return std::nullopt;
    if (degenerate && degenerate->kind == Kind::kTrue) {
      row.measure.state = MeasureState::kDegenerate;
    } else if (measure && measure->kind == Kind::kNull) {
      row.measure.state = MeasureState::kNull;
    } else if (measure) {
      if (measure->kind != Kind::kInteger && measure->kind != Kind::kReal) return std::nullopt;
      row.measure = {MeasureState::kValue, cindrel::flat_number(*measure),
                     unit && unit->kind == Kind::kString && unit->text == "degenerate"};
    } else {
      row.measure.degenerate_unit = unit && unit->kind == Kind::kString && unit->text == "degenerate";
    }
  }
  row.family = table.names.intern(family->text);
  row.metric = table.names.intern(metric->text);
  if (ref && ref->kind == Kind::kString) row.event_ref = table.refs.intern(ref->text);
  return row;
}

// The explanation index entry of one record, as the tree path makes it.
void add_explanation(Json&& record, const fs::path& path, size_t index, bool prompt_members_only,
                     std::unordered_map<std::string, Json>& by_ref) {
  constexpr std::string_view kPromptMembers[] = {"summary"};
  if (!record.is_object())
    throw TypeError(path.string() + "[" + std::to_string(index) + "]: expected an object, got " +
                    json_kind(record));
  const Json* ref = find_member(record, "signal_ref");
  if (!ref || !ref->is_string() || ref->get_ref<const std::string&>().empty()) return;
  std::string key = ref->get<std::string>();
  by_ref[key] = prompt_members_only ? keep_members(std::move(record), kPromptMembers) : std::move(record);
}

}  // namespace

void read_signal_file(const fs::path& path, SignalTable& table) {
  const size_t start = table.size();
  // Only the deviation is looked into; the other members are checked and
  // passed over.
  bool read = cindrel::scan_member_file(path, "deviation", [&](const ScannedRecord& record, size_t) {
    if (std::optional<SignalRow> row = plain_row(record, table)) {
      table.add_row(*row);
      return true;
    }
    std::optional<Json> signal = parse_record(record);
    if (signal) table.add_record(*signal);
    return signal.has_value();
  });
  if (read) return;
  table.truncate(start);
  for_each_record(path, [&](Json&& signal) { table.add_record(signal); });
}

std::unordered_map<std::string, Json> read_explanation_records(const fs::path& path,
                                                               bool prompt_members_only) {
  std::unordered_map<std::string, Json> by_ref;
  size_t index = 0;
  for_each_record(path, [&](Json&& record) {
    add_explanation(std::move(record), path, index++, prompt_members_only, by_ref);
  });
  return by_ref;
}

std::unordered_map<std::string, Json> read_explanation_file(const fs::path& path, bool keep_summaries) {
  if (!keep_summaries) {
    // Only the checks: each record is skimmed, and a file that fails them is
    // read by the tree path for its error.
    const bool sound = cindrel::skim_record_file(
        path, [](const cindrel::SkimmedRecord& record, size_t) { return record.kind == Kind::kObject; });
    if (!sound) read_explanation_records(path, true);
    return {};
  }
  std::unordered_map<std::string, Json> by_ref;
  bool read = cindrel::scan_member_file(path, {}, [&](const ScannedRecord& record, size_t index) {
    if (record.plain_shape && record.values[0].kind == Kind::kObject) {
      const FlatValue* ref = flat_member(record, 0, "signal_ref");
      const FlatValue* summary = flat_member(record, 0, "summary");
      if (ref && ref->kind != Kind::kString) return true;
      if ((!ref || is_text(ref)) && is_text(summary)) {
        if (ref && !ref->text.empty()) by_ref[std::string(ref->text)] = Json{{"summary", summary->text}};
        return true;
      }
    }
    std::optional<Json> explanation = parse_record(record);
    if (!explanation || !explanation->is_object()) return false;
    add_explanation(std::move(*explanation), path, index, true, by_ref);
    return true;
  });
  return read ? by_ref : read_explanation_records(path, true);
}

}  // namespace velquor::dornath
