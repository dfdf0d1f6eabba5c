// Commit numbers of event references: numbering them orders the commit
// texts byte by byte, however long their shared beginning.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "velquor/dornath/commit_ids.h"

namespace velquor::dornath {
namespace {

TEST(RefCommits, NumbersCommitsInByteOrder) {
  // In ascending byte order; each reference gets the commit of its index.
  const std::vector<std::string> ordered = {
      "",  // no commit: the reference has none
      "0123456",  "01234567",  std::string("01234567\0", 9), "012345670", "0123456789abcdef",
      "0123456789abcdeg", "01234568", "a", "abcdefgh", "abcdefgh\x7F", "abcdefgh\x80", "abcdefgi",
      "\x7F", "\x80", "\xC3\xA9", "\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF",
  };
  // The events come in another order, two of them on one commit.
  const std::vector<size_t> event_order = {9, 3, 16, 0, 12, 1, 7, 14, 5, 11, 2, 15, 8, 4, 13, 10, 6};
  EventScan scan;
  Json signals = Json::array();
  for (size_t k : event_order) {
    ScannedEvent event;
    event.event_id = "e" + std::to_string(k);
    event.commit = ordered[k];
    scan.events.push_back(event);
    signals.push_back(Json{{"engine_id", "ci"}, {"metric", "m"}, {"event_ref", event.event_id}});
  }
  ScannedEvent shared = scan.events.back();
  shared.event_id = "twin";
  scan.events.push_back(shared);
  signals.push_back(Json{{"engine_id", "ci"}, {"metric", "m"}, {"event_ref", "twin"}});

  const SignalTable table = SignalTable::from_json(signals);
  const RefCommits commits(table, scan);
  EXPECT_EQ(commits.count, ordered.size() - 1);
  for (size_t k = 0; k < ordered.size(); ++k) {
    const uint32_t ref = *table.refs.find("e" + std::to_string(k));
    EXPECT_EQ(commits.of_ref[ref], static_cast<int64_t>(k) - 1) << k;
  }
  EXPECT_EQ(commits.of_ref[*table.refs.find("twin")], commits.of_ref[*table.refs.find("e6")]);
}

}  // namespace
}  // namespace velquor::dornath
