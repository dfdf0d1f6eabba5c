// Presence patterns: does a git metric behave differently on the commits
// where another family produced events at all? Treated commits carry an
// aligned signal of the family, control commits do not; the standardised
// mean difference (effect size d, pooled population deviation) decides.

#include <algorithm>
#include <cmath>

#include "shared/clock.h"
#include "shared/errors.h"
#include "shared/numbers.h"
#include "velquor/dornath/commit_ids.h"
#include "velquor/dornath/dornath.h"
#include "velquor/dornath/log.h"
#include "velquor/dornath/params.h"
#include "velquor/dornath/signal_table.h"
#include "velquor/dornath/statistics.h"

namespace velquor::dornath {
namespace {

constexpr size_t kMaxRefs = 20;
constexpr double kMinControlCommits = 30;

// Insertion-ordered map.
template <typename Key, typename Value>
class OrderedMap {
 public:
  Value& operator[](Key key) {
    auto [it, added] = index_.try_emplace(key, entries_.size());
    if (added) entries_.emplace_back(key, Value{});
    return entries_[it->second].second;
  }
  const std::vector<std::pair<Key, Value>>& entries() const { return entries_; }

 private:
  std::vector<std::pair<Key, Value>> entries_;
  std::unordered_map<Key, size_t> index_;
};

struct GitMetric {
  std::string metric;
  const std::vector<std::optional<double>>* values;  // by commit
};

// The groups of one family: commits in ascending text order.
struct Groups {
  std::vector<size_t> treated;
  std::vector<size_t> control;
};

// `git` and `family` tell by commit whether the family has a signal on it.
Groups split_git_commits(const std::vector<bool>& git, const std::vector<bool>& family) {
  Groups g;
  for (size_t id = 0; id < git.size(); ++id)
    if (git[id]) (family[id] ? g.treated : g.control).push_back(id);
  return g;
}

std::vector<double> values_at(const std::vector<size_t>& commits,
                              const std::vector<std::optional<double>>& values) {
  std::vector<double> result;
  for (size_t id : commits)
    if (values[id]) result.push_back(*values[id]);
  return result;
}

// Effect size of treated against control values; nullopt when both groups
// are constant or the pooled deviation is 0.
std::optional<double> effect_size(const std::vector<double>& treated,
                                  const std::vector<double>& control) {
  double nt = static_cast<double>(treated.size()), nc = static_cast<double>(control.size());
  double mean_t = mean_of(treated), mean_c = mean_of(control);
  double std_t = population_stddev(treated, mean_t), std_c = population_stddev(control, mean_c);
  if (std_t == 0 && std_c == 0) return std::nullopt;
  double pooled = std::sqrt((std_t * std_t * nt + std_c * std_c * nc) / (nt + nc));
  if (pooled == 0) return std::nullopt;
  return (mean_t - mean_c) / pooled;
}

Json presence_record(const std::string& family, const std::string& metric, double d, size_t nt,
                     size_t nc, Json refs, const Json& params) {
  std::string direction(d > 0 ? kIncreased : kDecreased);
  std::string presence = family + "_presence";
  double full_at = param_or(params, "confidence_full_at", 30);
  if (full_at == 0) throw ValueError("params: member 'confidence_full_at' must not be 0");
  Json record = Json::object();
  record["fingerprint"] =
      compute_fingerprint({{"git", metric, direction}, {family, "_presence", std::string(kIncreased)}});
  record["scope"] = "local";
  record["discovery_method"] = "statistical";
  record["alignment"] = "presence";
  record["pattern_type"] = "co_occurrence";
  record["sources"] = family < "git" ? Json::array({family, "git"}) : Json::array({"git", family});
  record["metrics"] = presence < metric ? Json::array({presence, metric}) : Json::array({metric, presence});
  record["description_statistical"] = "When " + family + " events occur, git." + metric +
                                      " is systematically " + direction + " (effect size d=" +
                                      format_fixed(d, 2) + ", treated=" + std::to_string(nt) +
                                      ", control=" + std::to_string(nc) + ").";
  double rounded = round_half_even(d, 4);
  record["correlation_strength"] = rounded;
  record["raw_correlation"] = rounded;
  record["confidence_weight"] = std::min(1.0, static_cast<double>(std::min(nt, nc)) / full_at);
  record["effect_size"] = rounded;
  record["accepted_via"] = "presence";
  record["occurrence_count"] = static_cast<int64_t>(nt);
  record["signal_refs"] = std::move(refs);
  record["first_seen"] = now_timestamp();
  record["last_seen"] = now_timestamp();
  record["confidence_tier"] = "statistical";
  record["confidence_status"] = "emerging";
  return record;
}

}  // namespace

Json Dornath::_discover_presence_patterns(const Json& signals) {
  const SignalTable table = SignalTable::from_json(signals);
  Json candidates = discover_presence_patterns(table, commits_of(table));
  log_presence_patterns(candidates);
  return candidates;
}

Json Dornath::discover_presence_patterns(const SignalTable& signals, SharedRefCommits shared_commits) {
  const double min_support = required_param(params, "min_support");
  const double min_effect_size = param_or(params, "min_effect_size", 0.3);
  const RefCommits& commits = *shared_commits.get();

  // By family, the commits it has a signal on; by git metric, its value on
  // each commit (commits are numbered in text order).
  const std::optional<uint32_t> git_id = signals.names.find("git");
  OrderedMap<uint32_t, std::vector<bool>> commits_by_family;
  OrderedMap<uint32_t, std::vector<std::optional<double>>> git_values;
  for (size_t i = 0; i < signals.size(); ++i) {
    const Measure& measure = signals.measure(i);
    if (measure.state != MeasureState::kValue) continue;
    const int64_t id = commits.of_ref[signals.event_ref(i)];
    if (id < 0) continue;
    const uint32_t family = signals.family(i);
    const uint32_t metric = signals.metric(i);
    if (family == git_id) {
      auto& values = git_values[metric];
      values.resize(commits.count);
      values[static_cast<size_t>(id)] = measure.value;
    }
    auto& present = commits_by_family[family];
    present.resize(commits.count);
    present[static_cast<size_t>(id)] = true;
  }

  Json candidates = Json::array();
  auto name = [&](uint32_t id) -> const std::string& { return signals.names.text(id); };
  const std::vector<bool>* git = nullptr;
  for (const auto& [family, present] : commits_by_family.entries())
    if (family == git_id) git = &present;
  if (!git) return candidates;
  std::vector<GitMetric> git_metrics;
  for (const auto& [metric, values] : git_values.entries())
    git_metrics.push_back({name(metric), &values});

  // Every input signal's reference by commit, built at the first admitted
  // pattern: one pass over the signals instead of one per treated commit.
  std::vector<std::vector<uint32_t>> refs_by_commit;
  auto references_of = [&](const std::vector<size_t>& treated) {
    if (refs_by_commit.empty()) {
      refs_by_commit.resize(commits.count);
      for (size_t i = 0; i < signals.size(); ++i)
        if (int64_t id = commits.of_ref[signals.event_ref(i)]; id >= 0)
          refs_by_commit[static_cast<size_t>(id)].push_back(signals.event_ref(i));
    }
    Json refs = Json::array();
    for (size_t i = 0; i < treated.size() && i < kMaxRefs && refs.size() < kMaxRefs; ++i) {
      for (uint32_t ref : refs_by_commit[treated[i]]) {
        refs.push_back(signals.refs.text(ref));
        if (refs.size() == kMaxRefs) break;
      }
    }
    return refs;
  };

  const double min_control = std::max(min_support, kMinControlCommits);
  for (const auto& [family_id, family_commits] : commits_by_family.entries()) {
    const std::string& family = name(family_id);
    if (family == "git") continue;
    Groups groups = split_git_commits(*git, family_commits);
    if (static_cast<double>(groups.treated.size()) < min_support ||
        static_cast<double>(groups.control.size()) < min_control)
      continue;
    for (const GitMetric& g : git_metrics) {
      std::vector<double> treated = values_at(groups.treated, *g.values);
      std::vector<double> control = values_at(groups.control, *g.values);
      if (static_cast<double>(treated.size()) < min_support ||
          static_cast<double>(control.size()) < min_support)
        continue;
      std::optional<double> d = effect_size(treated, control);
      if (!d || std::fabs(*d) < min_effect_size) continue;
      candidates.push_back(presence_record(family, g.metric, *d, treated.size(), control.size(),
                                           references_of(groups.treated), params));
    }
  }
  return candidates;
}

void Dornath::log_presence_patterns(const Json& candidates) {
  if (!candidates.empty() && log_enabled(LogLevel::kInfo))
    log_message(LogLevel::kInfo, format_log("Presence-based discovery found %zu candidate patterns",
                                            candidates.size()));
}

}  // namespace velquor::dornath
