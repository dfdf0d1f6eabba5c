// Reading a plain event without a JSON tree. Almost every event file is a
// small object of plain members; the record scanner reads it into flat
// values, and the families take their readings from those by the rules the
// tree readers follow. Whatever those rules would not read by a member's
// plain value, an error above all, sends the event to the tree readers,
// which then decide about it exactly as they always did.
#include "shared/errors.h"
#include "velquor/brevalt/internal.h"
#include "velquor/brevalt/payload.h"

namespace velquor::brevalt {
namespace {

using cindrel::FlatValue;
using Kind = FlatValue::Kind;

const FlatValue* root_member(const cindrel::ScannedRecord& event, std::string_view key) {
  return cindrel::flat_member(event, 0, key);
}

// The rules of observed_at_key and event_ref_of; their errors are NotPlain.
std::string optional_text(const FlatValue* value) {
  if (value == nullptr || value->kind == Kind::kNull) return {};
  std::optional<std::string> text = flat_text(value);
  if (!text) throw NotPlain{};
  return std::move(*text);
}

FamilyEvent reduce(size_t family, const cindrel::ScannedRecord& event, const std::string& where) {
  FamilyEvent out;
  out.file = where;
  out.observed_at = optional_text(root_member(event, "observed_at"));
  const FlatValue* id = root_member(event, "event_id");
  if (id == nullptr && family == kGitFamily) throw NotPlain{};
  out.event_ref = optional_text(id);
  if (family == kGitFamily) {
    out.paths = git_paths(event);
    out.metrics = git_base_metrics(out.paths);
  } else {
    out.metrics = payload_metrics(families()[family].name, event);
  }
  return out;
}

}  // namespace

std::optional<PlainDigest> digest_plain_event(const cindrel::ScannedRecord& event,
                                              const std::string& where, FamilySet wanted) {
  try {
    PlainDigest digest;
    digest.selecting = families_named(flat_text(root_member(event, "source_type")),
                                      flat_text(root_member(event, "source_family")));
    for (size_t f = 0; f < families().size(); ++f)
      if (digest.selecting.test(f) && wanted.test(f)) digest.events.emplace_back(f, reduce(f, event, where));
    return digest;
  } catch (const NotPlain&) {
    return std::nullopt;
  } catch (const Error&) {
    return std::nullopt;  // not expected of a plain object; the tree words it
  }
}

}  // namespace velquor::brevalt
