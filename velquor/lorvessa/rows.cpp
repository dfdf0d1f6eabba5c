#include "velquor/lorvessa/rows.h"

#include <chrono>
#include <cstdint>
#include <optional>

#include "shared/clock.h"
#include "shared/errors.h"
#include "shared/hash.h"
#include "shared/json_access.h"
#include "velquor/lorvessa/arguments.h"

namespace velquor::lorvessa {
namespace {

// now() minus `days` days; nothing when that instant has no four-digit
// year, the only form a store timestamp can take.
std::optional<TimePoint> days_before_now(const Json& days) {
  using namespace std::chrono;
  // Beyond this bound the year is out of range anyway; checking it first
  // keeps the microsecond arithmetic from overflowing.
  constexpr std::int64_t kBound = 4'000'000;
  bool bounded = days.is_number_unsigned()
                     ? days.get<std::uint64_t>() <= static_cast<std::uint64_t>(kBound)
                     : days.get<std::int64_t>() >= -kBound && days.get<std::int64_t>() <= kBound;
  if (!bounded) return std::nullopt;
  TimePoint cutoff = now() - std::chrono::days(days.get<std::int64_t>());
  year y = year_month_day{floor<std::chrono::days>(cutoff)}.year();
  if (y < year{1} || y > year{9999}) return std::nullopt;
  return cutoff;
}

}  // namespace

std::string pattern_id_of(const Json& pattern, const std::string& where) {
  check_object(pattern, "pattern", where);
  const std::string member_where = where + ": pattern";
  std::optional<std::string> id = chosen_id(pattern, "pattern_id", member_where);
  if (!id) {
    id = content_hash({{"fingerprint", require_member(pattern, "fingerprint", member_where)},
                       {"scope", member_or(pattern, "scope", "local")},
                       {"discovery_method",
                        require_member(pattern, "discovery_method", member_where)},
                       {"sources", require_member(pattern, "sources", member_where)},
                       {"metrics", require_member(pattern, "metrics", member_where)}});
  }
  check_text_list(member_or(pattern, "signal_refs", Json::array()), "pattern.signal_refs", where);
  return *id;
}

Params new_pattern_row(const Json& pattern, const std::string& id, const std::string& where,
                       const std::string& now) {
  const std::string member_where = where + ": pattern";
  auto required = [&](std::string_view key) -> const Json& {
    return require_member(pattern, key, member_where);
  };
  return {{"pattern_id", id},
          {"fingerprint", required("fingerprint")},
          {"scope", member_or(pattern, "scope", "local")},
          {"discovery_method", required("discovery_method")},
          {"pattern_type", required("pattern_type")},
          {"sources", dump_compact(required("sources"))},
          {"metrics", dump_compact(required("metrics"))},
          {"description_statistical", member_or(pattern, "description_statistical", nullptr)},
          {"description_semantic", member_or(pattern, "description_semantic", nullptr)},
          {"correlation_strength", member_or(pattern, "correlation_strength", nullptr)},
          {"occurrence_count", member_or(pattern, "occurrence_count", 1)},
          {"repo_count", member_or(pattern, "repo_count", 0)},
          {"first_seen", member_or(pattern, "first_seen", now)},
          {"last_seen", member_or(pattern, "last_seen", now)},
          {"confidence_tier", member_or(pattern, "confidence_tier", "statistical")},
          {"confidence_status", member_or(pattern, "confidence_status", "emerging")},
          {"created_at", now},
          {"updated_at", now}};
}

Json created_details(const Json& pattern) {
  return {{"fingerprint", pattern.at("fingerprint")},
          {"discovery_method", pattern.at("discovery_method")}};
}

KnowledgeRow new_knowledge_row(const Json& knowledge, const std::string& where,
                               const std::string& now) {
  check_object(knowledge, "knowledge", where);
  const std::string member_where = where + ": knowledge";
  auto required = [&](std::string_view key) -> const Json& {
    return require_member(knowledge, key, member_where);
  };
  KnowledgeRow row;
  row.derived_from = required("derived_from");
  const Json& fingerprint = required("fingerprint");
  row.id = chosen_id(knowledge, "knowledge_id", member_where)
               .value_or(content_hash({{"derived_from", row.derived_from},
                                       {"fingerprint", fingerprint}}));
  row.approval_method = member_or(knowledge, "approval_method", "automatic");
  row.columns = {
      {"knowledge_id", row.id},
      {"derived_from", row.derived_from},
      {"fingerprint", fingerprint},
      {"scope", member_or(knowledge, "scope", "local")},
      {"pattern_type", required("pattern_type")},
      {"sources", dump_compact(required("sources"))},
      {"metrics", dump_compact(required("metrics"))},
      {"description_statistical", required("description_statistical")},
      {"description_semantic", member_or(knowledge, "description_semantic", nullptr)},
      {"support_count", required("support_count")},
      {"first_seen", required("first_seen")},
      {"last_seen", required("last_seen")},
      {"approval_method", row.approval_method},
      {"approval_timestamp", member_or(knowledge, "approval_timestamp", now)},
      {"created_at", now}};
  return row;
}

Json applied_updates(const Json& updates, const std::string& where, const std::string& now) {
  check_object(updates, "updates", where);
  Json applied = Json::object();
  for (auto it = updates.begin(); it != updates.end(); ++it) {
    for (std::string_view column : kUpdatableColumns)
      if (it.key() == column) applied[std::string(column)] = it.value();
  }
  if (!applied.empty()) applied["updated_at"] = now;
  return applied;
}

std::string insert_statement(std::string_view verb, std::string_view table,
                             const Params& values) {
  std::string names, marks;
  for (const auto& entry : values) {
    names += (names.empty() ? "" : ", ") + entry.first;
    marks += marks.empty() ? "?" : ", ?";
  }
  return std::string(verb) + " INTO " + std::string(table) + " (" + names + ") VALUES (" + marks +
         ")";
}

std::pair<std::string, Params> update_statement(const Json& applied, const Json& pattern_id) {
  std::string sql = "UPDATE patterns SET ";
  Params params;
  for (auto it = applied.begin(); it != applied.end(); ++it) {
    sql += (params.empty() ? "" : ", ") + it.key() + " = ?";
    params.emplace_back(it.key(), it.value());
  }
  sql += " WHERE pattern_id = ?";
  params.emplace_back("pattern_id", pattern_id);
  return {sql, params};
}

std::pair<std::string, Params> listing_condition(const Json& scope, const Json& confidence_tier,
                                                 const Json& min_occurrences,
                                                 const std::string& where) {
  check_optional_text(scope, "scope", where);
  check_optional_text(confidence_tier, "confidence_tier", where);
  check_optional_integer(min_occurrences, "min_occurrences", where);
  std::string condition = "expired = 0";
  Params params;
  if (is_non_empty_text(scope)) {
    condition += " AND scope = ?";
    params.emplace_back("scope", scope);
  }
  if (is_non_empty_text(confidence_tier)) {
    condition += " AND confidence_tier = ?";
    params.emplace_back("confidence_tier", confidence_tier);
  }
  if (!min_occurrences.is_null()) {
    condition += " AND occurrence_count >= ?";
    params.emplace_back("min_occurrences", min_occurrences);
  }
  return {condition, params};
}

std::string decay_cutoff(const Json& days, const std::string& where) {
  check_integer(days, "decay_window_days", where);
  std::optional<TimePoint> cutoff = days_before_now(days);
  if (!cutoff)
    throw ValueError(where + ": a decay window of " + days.dump() +
                     " days puts the cut-off outside the years 1 to 9999");
  return format_timestamp(*cutoff);
}

Json details_column(const Json& details) {
  return details.empty() ? Json(nullptr) : Json(dump_compact(details));
}

void decode_json_columns(Json& record, const std::string& origin) {
  for (std::string_view column : kJsonColumns) {
    auto it = record.find(column);
    if (it != record.end() && it->is_string())
      *it = parse_json(it->get_ref<const std::string&>(),
                       origin + " column '" + std::string(column) + "'", NonFinite::kAccept);
  }
}

}  // namespace velquor::lorvessa
