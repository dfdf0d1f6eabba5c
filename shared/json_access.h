// Checked access to members of parsed JSON, with errors that say where.
//
// `where` names the file and the record ("events/a1.json",
// "phase2/ci_signals.json[12]"); messages read
// "<where>: missing member 'payload'" or
// "<where>: member 'files' is a string, expected array".
#pragma once

#include <string>
#include <string_view>

#include "shared/json.h"

namespace velquor {

// The member, or nullptr when `object` is not an object or lacks it.
const Json* find_member(const Json& object, std::string_view key);

// The member; MissingMember when absent, TypeError when `object` is not an
// object.
const Json& require_member(const Json& object, std::string_view key, const std::string& where);

// Whether a value counts as set: true, a non-zero number (NaN included), a
// non-empty text, list or map. null and false are unset.
bool is_truthy(const Json& value);

// TypeError unless `value` is of the kind `expected` ("object", "array",
// "string", "number", "boolean").
void expect_kind(const Json& value, std::string_view expected, std::string_view member,
                 const std::string& where);

}  // namespace velquor
