#include "velquor/cindrel/flat_text.h"

#include <algorithm>

namespace velquor::cindrel {
namespace {

void append_scalar(std::string& out, const FlatValue& value) {
  switch (value.kind) {
    case FlatValue::Kind::kNull: out += "null"; return;
    case FlatValue::Kind::kFalse: out += "false"; return;
    case FlatValue::Kind::kTrue: out += "true"; return;
    case FlatValue::Kind::kString:
      out += '"';
      out += value.text;
      out += '"';
      return;
    default: out += value.text;  // numbers; containers never come here
  }
}

void append_line_start(std::string& out, int indent) {
  static const std::string kLineStarts = "\n" + std::string(64, ' ');
  if (indent <= 64) {
    out.append(kLineStarts, 0, static_cast<size_t>(indent) + 1);
    return;
  }
  out += '\n';
  out.append(static_cast<size_t>(indent), ' ');
}

}  // namespace

void append_flat_pretty(std::string& out, const std::vector<FlatValue>& values, size_t index,
                        int indent) {
  const FlatValue& value = values[index];
  bool object = value.kind == FlatValue::Kind::kObject;
  if (!object && value.kind != FlatValue::Kind::kArray) return append_scalar(out, value);
  if (value.size == 0) {
    out += object ? "{}" : "[]";
    return;
  }
  out += object ? '{' : '[';
  for (size_t child = index + 1; child < value.end; child = values[child].end) {
    if (child != index + 1) out += ',';
    append_line_start(out, indent + 2);
    if (object) {
      out += '"';
      out += values[child].key;
      out += "\": ";
    }
    append_flat_pretty(out, values, child, indent + 2);
  }
  append_line_start(out, indent);
  out += object ? '}' : ']';
}

void append_flat_canonical(std::string& out, const std::vector<FlatValue>& values, size_t index) {
  const FlatValue& value = values[index];
  if (value.kind == FlatValue::Kind::kArray) {
    out += '[';
    for (size_t child = index + 1; child < value.end; child = values[child].end) {
      if (child != index + 1) out += ',';
      append_flat_canonical(out, values, child);
    }
    out += ']';
    return;
  }
  if (value.kind != FlatValue::Kind::kObject) return append_scalar(out, value);
  // Plain objects have few members; names are ASCII, so byte order is code
  // point order.
  size_t members[RecordScanner::kMaxPlainMembers];
  size_t count = 0;
  for (size_t child = index + 1; child < value.end; child = values[child].end)
    members[count++] = child;
  std::sort(members, members + count,
            [&](size_t a, size_t b) { return values[a].key < values[b].key; });
  out += '{';
  for (size_t i = 0; i < count; ++i) {
    if (i > 0) out += ',';
    out += '"';
    out += values[members[i]].key;
    out += "\":";
    append_flat_canonical(out, values, members[i]);
  }
  out += '}';
}

}  // namespace velquor::cindrel
