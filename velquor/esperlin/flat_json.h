// JSON values made from scanned records, equal to what the strict parser
// builds of the same text. Making them from a scan costs a fraction of parsing
// the text again: the advisory run keeps tens of thousands of significant
// signals and of the events they refer to, all of them scanned already.
#pragma once

#include <optional>
#include <string>

#include "shared/json.h"
#include "velquor/cindrel/record_scanner.h"

namespace velquor::esperlin {

// A scalar of a scanned record as the parser reads it (a string with escapes
// decoded, a number as parse_json makes it); nullopt for a container.
std::optional<Json> scalar_of(const cindrel::FlatValue& value);

// What parse_json(text, source, kind, keep) builds of the value at
// record.values[index], for a record RecordScanner::scan_plain_object read
// (plain shape, every string one the parser accepts).
Json kept_value(const cindrel::ScannedRecord& record, size_t index, const JsonKeep::Node& keep);

// The same for an element RecordScanner::next_members(record, expanded) read
// with plain shape, of whose members `keep` names some, each whole: a member
// recorded as a container's text is parsed, the expanded one is made from its
// members. Raises as parse_json(record.span, source, NonFinite::kAccept,
// keep) would.
Json kept_members(const cindrel::ScannedRecord& record, std::string_view expanded, const JsonKeep& keep,
                  const std::string& source);

}  // namespace velquor::esperlin
