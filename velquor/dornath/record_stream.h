// Reading a large JSON array file one element at a time, so that only the
// members a step needs are kept in memory (the signal and explanation files
// of a long history hold hundreds of thousands of records).
#pragma once

#include <functional>
#include <span>
#include <string_view>

#include "shared/file_io.h"
#include "shared/json.h"

namespace velquor::dornath {

// Calls `take` with every element of the JSON array in `path`, in order.
// Accepts exactly what read_json_file(path, NonFinite::kAccept) accepts:
// invalid JSON raises JsonError naming the file, a top-level value that is
// not an array raises TypeError.
void for_each_record(const fs::path& path, const std::function<void(Json&&)>& take);

// `record` reduced to the members named in `keep` (in the record's order).
// A record that is not a map, or holds none of them, is returned whole so
// that later steps still see and report what it is.
Json keep_members(Json&& record, std::span<const std::string_view> keep);

}  // namespace velquor::dornath
