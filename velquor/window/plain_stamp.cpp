#include "velquor/window/plain_stamp.h"

namespace velquor::window {
namespace {

using cindrel::FlatValue;
using FlatKind = FlatValue::Kind;

// The members of one scanned event, read by the rules of stamp_of; a member
// those rules would not read by its plain value makes the event odd.
class FlatStamp {
 public:
  explicit FlatStamp(const cindrel::ScannedRecord& record) : record_(record) {}

  bool odd() const { return odd_; }
  const FlatValue* root() const { return &record_.values[0]; }

  // The member `key` of a map; nothing when `object` is absent or no map.
  const FlatValue* member(const FlatValue* object, std::string_view key) const {
    if (!object || object->kind != FlatKind::kObject) return nullptr;
    return cindrel::flat_member(record_, static_cast<size_t>(object - record_.values.data()), key);
  }

  // A text value's content, or nullopt for any other kind.
  std::optional<std::string_view> text(const FlatValue* value) {
    if (!value || value->kind != FlatKind::kString) return std::nullopt;
    if (!record_.plain && !cindrel::is_plain_text(value->text)) odd_ = true;
    return value->text;
  }
  std::string text_or_empty(const FlatValue* value) { return std::string(text(value).value_or("")); }

  // observed_at: a text, or nothing for null or absence; another kind raises
  // an error in stamp_of, so the event is odd.
  std::string observed_text(const FlatValue* value) {
    if (value && value->kind != FlatKind::kString && value->kind != FlatKind::kNull) odd_ = true;
    return text_or_empty(value);
  }

 private:
  const cindrel::ScannedRecord& record_;
  bool odd_ = false;
};

}  // namespace

std::optional<EventStamp> plain_stamp(const cindrel::ScannedRecord& record, const fs::path& file) {
  if (record.values.empty() || record.values[0].kind != FlatKind::kObject) return std::nullopt;
  FlatStamp ev(record);
  EventStamp stamp;
  const std::optional<std::string_view> id = ev.text(ev.member(ev.root(), "event_id"));
  stamp.event_id = id ? std::string(*id) : file.stem().string();
  stamp.observed_text = ev.observed_text(ev.member(ev.root(), "observed_at"));
  if (auto parsed = parse_iso8601(stamp.observed_text)) stamp.observed = parsed->utc;
  const FlatValue* payload = ev.member(ev.root(), "payload");
  stamp.is_commit = ev.text_or_empty(ev.member(ev.root(), "source_type")) == "git";
  stamp.commit = stamp.is_commit ? ev.text_or_empty(ev.member(payload, "commit_hash"))
                                 : ev.text_or_empty(ev.member(ev.member(payload, "trigger"), "commit_sha"));
  if (ev.odd()) return std::nullopt;
  return stamp;
}

}  // namespace velquor::window
