// Streamed atomic writes and mapped reads: what a reader of the path can see
// while a file is being written, after a failure, and after a replacement.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <typeinfo>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "shared/errors.h"
#include "shared/file_batch.h"
#include "shared/file_io.h"

namespace velquor {
namespace {

class FileIo : public ::testing::Test {
 protected:
  // One folder per test: ctest runs the cases of a suite side by side.
  void SetUp() override {
    dir = fs::temp_directory_path() /
          ("velquor-file-io-" + std::to_string(::getpid()) + "-" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir);
    fs::create_directories(dir);
  }
  void TearDown() override { fs::remove_all(dir); }

  std::vector<std::string> names() const {
    std::vector<std::string> found;
    for (const auto& entry : fs::directory_iterator(dir))
      found.push_back(entry.path().filename().string());
    std::sort(found.begin(), found.end());
    return found;
  }

  void write_plain(const fs::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
  }

  fs::path dir;
};

// Bytes of every value, a NUL among them, and pieces across several pages.
std::string awkward_bytes(size_t size) {
  std::string text;
  for (size_t i = 0; i < size; ++i) text += static_cast<char>((i * 131 + i / 7) & 0xFF);
  return text;
}

TEST_F(FileIo, AtomicFilePiecesAppearWholeOnlyWhenCommitted) {
  const fs::path path = dir / "out.json";
  write_file_atomic(path, "older");
  const std::string big = awkward_bytes(300000);
  {
    AtomicFile file(path);
    file.append("[");
    file.append("");
    file.append(big);
    file.append("]");
    // Until the commit a reader of the path sees the older file.
    EXPECT_EQ(read_file(path), "older");
    file.commit();
    EXPECT_EQ(read_file(path), "[" + big + "]");
    EXPECT_THROW(file.append("x"), IoError);
  }
  EXPECT_EQ(read_file(path), "[" + big + "]");
  EXPECT_EQ(names(), std::vector<std::string>{"out.json"});

  // A fresh path, and an empty content.
  {
    AtomicFile file(dir / "empty.json");
    file.commit();
  }
  EXPECT_EQ(read_file(dir / "empty.json"), "");
}

TEST_F(FileIo, UncommittedAtomicFileLeavesTheOlderFileAndNoTemporary) {
  const fs::path path = dir / "explanations.json";
  write_file_atomic(path, "[\"older\"]");
  {
    AtomicFile file(path);
    file.append(awkward_bytes(100000));
    EXPECT_EQ(names().size(), 2u);  // the temporary file sits beside the path
  }
  EXPECT_EQ(read_file(path), "[\"older\"]");
  EXPECT_EQ(names(), std::vector<std::string>{"explanations.json"});

  // Abandoned by an exception, as a failing run abandons its output.
  try {
    AtomicFile file(path);
    file.append("[partial");
    throw ValueError("record 3 failed");
  } catch (const ValueError&) {
  }
  EXPECT_EQ(read_file(path), "[\"older\"]");
  EXPECT_EQ(names(), std::vector<std::string>{"explanations.json"});

  // Nothing at the path before: nothing after.
  { AtomicFile file(dir / "new.json"); }
  EXPECT_EQ(names(), std::vector<std::string>{"explanations.json"});
}

// Files added from several threads appear only at the commit, each whole;
// a rename that fails names its path and keeps the files renamed before it;
// an abandoned batch leaves no temporary file.
TEST_F(FileIo, FileBatchFilesAppearTogetherAtTheCommit) {
  const size_t kFiles = 400;
  auto name_of = [](size_t i) { return "e" + std::to_string(1000 + i) + ".json"; };
  {
    FileBatch batch;
    std::vector<std::thread> writers;
    for (size_t part = 0; part < 4; ++part)
      writers.emplace_back([&, part] {
        for (size_t i = part; i < kFiles; i += 4) batch.add(dir / name_of(i), awkward_bytes(i));
      });
    for (auto& writer : writers) writer.join();
    EXPECT_TRUE(list_json_files(dir).empty());  // only temporary files so far
    EXPECT_EQ(names().size(), kFiles);
    batch.commit();
    EXPECT_NO_THROW(batch.commit());  // nothing left to do
  }
  ASSERT_EQ(names().size(), kFiles);
  for (size_t i = 0; i < kFiles; ++i) EXPECT_EQ(read_file(dir / name_of(i)), awkward_bytes(i)) << i;

  fs::remove_all(dir);
  fs::create_directories(dir / "c.json" / "taken");  // a folder that is not empty cannot be replaced
  {
    FileBatch batch;
    for (const char* name : {"a.json", "b.json", "c.json", "d.json"}) batch.add(dir / name, name);
    try {
      batch.commit();
      ADD_FAILURE() << "a rename over a folder was accepted";
    } catch (const IoError& error) {
      EXPECT_NE(std::string(error.what()).find("c.json: rename failed"), std::string::npos) << error.what();
    }
  }
  EXPECT_EQ(names(), (std::vector<std::string>{"a.json", "b.json", "c.json"}));
  EXPECT_EQ(read_file(dir / "b.json"), "b.json");

  {
    FileBatch abandoned;
    abandoned.add(dir / "e.json", "never");
  }
  EXPECT_EQ(names(), (std::vector<std::string>{"a.json", "b.json", "c.json"}));
}

TEST_F(FileIo, AtomicFileInMissingFolderIsIoErrorNamingThePath) {
  const fs::path path = dir / "missing" / "out.json";
  try {
    AtomicFile file(path);
    ADD_FAILURE() << "opened";
  } catch (const IoError& e) {
    EXPECT_NE(std::string(e.what()).find(path.string()), std::string::npos) << e.what();
  }
  EXPECT_FALSE(fs::exists(dir / "missing"));
  EXPECT_TRUE(names().empty());
}

// Read below kReadBelow bytes, mapped from there on.
const size_t kSizes[] = {3 * 4096 + 17, MappedFile::kReadBelow - 1, MappedFile::kReadBelow,
                         3 * MappedFile::kReadBelow + 5};

TEST_F(FileIo, MappedFileShowsTheWholeContent) {
  for (size_t size : kSizes) {
    const std::string content = awkward_bytes(size);
    write_plain(dir / "a.bin", content);
    MappedFile mapped(dir / "a.bin");
    EXPECT_EQ(mapped.text().size(), content.size());
    EXPECT_TRUE(mapped.text() == content) << size;
    EXPECT_TRUE(MappedFile(OpenFolder(dir), "a.bin").text() == content) << size;
  }

  write_plain(dir / "small.json", "[1]");
  EXPECT_EQ(MappedFile(dir / "small.json").text(), "[1]");

  write_plain(dir / "empty.json", "");
  MappedFile empty(dir / "empty.json");
  EXPECT_TRUE(empty.text().empty());
}

// The system replaces files by renaming new ones over them: a reader that
// mapped the older file keeps reading the older bytes.
TEST_F(FileIo, MappedFileKeepsItsBytesWhenThePathIsReplaced) {
  for (size_t size : kSizes) {
    const std::string older = awkward_bytes(size);
    write_file_atomic(dir / "signals.json", older);
    MappedFile mapped(dir / "signals.json");
    write_file_atomic(dir / "signals.json", "[]");
    EXPECT_TRUE(mapped.text() == older) << size;
    EXPECT_EQ(MappedFile(dir / "signals.json").text(), "[]");
  }
}

// A pipe has no size to map; its content is read as it comes.
TEST_F(FileIo, MappedFileReadsAPipe) {
  const fs::path pipe = dir / "signals.json";
  ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
  const std::string content = awkward_bytes(200000);
  std::thread writer([&] { std::ofstream(pipe, std::ios::binary) << content; });
  MappedFile mapped(pipe);
  writer.join();
  EXPECT_TRUE(mapped.text() == content);
}

// The same messages whether a file is opened by its path or by its name in
// an open folder, even one that could not be opened.
TEST_F(FileIo, MappedFileErrors) {
  fs::create_directories(dir / "folder.json");
  const OpenFolder folder(dir), missing_folder(dir / "missing");
  const std::vector<std::function<void()>> opens = {
      [&] { MappedFile(dir / "none.json"); },
      [&] { MappedFile(folder, "none.json"); },
      [&] { MappedFile(dir / "missing" / "none.json"); },
      [&] { MappedFile(missing_folder, "none.json"); },
  };
  for (size_t i = 0; i < opens.size(); ++i) {
    const std::string path = (i < 2 ? dir : dir / "missing").string() + "/none.json";
    try {
      opens[i]();
      ADD_FAILURE() << i;
    } catch (const FileNotFound& e) {
      EXPECT_EQ(std::string(e.what()), path + ": no such file");
    }
  }
  for (bool by_name : {false, true}) {
    try {
      if (by_name) MappedFile(folder, "folder.json");
      else MappedFile(dir / "folder.json");
      ADD_FAILURE() << "mapped a directory";
    } catch (const FileNotFound&) {
      ADD_FAILURE() << "a directory is not a missing file";
    } catch (const IoError& e) {
      EXPECT_EQ(std::string(e.what()), (dir / "folder.json").string() + ": cannot be read: Is a directory");
    }
  }
}

// One buffer serves file after file; a file that fills it is left to the
// caller, and errors read as read_file's, by name or by whole path.
TEST_F(FileIo, SmallFileReaderReadsFilesBelowItsCapacity) {
  constexpr size_t kCapacity = 8192;
  SmallFileReader reader(kCapacity);
  const OpenFolder folder(dir), missing_folder(dir / "missing");
  for (size_t size : {size_t{0}, size_t{5}, kCapacity - 1, kCapacity, 3 * kCapacity}) {
    const std::string content = awkward_bytes(size);
    write_plain(dir / "a.json", content);
    std::optional<std::string_view> text = reader.read(folder, "a.json");
    EXPECT_EQ(text.has_value(), size < kCapacity) << size;
    if (text) {
      EXPECT_TRUE(*text == content) << size;
    }
  }
  fs::create_directories(dir / "folder.json");
  const std::vector<std::pair<const OpenFolder*, fs::path>> failing = {
      {&folder, dir / "none.json"}, {&missing_folder, dir / "missing" / "none.json"},
      {&folder, dir / "folder.json"}};
  for (const auto& [in, path] : failing) {
    std::string expected, got;
    try {
      read_file(path);
    } catch (const Error& e) {
      expected = std::string(typeid(e).name()) + e.what();
    }
    try {
      reader.read(*in, path.filename().string());
    } catch (const Error& e) {
      got = std::string(typeid(e).name()) + e.what();
    }
    EXPECT_EQ(got, expected);
    EXPECT_NE(got.find(path.string()), std::string::npos) << got;
  }
}

// Entries named *.json that are no regular files are counted, not listed;
// links are followed.
TEST_F(FileIo, ListingNamesJsonFilesAndCountsTheRest) {
  write_plain(dir / "b.json", "[]");
  write_plain(dir / "a.json", "[]");
  write_plain(dir / "c.txt", "");
  write_plain(dir / ".json", "");
  fs::create_directories(dir / "folder.json");
  fs::create_directories(dir / "plain-folder");
  fs::create_symlink("a.json", dir / "link.json");
  fs::create_symlink("gone.json", dir / "broken.json");
  ASSERT_EQ(::mkfifo((dir / "pipe.json").c_str(), 0600), 0);

  const JsonFileListing listing = list_json_file_names(dir);
  EXPECT_EQ(listing.names, (std::vector<std::string>{".json", "a.json", "b.json", "link.json"}));
  EXPECT_EQ(listing.irregular, 3u);
  EXPECT_EQ(listing.path_text(1), (dir / "a.json").string());
  const std::vector<fs::path> paths = list_json_files(dir);
  ASSERT_EQ(paths.size(), 4u);
  EXPECT_EQ(paths[3], dir / "link.json");

  const JsonFileListing none = list_json_file_names(dir / "absent");
  EXPECT_TRUE(none.names.empty());
  EXPECT_EQ(none.irregular, 0u);
}

}  // namespace
}  // namespace velquor
