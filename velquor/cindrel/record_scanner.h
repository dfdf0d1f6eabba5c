// Reading the records of a signal file one at a time without JSON values.
//
// A signal file can hold hundreds of thousands of records, and stage 3 only
// copies most of each record through to its output. RecordScanner walks the
// file's top-level array and turns each element into a flat list of values
// that point into the file text, so a record costs no allocation once the
// buffers have grown.
//
// The scanner takes the common shape of a record on the fast path and marks
// everything else as not `plain`: the caller then reads that record (its
// `span`) with the strict parser, so that both paths give the same result.
// A record is plain when every string and member name is printable ASCII
// without escapes, no object repeats a member or has more than
// kMaxPlainMembers members, and every number is an integer within 64 bits
// (other than "-0") or a finite real. Plain values keep their text in the
// form the writers print: integers as written, reals in shortest round-trip
// form.
//
// The scanner checks the syntax of plain records; for the rest it only finds
// where they end. When it meets text that is not JSON it stops and reports
// failed(), and the caller lets the strict parser word the error.
//
// A caller that only needs to know a record is sound skims it instead: the
// scanner checks the whole element as the strict parser would and records
// nothing of it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string_view>
#include <vector>

namespace velquor::cindrel {

// One value of a scanned record. Values are stored in document order: a
// container is followed by its members or elements, each with its own
// descendants, and `end` is the index just past its last descendant.
struct FlatValue {
  enum class Kind : uint8_t { kNull, kFalse, kTrue, kInteger, kReal, kString, kArray, kObject };
  Kind kind = Kind::kNull;
  uint32_t end = 0;
  uint32_t size = 0;      // members or elements of a container
  std::string_view key;   // the member name, for a member of an object
  std::string_view text;  // a number's printed text or a string's content
};

struct ScannedRecord {
  std::string_view span;          // the element's text in the file
  bool plain = true;              // see the file comment
  // Plain but for string values: every member name, number and object is
  // plain, and only a string value may hold escapes or other bytes (its
  // `text` is then its raw content, see is_plain_text). A reader that needs
  // a few members checks just their texts.
  bool plain_shape = true;
  std::vector<FlatValue> values;  // values[0] is the element itself
};

// What skim() finds of an element: its text and the kind of its value (a
// number without fraction or exponent is a kInteger, however long).
struct SkimmedRecord {
  std::string_view span;
  FlatValue::Kind kind = FlatValue::Kind::kNull;
};

// Whether a string's text is its content: printable ASCII without escapes.
bool is_plain_text(std::string_view text);

// The value of a plain number (kInteger or kReal), as the strict parser
// reads it.
double flat_number(const FlatValue& value);

// Whether a value of a plain record counts as set, as is_truthy does for a
// parsed value: false for null (or absent: nullptr), false, 0, "", [] and {}.
bool flat_is_set(const FlatValue* value);

// Index of the member `key` of the object at values[object], or 0 (the index
// of the record itself, never a member) when it has none.
size_t find_flat_member(const std::vector<FlatValue>& values, size_t object, std::string_view key);
// The member `key` of the object at record.values[object], or nullptr.
const FlatValue* flat_member(const ScannedRecord& record, size_t object, std::string_view key);

class RecordScanner {
 public:
  static constexpr uint32_t kMaxPlainMembers = 16;

  // A scanner at the start of `text`; call open_array() first.
  explicit RecordScanner(std::string_view text);
  // A scanner inside the top-level array, at `element`: the start of one of
  // its elements (as position() gives it).
  RecordScanner(std::string_view text, size_t element);
  ~RecordScanner();

  // Steps into the top-level array. False when the text does not start with
  // one, or is only an empty array followed by more text.
  bool open_array();

  // Scans the whole text as one value (an event file, say) into `record`,
  // as next() scans an element: a record that is not plain is still to be
  // read by the strict parser. False when the text is not JSON or more than
  // one value. The record's texts point into the text and into this scanner.
  bool scan_document(ScannedRecord& record);

  // scan_document for a reader of plain objects only: true when the text is
  // one object of plain shape whose every string the strict parser accepts;
  // anything else is left to the strict parser.
  bool scan_plain_object(ScannedRecord& record);

  // Scans the next element into `record`. False at the end of the array or
  // when the text is not JSON; failed() tells the two apart.
  bool next(ScannedRecord& record);

