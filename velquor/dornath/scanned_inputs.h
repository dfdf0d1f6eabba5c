// Reading the signal and explanation files with the record scanner of stage 3
// instead of building a JSON tree per record. A record of the usual shape is
// taken on the fast path; any other is parsed by the strict parser and read
// as the tree path reads it. When a file gives trouble (text that is not
// JSON, a record the strict parser refuses, an explanation that is no map),
// the file is read again by the tree path, which raises its error exactly as
// it always has.
#pragma once

#include <string>
#include <unordered_map>

#include "shared/file_io.h"
#include "shared/json.h"
#include "velquor/dornath/signal_table.h"

namespace velquor::dornath {

// Appends the signal records of `path` to `table`.
void read_signal_file(const fs::path& path, SignalTable& table);

// signal_ref -> explanation record of the explanations file `path` (the
// later record wins), read as trees; with `prompt_members_only`, each reduced
// to what the interpretation prompt reads. TypeError naming "<path>[i]" for a
// record that is not a map.
std::unordered_map<std::string, Json> read_explanation_records(const fs::path& path,
                                                               bool prompt_members_only);

// Checks the explanations file `path` as the tree loader does. With
// `keep_summaries`, returns signal_ref -> what the interpretation prompt reads
// of its explanation (the later record wins); otherwise an empty map.
std::unordered_map<std::string, Json> read_explanation_file(const fs::path& path, bool keep_summaries);

}  // namespace velquor::dornath
