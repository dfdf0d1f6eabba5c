// Kind checks of the store's arguments, made before anything is written.
// `where` names the database file and the operation; failures raise
// TypeError "<where>: argument 'pattern' is array, expected object".
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "shared/json.h"
#include "shared/json_access.h"

namespace velquor::lorvessa {

void check_text(const Json& value, std::string_view name, const std::string& where);
void check_optional_text(const Json& value, std::string_view name, const std::string& where);
void check_object(const Json& value, std::string_view name, const std::string& where);
void check_text_list(const Json& value, std::string_view name, const std::string& where);
// An integer; booleans are not counted as numbers here.
void check_integer(const Json& value, std::string_view name, const std::string& where);
void check_optional_integer(const Json& value, std::string_view name, const std::string& where);

// True for a non-empty string: the form in which a filter argument counts.
bool is_non_empty_text(const Json& value);

// Member `key` of `map`, or `fallback` when the member is absent. A member
// that is present but null stays null.
Json member_or(const Json& map, std::string_view key, const Json& fallback);

// The id a caller chose through member `key`: its text when set, nothing
// when absent or not set (null, "", 0...; the store then derives the id). A
// set value that is not text is a TypeError.
std::optional<std::string> chosen_id(const Json& map, std::string_view key,
                                     const std::string& where);

}  // namespace velquor::lorvessa
