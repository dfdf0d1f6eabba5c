// The sections below the charts: patterns, accepted deviations, evidence and
// the investigation prompt.

#include <vector>

#include "shared/json_access.h"
#include "shared/numbers.h"
#include "velquor/esperlin/esperlin.h"
#include "velquor/esperlin/values.h"
#include "velquor/pellan/pellan.h"
#include "velquor/report/markup.h"
#include "velquor/report/page.h"

namespace velquor::report {
namespace {

using esperlin::empty_list;
using esperlin::get_or;
using esperlin::text_of;

using Row = std::vector<std::string>;

void append_table(std::string& out, const std::string& label, const Row& headers,
                  const std::vector<Row>& rows) {
  out += "<div class=\"scroll\"><table aria-label=\"";
  append_escaped(out, label);
  out += "\"><thead><tr>";
  for (const std::string& header : headers) append_element(out, "th", header, " scope=\"col\"");
  out += "</tr></thead><tbody>";
  for (const Row& row : rows) {
    out += "<tr>";
    for (const std::string& cell : row) append_element(out, "td", cell);
    out += "</tr>";
  }
  out += "</tbody></table></div>";
}

void open_section(std::string& out, const char* id, const char* heading) {
  out += std::string("<section id=\"") + id + "\" aria-labelledby=\"" + id + "-heading\"><h2 id=\"" + id +
         "-heading\">" + heading + "</h2>";
}

void append_none(std::string& out, const char* text) { append_element(out, "p", text, " class=\"note\""); }

std::string short_sha(const Json& sha) { return esperlin::prefix_chars(text_of(sha), 8); }

// The text of a member that may be absent; lists are joined.
std::string field(const Json& record, std::string_view key) {
  const Json& value = get_or(record, key, esperlin::empty_text());
  if (!value.is_array()) return value.is_null() ? "" : text_of(value);
  std::vector<std::string> parts;
  for (const Json& item : value) parts.push_back(text_of(item));
  return esperlin::join(parts, ", ");
}

const Json& evidence_list(const Json& advisory, std::string_view key) {
  const Json& evidence = get_or(advisory, "evidence", esperlin::empty_map());
  return evidence.is_object() ? get_or(evidence, key, empty_list()) : empty_list();
}

}  // namespace

void append_patterns(std::string& out, const Json& advisory) {
  open_section(out, "patterns", "Matched patterns");
  std::vector<Row> rows;
  for (const char* kind : {"pattern_matches", "candidate_patterns"})
    for (const Json& pattern : get_or(advisory, kind, empty_list())) {
      if (!pattern.is_object()) continue;
      rows.push_back({pellan::friendly_pattern(pattern), field(pattern, "families"), field(pattern, "metrics"),
                      text_of(pellan::pattern_risk_assessment(pattern)["severity"])});
    }
  if (rows.empty()) append_none(out, "No learned or candidate pattern matches these changes.");
  else append_table(out, "Matched patterns", {"Pattern", "Families", "Metrics", "Severity"}, rows);
  out += "</section>";
}

void append_accepted(std::string& out, const Json& accepted) {
  open_section(out, "accepted", "Accepted deviations");
  std::vector<Row> rows;
  for (const Json& entry : accepted)
    rows.push_back({esperlin::family_label(field(entry, "family")) + " / " +
                        esperlin::metric_label(field(entry, "metric")),
                    field(entry, "reason"), field(entry, "accepted_at"), short_sha(get_or(entry, "from_commit", "")),
                    field(entry, "since"), field(entry, "expires_at")});
  if (rows.empty()) append_none(out, "No deviation has been accepted as the new normal.");
  else append_table(out, "Accepted deviations", {"Metric", "Reason", "Accepted", "From commit", "Since", "Expires"}, rows);
  out += "</section>";
}

void append_evidence(std::string& out, const Json& advisory) {
  open_section(out, "evidence", "Evidence");
  std::vector<Row> commits, files, tests, dependencies;
  for (const Json& c : evidence_list(advisory, "commits"))
    commits.push_back({short_sha(get_or(c, "sha", "")), field(c, "timestamp"), field(c, "author"),
                       field(c, "message"), std::to_string(get_or(c, "files_changed", empty_list()).size())});
  for (const Json& f : evidence_list(advisory, "files_affected"))
    files.push_back({field(f, "path"), field(f, "change_type"), short_sha(get_or(f, "first_seen_in", ""))});
  for (const Json& t : evidence_list(advisory, "tests_impacted"))
    tests.push_back({field(t, "name"), field(t, "status_before"), field(t, "status_now"),
                     short_sha(get_or(t, "since_commit", ""))});
  for (const Json& d : evidence_list(advisory, "dependencies_changed"))
    dependencies.push_back({field(d, "name"), field(d, "change"), field(d, "version")});
  auto table = [&](const char* heading, const Row& headers, const std::vector<Row>& rows) {
    append_element(out, "h3", heading + (" (" + std::to_string(rows.size()) + ")"));
    if (rows.empty()) append_none(out, "None.");
    else append_table(out, heading, headers, rows);
  };
  table("Commits", {"Commit", "Time", "Author", "Message", "Files"}, commits);
  table("Files", {"Path", "Change", "First seen in"}, files);
  table("Failing tests", {"Test", "Before", "Now", "Since commit"}, tests);
  table("Dependencies", {"Name", "Change", "Version"}, dependencies);
  out += "</section>";
}

void append_prompt(std::string& out, const std::string& prompt) {
  open_section(out, "prompt", "Investigation prompt");
  if (prompt.empty()) {
    append_none(out, "No investigation prompt was written for this advisory.");
  } else {
    append_element(out, "p", "A ready-made prompt for an AI assistant, with the changes and their evidence.",
                   " class=\"note\"");
    out += "<button type=\"button\" id=\"copy-prompt\" hidden=\"hidden\">Copy prompt</button>";
    append_element(out, "pre", prompt, " id=\"prompt-text\" tabindex=\"0\" aria-label=\"Investigation prompt\"");
  }
  out += "</section>";
}

}  // namespace velquor::report
