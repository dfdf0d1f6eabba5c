// velquor accept / accepted: the maintainers' list of deviations that are
// the project's new normal and no longer worth an advisory.

#include <algorithm>
#include <iostream>

#include "cli/commands.h"
#include "cli/writer.h"
#include "shared/clock.h"
#include "shared/errors.h"
#include "velquor/esperlin/esperlin.h"
#include "velquor/morvic/morvic.h"

namespace velquor::cli {
namespace {

std::string joined(const std::vector<std::string>& names) {
  std::string text;
  for (const auto& name : names) text += (text.empty() ? "" : ", ") + name;
  return text;
}

// What is wrong with a family/metric pair ("" when it is a known pair).
std::string pair_problem(const std::string& family, const std::string& metric) {
  std::vector<std::string> families;
  for (const auto& [name, metrics] : accept_family_metrics()) {
    families.push_back(name);
    if (name != family) continue;
    if (std::find(metrics.begin(), metrics.end(), metric) == metrics.end())
      return "unknown metric '" + metric + "' of family " + family + " (valid: " + joined(metrics) +
             ")";
    return "";
  }
  return "unknown family '" + family + "' (valid: " + joined(families) + ")";
}

void check_pair(const std::string& family, const std::string& metric) {
  const std::string problem = pair_problem(family, metric);
  if (!problem.empty()) throw UsageError(problem);
}

// Stored times are compared as text with the system's own time stamps, so a
// user's "2025-03-01" or "+02:00" time is stored in that same UTC form.
std::string normalized_time(const Args& args, const std::string& option) {
  auto text = args.value(option);
  if (!text) return "";
  auto parsed = parse_iso8601(*text);
  if (!parsed)
    throw UsageError(option + " needs an ISO-8601 date or time (2025-03-01, "
                     "2025-03-01T09:30:00Z), got '" + *text + "'");
  return format_timestamp(parsed->utc);
}

std::string checked_commit(const Args& args) {
  std::string sha = args.value("--from-commit").value_or("");
  if (sha.empty()) return sha;
  bool hex = std::all_of(sha.begin(), sha.end(), [](char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
  });
  // Commits are matched by equality with the full hash of the events.
  if (!hex || (sha.size() != 40 && sha.size() != 64))
    throw UsageError("--from-commit needs a full commit hash (40 lowercase hex digits), got '" +
                     sha + "'");
  return sha;
}

int run_accept(const Args& args) {
  const std::string family = args.positional(1), metric = args.positional(2);
  check_pair(family, metric);
  const std::string reason = args.value("--reason").value_or("");
  if (reason.empty()) throw UsageError("--reason TEXT is required: say why this is normal now");
  const std::string from_commit = checked_commit(args);
  const std::string since = normalized_time(args, "--since");
  const std::string expires = normalized_time(args, "--expires");
  const fs::path dir = existing_data_dir(args.positional(0));
  DirectoryWriter writer(args, dir);

  morvic::AcceptedDeviations accepted(dir);
  accepted.accept(family, metric, reason, from_commit, since,
                  expires.empty() ? std::nullopt : std::optional<std::string>(expires));
  std::cout << "accepted " << family << "/" << metric << " ("
            << esperlin::family_label(family) << " / " << esperlin::metric_label(metric)
            << "): " << reason << "\n";
  if (!from_commit.empty()) std::cout << "  from commit " << from_commit << " on\n";
  if (!since.empty()) std::cout << "  for events since " << since << "\n";
  std::cout << "  " << (expires.empty() ? "never expires" : "expires " + expires) << "\n"
            << "stored in " << accepted.path().string() << "\n";
  return kExitOk;
}

std::string text_member(const Json& entry, const char* key) {
  const auto it = entry.find(key);
  return it != entry.end() && it->is_string() ? it->get<std::string>() : "";
}

// Why an entry can never silence a change, for the listing: "" when it can.
std::string entry_problem(const Json& entry) {
  std::string problem = pair_problem(text_member(entry, "family"), text_member(entry, "metric"));
  const std::string expires = text_member(entry, "expires_at");
  if (!expires.empty() && !parse_iso8601(expires))
    problem += std::string(problem.empty() ? "" : "; ") + "expires_at '" + expires +
               "' is not an ISO-8601 time";
  return problem;
}

int run_accepted(const Args& args) {
  const fs::path dir = existing_data_dir(args.positional(0));
  warn_if_interrupted(dir);
  morvic::AcceptedDeviations accepted(dir);
  const Json entries = accepted.list();
  if (entries.empty()) {
    std::cout << "no accepted deviations in " << accepted.path().string() << "\n";
    return kExitOk;
  }
  const std::string now = now_timestamp();
  for (const auto& entry : entries) {
    const std::string expires = text_member(entry, "expires_at");
    std::cout << text_member(entry, "family") << "/" << text_member(entry, "metric") << ": "
              << text_member(entry, "reason") << "\n"
              << "  accepted " << text_member(entry, "accepted_at");
    if (!text_member(entry, "from_commit").empty())
      std::cout << ", from commit " << text_member(entry, "from_commit");
    if (!text_member(entry, "since").empty()) std::cout << ", since " << text_member(entry, "since");
    if (expires.empty())
      std::cout << ", never expires";
    else
      std::cout << (expires > now ? ", expires " : ", expired ") << expires;
    std::cout << "\n";
    const std::string problem = entry_problem(entry);
    if (!problem.empty()) std::cout << "  warning: " << problem << "\n";
  }
  return kExitOk;
}

}  // namespace

// The metrics each family's signals carry. An accepted pair outside this
// table would never match a change, so it is refused rather than stored.
const std::vector<std::pair<std::string, std::vector<std::string>>>& accept_family_metrics() {
  static const std::vector<std::pair<std::string, std::vector<std::string>>> kTable = {
      {"git", {"files_touched", "dispersion", "change_locality", "cochange_novelty_ratio"}},
      {"ci", {"run_duration", "run_failed"}},
      {"testing", {"total_tests", "failure_rate", "skip_rate", "suite_duration"}},
      {"coverage", {"line_rate", "branch_rate"}},
      {"dependency", {"dependency_count", "max_depth"}},
      {"schema", {"endpoint_count", "type_count", "field_count", "schema_churn"}},
      {"deployment", {"is_prerelease", "asset_count", "release_cadence_hours"}},
      {"config", {"resource_count", "resource_type_count", "config_churn"}},
      {"security", {"vulnerability_count", "critical_count", "fixable_ratio"}},
      {"error_tracking", {"event_count", "user_count", "is_unhandled"}},
  };
  return kTable;
}

const Command kAcceptCommand = {
    "accept",
    {"DIR", "FAMILY", "METRIC"},
    {{"--reason", 0, "TEXT", "why this deviation is the new normal (required)"},
     {"--from-commit", 0, "SHA", "only changes triggered by this commit or later ones"},
     {"--since", 0, "TIME", "only changes of events at or after TIME (ISO-8601)"},
     {"--expires", 0, "TIME", "stop accepting at TIME (ISO-8601); default never"},
     wait_option()},
    "accept a deviation as the project's new normal",
    "Records in DIR/accepted_deviations.json that deviations of METRIC in FAMILY\n"
    "are expected (a planned migration, a deliberate change), so later\n"
    "advisories leave them out. When every significant change is accepted, the\n"
    "advisory is an all-clear. Times are stored in UTC.",
    run_accept,
};

const Command kAcceptedCommand = {
    "accepted",
    {"DIR"},
    {},
    "list the accepted deviations of DIR",
    "Lists the entries of DIR/accepted_deviations.json with their reason, scope\n"
    "and expiry, and marks those that can never apply: an unknown family or\n"
    "metric, or an expiry time that does not parse.",
    run_accepted,
};

}  // namespace velquor::cli
