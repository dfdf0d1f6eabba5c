#include "velquor/cindrel/record_scanner.h"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <string>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "shared/errors.h"
#include "shared/file_io.h"
#include "shared/json.h"

namespace velquor::cindrel {
namespace {

// As the strict parser, which counts the top-level array as depth 0: deeper
// text is an error there.
constexpr int kMaxDepth = 512;

bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool is_hex(char c) { return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

// Eight bytes are looked at together below: the first byte of the text is
// the lowest of the word.
static_assert(std::endian::native == std::endian::little);
constexpr uint64_t kOnes = 0x0101010101010101;
constexpr uint64_t kHighBits = 0x8080808080808080;

uint64_t word_at(const char* at) {
  uint64_t word;
  std::memcpy(&word, at, sizeof word);
  return word;
}

// Whether a string must stop at a byte: a quote, a backslash, a control
// character, DEL or a byte beyond ASCII end plain text.
constexpr auto kStops = [] {
  std::array<bool, 256> stops{};
  for (int c = 0; c < 256; ++c) stops[c] = c == '"' || c == '\\' || c < 0x20 || c >= 0x7F;
  return stops;
}();

// Flags (the high bit of) each byte of `word` that is not zero, exactly:
// no carry crosses from one byte into the next.
uint64_t nonzero_bytes(uint64_t word) {
  constexpr uint64_t kLowBits = ~kHighBits;
  return (((word & kLowBits) + kLowBits) | word) & kHighBits;
}

// The index of the first byte at or after `pos` that kStops holds, or
// text.size(). Where the processor has 16-byte vectors the text is searched
// sixteen bytes at a time, then eight at a time while a whole word is left.
// Each test on a word flags its first matching byte exactly (only bytes after
// it may be flagged wrongly), so the lowest flag of all is the byte sought.
[[gnu::always_inline]] inline size_t next_special(std::string_view text, size_t pos) {
#if defined(__SSE2__)
  // As signed bytes, those below 0x20 and those beyond 0x7F are below ' '.
  const __m128i quote = _mm_set1_epi8('"'), backslash = _mm_set1_epi8('\\');
  const __m128i space = _mm_set1_epi8(' '), del = _mm_set1_epi8(0x7F);
  for (; pos + sizeof(__m128i) <= text.size(); pos += sizeof(__m128i)) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text.data() + pos));
    const __m128i stops = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(bytes, quote), _mm_cmpeq_epi8(bytes, backslash)),
                                       _mm_or_si128(_mm_cmplt_epi8(bytes, space), _mm_cmpeq_epi8(bytes, del)));
    if (const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(stops)))
      return pos + static_cast<size_t>(std::countr_zero(mask));
  }
#endif
  for (; pos + sizeof(uint64_t) <= text.size(); pos += sizeof(uint64_t)) {
    const uint64_t word = word_at(text.data() + pos);
    const uint64_t quote = word ^ (kOnes * '"');
    const uint64_t backslash = word ^ (kOnes * '\\');
    const uint64_t flags = (((word - kOnes * 0x20) & ~word) |       // below 0x20
                            ((quote - kOnes) & ~quote) |            // '"'
                            ((backslash - kOnes) & ~backslash) |    // '\\'
                            ((word + kOnes) | word)) &              // 0x7F and above
                           kHighBits;
    if (flags) return pos + static_cast<size_t>(std::countr_zero(flags)) / 8;
  }
  for (; pos < text.size(); ++pos)
    if (kStops[static_cast<unsigned char>(text[pos])]) return pos;
  return text.size();
}

