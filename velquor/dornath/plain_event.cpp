#include "velquor/dornath/plain_event.h"

namespace velquor::dornath {
namespace {

using cindrel::FlatValue;
using cindrel::ScannedRecord;
using Kind = FlatValue::Kind;

// The members of one scanned event, read by the rules of scan_event. A
// member those rules would read other than by its plain value (a text with
// escapes, a map of another kind, anything that raises an error there) makes
// the event odd: its scan is then left to the tree.
class FlatEvent {
 public:
  explicit FlatEvent(const ScannedRecord& record) : record_(record) {}

  bool odd() const { return odd_; }
  const FlatValue* root() const { return &record_.values[0]; }

  // The member `key` of `object`; an absent object has no members.
  const FlatValue* member(const FlatValue* object, std::string_view key) const {
    if (!object) return nullptr;
    return cindrel::flat_member(record_, static_cast<size_t>(object - record_.values.data()), key);
  }

  // A nested map: absent reads as one without members; any other kind is odd.
  const FlatValue* map_member(const FlatValue* object, std::string_view key) {
    const FlatValue* value = member(object, key);
    if (value && value->kind != Kind::kObject) odd_ = true;
    return value;
  }

  // A text value, or "" for any other kind.
  std::string_view text_or_empty(const FlatValue* value) {
    if (!value || value->kind != Kind::kString) return {};
    if (!record_.plain && !cindrel::is_plain_text(value->text)) odd_ = true;
    return value->text;
  }

  // A time member: a text, or "" for null; any other kind is odd.
  std::string_view time_text(const FlatValue* value) {
    if (value->kind != Kind::kString && value->kind != Kind::kNull) odd_ = true;
    return text_or_empty(value);
  }

  // The first of two members that is set, or nullptr.
  const FlatValue* first_set(const FlatValue* object, std::string_view a, std::string_view b) const {
    for (std::string_view key : {a, b})
      if (const FlatValue* value = member(object, key); cindrel::flat_is_set(value)) return value;
    return nullptr;
  }

 private:
  const ScannedRecord& record_;
  bool odd_ = false;
};

// Git events name their commit in payload.commit_hash; events of other
// families name the commit that triggered them in payload.trigger.commit_sha.
std::string_view commit_of(FlatEvent& ev, const FlatValue* payload) {
  if (ev.text_or_empty(ev.member(ev.root(), "source_type")) == "git")
    return ev.text_or_empty(ev.member(payload, "commit_hash"));
  if (!cindrel::flat_is_set(ev.member(payload, "trigger"))) return {};
  return ev.text_or_empty(ev.member(ev.map_member(payload, "trigger"), "commit_sha"));
}

// The time the family's own members give, else observed_at.
std::string_view time_of(FlatEvent& ev, const FlatValue* payload) {
  const std::string_view type = ev.text_or_empty(ev.member(ev.root(), "source_type"));
  const FlatValue* chosen = nullptr;
  if (type == "git") chosen = ev.first_set(payload, "committed_at", "authored_at");
  else if (type == "github_actions")
    chosen = ev.first_set(ev.map_member(payload, "timing"), "created_at", "started_at");
  else if (type == "github_releases")
    chosen = ev.first_set(ev.map_member(payload, "timing"), "initiated_at", "completed_at");
  if (chosen) return ev.time_text(chosen);
  const FlatValue* observed = ev.member(ev.root(), "observed_at");
  return observed ? ev.time_text(observed) : std::string_view();
}

}  // namespace

std::optional<ScannedEvent> scan_plain_event(std::string_view text, ScannedRecord& scratch) {
  cindrel::RecordScanner scanner(text);
  if (!scanner.scan_plain_object(scratch)) return std::nullopt;
  return scan_plain_record(scratch);
}

std::optional<ScannedEvent> scan_plain_record(const ScannedRecord& record) {
  FlatEvent ev(record);
  const FlatValue* id = ev.member(ev.root(), "event_id");
  const FlatValue* payload = ev.map_member(ev.root(), "payload");
  ScannedEvent scanned;
  scanned.has_id = cindrel::flat_is_set(id);
  scanned.event_id = ev.text_or_empty(id);
  scanned.commit = commit_of(ev, payload);
  scanned.timestamp = time_of(ev, payload);
  if (ev.odd()) return std::nullopt;
  return scanned;
}

}  // namespace velquor::dornath
