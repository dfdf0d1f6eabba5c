// Change records (one per significant signal) and their grouping by the event
// that triggered them.

#include <algorithm>
#include <set>

#include "shared/errors.h"
#include "shared/json_access.h"
#include "shared/numbers.h"
#include "velquor/esperlin/esperlin.h"
#include "velquor/esperlin/change_record.h"
#include "velquor/esperlin/input_checks.h"
#include "velquor/esperlin/values.h"

namespace velquor::esperlin {
namespace {

// mean, stddev, median, mad of the baseline, to 4 decimals; a missing median
// stands for the mean, a missing mad for 0.
Json normal_of(const Json& baseline, const std::string& where) {
  const Json& mean = require_member(baseline, "mean", where);
  const Json& stddev = require_member(baseline, "stddev", where);
  return Json{{"mean", round_value(mean, 4, where + " mean")},
              {"stddev", round_value(stddev, 4, where + " stddev")},
              {"median", round_value(get_or(baseline, "median", mean), 4, where + " median")},
              {"mad", round_value(get_or(baseline, "mad", Json(0)), 4, where + " mad")}};
}

// The explanation of a signal: by its own reference first, else the first
// explanation of its family and metric.
Json description_of(const KeyIndex& explanations, const Json& ref, const Json& engine,
                    const Json& metric) {
  const std::string pair = text_of(engine) + ":" + text_of(metric);
  const Json* found = explanations.find(text_of(ref) + ":" + pair);
  if (!found || !is_truthy(*found)) found = explanations.find(pair);
  if (!found || !is_truthy(*found)) return "";
  expect_map(*found, "explanation " + pair);
  return get_or(*found, "summary", empty_text());
}

struct Trigger {
  Json commit = "";
  Json message = "";
  std::string observed_at;
  Json files = Json::array();
};

Trigger trigger_of_event(const Json& event, const std::string& where) {
  Trigger trigger;
  const Json& payload = map_or_empty(event, "payload", where);
  trigger.observed_at = event_time(event, where);
  if (get_or(event, "source_type", Json()) == "git") {
    trigger.commit = get_or(payload, "commit_hash", empty_text());
    trigger.message = get_or(payload, "message", empty_text());
    trigger.files = get_or(payload, "files", empty_list());
  } else {
    const Json& commit_trigger = trigger_of(payload, where);
    trigger.commit = get_or(commit_trigger, "commit_sha", empty_text());
    trigger.message = get_or(commit_trigger, "commit_message", empty_text());
  }
  return trigger;
}

double abs_deviation(const Json& change) {
  return abs_value(require_member(change, "deviation_stddev", "change"), "change deviation_stddev");
}

// Strongest deviation first; equal ones keep their order.
void sort_by_deviation(std::vector<Json>& changes) {
  std::stable_sort(changes.begin(), changes.end(),
                   [](const Json& a, const Json& b) { return abs_deviation(a) > abs_deviation(b); });
}

Json group_record(const Json& ref, std::vector<Json> changes) {
  sort_by_deviation(changes);
  std::set<std::string> families;
  for (const Json& change : changes) families.insert(text_of(get_or(change, "family", empty_text())));
  Json group = {{"event_ref", ref}, {"primary", changes.front()}};
  group["families"] = Json(std::vector<std::string>(families.begin(), families.end()));
  group["changes"] = Json(changes);
  group["signal_count"] = changes.size();
  return group;
}

}  // namespace

Json change_record(const Json& signal, const KeyIndex& explanations, const KeyIndex& events) {
  expect_map(signal, "signal");
  const std::string where = "signal " + text_of(get_or(signal, "event_ref", empty_text()));
  const Json& engine_id = require_member(signal, "engine_id", where);
  const Json& metric = require_member(signal, "metric", where);
  const Json& ref = get_or(signal, "event_ref", empty_text());
  const Json& deviation = require_member(signal, "deviation", where);
  const Json& measure = require_member(deviation, "measure", where + " deviation");
  const Json& baseline = require_member(signal, "baseline", where);

  Trigger trigger;
  if (!events.empty() && is_truthy(ref)) {
    const Json* event = ref.is_string() ? events.find(ref.get_ref<const std::string&>()) : nullptr;
    trigger = trigger_of_event(event ? *event : empty_map(), "event " + text_of(ref));
  }
  Json change = Json::object();
  change["family"] = engine_id;
  change["metric"] = metric;
  change["normal"] = normal_of(baseline, where + " baseline");
  change["current"] = require_member(signal, "observed", where);
  change["deviation_stddev"] = round_value(measure, 2, where + " deviation.measure");
  change["deviation_unit"] = get_or(deviation, "unit", Json("modified_zscore"));
  change["description"] = description_of(explanations, ref, engine_id, metric);
  change["event_ref"] = ref;
  change["trigger_commit"] = trigger.commit;
  change["commit_message"] = trigger.message;
  change["observed_at"] = trigger.observed_at;
  change["trigger_files"] = trigger.files;
  return change;
}

Json Esperlin::_format_change(const Json& signal, const Json& explanations, const Json& all_events) const {
  expect_map(explanations, "explanations");
  if (!all_events.is_null()) expect_map(all_events, "all_events");
  return change_record(signal, KeyIndex(explanations), KeyIndex(all_events));
}

Json Esperlin::_group_by_trigger_event(const Json& changes) const {
  expect_array(changes, "changes");
  std::vector<std::pair<Json, std::vector<Json>>> grouped;  // in order of first appearance
  std::vector<const Json*> ungrouped;
  for (const Json& change : changes) {
    const Json& ref = get_or(change, "event_ref", empty_text());
    if (!is_truthy(ref)) {
      ungrouped.push_back(&change);
      continue;
    }
    auto group = std::find_if(grouped.begin(), grouped.end(), [&](const auto& g) { return g.first == ref; });
    if (group == grouped.end()) grouped.emplace_back(ref, std::vector<Json>{change});
    else group->second.push_back(change);
  }
  std::vector<Json> groups;
  for (auto& [ref, members] : grouped) groups.push_back(group_record(ref, std::move(members)));
  std::stable_sort(groups.begin(), groups.end(), [](const Json& a, const Json& b) {
    return abs_deviation(a["primary"]) > abs_deviation(b["primary"]);
  });
  for (const Json* change : ungrouped) groups.push_back(group_record(Json(), {*change}));
  return Json(groups);
}

}  // namespace velquor::esperlin
