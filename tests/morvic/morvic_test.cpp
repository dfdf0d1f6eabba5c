#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <unistd.h>

#include "shared/errors.h"
#include "shared/file_io.h"
#include "velquor/morvic/morvic.h"

namespace velquor::morvic {
namespace {

// A fresh data directory per test, with the clock pinned.
class AcceptedDeviationsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("morvic-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    ::setenv("VELQUOR_NOW", "2025-06-01T12:00:00Z", 1);
  }
  void TearDown() override {
    ::unsetenv("VELQUOR_NOW");
    fs::remove_all(dir_);
  }

  fs::path file() const { return dir_ / "accepted_deviations.json"; }
  // A new file each time: the truncation test stores hundreds of prefixes,
  // and truncating a file in place makes the file system flush it.
  void store(const std::string& text) const {
    fs::remove(file());
    std::ofstream(file(), std::ios::binary) << text;
  }

  // One entry in the stored layout; only the members a test cares about vary.
  static Json entry(const std::string& family, const std::string& metric,
                    const std::string& from_commit = "", const std::string& since = "",
                    const Json& expires_at = nullptr) {
    return Json{{"family", family},      {"metric", metric},
                {"reason", "new normal"}, {"accepted_at", "2025-01-01T00:00:00Z"},
                {"from_commit", from_commit}, {"since", since},
                {"expires_at", expires_at}};
  }
  void store_entries(const Json& entries) const { write_json_file(file(), entries); }

