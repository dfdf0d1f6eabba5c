// The explanation of a scanned signal record, written straight from its text.
//
// This is the fast path of a run. For a plain record (record_scanner.h) of
// the usual shape - every member the explanation needs present, objects
// where objects belong, and scalars for the figures the summary reads -
// append_scanned_explanation writes the record's element of the
// explanations file without building JSON values, in the same bytes as the
// JSON path. For any other record it appends nothing and returns false; the
// caller then reads the record as JSON, which also words its errors.
#pragma once

#include <string>

#include "velquor/cindrel/record_scanner.h"

namespace velquor::cindrel {

// Appends "\n  {...}" (the element, indented as an element of the file's
// array), stamped with now_timestamp() once its summary is worded. `where`
// names the signal in errors of the summary's figures; `canonical` is a
// buffer for the hash input, reused between calls.
bool append_scanned_explanation(std::string& out, const ScannedRecord& record,
                                const std::string& where, std::string& canonical);

}  // namespace velquor::cindrel
