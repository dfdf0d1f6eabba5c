// The JSON value used by every engine, its parser and its writers.
//
// `Json` keeps member order (insertion order is part of every written format)
// and the integer/real distinction: 4 and 4.0 are different values and are
// written differently.
//
// Writers reproduce one fixed layout byte for byte:
//  - dump_pretty:   two-space indentation, one member per line, ": " and ",",
//                   empty containers as [] and {}, no final newline;
//  - dump_compact:  ", " and ": " separators on one line (the layout of JSON
//                   kept inside the knowledge store);
//  - dump_canonical: members sorted by code point at every level, no
//                   whitespace at all (the input of every content hash).
// All three write strings with \" \\ \n \r \t \b \f escapes, every other
// control character, DEL and every non-ASCII character as \u escapes with
// lowercase hex (surrogate pairs beyond the BMP), and reals in their shortest
// round-trip form (see float_repr), NaN / Infinity / -Infinity for
// non-finite values.
#pragma once

#include <nlohmann/json.hpp>

#include <functional>
#include <initializer_list>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace velquor {

using Json = nlohmann::ordered_json;

enum class NonFinite {
  kReject,  // standard JSON only: the input of outside collectors
  kAccept,  // NaN, Infinity, -Infinity accepted: files the system wrote
};

// Parses one JSON document. Invalid JSON, invalid UTF-8, a byte-order mark
// or trailing text raise JsonError naming `source` (usually the file path)
// and the byte offset. A repeated member keeps its last value at the position
// of its first occurrence. Integers that fit 64 bits stay integers; larger
// ones and every number with a fraction or exponent become reals. A number
// too large for a double is a JsonError naming its member ("payload.total")
// in standard JSON; with kAccept it becomes infinity, as the system's own
// files may hold it.
Json parse_json(std::string_view text, const std::string& source,
                NonFinite non_finite = NonFinite::kReject);

// The members a reader wants built from a document, as dotted paths:
// "event_id", "payload.summary.total", "payload.files". A path ending at an
// object or array keeps it whole. Along a path, an object keeps only the
// named members, an array applies the same paths to each of its elements
// ("payload.files.path" keeps the path of every file), and any other value is
// kept as it is, so a reader still sees what kind of value stood there.
// A list may also be filtered by value: only the elements a filter accepts
// are kept, so a reader of a few elements among millions builds those few.
class JsonKeep {
 public:
  // Whether to keep one element of a list, given as the paths below the
  // list build it.
  using ElementFilter = std::function<bool(const Json& element)>;

  struct Node {
    bool whole = false;  // keep this value and everything below it
    std::map<std::string, Node, std::less<>> members;
    ElementFilter keeps_element;  // empty: every element of a list here

    // The node of member `name`, or null when that member is not kept.
    const Node* member(std::string_view name) const;
  };

  JsonKeep() = default;
  JsonKeep(std::initializer_list<std::string_view> paths);
  explicit JsonKeep(const std::vector<std::string>& paths);

  // Adds one dotted path; the empty path keeps the whole document.
  void add(std::string_view path);
  // Of the list at `path` (and of lists within it), keeps only the elements
  // `keeps_element` accepts; the others are read and checked all the same.
  // The filter narrows every path of this JsonKeep through the list; a list
  // filtered twice keeps what either filter accepts.
  void add_filter(std::string_view path, ElementFilter keeps_element);
  // Adds every path `other` keeps. A list filtered on one side only keeps
  // every element, as the other side wants them all.
  void add(const JsonKeep& other);

  const Node& root() const { return root_; }

 private:
  Node& node_at(std::string_view path);  // made along the way when missing

  Node root_;
};

// parse_json building only the members `keep` names: the result equals
// parse_json(text, ...) with every other member removed. The members left out
// are still read and checked exactly as parse_json checks them, without being
// built, so any text parse_json refuses is refused with the same message
// (a number beyond the double range inside a skipped member included).
Json parse_json(std::string_view text, const std::string& source, NonFinite non_finite,
                const JsonKeep& keep);

// Shortest text that reads back to the same double, in the layout of the
// system's number texts: "2.0", "0.1", "1e-05", "0.0001",
// "1234567890123456.0", "1e+16", "nan", "inf", "-inf". Exponent form is used
// exactly when the decimal exponent is below -4 or at least 16.
std::string float_repr(double value);
void append_float_repr(std::string& out, double value);

std::string dump_pretty(const Json& value);
std::string dump_compact(const Json& value);
std::string dump_canonical(const Json& value);

// Appends `text` as a quoted, escaped JSON string.
void append_json_string(std::string& out, std::string_view text);

// Kind name used in error messages ("object", "array", "string", ...).
std::string json_kind(const Json& value);

}  // namespace velquor
