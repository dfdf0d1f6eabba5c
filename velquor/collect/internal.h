// The pieces the collectors share: reading artefacts, the unfinished event
// each collector makes, and the finishing of it (commit, time, identity).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "shared/clock.h"
#include "shared/json.h"
#include "velquor/collect/collect.h"

namespace pugi {
class xml_document;
}

namespace velquor::collect {

// ------------------------------------------------------------ artefacts

// The bytes of an artefact; an empty (or blank) file is faulty input.
std::string read_artefact(const fs::path& path);

// The artefact's bytes as JSON; anything else is faulty input naming it.
Json parse_json_artefact(std::string_view text, const fs::path& path);

// YAML read into the same value tree (scalars stay text).
Json parse_yaml_artefact(std::string_view text, const fs::path& path);

// JSON when the text starts like JSON, else YAML.
Json parse_json_or_yaml_artefact(std::string_view text, const fs::path& path);

void parse_xml_artefact(pugi::xml_document& document, std::string_view text, const fs::path& path);

// Whether the text's first non-blank character is `c`.
bool starts_with_char(std::string_view text, char c);

// Faulty input: "<path>: <what>".
[[noreturn]] void bad_input(const fs::path& path, const std::string& what);

// Members of an artefact's JSON (besides require_member of
// shared/json_access.h), with messages that name the file and the member
// ("plan.json: resource_changes[3]: missing member 'type'").
const Json& need_text(const Json& object, std::string_view key, const std::string& where);
const Json* optional_member(const Json& object, std::string_view key, const std::string& where,
                            std::string_view kind);
// A whole number >= 0, written as a number or as decimal text.
int64_t need_count(const Json& object, std::string_view key, const std::string& where);

// ------------------------------------------------------------ times

// An artefact's time stamp (ISO-8601, up to nanoseconds; without offset it
// is taken as UTC) as the UTC instant, or nullopt when it is not one.
std::optional<TimePoint> read_time(std::string_view text);
TimePoint need_time(const Json& object, std::string_view key, const std::string& where);
std::string utc_text(TimePoint t);
double seconds_between(TimePoint from, TimePoint to);

// ------------------------------------------------------------ events

struct Commit {
  std::string sha;
  std::string message;  // the first line
};

// What a collector makes of its artefacts: an event still without its id,
// time and commit.
struct Draft {
  std::string_view family;
  std::string source_type;
  Json payload = Json::object();
  std::optional<TimePoint> observed;  // the artefact's own time
  // What the event was made from: the digest of the artefacts, or of the
  // thing they describe when a later copy of it may differ (a CI run, a
  // release).
  std::string identity;
  bool identity_includes_commit = true;
  std::optional<std::string> tag;  // tie to this tag's commit when the repository has it
};

struct Context {
  const Request& request;
  fs::path events_dir;
};

using Collector = std::vector<Draft> (*)(const Context& context);

Collector collector_of(std::string_view kind);

std::vector<Draft> collect_junit(const Context& context);
std::vector<Draft> collect_coverage(const Context& context);
std::vector<Draft> collect_ci(const Context& context);
std::vector<Draft> collect_npm(const Context& context);
std::vector<Draft> collect_pip(const Context& context);
std::vector<Draft> collect_openapi(const Context& context);
std::vector<Draft> collect_terraform(const Context& context);
std::vector<Draft> collect_trivy(const Context& context);
std::vector<Draft> collect_releases(const Context& context);
std::vector<Draft> collect_errors(const Context& context);

// The commit `revision` names in `repo`: its full hash and first line.
// IoError when `repo` is no repository, ValueError when it has no such
// commit.
Commit find_commit(const fs::path& repo, const std::string& revision);
// The commit of a tag, or nullopt when the repository lacks the tag.
std::optional<Commit> find_tag_commit(const fs::path& repo, const std::string& tag);

// "<kind>-<16 hex digits>" from the kind, the commit and the identity.
std::string event_id_of(std::string_view kind, const Draft& draft, const Commit& commit);

// The finished event: event_id, source_family, source_type, observed_at,
// payload with its trigger last.
Json finish_event(std::string_view kind, const Draft& draft, const Commit& commit,
                  const std::string& observed_at);

// SHA-256 of each artefact's bytes, sorted and joined: the same files in
// any order give the same digest.
std::string digest_of_files(const std::vector<std::string>& contents);

}  // namespace velquor::collect
