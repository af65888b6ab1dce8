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
  platform::FileHandle file = platform::CreateFileForWriting(path.c_str(), nullptr);
  ASSERT_NE(file, platform::kNoFile);
  EXPECT_EQ(platform::WriteToFile(file, "abcdef", 6), 6u);
  EXPECT_TRUE(platform::MoveFilePosition(file, -4));
  EXPECT_EQ(platform::WriteToFile(file, "XY", 2), 2u);
  EXPECT_TRUE(platform::CloseFile(file));
  EXPECT_EQ(ReadFile(path), "abXYef");

  platform::FileIdentity identity;
  file = platform::OpenFileForReading(path.c_str(), &identity);
  ASSERT_NE(file, platform::kNoFile);
  char bytes[16] = {};
  EXPECT_EQ(platform::ReadFromFile(file, bytes, 3), 3);
  EXPECT_TRUE(platform::MoveFilePosition(file, -1));
  EXPECT_EQ(platform::ReadFromFile(file, bytes + 3, sizeof bytes - 3), 4);
  EXPECT_EQ(std::string(bytes), "abXXYef");
  EXPECT_EQ(platform::ReadFromFile(file, bytes, sizeof bytes), 0);  // end of file
  EXPECT_TRUE(platform::CloseFile(file));
}

TEST_F(PlatformContract, CreateEmptiesAnExistingFileAndRefusesTheOneToKeep) {
  std::string path = folder_ / "old.kvr";
  std::string other = folder_ / "other.kvr";
  WriteFile(path, "old content");
  WriteFile(other, "x");
  platform::FileIdentity identity;
  platform::FileHandle input = platform::OpenFileForReading(path.c_str(), &identity);
  ASSERT_NE(input, platform::kNoFile);
  platform::CloseFile(input);

  EXPECT_EQ(platform::CreateFileForWriting(path.c_str(), &identity), platform::kNoFile);
  EXPECT_EQ(ReadFile(path), "old content");
  platform::FileHandle file = platform::CreateFileForWriting(other.c_str(), &identity);
  ASSERT_NE(file, platform::kNoFile);
  platform::CloseFile(file);
  file = platform::CreateFileForWriting(path.c_str(), nullptr);
  ASSERT_NE(file, platform::kNoFile);
  platform::CloseFile(file);
  EXPECT_EQ(ReadFile(path), "");
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
    platform::FileHandle file = platform::OpenFileForReading(path.c_str(), &identity);
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
  EXPECT_EQ(platform::OpenFileForReading((folder_ / "sub.kvr").c_str(), &identity), platform::kNoFile);
  EXPECT_EQ(platform::CreateFileForWriting((folder_ / "sub.kvr").c_str(), nullptr), platform::kNoFile);
  EXPECT_EQ(platform::OpenFileForReading((folder_ / "none.kvr").c_str(), &identity), platform::kNoFile);
  EXPECT_EQ(platform::CreateFileForWriting((folder_ / "none/x.kvr").c_str(), nullptr), platform::kNoFile);
}

TEST_F(PlatformContract, RemoveIncompleteFileRemovesOnlyFiles) {
  WriteFile(folder_ / "part.kvr", "partial");
  MakeFolder(folder_ / "dir.kvr");
  platform::RemoveIncompleteFile((folder_ / "part.kvr").c_str());
  platform::RemoveIncompleteFile((folder_ / "dir.kvr").c_str());
  platform::RemoveIncompleteFile((folder_ / "missing.kvr").c_str());
  EXPECT_FALSE(Exists(folder_ / "part.kvr"));
  EXPECT_TRUE(Exists(folder_ / "dir.kvr"));
}

std::vector<platform::FolderEntry> SearchAll(const std::string& searchText, platform::SearchStart* start) {
  std::vector<platform::FolderEntry> entries;
  platform::FolderSearch search;
  platform::FolderEntry entry;
  *start = platform::StartFolderSearch(searchText.c_str(), &search, &entry);
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