  // Scans the next element as next() does, but of an object records only
  // its members: each member's value is skimmed (checked as the strict
  // parser checks it) and recorded as one value without descendants, whose
  // text is a string's content between its quotes, a number's token as
  // written (its kind as skim() tells it) or a container's whole text. The
  // member named `expanded`, when it is an object, is recorded as the record
  // is, its members following it. An element that is no object is recorded
  // as one skimmed value. The record is plain_shape unless a member name is
  // not plain, repeats or is one too many, or a number is not one next()
  // takes plainly; it is plain when, moreover, every string recorded is
  // plain text. As with next(), a record that is not plain_shape is to be
  // read by the strict parser, as its member names were not checked.
  bool next_members(ScannedRecord& record, std::string_view expanded = {});

  // Passes over the next element as next() does, only checking it: true when
  // the strict parser accepts its text (NaN and Infinity included, nesting
  // as deep as next() takes). No value is recorded and no number converted.
  // False at the end of the array or when the element is not such text;
  // failed() tells the two apart.
  bool skim(SkimmedRecord& record);

  bool failed() const { return failed_; }
  bool in_array() const { return in_array_; }
  // Where the next element starts (past the separator and white space).
  size_t position() const { return pos_; }

 private:
  class TextStore;
  struct NumberText;
  struct MemberNames;

  bool end_element();
  template <typename Scan>
  bool scan_into(ScannedRecord& record, Scan scan);
  bool scan_value(ScannedRecord& record, int depth);
  bool scan_object(ScannedRecord& record, size_t index, int depth);
  template <typename ScanValue>
  bool scan_members_of(ScannedRecord& record, size_t index, ScanValue scan_value);
  bool scan_array(ScannedRecord& record, size_t index, int depth);
  bool scan_member_name(ScannedRecord& record, size_t object, uint32_t members,
                        MemberNames& names, std::string_view& key);
  bool scan_members(ScannedRecord& record, int depth, std::string_view expanded);
  bool skim_into(ScannedRecord& record, int depth);
  TextStore& text_store();
  bool scan_string(std::string_view& content, bool& plain);
  static void mark_odd_shape(ScannedRecord& record) { record.plain = record.plain_shape = false; }
  bool scan_number(ScannedRecord& record, size_t index);
  bool read_number(NumberText& number);
  static bool is_plain_number(const NumberText& number);
  bool at_minus_infinity() const;
  template <size_t N>
  bool scan_word(const char (&word)[N]);
  bool skim_value(int depth);
  bool skim_container(char close, int depth);
  bool skim_string(bool& plain);
  bool skim_escape();
  void skip_space();
  bool finish();
  char peek() const { return pos_ < text_.size() ? text_[pos_] : '\0'; }
  // The text from `from` up to `to`, both within the text scanned so far.
  std::string_view slice(size_t from, size_t to) const { return {text_.data() + from, to - from}; }

  std::string_view text_;
  size_t pos_ = 0;
  bool in_array_ = false;
  bool failed_ = false;
  std::unique_ptr<TextStore> reals_;  // shortest forms of reals written otherwise; made when first needed
};

// Whether the strict parser accepts every string value the scanner passed
// over (those whose text is not plain): a record that is `plain_shape` but not
// `plain` is sound exactly when this holds.
bool raw_strings_parse(const ScannedRecord& record);

// Calls `take(record, index)` for each element of the top-level array of the
// file at `path`. The file is mapped for one pass and the pages already read
// are let go of as the scan moves on, so a large file costs little memory.
// False when the file is not read through: it does not hold an array, the
// scanner met text that is not JSON, a record held a string the parser
// refuses, or `take` returned false. The caller decides what that means,
// usually by reading the file with the strict parser. A file that cannot be
// opened raises IoError.
bool scan_record_file(const std::filesystem::path& path,
                      const std::function<bool(const ScannedRecord&, size_t)>& take);

// As scan_record_file with next_members(record, expanded): each element is
// read through when the scanner accepts it (a record that is not
// plain_shape may still hold what the strict parser refuses) and `take`
// accepts it.
bool scan_member_file(const std::filesystem::path& path, std::string_view expanded,
                      const std::function<bool(const ScannedRecord&, size_t)>& take);

// As scan_record_file for a caller that only checks the records: each
// element is skimmed, and read through exactly when the strict parser
// accepts every element and `take` accepts each.
bool skim_record_file(const std::filesystem::path& path,
                      const std::function<bool(const SkimmedRecord&, size_t)>& take);

}  // namespace velquor::cindrel
