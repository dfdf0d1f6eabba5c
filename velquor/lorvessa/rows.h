// What the write operations store and the read operations look for, worked
// out from their arguments the same way whichever database holds the rows.
// `where` names the database and the operation in argument errors.
#pragma once

#include <array>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "shared/json.h"

namespace velquor::lorvessa {

// Values bound to a statement's parameters in order, each with the name
// that error messages use for it (the column, as a rule).
using Params = std::vector<std::pair<std::string, Json>>;

// The only columns update_pattern may change. The SET clause is built from
// these names, never from the caller's keys.
inline constexpr std::array<std::string_view, 5> kUpdatableColumns = {
    "description_statistical", "description_semantic", "correlation_strength",
    "confidence_tier", "confidence_status"};

// Columns holding JSON text, decoded when a row is read.
inline constexpr std::array<std::string_view, 3> kJsonColumns = {"sources", "metrics",
                                                                  "details"};

// The id create_pattern files `pattern` under, after checking the kinds of
// `pattern` and its `signal_refs`.
std::string pattern_id_of(const Json& pattern, const std::string& where);

// The patterns row of a new pattern made at `now`, in table column order.
// MissingMember for a required member; made only when a row is inserted, so
// a repeated create of a stored pattern needs no pattern_type.
Params new_pattern_row(const Json& pattern, const std::string& id, const std::string& where,
                       const std::string& now);

// The details of a pattern's "created" history entry.
Json created_details(const Json& pattern);

struct KnowledgeRow {
  std::string id;
  Params columns;  // in table column order
  Json derived_from;
  Json approval_method;
};

// The knowledge row create_knowledge stores, checked and defaulted.
KnowledgeRow new_knowledge_row(const Json& knowledge, const std::string& where,
                               const std::string& now);

// The members of `updates` that update_pattern applies, plus updated_at =
// `now`; an empty map when none is left.
Json applied_updates(const Json& updates, const std::string& where, const std::string& now);

// "<verb> INTO <table> (<names>) VALUES (?, ...)" for `values`.
std::string insert_statement(std::string_view verb, std::string_view table, const Params& values);

// "UPDATE patterns SET <column> = ?, ... WHERE pattern_id = ?" for the
// members `applied_updates` kept, and the values of its `?` marks in order.
std::pair<std::string, Params> update_statement(const Json& applied, const Json& pattern_id);

// The condition of list_patterns ("expired = 0 AND scope = ? ...") and the
// values of its marks, after checking the kinds of the three filters.
std::pair<std::string, Params> listing_condition(const Json& scope, const Json& confidence_tier,
                                                 const Json& min_occurrences,
                                                 const std::string& where);

// The store timestamp before which a pattern counts as decayed: now minus
// `days` days. ValueError when that instant falls outside the years 1 to 9999.
std::string decay_cutoff(const Json& days, const std::string& where);

// The details column of a history entry: the compact JSON text, null when
// the map is empty.
Json details_column(const Json& details);

// Decodes the JSON columns of a record read back; `origin` names the database.
void decode_json_columns(Json& record, const std::string& origin);

}  // namespace velquor::lorvessa
