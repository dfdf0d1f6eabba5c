// CI runs: a workflow run as the hosting service's REST API returns it, with
// the listing of its jobs when given, or a run described by flags.
//
// A finished run is measured from its start to its last update. A run still
// going (collected from one of its own jobs) is measured over the jobs that
// have finished, and has failed when one of them failed. A run identifies
// itself (id and attempt), so collecting it again adds nothing even when the
// document has changed since.

#include <algorithm>
#include <array>
#include <cctype>

#include "shared/errors.h"
#include "shared/hash.h"
#include "shared/json_access.h"
#include "velquor/collect/internal.h"

namespace velquor::collect {
namespace {

struct JobsOutcome {
  std::string conclusion = "success";
  std::optional<TimePoint> last_end;
};

JobsOutcome finished_jobs(const Json& listing, const fs::path& path) {
  const std::string where = path.string();
  const Json& jobs = require_member(listing, "jobs", where);
  expect_kind(jobs, "array", "jobs", where);
  JobsOutcome outcome;
  for (size_t i = 0; i < jobs.size(); ++i) {
    const std::string at = where + ": jobs[" + std::to_string(i) + "]";
    if (need_text(jobs[i], "status", at) != "completed") continue;
    const Json* conclusion = optional_member(jobs[i], "conclusion", at, "string");
    if (conclusion && (*conclusion == "failure" || *conclusion == "timed_out"))
      outcome.conclusion = "failure";
    else if (conclusion && *conclusion == "cancelled" && outcome.conclusion == "success")
      outcome.conclusion = "cancelled";
    TimePoint end = need_time(jobs[i], "completed_at", at);
    if (!outcome.last_end || end > *outcome.last_end) outcome.last_end = end;
  }
  return outcome;
}

bool is_job_listing(const Json& document) {
  return document.is_object() && find_member(document, "jobs") != nullptr;
}

Draft run_from_document(const Json& run, const fs::path& path, const Json* jobs,
                        const fs::path& jobs_path) {
  const std::string where = path.string();
  if (!run.is_object() || !find_member(run, "status") || !find_member(run, "created_at"))
    bad_input(path, "not a workflow run (no status and created_at)");
  const std::string& status = need_text(run, "status", where).get_ref<const std::string&>();
  const TimePoint created = need_time(run, "created_at", where);
  const TimePoint started = find_member(run, "run_started_at") && !run["run_started_at"].is_null()
                                ? need_time(run, "run_started_at", where)
                                : created;
  std::string conclusion;
  TimePoint ended;
  if (status == "completed") {
    conclusion = need_text(run, "conclusion", where).get<std::string>();
    ended = need_time(run, "updated_at", where);
  } else {
    if (jobs == nullptr)
      bad_input(path, "the run is still " + status + ": give the listing of its jobs as well");
    JobsOutcome outcome = finished_jobs(*jobs, jobs_path);
    if (!outcome.last_end) bad_input(jobs_path, "none of the run's jobs has finished yet");
    conclusion = outcome.conclusion;
    ended = *outcome.last_end;
  }
  Draft draft;
  if (const Json* name = optional_member(run, "name", where, "string")) draft.payload["workflow"] = *name;
  if (const Json* number = optional_member(run, "run_number", where, "number"))
    draft.payload["run_number"] = *number;
  draft.payload["status"] = status;
  draft.payload["conclusion"] = conclusion;
  draft.payload["timing"] = Json{{"created_at", utc_text(created)},
                                 {"started_at", utc_text(started)},
                                 {"duration_seconds", seconds_between(started, ended)}};
  draft.observed = ended;
  const Json* id = find_member(run, "id");
  draft.identity = id ? "run " + dump_compact(*id) + " attempt " +
                            dump_compact(run.contains("run_attempt") ? run["run_attempt"] : Json(1))
                      : sha256_hex(dump_canonical(run));
  draft.source_type = "github_actions";
  return draft;
}

Draft run_from_flags(const CiRunFlags& flags) {
  auto time_of = [](const std::string& text, const char* option) {
    std::optional<TimePoint> t = read_time(text);
    if (!t) throw ValueError(std::string(option) + ": '" + text + "' is not an ISO-8601 time");
    return *t;
  };
  const TimePoint started = time_of(flags.started, "--started");
  const TimePoint completed = time_of(flags.completed, "--completed");
  if (completed < started) throw ValueError("--completed: the run ends before it starts");
  std::optional<std::string> conclusion = ci_conclusion_of(flags.status);
  if (!conclusion) throw ValueError("--status: unknown outcome '" + flags.status + "'");
  Draft draft;
  draft.source_type = flags.system;
  if (!flags.workflow.empty()) draft.payload["workflow"] = flags.workflow;
  draft.payload["status"] = "completed";
  draft.payload["conclusion"] = *conclusion;
  draft.payload["timing"] = Json{{"created_at", utc_text(started)},
                                 {"started_at", utc_text(started)},
                                 {"duration_seconds", seconds_between(started, completed)}};
  draft.observed = completed;
  draft.identity = sha256_hex(flags.system + '\0' + flags.workflow + '\0' + utc_text(started));
  return draft;
}

}  // namespace

std::optional<std::string> ci_conclusion_of(std::string_view status) {
  static const std::array<std::pair<std::string_view, std::string_view>, 9> kOutcomes{{
      {"success", "success"}, {"succeeded", "success"}, {"passed", "success"},
      {"failure", "failure"}, {"failed", "failure"},     {"unstable", "failure"},
      {"cancelled", "cancelled"}, {"canceled", "cancelled"}, {"aborted", "cancelled"},
  }};
  std::string lower(status);
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  for (const auto& [name, conclusion] : kOutcomes)
    if (name == lower) return std::string(conclusion);
  return std::nullopt;
}

std::vector<Draft> collect_ci(const Context& context) {
  const Request& request = context.request;
  Draft draft;
  if (request.files.empty()) {
    draft = run_from_flags(*request.ci_run);
  } else {
    std::vector<std::string> texts;
    std::vector<Json> documents;
    for (const fs::path& path : request.files) {
      texts.push_back(read_artefact(path));
      documents.push_back(parse_json_artefact(texts.back(), path));
    }
    size_t run = 0;
    if (documents.size() == 2 && is_job_listing(documents[0])) run = 1;
    const size_t jobs = 1 - run;
    if (documents.size() == 2 && !is_job_listing(documents[jobs]))
      bad_input(request.files[jobs], "not the listing of a run's jobs (no jobs member)");
    draft = run_from_document(documents[run], request.files[run],
                              documents.size() == 2 ? &documents[jobs] : nullptr,
                              documents.size() == 2 ? request.files[jobs] : fs::path());
  }
  draft.family = "ci";
  return {std::move(draft)};
}

}  // namespace velquor::collect
