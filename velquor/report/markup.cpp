#include "velquor/report/markup.h"

#include <charconv>
#include <cmath>

namespace velquor::report {

void append_escaped(std::string& out, std::string_view text) {
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      case '\t':
      case '\n':
      case '\r': out += c; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) out += "\xEF\xBF\xBD";
        else out += c;
    }
  }
}

std::string escaped(std::string_view text) {
  std::string out;
  append_escaped(out, text);
  return out;
}

void append_element(std::string& out, std::string_view tag, std::string_view text,
                    std::string_view attributes) {
  out += '<';
  out += tag;
  out += attributes;
  out += '>';
  append_escaped(out, text);
  out += "</";
  out += tag;
  out += '>';
}

void append_coordinate(std::string& out, double value) {
  // Tenths of a pixel are finer than any screen needs.
  long long tenths = std::llround(value * 10);
  if (tenths < 0) {
    out += '-';
    tenths = -tenths;
  }
  char digits[24];
  auto end = std::to_chars(digits, digits + sizeof digits, tenths / 10).ptr;
  out.append(digits, end);
  if (tenths % 10 != 0) {
    out += '.';
    out += static_cast<char>('0' + tenths % 10);
  }
}

}  // namespace velquor::report
