// Signals as pattern discovery reads them: one small row per signal record,
// its names and event reference as ids into shared text tables, so that the
// hundreds of thousands of signals of a long history cost a few dozen bytes
// each instead of a JSON tree.
//
// A row holds what discovery reads of its record, or the errors reading it
// raised. The step that reads a member raises its error, exactly where
// reading the record itself would have, so every step behaves on a table as
// on the list of records it was made from.
#pragma once

#include <cstdint>
#include <deque>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "shared/json.h"
#include "velquor/dornath/signal_access.h"

namespace velquor::dornath {

// Distinct texts under small ids, in order of first appearance. A history
// has about one event reference per event, so the ids are found through an
// open-addressed table of ids rather than a node per text.
class TextIds {
 public:
  uint32_t intern(std::string_view text);
  // The id of `text`, or nullopt when it was never interned.
  std::optional<uint32_t> find(std::string_view text) const;
  const std::string& text(uint32_t id) const { return texts_[id]; }
  size_t size() const { return texts_.size(); }

 private:
  // Records come in runs that repeat a family, a metric or an event: the
  // texts last interned, one per length modulo kRecent, are tried first.
  static constexpr size_t kRecent = 8;

  // The slot that holds `text` (hashed to `hash`), or the empty slot where
  // it belongs.
  size_t slot_of(std::string_view text, uint64_t hash) const;
  void grow();

  std::deque<std::string> texts_;  // a deque keeps the texts in place
  // A slot holds the low half of its text's hash above id + 1 (0: empty):
  // a probe passes over another text, and the table regrows, without
  // reading any text, which would be one more cache miss per look-up.
  std::vector<uint64_t> slots_;
  uint32_t recent_[kRecent] = {};  // id + 1, or 0 for none yet
};

struct SignalRow {
  uint32_t family = 0;     // id in SignalTable::names
  uint32_t metric = 0;     // id in SignalTable::names
  uint32_t event_ref = 0;  // id in SignalTable::refs; 0 is "" (absent or not text)
  uint32_t errors = 0;     // 1 + index into the table's errors; 0 when none
  Measure measure;
};

class SignalTable {
 public:
  SignalTable();

  // The rows of a list of signal records. TypeError when `signals` is not an
  // array.
  static SignalTable from_json(const Json& signals);

  // Appends the row of a record read by the parser; "signals[i]" (its
  // position in the table) locates its errors.
  void add_record(const Json& signal);
  // Appends a row whose members were all found usable.
  void add_row(const SignalRow& row) { rows_.push_back(row); }
  // Drops the rows from `size` on (a file being read again by the parser).
  void truncate(size_t size);

  size_t size() const { return rows_.size(); }
  bool empty() const { return rows_.empty(); }

  // The row's deviation; raises what reading it raised.
  const Measure& measure(size_t i) const;
  // The row's family and metric name ids; raise what reading them raised
  // (call measure() first: a record that is no map fails there).
  uint32_t family(size_t i) const;
  uint32_t metric(size_t i) const;
  uint32_t event_ref(size_t i) const { return rows_[i].event_ref; }

  TextIds names;
  TextIds refs;

 private:
  struct RowErrors {
    size_t row;
    std::exception_ptr measure, family, metric;
  };
  const RowErrors* errors_of(size_t i) const {
    return rows_[i].errors ? &errors_[rows_[i].errors - 1] : nullptr;
  }

  std::vector<SignalRow> rows_;
  std::vector<RowErrors> errors_;
};

// The direction of a row's deviation (see classify_direction).
std::string_view direction_of(const Measure& measure, double threshold);

struct Component;
// As signals_to_components, on rows.
std::vector<Component> components_of(const SignalTable& signals, double threshold);

}  // namespace velquor::dornath
