#include "velquor/cindrel/record_scanner.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <string>

#include "shared/errors.h"
#include "shared/file_io.h"
#include "shared/json.h"

namespace velquor::cindrel {
namespace {

// As the strict parser, which counts the top-level array as depth 0: deeper
// text is an error there.
constexpr int kMaxDepth = 512;

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Whether a real written as `whole`.`fraction` (no sign, no exponent) is
// already its shortest round-trip form. Decimals of at most 15 significant
// digits map to distinct doubles, so such a text with no trailing zero is
// the shortest text of its double; it is printed as written when its decimal
// exponent lies in the fixed-point range [-4, 16).
bool is_shortest_real(std::string_view whole, std::string_view fraction) {
  if (fraction == "0") return whole.size() <= 15;
  if (fraction.back() == '0') return false;
  if (whole != "0") return whole.size() + fraction.size() <= 15;
  size_t zeros = fraction.find_first_not_of('0');
  return zeros <= 3 && fraction.size() - zeros <= 15;
}

}  // namespace

// Keeps the shortest forms of reals whose text differs from them, in blocks
// that never move, so the views of a record's values stay valid until the
// next record.
class RecordScanner::TextStore {
 public:
  std::string_view keep(double value) {
    buffer_.clear();
    append_float_repr(buffer_, value);
    if (blocks_.empty()) blocks_.push_back(std::make_unique<char[]>(kBlockSize));
    if (used_ + buffer_.size() > kBlockSize) {
      used_ = 0;
      if (++current_ == blocks_.size()) blocks_.push_back(std::make_unique<char[]>(kBlockSize));
    }
    char* start = blocks_[current_].get() + used_;
    std::memcpy(start, buffer_.data(), buffer_.size());
    used_ += buffer_.size();
    return {start, buffer_.size()};
  }

  void clear() {
    current_ = 0;
    used_ = 0;
  }

