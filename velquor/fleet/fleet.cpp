#include "velquor/fleet/fleet.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <thread>

#include "shared/errors.h"
#include "velquor/pellan/pellan.h"

namespace velquor::fleet {
namespace {

// Risk labels from highest to lowest, as lines list them.
const std::vector<std::string>& labels_high_first() {
  static const std::vector<std::string> kLabels = {"CRITICAL", "HIGH", "ELEVATED", "NOTABLE",
                                                   "NORMAL"};
  return kLabels;
}

std::string last_line(const std::string& text) {
  std::string_view view = text;
  while (!view.empty() && (view.back() == '\n' || view.back() == '\r')) view.remove_suffix(1);
  const size_t start = view.find_last_of('\n');
  return std::string(start == std::string_view::npos ? view : view.substr(start + 1));
}

std::string plural(size_t count, const std::string& noun) {
  return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
}

}  // namespace

std::vector<ChildResult> run_all(const std::vector<std::vector<std::string>>& commands,
                                 size_t parallel, const Runner& run,
                                 const std::function<void(size_t, const ChildResult&)>& finished) {
  std::vector<ChildResult> results(commands.size());
  std::atomic<size_t> next{0};
  std::mutex report;
  auto work = [&] {
    for (size_t i; (i = next++) < commands.size();) {
      try {
        results[i] = run(commands[i]);
      } catch (const std::exception& error) {
        results[i] = {1, "", error.what()};  // could not even be started
      }
      std::lock_guard<std::mutex> lock(report);
      if (finished) finished(i, results[i]);
    }
  };
  std::vector<std::thread> workers;
  const size_t count = std::min(std::max<size_t>(parallel, 1), commands.size());
  for (size_t w = 0; w < count; ++w) workers.emplace_back(work);
  for (auto& worker : workers) worker.join();
  return results;
}

std::vector<std::pair<std::string, size_t>> changes_by_risk(const Json& result) {
  std::vector<std::pair<std::string, size_t>> counts;
  const auto advisory = result.find("advisory");
  if (advisory == result.end() || !advisory->is_object()) return counts;
  const auto changes = advisory->find("changes");
  if (changes == advisory->end() || !changes->is_array()) return counts;
  std::vector<size_t> tally(labels_high_first().size(), 0);
  for (const auto& change : *changes) {
    const auto deviation = change.find("deviation_stddev");
    if (deviation == change.end() || !deviation->is_number()) continue;
    const std::string label = pellan::risk_level(*deviation)["label"];
    const auto& labels = labels_high_first();
    const auto rank = std::find(labels.begin(), labels.end(), label) - labels.begin();
    if (rank < static_cast<long>(labels.size())) ++tally[rank];
  }
  for (size_t i = 0; i < tally.size(); ++i)
    if (tally[i] > 0) counts.emplace_back(labels_high_first()[i], tally[i]);
  return counts;
}

std::string repository_line(const std::string& name, const ChildResult& result) {
  const std::string prefix = name + ": ";
  if (result.exit_status != 0) {
    std::string reason = last_line(result.err);
    // The child's own error line, without the program's prefix.
    constexpr std::string_view kPrefix = "velquor: error: ";
    if (reason.starts_with(kPrefix)) reason.erase(0, kPrefix.size());
    if (reason.empty()) reason = "exit status " + std::to_string(result.exit_status);
    return prefix + "failed: " + reason;
  }
  Json parsed;
  try {
    parsed = parse_json(result.out, name + " output", NonFinite::kAccept);
  } catch (const Error& error) {
    return prefix + "failed: " + error.what();
  }
  const std::string status = parsed.value("status", "");
  if (status == "no_signals") return prefix + "not enough history yet";
  const auto counts = changes_by_risk(parsed);
  if (counts.empty()) return prefix + "no significant changes";
  size_t total = 0;
  std::string levels;
  for (const auto& [label, count] : counts) {
    total += count;
    levels += (levels.empty() ? "" : ", ") + std::to_string(count) + " " + label;
  }
  return prefix + plural(total, "change") + " (" + levels + ")";
}

}  // namespace velquor::fleet
