// Matching the current changes against what the pattern engine learned, and
// choosing the few distinct patterns worth showing.

#include <algorithm>
#include <cmath>
#include <optional>
#include <set>
#include <utility>

#include "shared/errors.h"
#include "shared/hash.h"
#include "shared/json_access.h"
#include "shared/numbers.h"
#include "velquor/dornath/dornath.h"
#include "velquor/esperlin/esperlin.h"
#include "velquor/esperlin/pattern_matches.h"
#include "velquor/esperlin/values.h"
#include "velquor/pellan/pellan.h"

namespace velquor::esperlin {
namespace {

// change_locality measures what dispersion measures, from the other side: two
// patterns differing only in that are one pattern.
Json canonical_metric(const Json& metric) {
  return metric == "change_locality" ? Json("dispersion") : metric;
}

// The pattern's families (else its sources) or metrics, as the member stands
// when it is a non-empty list; absent, null or empty give an empty list.
Json list_member(const Json& pattern, std::string_view key) {
  const Json& value = get_or(pattern, key, Json());
  if (!is_truthy(value)) return Json::array();
  expect_array(value, std::string(key));
  return value;
}

Json sorted_list(const Json& list) {
  Json out = Json::array();
  for (Json& value : sorted_values(list)) out.push_back(std::move(value));
  return out;
}

// The link strength: correlation, else correlation_strength (a zero or null
// counts as absent), else 0.
double strength(const Json& pattern) {
  for (std::string_view key : {"correlation", "correlation_strength"}) {
    const Json& value = get_or(pattern, key, Json());
    if (is_truthy(value)) return abs_value(value, std::string(key));
  }
  return 0;
}

int severity_rank(const Json& pattern) {
  const Json assessment = pellan::pattern_risk_assessment(pattern);
  const Json& severity = require_member(assessment, "severity", "pattern_risk_assessment");
  static const std::pair<const char*, int> kRanks[] = {
      {"positive", 0}, {"info", 1}, {"watch", 2}, {"concern", 3}, {"critical", 4}};
  for (const auto& [name, rank] : kRanks)
    if (severity == name) return rank;
  return 1;
}

// The (family, metric) sets of the components of the signals that deviate at
// the pattern threshold 1.0.
struct CurrentSets {
  std::set<std::string> families;
  std::set<std::string> metrics;
};

CurrentSets current_sets(const Json& significant_signals) {
  CurrentSets sets;
  for (const dornath::Component& c : dornath::signals_to_components(significant_signals, 1.0)) {
    sets.families.insert(c.family);
    sets.metrics.insert(c.metric);
  }
  return sets;
}

// The elements of `list` (absent: none) that are in `current`, sorted and
// without repeats.
Json overlap(const Json& record, std::string_view key, const std::set<std::string>& current) {
  const Json& list = get_or(record, key, empty_list());
  expect_array(list, std::string(key));
  std::set<std::string> common;
  for (const Json& value : list)
    if (value.is_string() && current.count(value.get<std::string>())) common.insert(value.get<std::string>());
  Json out = Json::array();
  for (const std::string& value : common) out.push_back(value);
  return out;
}

Json description_of(const Json& record) {
  const Json& semantic = get_or(record, "description_semantic", Json());
  return is_truthy(semantic) ? semantic : get_or(record, "description_statistical", empty_text());
}

// `current` holds the current sets once worked out: a run matches the
// knowledge and the candidate patterns against the same signals.
template <typename MakeMatch>
Json match_records(const Json& significant_signals, const Json& records, const char* kind,
                   std::optional<CurrentSets>& current, MakeMatch make_match) {
  expect_array(significant_signals, "significant_signals");
  expect_array(records, kind);
  Json matches = Json::array();
  if (records.empty() || significant_signals.empty()) return matches;
  if (!current) current = current_sets(significant_signals);
  if (current->families.empty()) return matches;
  for (const Json& record : records) {
    expect_map(record, std::string(kind) + " record");
    Json families = overlap(record, "sources", current->families);
    Json metrics = overlap(record, "metrics", current->metrics);
    if (!families.empty() && !metrics.empty())
      matches.push_back(make_match(record, std::move(families), std::move(metrics)));
  }
  return matches;
}

Json known_match(const Json& k, Json, Json) {
  return Json{{"knowledge_id", get_or(k, "knowledge_id", empty_text())},
              {"pattern_type", get_or(k, "pattern_type", empty_text())},
              {"confidence", "approved"},
              {"support_count", get_or(k, "support_count", Json(0))},
              {"sources", get_or(k, "sources", empty_list())},
              {"metrics", get_or(k, "metrics", empty_list())},
              {"description", description_of(k)}};
}

Json candidate_match(const Json& p, Json families, Json metrics) {
  const Json* id = find_member(p, "pattern_id");
  return Json{{"pattern_id", id ? *id : get_or(p, "fingerprint", empty_text())},
              {"correlation", get_or(p, "correlation_strength", Json(0))},
              {"families", std::move(families)},
              {"metrics", std::move(metrics)},
              {"description", description_of(p)},
              {"repo_count", get_or(p, "repo_count", Json(0))}};
}

}  // namespace

std::string _content_hash(const Json& data) { return content_hash(data); }

Json _dedup_and_limit_patterns(const Json& patterns, long long limit) {
  expect_array(patterns, "patterns");
  struct Kept {
    std::string key;
    const Json* pattern;
    double strength;
  };
  std::vector<Kept> kept;
  for (const Json& pattern : patterns) {
    expect_map(pattern, "pattern");
    Json families = list_member(pattern, "families");
    if (families.empty()) families = list_member(pattern, "sources");
    Json metrics = Json::array();
    for (const Json& metric : sorted_values(list_member(pattern, "metrics")))
      metrics.push_back(canonical_metric(metric));
    const std::string key = dump_compact(Json::array({sorted_list(families), sorted_list(metrics)}));
    const double corr = strength(pattern);
    auto same = std::find_if(kept.begin(), kept.end(), [&](const Kept& k) { return k.key == key; });
    if (same == kept.end()) kept.push_back({key, &pattern, corr});
    else if (corr > same->strength) *same = {key, &pattern, corr};
  }
  std::vector<std::pair<int, const Kept*>> ranked;
  for (const Kept& k : kept) ranked.emplace_back(severity_rank(*k.pattern), &k);
  std::stable_sort(ranked.begin(), ranked.end(), [](const auto& a, const auto& b) {
    if (a.first != b.first) return a.first > b.first;
    return a.second->strength > b.second->strength;
  });
  // A slice's end: a negative limit counts from the end.
  const long long count = static_cast<long long>(ranked.size());
  const long long end = limit < 0 ? std::max(0LL, count + limit) : std::min(count, limit);
  Json out = Json::array();
  for (long long i = 0; i < end; ++i) out.push_back(*ranked[i].second->pattern);
  return out;
}

Json Esperlin::_match_patterns(const Json& significant_signals, const Json& knowledge) const {
  std::optional<CurrentSets> current;
  return match_records(significant_signals, knowledge, "knowledge", current, known_match);
}

Json Esperlin::_match_candidate_patterns(const Json& significant_signals, const Json& patterns) const {
  std::optional<CurrentSets> current;
  return match_records(significant_signals, patterns, "patterns", current, candidate_match);
}

Json match_all_patterns(const Json& significant_signals, const Json& knowledge, const Json& patterns) {
  std::optional<CurrentSets> current;
  Json matches = match_records(significant_signals, knowledge, "knowledge", current, known_match);
  for (Json& match : match_records(significant_signals, patterns, "patterns", current, candidate_match))
    matches.push_back(std::move(match));
  return matches;
}

}  // namespace velquor::esperlin
