// Commit hashes as small integers, so that the discovery steps compare and
// intersect integers instead of hash texts.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "velquor/dornath/event_scan.h"
#include "velquor/dornath/signal_table.h"

namespace velquor::dornath {

class CommitIds {
 public:
  // The id of `commit`, assigned in order of first appearance.
  int64_t intern(const std::string& commit) {
    auto [it, added] = ids_.try_emplace(commit, static_cast<int64_t>(names_.size()));
    if (added) names_.push_back(&it->first);
    return it->second;
  }

  const std::string& name(int64_t id) const { return *names_[static_cast<size_t>(id)]; }

  // rank[id]: the position of the commit's text in ascending byte order, so
  // that ordering by rank is ordering by text.
  std::vector<int64_t> ranks() const {
    std::vector<int64_t> by_text(names_.size());
    for (size_t i = 0; i < by_text.size(); ++i) by_text[i] = static_cast<int64_t>(i);
    std::sort(by_text.begin(), by_text.end(),
              [&](int64_t a, int64_t b) { return *names_[a] < *names_[b]; });
    std::vector<int64_t> rank(names_.size());
    for (size_t r = 0; r < by_text.size(); ++r) rank[by_text[r]] = static_cast<int64_t>(r);
    return rank;
  }

 private:
  std::unordered_map<std::string, int64_t> ids_;
  std::vector<const std::string*> names_;  // keys of ids_: stable addresses
};

// The commit of every event reference of a signal table as an id (-1: the
// commit index has none), looked up once per reference.
struct RefCommits {
  RefCommits(const SignalTable& signals, const EventScan& events) : of_ref(signals.refs.size(), -1) {
    const std::vector<const std::string*> commit_of = values_by_ref(events, kEventCommit, signals.refs);
    for (uint32_t ref = 0; ref < of_ref.size(); ++ref)
      if (commit_of[ref]) of_ref[ref] = ids.intern(*commit_of[ref]);
  }

  CommitIds ids;
  std::vector<int64_t> of_ref;
};

}  // namespace velquor::dornath
