// Version-control metrics: how many files a commit touches, how widely they
// spread over the repository's top-level directories, how much of it lands
// on recently touched files and how many of its file pairs are new.
#include <algorithm>
#include <cmath>

#include "shared/errors.h"
#include "velquor/brevalt/internal.h"
#include "velquor/brevalt/payload.h"

namespace velquor::brevalt {
namespace {

// The first component of a path after dropping empty and "." components;
// "/" for an absolute path, "_root" for a path without components.
std::string_view top_level_component(std::string_view path) {
  if (!path.empty() && path.front() == '/') return "/";
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string_view::npos) end = path.size();
    std::string_view part = path.substr(start, end - start);
    if (!part.empty() && part != ".") return part;
    start = end + 1;
  }
  return "_root";
}

template <class Paths>
double entropy_of(const Paths& paths) {
  if (paths.empty()) return 0.0;
  std::vector<std::string_view> components;
  components.reserve(paths.size());
  for (const std::string& path : paths) components.push_back(top_level_component(path));
  // Terms summed in byte order of the component names: the order changes
  // the last bit of many sums.
  std::sort(components.begin(), components.end());
  const double total = static_cast<double>(components.size());
  double entropy = 0.0;
  for (size_t i = 0; i < components.size();) {
    size_t j = i;
    while (j < components.size() && components[j] == components[i]) ++j;
    double p = static_cast<double>(j - i) / total;
    entropy = entropy - p * std::log2(p);
    i = j;
  }
  return entropy;
}

double ratio(size_t part, size_t whole) {
  return static_cast<double>(part) / static_cast<double>(whole);
}

}  // namespace

namespace {

std::vector<std::string> distinct_sorted(std::vector<std::string> paths) {
  std::sort(paths.begin(), paths.end());
  paths.erase(std::unique(paths.begin(), paths.end()), paths.end());
  return paths;
}

}  // namespace

std::vector<std::string> git_paths(const Json& event, const std::string& where) {
  return distinct_sorted(Payload(event, where).texts({"files"}));
}

std::vector<std::string> git_paths(const cindrel::ScannedRecord& event) {
  return distinct_sorted(FlatPayload(event).texts({"files"}));
}

MetricMap git_base_metrics(const std::vector<std::string>& distinct_paths) {
  return {{"files_touched", Json(static_cast<int64_t>(distinct_paths.size()))},
          {"dispersion", entropy_of(distinct_paths)}};
}

// ---- CochangeWindow ---------------------------------------------------------

uint32_t CochangeWindow::intern(const std::string& path) {
  auto [it, inserted] = ids_.try_emplace(path, static_cast<uint32_t>(ids_.size()));
  if (inserted) file_count_.push_back(0);
  return it->second;
}

void CochangeWindow::measure_and_add(const std::vector<std::string>& paths, MetricMap& metrics) {
  Commit commit;
  commit.files.reserve(paths.size());
  size_t recent = 0;
  for (const std::string& path : paths) {
    uint32_t id = intern(path);
    if (file_count_[id] > 0) ++recent;
    commit.files.push_back(id);
  }
  // Paths are sorted, so each pair is keyed (earlier path, later path).
  if (paths.size() <= MAX_PAIR_FILES) {
    for (size_t i = 0; i < commit.files.size(); ++i)
      for (size_t j = i + 1; j < commit.files.size(); ++j)
        commit.pairs.push_back(uint64_t{commit.files[i]} << 32 | commit.files[j]);
  }
  metrics.push_back({"change_locality", paths.empty() ? 0.0 : ratio(recent, paths.size())});
  double novelty = 1.0;
  if (!commit.pairs.empty() && !commits_.empty()) {
    size_t unseen = std::count_if(commit.pairs.begin(), commit.pairs.end(),
                                  [&](uint64_t pair) { return !pair_count_.contains(pair); });
    novelty = ratio(unseen, commit.pairs.size());
  }
  metrics.push_back({"cochange_novelty_ratio", novelty});
  add(std::move(commit));
}

void CochangeWindow::add(Commit commit) {
  for (uint32_t id : commit.files) ++file_count_[id];
  for (uint64_t pair : commit.pairs) ++pair_count_[pair];
  commits_.push_back(std::move(commit));
  if (commits_.size() > capacity_) evict_oldest();
}

void CochangeWindow::evict_oldest() {
  const Commit& oldest = commits_.front();
  for (uint32_t id : oldest.files) --file_count_[id];
  for (uint64_t pair : oldest.pairs) {
    auto it = pair_count_.find(pair);
    if (--it->second == 0) pair_count_.erase(it);
  }
  commits_.pop_front();
}

// ---- Public helpers of the engine ----------------------------------------------

double Brevalt::_dispersion(const FileSet& files) { return entropy_of(files); }

PairSet Brevalt::_cochange_pairs(const FileSet& files) {
  PairSet pairs;
  for (auto a = files.begin(); a != files.end(); ++a)
    for (auto b = std::next(a); b != files.end(); ++b) pairs.emplace(*a, *b);
  return pairs;
}

MetricMap Brevalt::_git_metrics(const Event& event) const {
  return git_base_metrics(git_paths(event.value, event.file.string()));
}

MetricMap& Brevalt::_git_extended_metrics(const Event& event, MetricMap& metrics,
                                          const GitWindow& window) const {
  std::vector<std::string> paths = git_paths(event.value, event.file.string());
  FileSet files(paths.begin(), paths.end());
  FileSet recent;
  PairSet historical;
  for (const GitWindowEntry& entry : window) {
    recent.insert(entry.files.begin(), entry.files.end());
    historical.insert(entry.pairs.begin(), entry.pairs.end());
  }
  size_t touched = std::count_if(files.begin(), files.end(),
                                 [&](const std::string& f) { return recent.contains(f); });
  metrics.push_back({"change_locality", files.empty() ? 0.0 : ratio(touched, files.size())});
  PairSet pairs = _cochange_pairs(files);
  double novelty = 1.0;
  if (!pairs.empty() && !window.empty()) {
    size_t unseen = std::count_if(pairs.begin(), pairs.end(),
                                  [&](const CochangePair& p) { return !historical.contains(p); });
    novelty = ratio(unseen, pairs.size());
  }
  metrics.push_back({"cochange_novelty_ratio", novelty});
  return metrics;
}

}  // namespace velquor::brevalt
