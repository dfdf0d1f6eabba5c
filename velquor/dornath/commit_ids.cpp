#include "velquor/dornath/commit_ids.h"

#include <algorithm>
#include <string>
#include <string_view>
#include <unordered_map>

#include "shared/ordered_bytes.h"

namespace velquor::dornath {
namespace {

// rank[i]: the position of texts[i] among `texts` (all distinct) in
// ascending byte order. Hashes mostly differ in their first bytes, so those
// are compared as one number before the texts are.
std::vector<int64_t> ranks_by_text(const std::vector<std::string_view>& texts) {
  std::vector<std::pair<uint64_t, int64_t>> by_text(texts.size());
  for (size_t i = 0; i < by_text.size(); ++i) by_text[i] = {ordered_word(texts[i]), static_cast<int64_t>(i)};
  std::sort(by_text.begin(), by_text.end(), [&](const auto& a, const auto& b) {
    return a.first != b.first ? a.first < b.first : texts[a.second] < texts[b.second];
  });
  std::vector<int64_t> rank(texts.size());
  for (size_t r = 0; r < by_text.size(); ++r) rank[by_text[r].second] = static_cast<int64_t>(r);
  return rank;
}

}  // namespace

RefCommits::RefCommits(const SignalTable& signals, const EventScan& events)
    : of_ref(signals.refs.size(), -1) {
  const std::vector<const std::string*> commit_of = values_by_ref(events, kEventCommit, signals.refs);
  std::unordered_map<std::string_view, int64_t> first_seen;
  first_seen.reserve(of_ref.size());
  std::vector<std::string_view> texts;
  for (uint32_t ref = 0; ref < of_ref.size(); ++ref) {
    if (!commit_of[ref]) continue;
    auto [it, added] = first_seen.try_emplace(*commit_of[ref], static_cast<int64_t>(texts.size()));
    if (added) texts.push_back(it->first);
    of_ref[ref] = it->second;
  }
  const std::vector<int64_t> rank = ranks_by_text(texts);
  for (int64_t& commit : of_ref)
    if (commit >= 0) commit = rank[static_cast<size_t>(commit)];
  count = texts.size();
}

}  // namespace velquor::dornath
