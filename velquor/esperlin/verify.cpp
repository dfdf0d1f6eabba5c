// Fix verification: did the changes of an earlier advisory go away?

#include "shared/clock.h"
#include "shared/errors.h"
#include "shared/file_io.h"
#include "shared/json_access.h"
#include "shared/numbers.h"
#include "velquor/esperlin/esperlin.h"
#include "velquor/esperlin/render.h"
#include "velquor/esperlin/values.h"
#include "velquor/pellan/pellan.h"
#include "velquor/quessary/quessary.h"

namespace velquor::esperlin {
namespace {

// The first 8 characters of an advisory id; "?" when it has none.
std::string short_id(const Json& advisory) {
  const Json& id = get_or(advisory, "advisory_id", Json());
  return id.is_null() ? "?" : prefix_chars(text_of(id), 8);
}

size_t change_count(const Json& advisory) {
  return get_or(advisory, "changes", empty_list()).size();
}

const Json& diff_list(const Json& diff, std::string_view key) {
  const Json& list = require_member(diff, key, "advisory difference");
  expect_kind(list, "array", key, "advisory difference");
  return list;
}

std::string change_name(const Json& item) {
  return family_label(text_of(get_or(item, "family", Json()))) + " / " +
         metric_label(text_of(get_or(item, "metric", Json())));
}

// How unusual a deviation is, in lower case ("highly unusual").
std::string risk_words(const Json& deviation) {
  return lower_ascii(text_of(member(pellan::risk_level(deviation), "description")));
}

template <typename Line>
void section(std::vector<std::string>& lines, const Json& items, const char* title, Line line) {
  if (items.empty()) return;
  lines.push_back(title);
  for (const Json& item : items) lines.push_back(line(item));
  lines.push_back("");
}

std::string headline(size_t resolved, size_t total, size_t added) {
  if (resolved == total && added == 0) return "ALL ISSUES RESOLVED. No new issues detected.";
  if (resolved > 0)
    return std::to_string(resolved) + " of " + std::to_string(total) + " flagged changes resolved.";
  return "No changes resolved (" + std::to_string(total) + " still active).";
}

Json empty_verification() {
  return Json{{"resolved", Json::array()},
              {"persisting", Json::array()},
              {"new", Json::array()},
              {"regressions", Json::array()}};
}

}  // namespace

Json Esperlin::_load_previous_advisory(const fs::path& advisory_path) const {
  Json advisory = read_json_file(advisory_path, NonFinite::kAccept);
  if (!advisory.is_object() && !advisory.is_null())
    throw TypeError(advisory_path.string() + ": expected an object, got " + json_kind(advisory));
  return advisory;
}

Json Esperlin::_diff_advisories(const Json& before, const Json& after) const {
  Json diff = quessary::diff_advisories(before, after);
  if (!diff.is_object() && !diff.is_null())
    throw TypeError("advisory difference: expected an object, got " + json_kind(diff));
  return diff;
}

std::string Esperlin::_format_verification_summary(const Json& before, const Json& after,
                                                    const Json& diff) const {
  expect_map(before, "before");
  expect_map(after, "after");
  expect_map(diff, "diff");
  const Json& resolved = diff_list(diff, "resolved");
  const Json& persisting = diff_list(diff, "persisting");
  const Json& added = diff_list(diff, "new");
  const Json& regressions = diff_list(diff, "regressions");
  const size_t total = change_count(before);

  std::vector<std::string> lines = {
      "Fix Verification Report — " + text_of(get_or(after, "scope", Json("unknown"))),
      "Comparing: " + short_id(before) + " → " + short_id(after),
      "",
      headline(resolved.size(), total, added.size()),
      ""};
  section(lines, resolved, "RESOLVED:",
          [](const Json& item) { return "  ✅ " + change_name(item) + " — back to normal"; });
  section(lines, persisting, "STILL UNUSUAL:", [](const Json& item) {
    const bool improved = is_truthy(require_member(item, "improved", "persisting change"));
    return "  ⚠️  " + change_name(item) + " — still " +
           risk_words(require_member(item, "now_deviation", "persisting change")) + " (" +
           (improved ? "improving" : "not improving") + ")";
  });
  section(lines, added, "NEW OBSERVATIONS:", [](const Json& item) {
    return "  🔵 " + change_name(item) + " — " +
           risk_words(require_member(item, "deviation_stddev", "new change")) + " (new)";
  });
  section(lines, regressions, "REGRESSIONS:", [](const Json& item) {
    return "  🔴 " + change_name(item) + " — " +
           risk_words(require_member(item, "deviation_stddev", "regression")) + " (was normal before)";
  });
  if (total > 0) {
    const double rate = static_cast<double>(resolved.size()) / static_cast<double>(total) * 100;
    lines.push_back("Resolution rate: " + format_fixed(rate, 0) + "% (" + std::to_string(resolved.size()) + "/" +
                    std::to_string(total) + ")");
  }
  return join(lines, "\n");
}

Json Esperlin::verify(const std::string& scope, const std::string& previous_advisory_path) {
  // The earlier advisory is read before the run rewrites phase5/, so that
  // naming the current advisory.json compares the old advisory with the new
  // one, and an unusable file stops verification before anything is written.
  const fs::path previous_path(previous_advisory_path);
  std::optional<Json> previous;
  if (fs::exists(previous_path)) {
    previous = _load_previous_advisory(previous_path);
    expect_map(*previous, previous_advisory_path.c_str());
  }

  Json current = run(scope);
  if (current["status"] != "complete")
    return Json{{"status", "no_current_data"},
                {"message", "Current pipeline produced no significant changes."},
                {"verification", empty_verification()}};
  const Json& advisory = current["advisory"];
  if (!previous)
    return Json{{"status", "no_previous_advisory"},
                {"message", "Previous advisory not found: " + previous_advisory_path},
                {"advisory", advisory}};

  const Json diff = _diff_advisories(*previous, advisory);
  const std::string text = _format_verification_summary(*previous, advisory, diff);
  const Json& before_id = get_or(*previous, "advisory_id", Json());
  const Json& after_id = get_or(advisory, "advisory_id", Json());
  const size_t total = change_count(*previous);
  const size_t resolved = diff["resolved"].size();
  Json record = {{"verification_id", _content_hash(Json{{"before", before_id}, {"after", after_id}})},
                 {"before_advisory_id", before_id},
                 {"after_advisory_id", after_id},
                 {"scope", scope},
                 {"generated_at", now_timestamp()}};
  record["summary"] = {{"total_before", total},
                       {"resolved", resolved},
                       {"persisting", diff["persisting"].size()},
                       {"new", diff["new"].size()},
                       {"regressions", diff["regressions"].size()},
                       {"resolution_rate", total > 0 ? Json(static_cast<double>(resolved) /
                                                            static_cast<double>(total))
                                                     : Json(0)}};
  for (const char* key : {"resolved", "persisting", "new", "regressions"}) record[key] = diff[key];

  const fs::path json_path = output_path / "verification.json";
  const fs::path text_path = output_path / "verification.txt";
  write_json_file(json_path, record);
  write_file_atomic(text_path, text);
  Json formats = get_or(current, "formats", empty_map());
  formats["verification_json"] = json_path.string();
  formats["verification_text"] = text_path.string();
  return Json{{"status", "verified"},
              {"advisory", advisory},
              {"verification", std::move(record)},
              {"verification_text", text},
              {"formats", std::move(formats)}};
}

}  // namespace velquor::esperlin
