// What the converter relies on from the platform layer, held against
// whichever backend is linked: POSIX here, Win32 under Wine.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/Platform.h"
#include "tests/TestSupport.h"

namespace {

using namespace testing_support;

class PlatformContract : public ::testing::Test {
 protected:
  ScratchFolder folder_;
};

TEST_F(PlatformContract, FilesReadWriteSeekAndClose) {
  std::string path = folder_ / "data.kvr";
  platform::Replacement replacement;
  platform::ErrorCode error = 0;
  platform::FileHandle file = platform::BeginReplacement(path.c_str(), platform::kNoFile, &replacement, &error);
  ASSERT_NE(file, platform::kNoFile);
  EXPECT_EQ(platform::WriteToFile(file, "abcdef", 6), 6u);
  EXPECT_TRUE(platform::MoveFilePosition(file, -4));
  EXPECT_EQ(platform::WriteToFile(file, "XY", 2), 2u);
  EXPECT_TRUE(platform::CommitReplacement(&replacement, file, &error));
  EXPECT_EQ(ReadFile(path), "abXYef");

  platform::FileIdentity identity;
  file = platform::OpenFileForReading(path.c_str(), &identity, &error);
  ASSERT_NE(file, platform::kNoFile);
  char bytes[16] = {};
  EXPECT_EQ(platform::ReadFromFile(file, bytes, 3), 3);
  EXPECT_TRUE(platform::MoveFilePosition(file, -1));
  EXPECT_EQ(platform::ReadFromFile(file, bytes + 3, sizeof bytes - 3), 4);
  EXPECT_EQ(std::string(bytes), "abXXYef");
  EXPECT_EQ(platform::ReadFromFile(file, bytes, sizeof bytes), 0);  // end of file
  EXPECT_TRUE(platform::CloseFile(file));
}

// What a replacement promises: the older file stays until the new one is
// committed, an abandoned one leaves no trace, and the file it is made from
// is never replaced.
TEST_F(PlatformContract, ReplacementsTakeThePlaceOfTheOlderFileOnlyWhenCommitted) {
  std::string path = folder_ / "old.kvr";
  std::string input = folder_ / "input.kvr";
  WriteFile(path, "old content");
  WriteFile(input, "input");
  platform::ErrorCode error = 0;
  platform::FileIdentity identity;
  platform::FileHandle source = platform::OpenFileForReading(input.c_str(), &identity, &error);
  ASSERT_NE(source, platform::kNoFile);

  platform::Replacement replacement;
  EXPECT_EQ(platform::BeginReplacement(input.c_str(), source, &replacement, &error), platform::kNoFile);
  EXPECT_EQ(error, platform::kSameFile);

  platform::FileHandle file = platform::BeginReplacement(path.c_str(), source, &replacement, &error);
  ASSERT_NE(file, platform::kNoFile);
  EXPECT_EQ(platform::WriteToFile(file, "new", 3), 3u);
  EXPECT_EQ(ReadFile(path), "old content");
  platform::AbandonReplacement(&replacement, file);
  EXPECT_EQ(ReadFile(path), "old content");
  EXPECT_FALSE(Exists(replacement.temporaryPath));

  file = platform::BeginReplacement(path.c_str(), source, &replacement, &error);
  ASSERT_NE(file, platform::kNoFile);
  EXPECT_NE(replacement.temporaryPath.find(".unfinished"), std::string::npos) << "the name says what it is";
  EXPECT_EQ(platform::WriteToFile(file, "new", 3), 3u);
  EXPECT_TRUE(platform::CommitReplacement(&replacement, file, &error));
  EXPECT_EQ(ReadFile(path), "new");
  EXPECT_FALSE(Exists(replacement.temporaryPath));
  platform::CloseFile(source);
  EXPECT_EQ(ReadFile(input), "input");
}

TEST_F(PlatformContract, IdentitiesTellFilesApart) {
  std::string a = folder_ / "a.kvr";
  std::string b = folder_ / "b.kvr";
  std::string hard = folder_ / "hard.kvr";
  WriteFile(a, "a");
  WriteFile(b, "b");
  std::filesystem::create_hard_link(a, hard);
  auto identify = [](const std::string& path) {
    platform::FileIdentity identity;
    platform::ErrorCode error = 0;
    platform::FileHandle file = platform::OpenFileForReading(path.c_str(), &identity, &error);
    EXPECT_NE(file, platform::kNoFile);
    platform::CloseFile(file);
    return identity;
  };
  platform::FileIdentity ia = identify(a), ib = identify(b), ih = identify(hard);
  EXPECT_TRUE(ia.volume == ih.volume && ia.index == ih.index);
  EXPECT_FALSE(ia.volume == ib.volume && ia.index == ib.index);
}

TEST_F(PlatformContract, FoldersAndMissingFilesAreNotOpened) {
  MakeFolder(folder_ / "sub.kvr");
  platform::FileIdentity identity;
  platform::Replacement replacement;
  platform::ErrorCode error = 0;
  EXPECT_EQ(platform::OpenFileForReading((folder_ / "sub.kvr").c_str(), &identity, &error), platform::kNoFile);
  EXPECT_NE(error, 0);
  error = 0;
  EXPECT_EQ(platform::BeginReplacement((folder_ / "sub.kvr").c_str(), platform::kNoFile, &replacement, &error),
            platform::kNoFile);
  EXPECT_NE(error, 0);
  error = 0;
  EXPECT_EQ(platform::OpenFileForReading((folder_ / "none.kvr").c_str(), &identity, &error), platform::kNoFile);
  EXPECT_NE(error, 0);
  EXPECT_FALSE(platform::DescribeError(error).empty());
  error = 0;
  EXPECT_EQ(platform::BeginReplacement((folder_ / "none/x.kvr").c_str(), platform::kNoFile, &replacement, &error),
            platform::kNoFile);
  EXPECT_NE(error, 0);
  EXPECT_TRUE(std::filesystem::is_empty(folder_ / "sub.kvr"));
}

TEST_F(PlatformContract, FoldersAreCheckedBeforeUse) {
  MakeFolder(folder_ / "Converted");
  WriteFile(folder_ / "file", "");
  EXPECT_EQ(platform::CheckFolder((folder_ / "Converted").c_str(), true), 0);
  EXPECT_NE(platform::CheckFolder((folder_ / "missing").c_str(), false), 0);
  EXPECT_NE(platform::CheckFolder((folder_ / "file").c_str(), false), 0);
  EXPECT_TRUE(std::filesystem::is_empty(folder_ / "Converted")) << "the check left a file behind";
  // Two spellings of one folder are one folder; a file or nothing is none.
  platform::FileIdentity first, second;
  EXPECT_EQ(platform::IdentifyFolder((folder_ / "Converted").c_str(), &first), 0);
  EXPECT_EQ(platform::IdentifyFolder((folder_ / "Converted/../Converted/").c_str(), &second), 0);
  EXPECT_TRUE(first.volume == second.volume && first.index == second.index);
  EXPECT_EQ(platform::IdentifyFolder(folder_.path().c_str(), &second), 0);
  EXPECT_FALSE(first.volume == second.volume && first.index == second.index);
  EXPECT_NE(platform::IdentifyFolder((folder_ / "file").c_str(), &second), 0);
  EXPECT_TRUE(platform::NamesNothing(platform::IdentifyFolder((folder_ / "missing").c_str(), &second)));
}

std::vector<platform::FolderEntry> SearchAll(const std::string& searchText, platform::SearchStart* start) {
  std::vector<platform::FolderEntry> entries;
  platform::FolderSearch search;
  platform::FolderEntry entry;
  platform::ErrorCode error = 0;
  *start = platform::StartFolderSearch(searchText.c_str(), &search, &entry, &error);
  if (*start != platform::SearchStart::Found) return entries;
  do {
    entries.push_back(entry);
  } while (platform::ContinueFolderSearch(&search, &entry));
  platform::FinishFolderSearch(&search);
  return entries;
}

TEST_F(PlatformContract, FolderSearchOffersEveryMatchWithItsKind) {
  MakeFolder(folder_ / "convert");
  WriteFile(folder_ / "convert/a.kvr", "");
  WriteFile(folder_ / "convert/B.KVR", "");
  MakeFolder(folder_ / "convert/dir.kvr");
  platform::SearchStart start;
  std::vector<platform::FolderEntry> entries = SearchAll(folder_ / "convert/*.kvr", &start);
  EXPECT_EQ(start, platform::SearchStart::Found);
  auto find = [&](const std::string& name) {
    return std::find_if(entries.begin(), entries.end(), [&](const auto& e) { return e.name == name; });
  };
  ASSERT_NE(find("a.kvr"), entries.end());
  ASSERT_NE(find("B.KVR"), entries.end());
  ASSERT_NE(find("dir.kvr"), entries.end());
  EXPECT_FALSE(find("a.kvr")->isDirectory);
  EXPECT_TRUE(find("dir.kvr")->isDirectory);

  SearchAll(folder_ / "missing/*.kvr", &start);
  EXPECT_EQ(start, platform::SearchStart::Failed);
}

TEST(PlatformArena, GrowingKeepsTheBytes) {
  platform::ByteArena arena;
  ASSERT_TRUE(platform::GrowArena(&arena, 10));
  std::memcpy(arena.data, "0123456789", 10);
  ASSERT_TRUE(platform::GrowArena(&arena, std::size_t{64} << 20));
  EXPECT_GE(arena.capacity, std::size_t{64} << 20);
  EXPECT_EQ(std::string(arena.data, 10), "0123456789");
  arena.data[arena.capacity - 1] = 'z';
  platform::ReleaseArena(&arena);
  EXPECT_EQ(arena.data, nullptr);
}

}  // namespace
