// Writing text into the page. Everything that comes from commits, events or
// any input file goes through these, so a commit message holding markup is
// shown as text and never becomes part of the page.
#pragma once

#include <string>
#include <string_view>

namespace velquor::report {

// Appends `text` with & < > " ' replaced by character references and the
// control characters XML forbids replaced by U+FFFD, so the result is safe
// both as element content and inside a quoted attribute.
void append_escaped(std::string& out, std::string_view text);
std::string escaped(std::string_view text);

// Appends <tag attributes>escaped text</tag>; `attributes` is trusted markup
// (" class=\"x\"" or empty).
void append_element(std::string& out, std::string_view tag, std::string_view text,
                    std::string_view attributes = "");

// A number for SVG coordinates: at most one decimal, no exponent.
void append_coordinate(std::string& out, double value);

}  // namespace velquor::report
