// Small readers and text helpers shared by the advisory engine's steps.
//
// Records reach this stage as JSON written by earlier stages or by hand, so
// every read says what an absent member stands for, and a member of the
// wrong kind raises TypeError naming where it was found.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "shared/json.h"
#include "shared/json_access.h"

namespace velquor::esperlin {

const Json& empty_map();
const Json& empty_list();
const Json& empty_text();

// TypeError naming `what` unless `value` is a JSON array / object.
void expect_array(const Json& value, const std::string& what);
void expect_map(const Json& value, const std::string& what);

// The member, or `fallback` when `object` lacks it (null is a value).
const Json& get_or(const Json& object, std::string_view key, const Json& fallback);
// With a temporary fallback the result is a copy: a reference to the
// temporary would dangle once the calling statement ends, and callers keep
// the result in a `const Json&` local.
Json get_or(const Json& object, std::string_view key, Json&& fallback);

// Like get_or, but a present value must be a map / list (null included in
// the check: only an absent member stands for the empty container).
const Json& map_or_empty(const Json& object, std::string_view key, const std::string& where);
const Json& list_or_empty(const Json& object, std::string_view key, const std::string& where);


// JSON integers, reals and booleans (a boolean counts as 0 or 1).
bool is_numeric(const Json& value);

// |value| of a numeric value; TypeError naming `what` otherwise.
double abs_value(const Json& value, const std::string& what);

// `value` rounded to `decimals` places, halves to even on the exact binary
// value; integers (and booleans, as 0 / 1) stay integers.
Json round_value(const Json& value, int decimals, const std::string& what);

// The first `count` characters (code points) of UTF-8 `text`.
std::string prefix_chars(std::string_view text, size_t count);

// `text` with its ASCII letters in lower case (other bytes unchanged).
std::string lower_ascii(std::string text);

// The text before the first line feed.
std::string first_line(std::string_view text);

// `value` when it is text, its plain text form otherwise.
std::string text_of(const Json& value);

// "%.4g"-style text of a numeric value; TypeError naming `what` otherwise.
std::string general4(const Json& value, const std::string& what);

// Creates `dir` with its missing parents; IoError when that fails.
void ensure_directory(const std::filesystem::path& dir);

std::string join(const std::vector<std::string>& parts, std::string_view separator);

// Orders JSON values the way a sort of a list of texts (or of numbers)
// does; mixing texts with numbers raises TypeError.
bool value_less(const Json& a, const Json& b);

// The elements of a list, sorted with value_less.
std::vector<Json> sorted_values(const Json& list);

}  // namespace velquor::esperlin
