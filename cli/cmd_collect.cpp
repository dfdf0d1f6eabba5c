// velquor collect KIND FILE... DIR: a repository's history as git events, or
// a CI job's artefacts as the events of the other families
// (velquor/collect/collect.h).

#include <iostream>
#include <map>
#include <optional>
#include <set>

#include "cli/commands.h"
#include "cli/git_history.h"
#include "cli/parallel_write.h"
#include "shared/clock.h"
#include "cli/writer.h"
#include "shared/errors.h"
#include "shared/file_io.h"
#include "velquor/collect/collect.h"

namespace velquor::cli {
namespace {

constexpr size_t kProgressEvery = 1000;
constexpr const char* kArtefactOptions[] = {"--commit", "--repo",   "--at",      "--status",
                                            "--started", "--completed", "--system", "--workflow"};
constexpr const char* kRunFlags[] = {"--status", "--started", "--completed", "--system"};

std::set<std::string> collected_hashes(const fs::path& events_dir) {
  std::set<std::string> hashes;
  for (const auto& path : list_json_files(events_dir)) {
    std::string hash = hash_of_git_event_file(path.filename().string());
    if (!hash.empty()) hashes.insert(hash);
  }
  return hashes;
}

int collect_git(const Args& args) {
  if (args.positional_count() != 3) throw UsageError("collect git takes one REPO and a DIR");
  for (const char* option : kArtefactOptions)
    if (args.has(option)) throw UsageError(std::string("option ") + option + " does not apply to git");
  const fs::path repo = args.positional(1);
  const fs::path events_dir = fs::path(args.positional(2)) / "events";
  std::optional<int64_t> max_commits;
  if (args.has("--max-commits")) max_commits = args.integer("--max-commits", 0, 1);

  std::vector<GitCommit> commits = read_git_history(repo, max_commits);
  std::error_code ec;
  fs::create_directories(events_dir, ec);
  if (ec) throw IoError(events_dir.string() + ": cannot be created: " + ec.message());
  DirectoryWriter writer(args, events_dir.parent_path(), guard::SweptFolders::kOutputsAndEvents);
  const std::set<std::string> known = collected_hashes(events_dir);

  // Ordinals count commits of the same second in history order, over the
  // whole log, so a re-run names every commit as the first run did.
  std::map<int64_t, int> same_second;
  std::vector<std::pair<const GitCommit*, int>> fresh;
  for (const auto& commit : commits) {
    int ordinal = same_second[commit.committed_unix]++;
    if (!known.count(commit.hash)) fresh.emplace_back(&commit, ordinal);
  }
  if (fresh.size() > kProgressEvery)
    progress("collect: writing " + std::to_string(fresh.size()) + " commit events");
  write_files_concurrently(
      fresh.size(),
      [&](size_t i) {
        const auto& [commit, ordinal] = fresh[i];
        return std::make_pair(events_dir / git_event_file_name(*commit, ordinal),
                              dump_pretty(git_commit_event(*commit)));
      },
      [&](size_t done) {
        progress("collect: " + std::to_string(done) + "/" + std::to_string(fresh.size()));
      },
      kProgressEvery);
  std::cout << "collected " << fresh.size() << " new commit" << (fresh.size() == 1 ? "" : "s")
            << " from " << repo.string() << " into " << events_dir.string() << " ("
            << commits.size() - fresh.size() << " already there)\n";
  return kExitOk;
}

std::string kind_names() {
  std::string names;
  for (const auto& name : collect_kind_names()) names += (names.empty() ? "" : ", ") + name;
  return names;
}

// The run described by --status, --started, --completed and --system, when
// any of them is given.
std::optional<collect::CiRunFlags> ci_run_flags(const Args& args, const std::string& kind,
                                                size_t files) {
  bool any = false;
  for (const char* flag : kRunFlags) any = any || args.has(flag);
  if (!any) {
    if (kind == "ci" && files == 0)
      throw UsageError("ci needs a workflow run file, or --status, --started, --completed and --system");
    return std::nullopt;
  }
  if (kind != "ci") throw UsageError("option --status and its companions apply to ci only");
  if (files > 0) throw UsageError("ci takes a workflow run file or the flags, not both");
  for (const char* flag : kRunFlags)
    if (!args.has(flag)) throw UsageError(std::string("option ") + flag + " is needed to describe the run");
  collect::CiRunFlags run{*args.value("--system"), *args.value("--status"), "", "",
                          args.value("--workflow").value_or("")};
  if (!collect::ci_conclusion_of(run.status))
    throw UsageError("option --status needs success, failure or cancelled, got '" + run.status + "'");
  for (auto [option, slot] :
       {std::pair{"--started", &run.started}, std::pair{"--completed", &run.completed}}) {
    *slot = *args.value(option);
    if (!parse_iso8601(*slot))
      throw UsageError(std::string("option ") + option + " needs an ISO-8601 time, got '" + *slot + "'");
  }
  return run;
}

void check_file_count(const collect::Kind& kind, size_t files) {
  if (files >= kind.min_files && files <= kind.max_files) return;
  std::string count = kind.min_files == kind.max_files ? std::to_string(kind.min_files)
                      : kind.max_files > 2 ? "one or more"
                                           : std::to_string(kind.min_files) + " to " + std::to_string(kind.max_files);
  throw UsageError(std::string(kind.name) + " takes " + count + " FILE, got " + std::to_string(files));
}

collect::Request request_of(const Args& args, const collect::Kind& kind) {
  if (args.has("--max-commits")) throw UsageError("option --max-commits applies to git only");
  collect::Request request;
  request.kind = std::string(kind.name);
  for (size_t i = 1; i + 1 < args.positional_count(); ++i) request.files.emplace_back(args.positional(i));
  check_file_count(kind, request.files.size());
  if (args.has("--workflow") && request.kind != "ci") throw UsageError("option --workflow applies to ci only");
  request.ci_run = ci_run_flags(args, request.kind, request.files.size());
  if (args.has("--repo")) request.repo = *args.value("--repo");
  if (args.has("--commit")) request.revision = *args.value("--commit");
  if (args.has("--at")) {
    request.at = *args.value("--at");
    if (!parse_iso8601(*request.at))
      throw UsageError("option --at needs an ISO-8601 time, got '" + *request.at + "'");
  }
  return request;
}

int collect_artefacts(const Args& args, const collect::Kind& kind) {
  const collect::Request request = request_of(args, kind);
  const fs::path data_dir = args.positional(args.positional_count() - 1);
  // Another command may be writing a folder that exists: the events (and
  // the latest schema, which an OpenAPI diff is taken against) are read and
  // written under its lock. A new folder is made only once the
  // artefacts have been read, so that a refused one leaves nothing behind.
  std::optional<DirectoryWriter> writer;
  if (fs::is_directory(data_dir)) writer.emplace(args, data_dir, guard::SweptFolders::kOutputsAndEvents);
  const collect::Result result = collect::collect(request, data_dir);
  std::cout << request.kind << ": " << result.written << " new event" << (result.written == 1 ? "" : "s")
            << ", " << result.already_there << " already there (" << result.events_dir.string() << ")\n";
  return kExitOk;
}

int run_collect(const Args& args) {
  const std::string& kind = args.positional(0);
  if (kind == "git") return collect_git(args);
  const collect::Kind* found = collect::find_kind(kind);
  if (found == nullptr) throw UsageError("unknown source '" + kind + "' (supported: " + kind_names() + ")");
  return collect_artefacts(args, *found);
}

}  // namespace

std::vector<std::string> collect_kind_names() {
  std::vector<std::string> names = {"git"};
  for (const auto& kind : collect::kinds()) names.emplace_back(kind.name);
  return names;
}

const Command kCollectCommand = {
    "collect",
    {"KIND", "[FILE...]", "DIR"},
    {{"--max-commits", 0, "N", "git: only the N most recent commits"},
     {"--commit", 0, "REV", "the commit the artefacts belong to (default HEAD)"},
     {"--repo", 0, "PATH", "the repository --commit is looked up in (default .)"},
     {"--at", 0, "TIME", "when the artefact has no time of its own (default now)"},
     {"--status", 0, "OUTCOME", "ci without a file: success, failure or cancelled"},
     {"--started", 0, "TIME", "ci without a file: when the run started"},
     {"--completed", 0, "TIME", "ci without a file: when it ended"},
     {"--system", 0, "NAME", "ci without a file: the CI system (source_type)"},
     {"--workflow", 0, "NAME", "ci without a file: the workflow or job name"},
     wait_option()},
    "turn a repository's history or a CI job's artefacts into events in DIR/events",
    "velquor collect git REPO DIR reads the history of the git repository REPO\n"
    "(the commits reachable from HEAD) and writes one event per commit into\n"
    "DIR/events: commit hash, message, author, commit and author time (UTC) and the\n"
    "paths it touched. Merges without changes of their own have no paths. Running\n"
    "it again adds only the commits that are not there yet. Git runs without a\n"
    "shell.\n"
    "\n"
    "The other kinds read the artefacts a CI job has:\n"
    "  junit      JUnit XML reports; several files are one test run\n"
    "  coverage   Cobertura XML or LCOV tracefiles; several are added up\n"
    "  ci         a workflow run as the hosting service's REST API returns it, and\n"
    "             the listing of its jobs while it is still going; or no file and\n"
    "             --status, --started, --completed and --system\n"
    "  npm        package-lock.json (lockfile version 1 needs package.json beside it)\n"
    "  pip        requirements or pip freeze text, and a dependency tree JSON\n"
    "  openapi    an OpenAPI 3 or Swagger 2 document, JSON or YAML; the diff is\n"
    "             taken against the latest schema event in DIR\n"
    "  terraform  the JSON of a plan\n"
    "  trivy      a vulnerability scanner's JSON report\n"
    "  releases   the list of releases as the REST API returns it\n"
    "  errors     an error tracker's export of issues\n"
    "Every event names the commit it belongs to: --commit REV, or HEAD of the\n"
    "repository in the working directory (--repo PATH for another); a commit git\n"
    "does not know is an error. A release is tied to its tag's commit when the\n"
    "repository has the tag. Events are dated by the artefact's own time, else\n"
    "--at, else now. An event's id comes from its kind, commit and content, so\n"
    "collecting the same artefact again adds nothing. A file that is not what the\n"
    "kind reads is refused with a message naming it, and nothing is written.\n"
    "While another command writes DIR, collect is refused unless --wait lets it\n"
    "wait for that command.",
    run_collect,
};

}  // namespace velquor::cli