// The index of the first byte at or after `pos` that is not white space.
// Hot loops such as this one work on a copy of the text and position: bytes
// read through the scanner's own members could alias them. The writers
// indent their records, so after a line break the spaces are passed eight
// at a time.
[[gnu::always_inline]] inline size_t space_end(std::string_view text, size_t pos) {
  while (pos < text.size()) {
    const char c = text[pos];
    if (c > ' ' || (c != ' ' && c != '\n' && c != '\t' && c != '\r')) return pos;
    ++pos;
    if (c != '\n') continue;
    for (; pos + sizeof(uint64_t) <= text.size(); pos += sizeof(uint64_t)) {
      if (const uint64_t others = nonzero_bytes(word_at(text.data() + pos) ^ (kOnes * ' '))) {
        pos += static_cast<size_t>(std::countr_zero(others)) / 8;
        break;
      }
    }
  }
  return pos;
}

// The index of the first byte at or after `pos` that is not a digit. Reals
// carry up to seventeen digits, looked at eight at a time: a byte below '0'
// is flagged by the subtraction and one above '9' by the addition, and a
// borrow or carry only starts from a flagged byte.
size_t digits_end(std::string_view text, size_t pos) {
  for (; pos + sizeof(uint64_t) <= text.size(); pos += sizeof(uint64_t)) {
    const uint64_t word = word_at(text.data() + pos);
    const uint64_t others = ((word - kOnes * '0') | (word + kOnes * (0x80 - '9' - 1))) & kHighBits;
    if (others) return pos + static_cast<size_t>(std::countr_zero(others)) / 8;
  }
  while (pos < text.size() && is_digit(text[pos])) ++pos;
  return pos;
}

// A cheap stand-in for a member name when looking for a repeated one: its
// length and first eight bytes. Equal names have equal signatures.
uint64_t name_signature(std::string_view name, std::string_view text) {
  uint64_t first = 0;
  if (name.data() + sizeof first <= text.data() + text.size()) {
    first = word_at(name.data());
    if (name.size() < sizeof first) first &= (uint64_t{1} << (8 * name.size())) - 1;
  } else {
    std::memcpy(&first, name.data(), std::min(name.size(), sizeof first));
  }
  return first ^ (static_cast<uint64_t>(name.size()) << 56);
}

// Whether the strict parser accepts `quoted`, one string with its quotes.
bool string_parses(std::string_view quoted) {
  try {
    parse_json(quoted, "string");
    return true;
  } catch (const JsonError&) {
    return false;
  }
}

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

// The kind of the value whose text `span` the skim checked.
FlatValue::Kind skimmed_kind(std::string_view span) {
  switch (span[0]) {
    case '{': return FlatValue::Kind::kObject;
    case '[': return FlatValue::Kind::kArray;
    case '"': return FlatValue::Kind::kString;
    case 't': return FlatValue::Kind::kTrue;
    case 'f': return FlatValue::Kind::kFalse;
    case 'n': return FlatValue::Kind::kNull;
    default:
      return span.find_first_of(".eEIN") == std::string_view::npos ? FlatValue::Kind::kInteger
                                                                   : FlatValue::Kind::kReal;
  }
}

// The end of the number at `pos` as read_number() reads it, or npos when
// the text there is none.
size_t number_end(std::string_view text, size_t pos) {
  auto at = [&](size_t i) { return i < text.size() ? text[i] : '\0'; };
  if (at(pos) == '-') ++pos;
  if (at(pos) == '0') ++pos;
  else if (at(pos) >= '1' && at(pos) <= '9') pos = digits_end(text, pos);
  else return std::string_view::npos;
  if (at(pos) == '.') {
    if (!is_digit(at(++pos))) return std::string_view::npos;
    pos = digits_end(text, pos);
  }
  if (at(pos) == 'e' || at(pos) == 'E') {
    if (at(++pos) == '+' || at(pos) == '-') ++pos;
    if (!is_digit(at(pos))) return std::string_view::npos;
    pos = digits_end(text, pos);
  }
  return pos;
}

// The length of the escape whose backslash is at `pos`, or 0 when it is not
// one. A \u escape needs only four hex digits: a lone or mismatched
// surrogate is kept as it is.
size_t escape_length(std::string_view text, size_t pos) {
  const char c = pos + 1 < text.size() ? text[pos + 1] : '\0';
  if (c == 'u') {
    if (text.size() - pos < 6) return 0;
    for (size_t i = 2; i < 6; ++i)
      if (!is_hex(text[pos + i])) return 0;
    return 6;
  }
  return c != '\0' && std::strchr("\"\\/bfnrt", c) ? 2 : 0;
}

