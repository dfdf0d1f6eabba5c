// Vulnerability scans: the scanner's JSON report, every vulnerability of
// every scanned target with its id, severity, package and fixed version.

#include <cctype>

#include "shared/json_access.h"
#include "velquor/collect/internal.h"

namespace velquor::collect {

std::vector<Draft> collect_trivy(const Context& context) {
  const fs::path& path = context.request.files[0];
  const std::string where = path.string();
  const std::string text = read_artefact(path);
  const Json report = parse_json_artefact(text, path);
  if (!report.is_object() || !find_member(report, "SchemaVersion"))
    bad_input(path, "not a scanner report (no SchemaVersion)");

  Json findings = Json::array();
  int64_t critical = 0, high = 0;
  const Json* results = optional_member(report, "Results", where, "array");
  for (size_t r = 0; results && r < results->size(); ++r) {
    const std::string target = where + ": Results[" + std::to_string(r) + "]";
    const Json* vulnerabilities = optional_member((*results)[r], "Vulnerabilities", target, "array");
    for (size_t v = 0; vulnerabilities && v < vulnerabilities->size(); ++v) {
      const Json& found = (*vulnerabilities)[v];
      const std::string at = target + ".Vulnerabilities[" + std::to_string(v) + "]";
      std::string severity = need_text(found, "Severity", at).get<std::string>();
      for (char& c : severity) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      critical += severity == "critical";
      high += severity == "high";
      const Json* fixed = optional_member(found, "FixedVersion", at, "string");
      findings.push_back(Json{{"id", need_text(found, "VulnerabilityID", at)},
                              {"severity", severity},
                              {"package", need_text(found, "PkgName", at)},
                              {"fixed_version", fixed ? *fixed : Json("")}});
    }
  }
  Draft draft;
  draft.family = "security";
  draft.source_type = "trivy";
  draft.payload = Json{{"summary", Json{{"total", static_cast<int64_t>(findings.size())},
                                        {"critical", critical},
                                        {"high", high}}},
                       {"findings", std::move(findings)}};
  if (find_member(report, "CreatedAt")) draft.observed = need_time(report, "CreatedAt", where);
  draft.identity = digest_of_files({text});
  return {std::move(draft)};
}

}  // namespace velquor::collect
