// What the converter relies on from the platform layer, held against
// whichever backend is linked: POSIX here, Win32 under Wine.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/Platform.h"
#include "runtime/OutputFolder.h"
#include "tests/TestSupport.h"

namespace {

using namespace testing_support;

class PlatformContract : public ::testing::Test {
 protected:
  ScratchFolder folder_;
};

TEST_F(PlatformContract, FilesReadWriteSeekAndClose) {
  std::string path = folder_ / "data.kvr";
  platform::ErrorCode error = 0;
  platform::FileHandle file = platform::CreateExclusive(platform::kNoFolder, path.c_str(), 0644, &error);
  ASSERT_NE(file, platform::kNoFile);
  EXPECT_EQ(platform::WriteToFile(file, "abcdef", 6), 6u);
  EXPECT_TRUE(platform::MoveFilePosition(file, -4));
  EXPECT_EQ(platform::WriteToFile(file, "XY", 2), 2u);
  EXPECT_TRUE(platform::CloseFile(file));
  EXPECT_EQ(platform::CreateExclusive(platform::kNoFolder, path.c_str(), 0644, &error), platform::kNoFile);
  EXPECT_EQ(error, platform::kExists);
  EXPECT_EQ(ReadFile(path), "abXYef");

  platform::FileStatus status;
  file = platform::OpenFileForReading(platform::kNoFolder, path.c_str(), &status, &error);
  ASSERT_NE(file, platform::kNoFile);
  EXPECT_EQ(status.size, 6u);
  char bytes[16] = {};
  EXPECT_EQ(platform::ReadFromFile(file, bytes, 3), 3);
  EXPECT_TRUE(platform::MoveFilePosition(file, -1));
  EXPECT_EQ(platform::ReadFromFile(file, bytes + 3, sizeof bytes - 3), 4);
  EXPECT_EQ(std::string(bytes), "abXXYef");
  EXPECT_EQ(platform::ReadFromFile(file, bytes, sizeof bytes), 0);  // end of file
  EXPECT_TRUE(platform::CloseFile(file));
}

// The sweep of an output folder removes what earlier runs left, and only
// that: a file a live writer holds and a user's own file stay.
TEST_F(PlatformContract, TheSweepTakesOnlyTemporaryFilesNoWriterHolds) {
  MakeFolder(folder_ / "out");
  OutputFolder outputs;
  platform::FileIdentity identity;
  platform::ErrorCode error = 0;
  ASSERT_TRUE(OpenOutputFolder(&outputs, (folder_ / "out").c_str(), &identity, &error));
  // (Over an older output, so that the live writer's file has a name.)
  WriteFile(folder_ / "out/live.kvr", "older");
  PendingOutput live;
  platform::FileHandle file = BeginOutput(&outputs, "live.kvr", nullptr, &live, &error);
  ASSERT_NE(file, platform::kNoFile);
  const std::vector<std::string> leftovers = {".BrushPreset_Convertion-1-1.unfinished",
                                              ".BrushPreset_Convertion-1-2.unfinished"};
  const std::vector<std::string> kept = {"notes.unfinished",
                                         ".BrushPreset_Convertion-.unfinished",
                                         "a user's own notes, nothing of ours.unfinished",
                                         ".BrushPreset_Convertion-1-3.unfinished.kvr",
                                         ".BrushPreset_Convertion-backup of my notes.unfinished",
                                         ".BrushPreset_Convertion-1-.unfinished",
                                         ".BrushPreset_Convertion--1.unfinished",
                                         ".BrushPreset_Convertion-1-2-3.unfinished"};
  for (const std::string& name : leftovers) WriteFile(folder_ / ("out/" + name), "partial");
  for (const std::string& name : kept) WriteFile(folder_ / ("out/" + name), "the user's");
  // Only files can be what a run left: a folder or a link named like one stays.
  const std::string folderNamed = folder_ / "out/.BrushPreset_Convertion-1-4.unfinished";
  const std::string linkNamed = folder_ / "out/.BrushPreset_Convertion-1-5.unfinished";
  MakeFolder(folderNamed);
  std::error_code noLink;
  std::filesystem::create_symlink(folder_ / ("out/" + kept[0]), linkNamed, noLink);
  SweepLeftovers(&outputs, (folder_ / "out").c_str());
  EXPECT_TRUE(std::filesystem::is_directory(folderNamed));
  EXPECT_TRUE(noLink || std::filesystem::is_symlink(linkNamed));
  for (const std::string& name : leftovers) EXPECT_FALSE(Exists(folder_ / ("out/" + name))) << name;
  for (const std::string& name : kept) EXPECT_EQ(ReadFile(folder_ / ("out/" + name)), "the user's") << name;
  EXPECT_TRUE(Exists(folder_ / ("out/" + live.temporaryName)));
  // Once its temporary file has been moved away, the name is someone
  // else's: abandoning the output leaves what now stands there. Windows
  // refuses to move a file being written.
  std::error_code refused;
  std::filesystem::rename(folder_ / ("out/" + live.temporaryName), folder_ / "out/moved", refused);
  if (!refused) WriteFile(folder_ / ("out/" + live.temporaryName), "someone's");
  AbandonOutput(&outputs, &live, file);
  if (!refused) {
    EXPECT_EQ(ReadFile(folder_ / ("out/" + live.temporaryName)), "someone's");
  }
  // The same for a folder put there.
  file = BeginOutput(&outputs, "live.kvr", nullptr, &live, &error);
  ASSERT_NE(file, platform::kNoFile);
  std::filesystem::rename(folder_ / ("out/" + live.temporaryName), folder_ / "out/moved", refused);
  if (!refused) MakeFolder(folder_ / ("out/" + live.temporaryName));
  AbandonOutput(&outputs, &live, file);
  EXPECT_TRUE(refused || std::filesystem::is_directory(folder_ / ("out/" + live.temporaryName)));
  CloseOutputFolder(&outputs);
}

// What an output folder promises: the older file stays until the new one
// is complete, an abandoned one leaves no trace, the file it is made from
// is never replaced, and the folder is used by what it was when opened.
TEST_F(PlatformContract, OutputsTakeThePlaceOfTheOlderFileOnlyWhenFinished) {
  MakeFolder(folder_ / "out");
  std::string path = folder_ / "out/old.kvr";
  std::string input = folder_ / "out/input.kvr";
  WriteFile(path, "old content");
  WriteFile(input, "input");
  platform::ErrorCode error = 0;
  platform::FileStatus status;
  platform::FileHandle source = platform::OpenFileForReading(platform::kNoFolder, input.c_str(), &status, &error);
  ASSERT_NE(source, platform::kNoFile);
  OutputFolder outputs;
  platform::FileIdentity identity;
  ASSERT_TRUE(OpenOutputFolder(&outputs, (folder_ / "out").c_str(), &identity, &error));

  PendingOutput output;
  EXPECT_EQ(BeginOutput(&outputs, "input.kvr", &status, &output, &error), platform::kNoFile);
  EXPECT_EQ(error, platform::kSameFile);

  platform::FileHandle file = BeginOutput(&outputs, "old.kvr", &status, &output, &error);
  ASSERT_NE(file, platform::kNoFile);
  EXPECT_EQ(platform::WriteToFile(file, "new", 3), 3u);
  AbandonOutput(&outputs, &output, file);
  EXPECT_EQ(ReadFile(path), "old content");
  EXPECT_FALSE(Exists(folder_ / ("out/" + output.temporaryName)));

  file = BeginOutput(&outputs, "old.kvr", &status, &output, &error);
  ASSERT_NE(file, platform::kNoFile);
  EXPECT_NE(output.temporaryName.find(".unfinished"), std::string::npos) << "the name says what it is";
  const std::string temporary = output.temporaryName;
  EXPECT_EQ(platform::WriteToFile(file, "new", 3), 3u);
  FinishOutput(&outputs, &output, file);
  // Moved away, the folder's path names another folder; the outputs still
  // go into the one opened. Windows refuses to move a folder held open.
  std::error_code refused;
  std::filesystem::rename(folder_ / "out", folder_ / "moved", refused);
  const std::string held = refused ? "out/" : "moved/";
  if (!refused) MakeFolder(folder_ / "out");
  CloseOutputFolder(&outputs);
  EXPECT_TRUE(outputs.failures.empty());
  EXPECT_EQ(ReadFile(folder_ / (held + "old.kvr")), "new");
  EXPECT_FALSE(Exists(folder_ / (held + temporary)));
  if (!refused) {
    EXPECT_TRUE(std::filesystem::is_empty(folder_ / "out"));
  }
  platform::CloseFile(source);
  EXPECT_EQ(ReadFile(folder_ / (held + "input.kvr")), "input");
}

TEST_F(PlatformContract, IdentitiesTellFilesApart) {
  std::string a = folder_ / "a.kvr";
  std::string b = folder_ / "b.kvr";
  std::string hard = folder_ / "hard.kvr";
  WriteFile(a, "a");
  WriteFile(b, "b");
  std::filesystem::create_hard_link(a, hard);
  auto identify = [](const std::string& path) {
    platform::FileStatus status;
    platform::ErrorCode error = 0;
    platform::FileHandle file = platform::OpenFileForReading(platform::kNoFolder, path.c_str(), &status, &error);
    EXPECT_NE(file, platform::kNoFile);
    platform::CloseFile(file);
    return status.identity;
  };
  platform::FileIdentity ia = identify(a), ib = identify(b), ih = identify(hard);
  EXPECT_TRUE(ia.volume == ih.volume && ia.index == ih.index);
  EXPECT_FALSE(ia.volume == ib.volume && ia.index == ib.index);
}

// Each of the converter's own reasons is told in words of its own, never
// as the system's text for an unknown code (which shows its number).
TEST(PlatformReasons, EachOwnReasonHasItsOwnWords) {
  const platform::ErrorCode own[] = {
      platform::kNotARegularFile, platform::kSameFile, platform::kChanged, platform::kBusy,
      platform::kSameFolder,      platform::kReadOnly, platform::kExists,  platform::kNotAFolder,
      platform::kIsAFolder,       platform::kHeld,     platform::kReplaced};
  std::vector<std::string> told;
  for (platform::ErrorCode error : own) {
    const std::string words = platform::DescribeError(error);
    EXPECT_FALSE(words.empty()) << error;
    EXPECT_EQ(words.find_first_of("0123456789"), std::string::npos) << error << ": " << words;
    EXPECT_EQ(std::count(told.begin(), told.end(), words), 0) << error << ": " << words;
    told.push_back(words);
  }
}

TEST_F(PlatformContract, FoldersAndMissingFilesAreNotOpened) {
  MakeFolder(folder_ / "sub.kvr");
  platform::FileStatus status;
  platform::ErrorCode error = 0;
  EXPECT_EQ(platform::OpenFileForReading(platform::kNoFolder, (folder_ / "sub.kvr").c_str(), &status, &error),
            platform::kNoFile);
  EXPECT_NE(error, 0);
  error = 0;
  EXPECT_EQ(platform::OpenFileForReading(platform::kNoFolder, (folder_ / "none.kvr").c_str(), &status, &error),
            platform::kNoFile);
  EXPECT_NE(error, 0);
  EXPECT_FALSE(platform::DescribeError(error).empty());
  OutputFolder outputs;
  platform::FileIdentity identity;
  ASSERT_TRUE(OpenOutputFolder(&outputs, folder_.path().c_str(), &identity, &error));
  PendingOutput output;
  EXPECT_EQ(BeginOutput(&outputs, "sub.kvr", nullptr, &output, &error), platform::kNoFile);
  EXPECT_EQ(error, platform::kIsAFolder);
  CloseOutputFolder(&outputs);
  EXPECT_TRUE(std::filesystem::is_empty(folder_ / "sub.kvr"));
}

TEST_F(PlatformContract, FoldersAreCheckedBeforeUse) {
  MakeFolder(folder_ / "Converted");
  WriteFile(folder_ / "file", "");
  platform::FileIdentity identity;
  platform::ErrorCode error = 0;
  platform::FolderHandle folder = platform::OpenFolder((folder_ / "Converted").c_str(), true, &identity, &error);
  EXPECT_NE(folder, platform::kNoFolder);
  platform::CloseFolder(folder);
  EXPECT_EQ(platform::OpenFolder((folder_ / "missing").c_str(), false, &identity, &error), platform::kNoFolder);
  EXPECT_NE(error, 0);
  error = 0;
  EXPECT_EQ(platform::OpenFolder((folder_ / "file").c_str(), false, &identity, &error), platform::kNoFolder);
  EXPECT_NE(error, 0);
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
  } while (platform::ContinueFolderSearch(&search, &entry, &error));
  EXPECT_EQ(error, 0);
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
