#include "velquor/quessary/quessary.h"

#include <cmath>
#include <string>
#include <unordered_map>
#include <vector>

#include "shared/errors.h"
#include "shared/json_access.h"
#include "shared/numbers.h"

namespace velquor::quessary {

namespace {

struct KeyedChange {
  std::string key;
  const Json* change;
  std::string where;
};

// The changes of one advisory, first change of every key only, in order.
class ChangeIndex {
 public:
  ChangeIndex(const Json& advisory, const std::string& name) {
    if (!advisory.is_object())
      throw TypeError(name + ": is " + json_kind(advisory) + ", expected object");
    const Json* changes = find_member(advisory, "changes");
    if (changes == nullptr) return;
    expect_kind(*changes, "array", "changes", name);
    for (size_t i = 0; i < changes->size(); ++i) add((*changes)[i], name + ".changes[" + std::to_string(i) + "]");
  }

  const std::vector<KeyedChange>& changes() const { return ordered_; }

  // The change stored under `key`, or nullptr.
  const KeyedChange* find(const std::string& key) const {
    auto it = position_.find(key);
    return it == position_.end() ? nullptr : &ordered_[it->second];
  }

 private:
  void add(const Json& change, const std::string& where) {
    if (!change.is_object())
      throw TypeError(where + ": is " + json_kind(change) + ", expected object");
    const Json& family = require_member(change, "family", where);
    const Json& metric = require_member(change, "metric", where);
    expect_kind(family, "string", "family", where);
    expect_kind(metric, "string", "metric", where);
    std::string key = family.get<std::string>() + ":" + metric.get<std::string>();
    if (position_.count(key) != 0) return;
    position_.emplace(key, ordered_.size());
    ordered_.push_back({std::move(key), &change, where});
  }

  std::vector<KeyedChange> ordered_;
  std::unordered_map<std::string, size_t> position_;
};

// The member as stored, null when absent.
Json member_or_null(const Json& change, const char* key) {
  const Json* value = find_member(change, key);
  return value == nullptr ? Json(nullptr) : *value;
}

Json resolved_record(const Json& before) {
  return Json{{"family", before["family"]},
              {"metric", before["metric"]},
              {"before_deviation", member_or_null(before, "deviation_stddev")}};
}

Json persisting_record(const KeyedChange& before, const KeyedChange& after) {
  Json before_deviation = member_or_null(*before.change, "deviation_stddev");
  Json now_deviation = member_or_null(*after.change, "deviation_stddev");
  const double was = to_double(before_deviation, before.where + ".deviation_stddev");
  const double now = to_double(now_deviation, after.where + ".deviation_stddev");
  return Json{{"family", (*after.change)["family"]},
              {"metric", (*after.change)["metric"]},
              {"before_deviation", std::move(before_deviation)},
              {"now_deviation", std::move(now_deviation)},
              {"improved", std::fabs(now) < std::fabs(was)}};
}

Json new_record(const Json& after) {
  const Json* observed_at = find_member(after, "observed_at");
  return Json{{"family", after["family"]},
              {"metric", after["metric"]},
              {"deviation_stddev", member_or_null(after, "deviation_stddev")},
              {"current", member_or_null(after, "current")},
              {"observed_at", observed_at == nullptr ? Json("") : *observed_at}};
}

// The `to` of the advisory's period; "" when absent or not text.
std::string period_end(const Json& advisory) {
  const Json* period = find_member(advisory, "period");
  const Json* to = period == nullptr ? nullptr : find_member(*period, "to");
  return to != nullptr && to->is_string() ? to->get<std::string>() : "";
}

// A change first seen after the earlier advisory's period: it was normal
// then and turned unusual since.
bool is_regression(const Json& record, const std::string& before_end) {
  const Json& observed_at = record["observed_at"];
  return observed_at.is_string() && !observed_at.get_ref<const std::string&>().empty() &&
         !before_end.empty() && observed_at.get_ref<const std::string&>() > before_end;
}

}  // namespace

Json diff_advisories(const Json& before, const Json& after) {
  const ChangeIndex was(before, "before");
  const ChangeIndex now(after, "after");
  const std::string before_end = period_end(before);
  Json result = {{"resolved", Json::array()},
                 {"persisting", Json::array()},
                 {"new", Json::array()},
                 {"regressions", Json::array()}};
  for (const KeyedChange& change : was.changes()) {
    if (now.find(change.key) == nullptr) result["resolved"].push_back(resolved_record(*change.change));
  }
  for (const KeyedChange& change : now.changes()) {
    if (const KeyedChange* earlier = was.find(change.key)) {
      result["persisting"].push_back(persisting_record(*earlier, change));
      continue;
    }
    Json record = new_record(*change.change);
    const char* list = is_regression(record, before_end) ? "regressions" : "new";
    result[list].push_back(std::move(record));
  }
  return result;
}

}  // namespace velquor::quessary
