// Comparison of two advisories: what a fix resolved, what persists, what is
// new and what regressed.
//
// Changes are matched by the key family + ":" + metric; when an advisory
// lists a key twice, its first change counts. The result is a map with four
// lists, in this order:
//
//  resolved     changes of `before` (in its order) whose key is not in
//               `after`: {family, metric, before_deviation}
//  persisting   changes of `after` (in its order) whose key is in `before`:
//               {family, metric, before_deviation, now_deviation, improved},
//               improved = |now_deviation| < |before_deviation|
//  new          changes of `after` whose key is not in `before`:
//               {family, metric, deviation_stddev, current, observed_at}
//  regressions  the same records, for those whose observed_at is later (as
//               text) than the `to` of `before`'s period: the metric was
//               normal through the earlier advisory and turned unusual after
//
// Deviation and value members are copied as stored (an absent one as null;
// an absent observed_at as ""). Both advisories must be maps; `changes` may
// be absent (no changes) but otherwise must be a list of maps whose family
// and metric are text, and the deviations of persisting changes must be
// numbers. Violations raise TypeError / MissingMember naming the advisory
// ("before" or "after"), the change index and the member.
#pragma once

#include "shared/json.h"

namespace velquor::quessary {

Json diff_advisories(const Json& before, const Json& after);

}  // namespace velquor::quessary