// The end of the string whose opening quote is at `pos`, or npos when it
// holds anything but printable ASCII, DEL and valid escapes.
size_t usual_string_end(std::string_view text, size_t pos) {
  for (++pos;;) {
    pos = next_special(text, pos);
    if (pos >= text.size()) return std::string_view::npos;
    const char c = text[pos];
    if (c == '"') return pos + 1;
    const size_t length = c == 0x7F ? 1 : c == '\\' ? escape_length(text, pos) : 0;
    if (length == 0) return std::string_view::npos;
    pos += length;
  }
}

// Containers nested at most this deep take the one loop below.
constexpr unsigned kUsualLevels = 64;

// The end of the container (object or array) at `pos` when its text has the
// usual shape and the strict parser accepts it, found in one loop; npos
// otherwise, and the caller then takes the exact path, which decides. The
// usual shape nests at most kUsualLevels deep and holds no NaN, infinity or byte
// beyond ASCII. `objects` keeps one bit per open container, set for an
// object.
size_t usual_container_end(std::string_view text, size_t pos) {
  constexpr size_t kFail = std::string_view::npos;
  auto at = [&](size_t i) { return i < text.size() ? text[i] : '\0'; };
  uint64_t objects = 0;
  unsigned levels = 0;
  for (;;) {
    // At a value.
    char c = at(pos);
    if (c == '{' || c == '[') {
      if (levels == kUsualLevels) return kFail;
      objects = objects << 1 | (c == '{');
      ++levels;
      pos = space_end(text, pos + 1);
      if (at(pos) == (c == '{' ? '}' : ']')) {
        ++pos;
        --levels;
        objects >>= 1;
      } else if (c == '[') {
        continue;
      } else {
        goto member_name;
      }
    } else if (c == '"') {
      pos = usual_string_end(text, pos);
    } else if (c == 't') {
      pos = text.compare(pos, 4, "true") == 0 ? pos + 4 : kFail;
    } else if (c == 'f') {
      pos = text.compare(pos, 5, "false") == 0 ? pos + 5 : kFail;
    } else if (c == 'n') {
      pos = text.compare(pos, 4, "null") == 0 ? pos + 4 : kFail;
    } else {
      pos = number_end(text, pos);
    }
    if (pos == kFail) return kFail;
    // After a value: a comma and the next, or the end of containers.
    for (;;) {
      if (levels == 0) return pos;
      pos = space_end(text, pos);
      c = at(pos);
      if (c == ',') break;
      if (c != ((objects & 1) ? '}' : ']')) return kFail;
      ++pos;
      --levels;
      objects >>= 1;
    }
    pos = space_end(text, pos + 1);
    if (!(objects & 1)) continue;
  member_name:
    if (at(pos) != '"' || (pos = usual_string_end(text, pos)) == kFail) return kFail;
    pos = space_end(text, pos);
    if (at(pos) != ':') return kFail;
    pos = space_end(text, pos + 1);
  }
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

bool flat_is_set(const FlatValue* value) {
  if (!value) return false;
  switch (value->kind) {
    case FlatValue::Kind::kTrue: return true;
    case FlatValue::Kind::kInteger: return value->text != "0";  // "-0" is never plain
    case FlatValue::Kind::kReal: return flat_number(*value) != 0.0;
    case FlatValue::Kind::kString: return !value->text.empty();  // raw or not, empty only when empty
    case FlatValue::Kind::kArray:
    case FlatValue::Kind::kObject: return value->size > 0;
    default: return false;
  }
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

template <size_t N>
bool RecordScanner::scan_word(const char (&word)[N]) {
  constexpr size_t length = N - 1;
  if (text_.size() - pos_ < length || std::memcmp(text_.data() + pos_, word, length) != 0) return false;
  pos_ += length;
  return true;
}

RecordScanner::RecordScanner(std::string_view text) : text_(text) {}

RecordScanner::RecordScanner(std::string_view text, size_t element) : text_(text), pos_(element), in_array_(true) {}

RecordScanner::~RecordScanner() = default;

[[gnu::always_inline]] inline void RecordScanner::skip_space() { pos_ = space_end(text_, pos_); }

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
  return scan_into(record, [&] { return scan_value(record, 1); }) && end_element();
}

bool RecordScanner::scan_document(ScannedRecord& record) {
  skip_space();
  return scan_into(record, [&] { return scan_value(record, 0); }) && finish();
}

bool RecordScanner::scan_plain_object(ScannedRecord& record) {
  return scan_document(record) && record.plain_shape && record.values[0].kind == FlatValue::Kind::kObject &&
         (record.plain || raw_strings_parse(record));
}

// Starts `record` afresh and calls `scan` on the value at the position.
template <typename Scan>
bool RecordScanner::scan_into(ScannedRecord& record, Scan scan) {
  record.values.clear();
  record.plain = record.plain_shape = true;
  if (reals_) reals_->clear();
  const size_t start = pos_;
  if (!scan()) {
    failed_ = true;
    return false;
  }
  record.span = text_.substr(start, pos_ - start);
  return true;
}

// Steps over what follows an element: a comma and the space before the next
// element, or the closing bracket and the end of the text.
bool RecordScanner::end_element() {
  skip_space();
  if (peek() == ',') {
    ++pos_;
    skip_space();
    return true;
  }
  if (peek() == ']') {
    ++pos_;
    return finish();
  }
  failed_ = true;
  return false;
}

bool RecordScanner::skim(SkimmedRecord& record) {
  if (!in_array_ || failed_) return false;
  const size_t start = pos_;
  if (!skim_value(1)) {
    failed_ = true;
    return false;
  }
  record.span = text_.substr(start, pos_ - start);
  record.kind = skimmed_kind(record.span);
  return end_element();
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
      ok = peek() == 'N' ? scan_word("NaN") : scan_word("Infinity");
      mark_odd_shape(record);
      kind = FlatValue::Kind::kReal;
      break;
    default: return scan_number(record, index);
  }
  record.values[index].kind = kind;
  record.values[index].end = static_cast<uint32_t>(record.values.size());
  return ok;
}

