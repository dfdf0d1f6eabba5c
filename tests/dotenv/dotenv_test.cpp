#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <unistd.h>

#include "shared/file_io.h"
#include "velquor/dotenv/dotenv.h"

namespace velquor::dotenv {
namespace {

class LoadDotenvTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("dotenv-" + std::to_string(::getpid()));
    fs::create_directories(dir_);
    for (const char* name : kNames) ::unsetenv(name);
  }
  void TearDown() override {
    for (const char* name : kNames) ::unsetenv(name);
    fs::remove_all(dir_);
  }

  static std::string env(const char* name) {
    const char* value = std::getenv(name);
    return value == nullptr ? "<unset>" : value;
  }

  static constexpr const char* kNames[] = {
      "VQ_PLAIN", "VQ_EXPORTED", "VQ_DOUBLE", "VQ_SINGLE", "VQ_MIXED", "VQ_SPACED", "VQ_EMPTY",
      "VQ_EQUALS", "VQ_COMMENTED", "VQ_PRESET", "VQ_CRLF", "VQ_ONE_QUOTE", "VQ_INNER", "VQ_OLD_MAC"};
  fs::path dir_;
};

TEST_F(LoadDotenvTest, ParsesTheFileIntoTheEnvironment) {
  write_file_atomic(dir_ / ".env",
                    "# settings for local runs\n"
                    "\n"
                    "VQ_PLAIN=plain value\n"
                    "export VQ_EXPORTED=exported\n"
                    "VQ_DOUBLE=\"double quoted\"\n"
                    "VQ_SINGLE='single # quoted'\n"
                    "VQ_MIXED=\"mixed'\n"
                    "  VQ_SPACED  =   spaced   \n"
                    "VQ_EMPTY=\n"
                    "VQ_EQUALS=a=b=c\n"
                    "   # VQ_COMMENTED=no\n"
                    "not a setting\n"
                    "=no key\n"
                    "VQ_CRLF=windows\r\n"
                    "VQ_OLD_MAC=mac\rVQ_PLAIN=shadowed\r"
                    "VQ_ONE_QUOTE=\"\n"
                    "VQ_INNER=say \"hi\" there");
  EXPECT_TRUE(load_dotenv(dir_ / ".env"));
  EXPECT_EQ(env("VQ_PLAIN"), "plain value");
  EXPECT_EQ(env("VQ_EXPORTED"), "exported");
  EXPECT_EQ(env("VQ_DOUBLE"), "double quoted");
  EXPECT_EQ(env("VQ_SINGLE"), "single # quoted");
  EXPECT_EQ(env("VQ_MIXED"), "\"mixed'");
  EXPECT_EQ(env("VQ_SPACED"), "spaced");
  EXPECT_EQ(env("VQ_EMPTY"), "");
  EXPECT_EQ(env("VQ_EQUALS"), "a=b=c");
  EXPECT_EQ(env("VQ_COMMENTED"), "<unset>");
  EXPECT_EQ(env("VQ_CRLF"), "windows");
  EXPECT_EQ(env("VQ_OLD_MAC"), "mac");
  EXPECT_EQ(env("VQ_ONE_QUOTE"), "\"");
  EXPECT_EQ(env("VQ_INNER"), "say \"hi\" there");
}

TEST_F(LoadDotenvTest, NeverOverridesTheEnvironment) {
  ::setenv("VQ_PRESET", "from shell", 1);
  ::setenv("VQ_EMPTY", "", 1);
  write_file_atomic(dir_ / ".env", "VQ_PRESET=from file\nVQ_EMPTY=filled\nVQ_PLAIN=new\n");
  EXPECT_TRUE(load_dotenv(dir_ / ".env"));
  EXPECT_EQ(env("VQ_PRESET"), "from shell");
  EXPECT_EQ(env("VQ_EMPTY"), "");
  EXPECT_EQ(env("VQ_PLAIN"), "new");
}

TEST_F(LoadDotenvTest, ReadsDotEnvOfTheWorkingDirectoryAndToleratesItsAbsence) {
  const fs::path previous = fs::current_path();
  fs::current_path(dir_);
  EXPECT_FALSE(load_dotenv());
  fs::create_directory(dir_ / ".env");
  EXPECT_FALSE(load_dotenv());  // a directory of that name is no settings file
  fs::remove(dir_ / ".env");
  write_file_atomic(dir_ / ".env", "VQ_PLAIN=here");
  EXPECT_TRUE(load_dotenv());
  fs::current_path(previous);
  EXPECT_EQ(env("VQ_PLAIN"), "here");
}

}  // namespace
}  // namespace velquor::dotenv