  fs::path dir_;
};

TEST_F(AcceptedDeviationsTest, MissingFileIsAnEmptyListAndIsNotCreated) {
  AcceptedDeviations accepted(dir_);
  EXPECT_EQ(accepted.list(), Json::array());
  EXPECT_FALSE(accepted.is_accepted_in_context("git", "files_touched"));
  EXPECT_EQ(accepted.cleanup_expired(""), 0u);
  EXPECT_FALSE(fs::exists(file()));
}

TEST_F(AcceptedDeviationsTest, AcceptAppendsInTheSystemFileLayout) {
  AcceptedDeviations accepted(dir_);
  accepted.accept("git", "dispersion", "refactor \xc3\xa9t\xc3\xa9");
  const Json second = accepted.accept("ci", "run_duration", "slower runner", "abc123",
                                      "2025-05-01T00:00:00Z", "2025-07-01T00:00:00Z");
  EXPECT_EQ(second["accepted_at"], "2025-06-01T12:00:00Z");
  EXPECT_EQ(read_file(file()),
            "[\n"
            "  {\n"
            "    \"family\": \"git\",\n"
            "    \"metric\": \"dispersion\",\n"
            "    \"reason\": \"refactor \\u00e9t\\u00e9\",\n"
            "    \"accepted_at\": \"2025-06-01T12:00:00Z\",\n"
            "    \"from_commit\": \"\",\n"
            "    \"since\": \"\",\n"
            "    \"expires_at\": null\n"
            "  },\n"
            "  {\n"
            "    \"family\": \"ci\",\n"
            "    \"metric\": \"run_duration\",\n"
            "    \"reason\": \"slower runner\",\n"
            "    \"accepted_at\": \"2025-06-01T12:00:00Z\",\n"
            "    \"from_commit\": \"abc123\",\n"
            "    \"since\": \"2025-05-01T00:00:00Z\",\n"
            "    \"expires_at\": \"2025-07-01T00:00:00Z\"\n"
            "  }\n"
            "]");
  EXPECT_EQ(accepted.list().size(), 2u);
  EXPECT_EQ(accepted.list()[1], second);
}

TEST_F(AcceptedDeviationsTest, AcceptCreatesAMissingDataDirectory) {
  AcceptedDeviations accepted(dir_ / "fresh");
  accepted.accept("git", "dispersion", "why");
  EXPECT_EQ(AcceptedDeviations(dir_ / "fresh").list().size(), 1u);
}

TEST_F(AcceptedDeviationsTest, MatchesFamilyAndMetricExactly) {
  store_entries(Json::array({entry("git", "dispersion")}));
  AcceptedDeviations accepted(dir_);
  EXPECT_TRUE(accepted.is_accepted_in_context("git", "dispersion"));
  EXPECT_FALSE(accepted.is_accepted_in_context("ci", "dispersion"));
  EXPECT_FALSE(accepted.is_accepted_in_context("git", "files_touched"));
  EXPECT_FALSE(accepted.is_accepted_in_context("Git", "dispersion"));
}

TEST_F(AcceptedDeviationsTest, ExpiryComparesTimeStampTextsWithNow) {
  AcceptedDeviations accepted(dir_);
  const std::pair<Json, bool> cases[] = {
      {nullptr, true},
      {"", true},
      {"2025-06-01T12:00:01Z", true},
      {"2025-06-01T12:00:00Z", false},  // expiring now counts as expired
      {"2025-05-31T00:00:00Z", false}};
  for (const auto& [expires_at, active] : cases) {
    store_entries(Json::array({entry("git", "dispersion", "", "", expires_at)}));
    EXPECT_EQ(accepted.is_accepted_in_context("git", "dispersion"), active) << expires_at;
  }
}

TEST_F(AcceptedDeviationsTest, FromCommitAppliesToThatCommitAndLaterOnes) {
  store_entries(Json::array({entry("git", "dispersion", "c2")}));
  AcceptedDeviations accepted(dir_);
  const std::vector<std::string> commits = {"c1", "c2", "c3", "c2", "c1"};
  EXPECT_TRUE(accepted.is_accepted_in_context("git", "dispersion", "c2"));
  EXPECT_TRUE(accepted.is_accepted_in_context("git", "dispersion", "c3", "", commits));
  // First occurrences decide: c1 first appears before c2.
  EXPECT_FALSE(accepted.is_accepted_in_context("git", "dispersion", "c1", "", commits));
  EXPECT_FALSE(accepted.is_accepted_in_context("git", "dispersion", "c9", "", commits));
  EXPECT_FALSE(accepted.is_accepted_in_context("git", "dispersion", "c3"));
  EXPECT_FALSE(accepted.is_accepted_in_context("git", "dispersion", "", "", commits));
  EXPECT_FALSE(accepted.is_accepted_in_context("git", "dispersion", "c3", "", {"c3", "c4"}));
}

TEST_F(AcceptedDeviationsTest, SinceNeedsAnEventDateNotEarlier) {
  store_entries(Json::array({entry("git", "dispersion", "", "2025-05-01T00:00:00Z")}));
  AcceptedDeviations accepted(dir_);
  EXPECT_TRUE(accepted.is_accepted_in_context("git", "dispersion", "", "2025-05-01T00:00:00Z"));
  EXPECT_TRUE(accepted.is_accepted_in_context("git", "dispersion", "", "2025-05-02"));
  EXPECT_FALSE(accepted.is_accepted_in_context("git", "dispersion", "", "2025-04-30T23:59:59Z"));
  EXPECT_FALSE(accepted.is_accepted_in_context("git", "dispersion"));
}

TEST_F(AcceptedDeviationsTest, AnyMatchingEntrySuffices) {
  store_entries(Json::array({entry("git", "dispersion", "", "", "2025-01-01T00:00:00Z"),
                             entry("git", "dispersion", "zz"),
                             entry("git", "dispersion", "", "2025-05-01")}));
  AcceptedDeviations accepted(dir_);
  EXPECT_TRUE(accepted.is_accepted_in_context("git", "dispersion", "x", "2025-05-03"));
  EXPECT_FALSE(accepted.is_accepted_in_context("git", "dispersion", "x", "2025-04-03"));
}

TEST_F(AcceptedDeviationsTest, CleanupRemovesExpiredEntriesAndKeepsTheRestAsStored) {
  Json kept = entry("ci", "run_failed", "", "", "2026-01-01T00:00:00Z");
  kept["note"] = "hand-written member";
  store_entries(Json::array({entry("git", "dispersion", "", "", "2025-06-01T11:59:59Z"), kept,
                             entry("git", "files_touched"),
                             entry("ci", "run_duration", "", "", "2025-06-01T12:00:00Z")}));
  AcceptedDeviations accepted(dir_);
  EXPECT_EQ(accepted.cleanup_expired(""), 2u);
  EXPECT_EQ(read_file(file()), dump_pretty(Json::array({kept, entry("git", "files_touched")})));
}

TEST_F(AcceptedDeviationsTest, CleanupWithNothingExpiredLeavesTheFileAlone) {
  const std::string compact = R"([{"family": "git", "metric": "dispersion", "expires_at": null}])";
  store(compact);
  EXPECT_EQ(AcceptedDeviations(dir_).cleanup_expired("advisory-1"), 0u);
  EXPECT_EQ(read_file(file()), compact);
}

TEST_F(AcceptedDeviationsTest, FilesThatAreNotArraysOfMapsRaiseAndAreNeverReplaced) {
  const std::pair<std::string, bool> cases[] = {{"{}", true},
                                                {"[{}, 3]", true},
                                                {"null", true},
                                                {"[1,", false},
                                                {"", false},
                                                {"[{\"family\": \"git\"}] x", false}};
  for (const auto& [text, is_type_error] : cases) {
    store(text);
    AcceptedDeviations accepted(dir_);
    try {
      accepted.accept("git", "dispersion", "reason");
      ADD_FAILURE() << "accepted over: " << text;
    } catch (const TypeError& e) {
      EXPECT_TRUE(is_type_error) << text;
      EXPECT_NE(std::string(e.what()).find(file().string()), std::string::npos) << e.what();
    } catch (const JsonError& e) {
      EXPECT_FALSE(is_type_error) << text;
      EXPECT_NE(std::string(e.what()).find(file().string()), std::string::npos) << e.what();
    }
    EXPECT_THROW(accepted.cleanup_expired(), Error) << text;
    EXPECT_THROW(accepted.is_accepted_in_context("git", "dispersion"), Error) << text;
    EXPECT_EQ(read_file(file()), text);
  }
}

TEST_F(AcceptedDeviationsTest, MembersOfTheWrongKindRaiseNamingEntryAndMember) {
  Json bad = entry("git", "dispersion");
  bad["expires_at"] = 20250601;
  store_entries(Json::array({entry("ci", "run_failed"), bad}));
  AcceptedDeviations accepted(dir_);
  try {
    accepted.cleanup_expired();
    ADD_FAILURE() << "no error";
  } catch (const TypeError& e) {
    EXPECT_NE(std::string(e.what()).find("[1]: member 'expires_at'"), std::string::npos)
        << e.what();
  }
  EXPECT_EQ(read_file(file()), dump_pretty(Json::array({entry("ci", "run_failed"), bad})));
}

TEST_F(AcceptedDeviationsTest, EveryTruncationOfAValidFileIsAClearError) {
  store_entries(Json::array({entry("git", "dispersion", "c1", "2025-01-01", "2026-01-01"),
                             entry("ci", "run_failed")}));
  const std::string whole = read_file(file());
  for (size_t length = 0; length < whole.size(); ++length) {
    store(whole.substr(0, length));
    EXPECT_THROW(AcceptedDeviations(dir_).list(), JsonError) << length;
  }
  store(whole);
  EXPECT_EQ(AcceptedDeviations(dir_).list().size(), 2u);
}

}  // namespace
}  // namespace velquor::morvic
