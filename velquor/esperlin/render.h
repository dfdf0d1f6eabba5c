// Pieces shared by the text renderings of an advisory.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "shared/json.h"

namespace velquor::esperlin {

// The value a change's current value is compared with: the normal median
// when the normal spread (mad) is positive, else the normal mean.
const Json& normal_value(const Json& change);

// "up" for a positive deviation_stddev, else "down".
std::string direction_of(const Json& change);

// The label of pellan::risk_level for a deviation.
std::string risk_label(const Json& deviation);

// "N what" for each (entry, what) of `counted` whose evidence entry is
// present and non-empty, in that order.
std::vector<std::string> evidence_counts(
    const Json& advisory, const std::vector<std::pair<std::string_view, std::string_view>>& counted);

// The description of the window an advisory covers ("Last 30 days
// (2024-09-17 to 2024-10-17)"); "" for an advisory of the whole history.
std::string window_description(const Json& advisory);

// The member of a record the renderings require.
const Json& member(const Json& record, std::string_view key);

}  // namespace velquor::esperlin
