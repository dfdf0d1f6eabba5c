// Writing scanned values (record_scanner.h) in the system's JSON layouts.
//
// The texts equal those of dump_pretty and dump_canonical for the same
// values, as long as the record was plain: strings and names then need no
// escapes and every number already holds its printed text.
#pragma once

#include <string>
#include <vector>

#include "velquor/cindrel/record_scanner.h"

namespace velquor::cindrel {

// values[index] in the two-space layout, its first line continuing the
// current line and its nested lines indented from `indent` spaces.
void append_flat_pretty(std::string& out, const std::vector<FlatValue>& values, size_t index,
                        int indent);

// values[index] in canonical form: members sorted by name, no white space.
void append_flat_canonical(std::string& out, const std::vector<FlatValue>& values, size_t index);

}  // namespace velquor::cindrel