 private:
  static constexpr size_t kBlockSize = 16 * 1024;
  std::vector<std::unique_ptr<char[]>> blocks_;
  size_t current_ = 0;
  size_t used_ = 0;
  std::string buffer_;
};

bool is_plain_text(std::string_view text) {
  for (unsigned char c : text)
    if (c < 0x20 || c >= 0x7F || c == '\\') return false;
  return true;
}

double flat_number(const FlatValue& value) {
  const char* end = value.text.data() + value.text.size();
  if (value.kind == FlatValue::Kind::kInteger) {
    int64_t integer = 0;
    std::from_chars(value.text.data(), end, integer);
    return static_cast<double>(integer);
  }
  double real = 0;
  std::from_chars(value.text.data(), end, real);
  return real;
}

const FlatValue* flat_member(const ScannedRecord& record, size_t object, std::string_view key) {
  const size_t index = find_flat_member(record.values, object, key);
  return index ? &record.values[index] : nullptr;
}

size_t find_flat_member(const std::vector<FlatValue>& values, size_t object, std::string_view key) {
  for (size_t child = object + 1; child < values[object].end; child = values[child].end) {
    std::string_view name = values[child].key;
    // Most names differ in length or first letter; skip the library call.
    if (name.size() == key.size() && (key.empty() || name[0] == key[0]) &&
        std::memcmp(name.data(), key.data(), key.size()) == 0)
      return child;
  }
  return 0;
}

RecordScanner::RecordScanner(std::string_view text)
    : text_(text), reals_(std::make_unique<TextStore>()) {}

RecordScanner::RecordScanner(std::string_view text, size_t element)
    : text_(text), pos_(element), in_array_(true), reals_(std::make_unique<TextStore>()) {}

RecordScanner::~RecordScanner() = default;

void RecordScanner::skip_space() {
  while (pos_ < text_.size()) {
    char c = text_[pos_];
    if (c != ' ' && c != '\n' && c != '\t' && c != '\r') return;
    ++pos_;
  }
}

bool RecordScanner::open_array() {
  skip_space();
  if (peek() != '[') return false;
  ++pos_;
  skip_space();
  if (peek() != ']') {
    in_array_ = true;
    return true;
  }
  ++pos_;
  return finish();
}

// After the closing bracket only white space may follow.
bool RecordScanner::finish() {
  in_array_ = false;
  skip_space();
  failed_ = pos_ != text_.size();
  return !failed_;
}

bool RecordScanner::next(ScannedRecord& record) {
  if (!in_array_ || failed_) return false;
  record.values.clear();
  record.plain = record.plain_shape = true;
  reals_->clear();
  size_t start = pos_;
  if (!scan_value(record, 1)) {
    failed_ = true;
    return false;
  }
  record.span = text_.substr(start, pos_ - start);
  skip_space();
  if (peek() == ',') {
    ++pos_;
    skip_space();
  } else if (peek() == ']') {
    ++pos_;
    if (!finish()) return false;
  } else {
    failed_ = true;
    return false;
  }
  return true;
}

bool RecordScanner::scan_value(ScannedRecord& record, int depth) {
  if (depth > kMaxDepth) return false;
  size_t index = record.values.size();
  record.values.emplace_back();
  bool ok = true;
  FlatValue::Kind kind = FlatValue::Kind::kNull;
  switch (peek()) {
    case '{': return scan_object(record, index, depth);
    case '[': return scan_array(record, index, depth);
    case '"': {
      std::string_view content;
      ok = scan_string(content, record.plain);
      record.values[index].text = content;
      kind = FlatValue::Kind::kString;
      break;
    }
    case 't': ok = scan_word("true"); kind = FlatValue::Kind::kTrue; break;
    case 'f': ok = scan_word("false"); kind = FlatValue::Kind::kFalse; break;
    case 'n': ok = scan_word("null"); break;
    case 'N':
    case 'I':
      // Non-finite reals are rare; the strict parser reads them.
      ok = scan_word(peek() == 'N' ? "NaN" : "Infinity");
      mark_odd_shape(record);
      kind = FlatValue::Kind::kReal;
      break;
    default: return scan_number(record, index);
  }
  record.values[index].kind = kind;
  record.values[index].end = static_cast<uint32_t>(record.values.size());
  return ok;
}

bool RecordScanner::scan_word(std::string_view word) {
  if (text_.substr(pos_, word.size()) != word) return false;
  pos_ += word.size();
  return true;
}

bool RecordScanner::scan_object(ScannedRecord& record, size_t index, int depth) {
  ++pos_;  // '{'
  uint32_t members = 0;
  skip_space();
  if (peek() != '}') {
    for (;;) {
      skip_space();
      if (peek() != '"') return false;
      std::string_view key;
      bool plain_key = true;
      if (!scan_string(key, plain_key)) return false;
      if (!plain_key) mark_odd_shape(record);
      skip_space();
      if (peek() != ':') return false;
      ++pos_;
      skip_space();
      size_t child = record.values.size();
      record.values[index].end = static_cast<uint32_t>(child);  // the members so far
      if (record.plain_shape && (members >= kMaxPlainMembers || find_flat_member(record.values, index, key)))
        mark_odd_shape(record);  // a repeated member: the strict parser keeps the last value
      if (!scan_value(record, depth + 1)) return false;
      record.values[child].key = key;
      ++members;
      skip_space();
      if (peek() == '}') break;
      if (peek() != ',') return false;
      ++pos_;
    }
  }
  ++pos_;  // '}'
  FlatValue& object = record.values[index];
  object.kind = FlatValue::Kind::kObject;
  object.size = members;
  object.end = static_cast<uint32_t>(record.values.size());
  return true;
}

bool RecordScanner::scan_array(ScannedRecord& record, size_t index, int depth) {
  ++pos_;  // '['
  uint32_t elements = 0;
  skip_space();
  if (peek() != ']') {
    for (;;) {
      skip_space();
      if (!scan_value(record, depth + 1)) return false;
      ++elements;
      skip_space();
      if (peek() == ']') break;
      if (peek() != ',') return false;
      ++pos_;
    }
  }
  ++pos_;  // ']'
  FlatValue& array = record.values[index];
  array.kind = FlatValue::Kind::kArray;
  array.size = elements;
  array.end = static_cast<uint32_t>(record.values.size());
  return true;
}

// A string whose content is printable ASCII without escapes is plain; any
// other string is only skipped up to its closing quote.
bool RecordScanner::scan_string(std::string_view& content, bool& plain) {
  size_t start = ++pos_;
  while (pos_ < text_.size()) {
    unsigned char c = static_cast<unsigned char>(text_[pos_]);
    if (c == '"') {
      content = text_.substr(start, pos_ - start);
      ++pos_;
      return true;
    }
    if (c < 0x20 || c >= 0x7F || c == '\\') {
      plain = false;
      pos_ += c == '\\' ? 2 : 1;
    } else {
      ++pos_;
    }
  }
  return false;
}

bool RecordScanner::scan_number(ScannedRecord& record, size_t index) {
  size_t start = pos_;
  if (peek() == '-') {
    ++pos_;
    if (peek() == 'I') {
      mark_odd_shape(record);
      if (!scan_word("Infinity")) return false;
      record.values[index].kind = FlatValue::Kind::kReal;
      record.values[index].end = static_cast<uint32_t>(index + 1);
      return true;
    }
  }
  size_t whole_start = pos_;
  if (peek() == '0') {
    ++pos_;
  } else if (peek() >= '1' && peek() <= '9') {
    while (is_digit(peek())) ++pos_;
  } else {
    return false;
  }
  std::string_view whole = text_.substr(whole_start, pos_ - whole_start), fraction;
  if (peek() == '.') {
    size_t fraction_start = ++pos_;
    if (!is_digit(peek())) return false;
    while (is_digit(peek())) ++pos_;
    fraction = text_.substr(fraction_start, pos_ - fraction_start);
  }
  bool exponent = peek() == 'e' || peek() == 'E';
  if (exponent) {
    ++pos_;
    if (peek() == '+' || peek() == '-') ++pos_;
    if (!is_digit(peek())) return false;
    while (is_digit(peek())) ++pos_;
  }
  bool integer = fraction.empty() && !exponent;
  std::string_view token = text_.substr(start, pos_ - start);
  FlatValue& value = record.values[index];
  value.end = static_cast<uint32_t>(index + 1);
  value.kind = integer ? FlatValue::Kind::kInteger : FlatValue::Kind::kReal;
  value.text = token;
  if (integer) {
    // 18 digits always fit 64 bits; "-0" is printed as 0.
    int64_t parsed;
    if (token == "-0" ||
        (whole.size() > 18 &&
         std::from_chars(token.data(), token.data() + token.size(), parsed).ec != std::errc()))
      mark_odd_shape(record);
  } else if (exponent || !is_shortest_real(whole, fraction)) {
    double parsed;
    auto result = std::from_chars(token.data(), token.data() + token.size(), parsed);
    if (result.ec != std::errc() || !std::isfinite(parsed)) mark_odd_shape(record);
    else value.text = reals_->keep(parsed);
  }
  return true;
}

bool raw_strings_parse(const ScannedRecord& record) {
  for (const FlatValue& value : record.values) {
    if (value.kind != FlatValue::Kind::kString || is_plain_text(value.text)) continue;
    try {
      parse_json(std::string_view(value.text.data() - 1, value.text.size() + 2), "string");
    } catch (const JsonError&) {
      return false;
    }
  }
  return true;
}

bool scan_record_file(const std::filesystem::path& path,
                      const std::function<bool(const ScannedRecord&, size_t)>& take) {
  // Pages already read are let go of in steps of this size.
  constexpr size_t kReleaseStep = size_t{32} << 20;
  MappedFile file(path, MappedFile::Reading::kOnePass);
  RecordScanner scanner(file.text());
  if (!scanner.open_array()) return false;
  ScannedRecord record;
  size_t released = 0;
  for (size_t index = 0; scanner.next(record); ++index) {
    if (!record.plain && record.plain_shape && !raw_strings_parse(record)) return false;
    if (!take(record, index)) return false;
    if (scanner.position() - released > kReleaseStep) file.release(released = scanner.position());
  }
  return !scanner.failed();
}

}  // namespace velquor::cindrel