// The signatures of an object's member names so far. Nearly every name is
// new, and a filter of one bit per signature kept says so without a search.
struct RecordScanner::MemberNames {
  uint64_t signatures[kMaxPlainMembers];
  uint64_t filter = 0;

  static uint64_t filter_bit(uint64_t signature) {
    return uint64_t{1} << ((signature * 0x9E3779B97F4A7C15) >> 58);
  }
};

// Reads the members of the object at the position into values[index], each
// value by `scan_value(key)`.
template <typename ScanValue>
bool RecordScanner::scan_members_of(ScannedRecord& record, size_t index, ScanValue scan_value) {
  ++pos_;  // '{'
  uint32_t members = 0;
  MemberNames names;
  skip_space();
  if (peek() != '}') {
    for (;;) {
      std::string_view key;
      size_t child = record.values.size();
      if (!scan_member_name(record, index, members, names, key) || !scan_value(key)) return false;
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

bool RecordScanner::scan_object(ScannedRecord& record, size_t index, int depth) {
  return scan_members_of(record, index, [&](std::string_view) { return scan_value(record, depth + 1); });
}

// Reads a member's name and the colon after it, as the `members`-th member
// of the object at values[object], whose members so far are the values
// recorded.
bool RecordScanner::scan_member_name(ScannedRecord& record, size_t object, uint32_t members,
                                     MemberNames& names, std::string_view& key) {
  skip_space();
  if (peek() != '"') return false;
  bool plain_key = true;
  if (!scan_string(key, plain_key)) return false;
  if (!plain_key) mark_odd_shape(record);
  skip_space();
  if (peek() != ':') return false;
  ++pos_;
  skip_space();
  record.values[object].end = static_cast<uint32_t>(record.values.size());
  if (record.plain_shape) {
    // A repeated member: the strict parser keeps the last value.
    const uint64_t signature = name_signature(key, text_);
    const uint64_t bit = MemberNames::filter_bit(signature);
    if (members >= kMaxPlainMembers ||
        ((names.filter & bit) && std::find(names.signatures, names.signatures + members, signature) !=
                                     names.signatures + members &&
         find_flat_member(record.values, object, key))) {
      mark_odd_shape(record);
    } else {
      names.signatures[members] = signature;
      names.filter |= bit;
    }
  }
  return true;
}

bool RecordScanner::next_members(ScannedRecord& record, std::string_view expanded) {
  if (!in_array_ || failed_) return false;
  return scan_into(record, [&] { return peek() == '{' ? scan_members(record, 1, expanded) : skim_into(record, 1); }) &&
         end_element();
}

// Records the object at the position, whose container is at `depth`, and
// its members, skimmed but for the object named `expanded`, recorded so too.
bool RecordScanner::scan_members(ScannedRecord& record, int depth, std::string_view expanded) {
  if (depth > kMaxDepth) return false;
  const size_t index = record.values.size();
  record.values.emplace_back();
  return scan_members_of(record, index, [&](std::string_view key) {
    const bool expand = !expanded.empty() && key == expanded && peek() == '{';
    return expand ? scan_members(record, depth + 1, {}) : skim_into(record, depth + 1);
  });
}

// The text of a number and its parts, as the grammar of JSON reads it.
struct RecordScanner::NumberText {
  std::string_view token, whole, fraction;
  bool exponent = false;
};

// Skims the value at the position and records it as one value. A number is
// kept in its text as written, so one that next() would not take plainly
// makes the record's shape odd.
bool RecordScanner::skim_into(ScannedRecord& record, int depth) {
  const size_t start = pos_;
  FlatValue value;
  if (peek() == '"') {
    bool plain_text = true;
    if (!skim_string(plain_text)) return false;
    record.plain = record.plain && plain_text;
    value.kind = FlatValue::Kind::kString;
    value.text = slice(start + 1, pos_ - 1);
  } else if ((peek() == '-' || is_digit(peek())) && !at_minus_infinity()) {
    NumberText number;
    if (!read_number(number)) return false;
    if (!is_plain_number(number)) mark_odd_shape(record);
    value.kind = number.fraction.empty() && !number.exponent ? FlatValue::Kind::kInteger : FlatValue::Kind::kReal;
    value.text = number.token;
  } else {
    if (!skim_value(depth)) return false;
    value.text = slice(start, pos_);
    value.kind = skimmed_kind(value.text);
    if (value.kind == FlatValue::Kind::kReal) mark_odd_shape(record);  // NaN or an infinity
  }
  record.values.push_back(value);
  record.values.back().end = static_cast<uint32_t>(record.values.size());
  return true;
}

// Whether next() takes a number plainly: an integer within 64 bits other
// than "-0", or a finite real. 18 digits always fit 64 bits, and a real
// without exponent is finite below 309 digits, so only the others are
// converted to tell.
bool RecordScanner::is_plain_number(const NumberText& number) {
  const char* first = number.token.data();
  const char* last = first + number.token.size();
  if (number.fraction.empty() && !number.exponent) {
    int64_t parsed;
    return number.token != "-0" &&
           (number.whole.size() <= 18 || std::from_chars(first, last, parsed).ec == std::errc());
  }
  if (!number.exponent && number.whole.size() < 300) return true;
  double parsed;
  const auto result = std::from_chars(first, last, parsed);
  return result.ec == std::errc() && result.ptr == last && std::isfinite(parsed);
}

RecordScanner::TextStore& RecordScanner::text_store() {
  if (!reals_) reals_ = std::make_unique<TextStore>();
  return *reals_;
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
[[gnu::always_inline]] inline bool RecordScanner::scan_string(std::string_view& content, bool& plain) {
  size_t start = ++pos_;
  for (;;) {
    pos_ = next_special(text_, pos_);
    if (pos_ >= text_.size()) return false;
    const char c = text_[pos_];
    if (c == '"') {
      content = slice(start, pos_);
      ++pos_;
      return true;
    }
    plain = false;
    pos_ += c == '\\' ? 2 : 1;
  }
}

// Whether the text at pos_ can only be -Infinity, if anything.
bool RecordScanner::at_minus_infinity() const {
  return peek() == '-' && pos_ + 1 < text_.size() && text_[pos_ + 1] == 'I';
}

// Reads a number (other than -Infinity); false when the text is none.
bool RecordScanner::read_number(NumberText& number) {
  const size_t start = pos_;
  if (peek() == '-') ++pos_;
  const size_t whole_start = pos_;
  if (peek() == '0') {
    ++pos_;
  } else if (peek() >= '1' && peek() <= '9') {
    pos_ = digits_end(text_, pos_);
  } else {
    return false;
  }
  number.whole = slice(whole_start, pos_);
  number.fraction = {};
  if (peek() == '.') {
    const size_t fraction_start = ++pos_;
    if (!is_digit(peek())) return false;
    pos_ = digits_end(text_, pos_);
    number.fraction = slice(fraction_start, pos_);
  }
  number.exponent = peek() == 'e' || peek() == 'E';
  if (number.exponent) {
    ++pos_;
    if (peek() == '+' || peek() == '-') ++pos_;
    if (!is_digit(peek())) return false;
    pos_ = digits_end(text_, pos_);
  }
  number.token = slice(start, pos_);
  return true;
}

bool RecordScanner::scan_number(ScannedRecord& record, size_t index) {
  FlatValue& value = record.values[index];
  value.end = static_cast<uint32_t>(index + 1);
  if (at_minus_infinity()) {
    if (!scan_word("-Infinity")) return false;
    mark_odd_shape(record);
    value.kind = FlatValue::Kind::kReal;
    return true;
  }
  NumberText number;
  if (!read_number(number)) return false;
  const std::string_view token = number.token;
  const bool integer = number.fraction.empty() && !number.exponent;
  value.kind = integer ? FlatValue::Kind::kInteger : FlatValue::Kind::kReal;
  value.text = token;
  if (integer) {
    // 18 digits always fit 64 bits; "-0" is printed as 0.
    int64_t parsed;
    if (token == "-0" ||
        (number.whole.size() > 18 &&
         std::from_chars(token.data(), token.data() + token.size(), parsed).ec != std::errc()))
      mark_odd_shape(record);
  } else if (number.exponent || !is_shortest_real(number.whole, number.fraction)) {
    double parsed;
    auto result = std::from_chars(token.data(), token.data() + token.size(), parsed);
    if (result.ec != std::errc() || !std::isfinite(parsed)) mark_odd_shape(record);
    else value.text = text_store().keep(parsed);
  }
  return true;
}

// Checks one value as the strict parser does, stepping past it.
bool RecordScanner::skim_value(int depth) {
  if (depth > kMaxDepth) return false;
  switch (peek()) {
    case '{':
    case '[': {
      // Most containers take the one-loop path; the rest are read exactly.
      const size_t end = depth + kUsualLevels <= kMaxDepth ? usual_container_end(text_, pos_) : std::string_view::npos;
      if (end != std::string_view::npos) {
        pos_ = end;
        return true;
      }
      return skim_container(peek() == '{' ? '}' : ']', depth);
    }
    case '"': {
      bool plain_text;
      return skim_string(plain_text);
    }
    case 't': return scan_word("true");
    case 'f': return scan_word("false");
    case 'n': return scan_word("null");
    case 'N': return scan_word("NaN");
    case 'I': return scan_word("Infinity");
    default: {
      if (at_minus_infinity()) return scan_word("-Infinity");
      NumberText number;
      return read_number(number);
    }
  }
}

// An object (closed by '}') or an array (by ']').
bool RecordScanner::skim_container(char close, int depth) {
  ++pos_;
  skip_space();
  if (peek() == close) {
    ++pos_;
    return true;
  }
  for (;;) {
    skip_space();
    if (close == '}') {
      bool plain_name;
      if (peek() != '"' || !skim_string(plain_name)) return false;
      skip_space();
      if (peek() != ':') return false;
      ++pos_;
      skip_space();
    }
    if (!skim_value(depth + 1)) return false;
    skip_space();
    if (peek() == close) {
      ++pos_;
      return true;
    }
    if (peek() != ',') return false;
    ++pos_;
  }
}

// Escapes and control characters are checked here; bytes beyond ASCII, which
// the system's writers always escape, are left to the strict parser. The
// string is `plain` when its content is plain text (see is_plain_text).
bool RecordScanner::skim_string(bool& plain) {
  const size_t start = pos_++;
  bool beyond_ascii = false;
  plain = true;
  for (;;) {
    pos_ = next_special(text_, pos_);
    if (pos_ >= text_.size()) return false;
    const unsigned char c = static_cast<unsigned char>(text_[pos_]);
    if (c == '"') break;
    plain = false;
    if (c == '\\') {
      if (!skim_escape()) return false;
    } else if (c < 0x20) {
      return false;
    } else {
      beyond_ascii = beyond_ascii || c >= 0x80;
      ++pos_;
    }
  }
  ++pos_;
  return !beyond_ascii || string_parses(text_.substr(start, pos_ - start));
}

// One escape, from its backslash.
bool RecordScanner::skim_escape() {
  const size_t length = escape_length(text_, pos_);
  pos_ += length;
  return length != 0;
}

bool raw_strings_parse(const ScannedRecord& record) {
  for (const FlatValue& value : record.values)
    if (value.kind == FlatValue::Kind::kString && !is_plain_text(value.text) &&
        !string_parses(std::string_view(value.text.data() - 1, value.text.size() + 2)))
      return false;
  return true;
}

namespace {

// Calls `step(scanner, index)` for each element of the top-level array of
// the file at `path` while it returns true, letting go of the pages passed.
// False when the file is not read through.
template <typename Step>
bool pass_over_records(const std::filesystem::path& path, Step step) {
  // Pages already read are let go of in steps of this size.
  constexpr size_t kReleaseStep = size_t{32} << 20;
  MappedFile file(path, MappedFile::Reading::kOnePass);
  RecordScanner scanner(file.text());
  if (!scanner.open_array()) return false;
  size_t released = 0;
  for (size_t index = 0; scanner.in_array(); ++index) {
    if (!step(scanner, index)) return false;
    if (scanner.position() - released > kReleaseStep) file.release(released = scanner.position());
  }
  return !scanner.failed();
}

}  // namespace

bool scan_record_file(const std::filesystem::path& path,
                      const std::function<bool(const ScannedRecord&, size_t)>& take) {
  ScannedRecord record;
  return pass_over_records(path, [&](RecordScanner& scanner, size_t index) {
    return scanner.next(record) && (record.plain || !record.plain_shape || raw_strings_parse(record)) &&
           take(record, index);
  });
}

bool scan_member_file(const std::filesystem::path& path, std::string_view expanded,
                      const std::function<bool(const ScannedRecord&, size_t)>& take) {
  ScannedRecord record;
  return pass_over_records(path, [&](RecordScanner& scanner, size_t index) {
    return scanner.next_members(record, expanded) && take(record, index);
  });
}

bool skim_record_file(const std::filesystem::path& path,
                      const std::function<bool(const SkimmedRecord&, size_t)>& take) {
  SkimmedRecord record;
  return pass_over_records(path, [&](RecordScanner& scanner, size_t index) {
    return scanner.skim(record) && take(record, index);
  });
}

}  // namespace velquor::cindrel
