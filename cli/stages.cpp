#include "cli/stages.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <iostream>
#include <sstream>

#include "cli/event_notes.h"
#include "cli/store_choice.h"
#include "cli/terminal.h"
#include "cli/window_options.h"
#include "shared/errors.h"
#include "shared/file_io.h"
#include "velquor/cindrel/cindrel.h"
#include "velquor/dornath/dornath.h"
#include "velquor/esperlin/esperlin.h"
#include "velquor/fleet/fleet.h"

namespace velquor::cli {
namespace {

std::string plural(size_t count, const std::string& noun) {
  return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
}

size_t family_rank(const std::string& family) {
  auto table = brevalt::families();
  for (size_t i = 0; i < table.size(); ++i)
    if (family == table[i].name) return i;
  return table.size();
}

std::string padded(const std::string& text, size_t width) {
  return text + std::string(text.size() < width ? width - text.size() : 1, ' ');
}

int64_t count_of(const Json& summary, const char* key) {
  const auto it = summary.find(key);
  return it != summary.end() && it->is_number_integer() ? it->get<int64_t>() : 0;
}

}  // namespace

// ---- stage 2 ----------------------------------------------------------------

std::vector<OptionSpec> worker_options() {
  return {{"--workers", 0, "N", "run the families on N threads (default 4)"},
          {"--sequential", 0, "", "run the families one after the other; stop at a failure"}};
}

std::vector<OptionSpec> baseline_options() {
  std::vector<OptionSpec> options = {
      {"--window-size", 0, "N", "events in each rolling baseline (default 50)"},
      {"--min-baseline", 0, "N", "events needed before a metric is judged (default 5)"}};
  for (auto& option : worker_options()) options.push_back(option);
  options.push_back(skip_bad_events_option());
  return options;
}

int worker_setting(const Args& args) {
  if (args.has("--sequential") && args.has("--workers"))
    throw UsageError("--sequential and --workers exclude each other");
  if (args.has("--sequential")) return 0;
  return static_cast<int>(std::min<int64_t>(args.integer("--workers", 4, 1), 64));
}

BaselineSettings baseline_settings(const Args& args) {
  BaselineSettings settings;
  settings.window_size = args.integer("--window-size", 50, 1);
  settings.min_baseline = args.integer("--min-baseline", 5, 1);
  settings.workers = worker_setting(args);
  settings.skip_bad_events = args.has("--skip-bad-events");
  return settings;
}

void run_baseline(const fs::path& dir, const BaselineSettings& settings,
                  BaselineOutcome& outcome, EventHandoff* handoff) {
  JsonFileListing listing = list_json_file_names(dir / "events");
  outcome.event_files = listing.names.size();
  brevalt::Brevalt engine(dir, settings.window_size, settings.min_baseline);
  engine.use_event_listing(std::move(listing));  // the folder is listed once
  engine.discard_signals();                       // the files are what stage 2 leaves
  if (handoff) handoff->observe(engine, outcome.event_files);
  outcome.events.skip_unreadable = settings.skip_bad_events;
  auto tally = [&] {
    std::stable_sort(outcome.families.begin(), outcome.families.end(),
                     [](const auto& a, const auto& b) {
                       return family_rank(a.family) < family_rank(b.family);
                     });
    for (const auto& family : outcome.families) {
      outcome.signals += family.signal_count;
      outcome.files_written += family.file_written;
      outcome.failed += family.failed;
    }
  };
  try {
    if (settings.workers == 0)
      engine.run_all(&outcome.families, &outcome.events);
    else
      engine.run_all_parallel(settings.workers, &outcome.families, &outcome.events);
  } catch (...) {
    tally();
    throw;
  }
  tally();
}

std::string family_lines(const BaselineOutcome& outcome) {
  std::ostringstream out;
  for (const auto& family : outcome.families) {
    out << "  " << padded(family.family, 16);
    if (family.failed)
      out << "failed: " << family.error;
    else if (!family.file_written)
      out << "no events";
    else
      out << plural(family.signal_count, "signal");
    out << "\n";
  }
  return out.str();
}

// ---- stage 3 ----------------------------------------------------------------

size_t explain_threads(const Args& args) {
  return static_cast<size_t>(std::min<int64_t>(args.integer("--threads", 0, 1), 64));
}

size_t run_explain(const fs::path& dir, size_t threads) {
  cindrel::Cindrel engine(dir, threads);
  return engine.run().size();
}

// ---- stage 4 ----------------------------------------------------------------

Json learn_params(const Args& args) {
  const auto& overrides = args.values("--param");
  if (overrides.empty()) return Json();
  Json params = Json::object();
  for (const auto& text : overrides) {
    try {
      dornath::apply_param_override(params, text);
    } catch (const ValueError& e) {
      throw UsageError("--param needs KEY=VALUE, got '" + text + "'");
    }
  }
  return params;
}

void set_learn_verbosity(int verbosity) {
  dornath::set_log_level(verbosity >= 2   ? dornath::LogLevel::kDebug
                         : verbosity == 1 ? dornath::LogLevel::kInfo
                                          : dornath::LogLevel::kWarning);
}

Json run_learn(const fs::path& dir, const Json& params, const std::optional<std::string>& store,
               EventHandoff* handoff) {
  dornath::Dornath engine(dir, params, dornath::default_language_models(),
                          store ? open_repository_store(*store, dir) : nullptr);
  if (handoff)
    if (std::optional<dornath::EventScan> scan = handoff->take_learn_scan())
      engine.use_event_scan(std::move(*scan));
  Json summary = engine.run();
  engine.close();
  return summary;
}

std::string learn_lines(const Json& summary) {
  std::ostringstream out;
  if (summary.value("status", "") != "complete") {
    out << "no signals to learn from\n";
    return out.str();
  }
  out << "signals: " << count_of(summary, "total_signals") << " ("
      << count_of(summary, "deviating_signals") << " deviating)\n"
      << "patterns: " << count_of(summary, "patterns_discovered") << " discovered, "
      << count_of(summary, "patterns_incremented") << " seen again, "
      << count_of(summary, "patterns_promoted") << " promoted, "
      << count_of(summary, "patterns_recognized") << " recognized, "
      << count_of(summary, "patterns_enriched") << " described, "
      << count_of(summary, "patterns_expired") << " expired\n"
      << "knowledge: " << plural(static_cast<size_t>(count_of(summary, "knowledge_artifacts")),
                                 "learned pattern")
      << "\n";
  return out.str();
}

// ---- stage 5 ----------------------------------------------------------------

namespace {

std::unique_ptr<esperlin::Esperlin> advise_engine(
    const fs::path& dir, std::optional<window::Window> window,
    const std::vector<std::pair<fs::path, std::string>>& skipped_events,
    const std::optional<std::string>& store, EventHandoff* handoff) {
  auto engine = std::make_unique<esperlin::Esperlin>(dir);
  engine->process_ends_after_run = true;
  if (handoff && skipped_events.empty())
    if (auto events = handoff->take_advise_events()) engine->use_prepared_events(std::move(*events));
  engine->window = std::move(window);
  for (const auto& skipped : skipped_events) engine->skipped_events.insert(skipped.first);
  if (store) engine->open_store = [=] { return open_repository_store(*store, dir); };
  return engine;
}

}  // namespace

Json run_advise(const fs::path& dir, const std::string& scope, std::optional<window::Window> window,
                const std::vector<std::pair<fs::path, std::string>>& skipped_events,
                const std::optional<std::string>& store, EventHandoff* handoff) {
  return advise_engine(dir, std::move(window), skipped_events, store, handoff)->run(scope);
}

AdviceAhead::AdviceAhead(const fs::path& dir,
                         const std::vector<std::pair<fs::path, std::string>>& skipped_events,
                         const std::optional<std::string>& store, EventHandoff* handoff,
                         const std::optional<window::Request>& request)
    : output_dir_(dir / "phase5"), output_dir_existed_(fs::exists(output_dir_)) {
  engine_ = advise_engine(dir, std::nullopt, skipped_events, store, handoff);
  std::set<fs::path> skipped;
  for (const auto& [file, error] : skipped_events) skipped.insert(file);
  // The stamps stage 2 took, when it took every event's.
  std::optional<std::function<std::vector<window::EventStamp>()>> stamps;
  if (handoff && skipped.empty()) stamps = handoff->take_window_stamps();
  inputs_ = std::async(std::launch::async, [engine = engine_.get(), dir, request, skipped,
                                             stamps = std::move(stamps)] {
    // Which explanations are read depends on the window, so it comes first;
    // its errors come first too, as in run_advise's caller.
    if (request && stamps) engine->window = window::resolve_in(dir, *request, *stamps);
    else engine->window = resolve_window(dir, request, std::nullopt, skipped);
    esperlin::AdvisoryInputs inputs = esperlin::read_advisory_inputs(*engine);
    // A hundred thousand prepared events take a while to free: done here,
    // beside stage 4, rather than once the run is over.
    engine->drop_prepared_events();
    return inputs;
  });
}

AdviceAhead::~AdviceAhead() {
  if (inputs_.valid()) inputs_.wait();
  std::error_code ignored;
  if (!finished_ && !output_dir_existed_ && fs::is_empty(output_dir_, ignored)) fs::remove(output_dir_, ignored);
}

Json AdviceAhead::finish(const std::string& scope) {
  finished_ = true;
  return esperlin::run_advisory(*engine_, scope, [&](const esperlin::Esperlin&) { return inputs_.get(); });
}

const std::optional<window::Window>& AdviceAhead::window() const { return engine_->window; }

std::vector<std::string> written_files(const Json& result) {
  std::vector<std::string> files;
  const Json* formats = result.contains("formats") ? &result["formats"] : nullptr;
  if (formats == nullptr || !formats->is_object()) return files;
  for (const auto& [key, path] : formats->items()) {
    if (!path.is_string()) continue;
    files.push_back(path.get<std::string>());
    // evidence.json is written with advisory.json but has no entry of its own.
    if (key == "json")
      files.push_back((fs::path(path.get<std::string>()).parent_path() / "evidence.json").string());
  }
  return files;
}

std::string advise_text(const Json& result) {
  const std::string status = result.value("status", "");
  if (status == "no_signals") return "No signals to advise on: run the earlier stages first.";
  if (status != "complete") {
    if (result.contains("accepted_count"))
      return "No significant changes to report.";
    return "No significant changes: every metric is within its normal range.";
  }
  const auto it = result.find("human_summary");
  return it != result.end() && it->is_string() ? it->get<std::string>() : "";
}

const std::vector<std::string>& risk_labels() {
  static const std::vector<std::string> kLabels = {"NOTABLE", "ELEVATED", "HIGH", "CRITICAL"};
  return kLabels;
}

std::string risk_level_option(const Args& args, const std::string& option) {
  auto level = args.value(option);
  if (!level) return "";
  std::string upper = *level;
  std::transform(upper.begin(), upper.end(), upper.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  const auto& labels = risk_labels();
  if (std::find(labels.begin(), labels.end(), upper) == labels.end())
    throw UsageError(option + " takes NOTABLE, ELEVATED, HIGH or CRITICAL, got '" + *level + "'");
  return upper;
}

bool advisory_reaches(const Json& result, const std::string& label) {
  const auto& labels = risk_labels();
  const auto wanted = std::find(labels.begin(), labels.end(), label) - labels.begin();
  for (const auto& [level, count] : fleet::changes_by_risk(result)) {
    const auto rank = std::find(labels.begin(), labels.end(), level) - labels.begin();
    if (rank < static_cast<long>(labels.size()) && rank >= wanted) return true;
  }
  return false;
}

// ---- reporting --------------------------------------------------------------

StageProgress::StageProgress(int stage, std::string name, std::string running)
    : prefix_("stage " + std::to_string(stage) + " " + std::move(name) + ": "),
      live_(!quiet() && ::isatty(STDERR_FILENO) == 1) {
  if (live_) std::cerr << prefix_ << running << std::flush;
}

void StageProgress::done(const std::string& what) {
  if (quiet()) return;
  if (live_) std::cerr << "\r\033[K";
  progress(prefix_ + what + " (" + watch_.elapsed() + ")");
}

StdoutToStderr::StdoutToStderr(bool active) {
  if (!active) return;
  std::cout.flush();
  std::fflush(stdout);
  saved_ = ::dup(STDOUT_FILENO);
  if (saved_ >= 0) ::dup2(STDERR_FILENO, STDOUT_FILENO);
}

StdoutToStderr::~StdoutToStderr() {
  if (saved_ < 0) return;
  std::cout.flush();
  std::fflush(stdout);
  ::dup2(saved_, STDOUT_FILENO);
  ::close(saved_);
}

}  // namespace velquor::cli
