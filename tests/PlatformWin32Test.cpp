// Promises that only Windows files can show: read-only and hidden older
// outputs, and names and paths past what the code page and MAX_PATH hold.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/Platform.h"
#include "platform/PlatformWin32.h"
#include "tests/TestSupport.h"

namespace {

using namespace testing_support;

class Win32Replacement : public ::testing::Test {
 protected:
  platform::FileHandle Begin(const std::string& path, platform::ErrorCode* error) {
    return platform::BeginReplacement(path.c_str(), platform::kNoFile, &replacement_, error);
  }
  ScratchFolder folder_;
  platform::Replacement replacement_;
};

TEST_F(Win32Replacement, AReadOnlyOlderOutputIsRefusedAndKept) {
  std::string path = folder_ / "ro.kvr";
  WriteFile(path, "older");
  ASSERT_TRUE(SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_READONLY));
  platform::ErrorCode error = 0;
  EXPECT_EQ(Begin(path, &error), platform::kNoFile);
  EXPECT_EQ(error, static_cast<platform::ErrorCode>(ERROR_ACCESS_DENIED));
  SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
  EXPECT_EQ(ReadFile(path), "older");
}

TEST_F(Win32Replacement, AHiddenOlderOutputIsReplacedAndStaysHidden) {
  std::string path = folder_ / "hidden.kvr";
  WriteFile(path, "older");
  ASSERT_TRUE(SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_HIDDEN));
  platform::ErrorCode error = 0;
  platform::FileHandle file = Begin(path, &error);
  ASSERT_NE(file, platform::kNoFile) << platform::DescribeError(error);
  EXPECT_EQ(platform::WriteToFile(file, "new", 3), 3u);
  ASSERT_TRUE(platform::CommitReplacement(&replacement_, file, &error)) << platform::DescribeError(error);
  EXPECT_EQ(ReadFile(path), "new");
  EXPECT_NE(GetFileAttributesA(path.c_str()) & FILE_ATTRIBUTE_HIDDEN, 0u);
}

TEST_F(Win32Replacement, AFailedWriteLeavesTheOlderOutput) {
  std::string path = folder_ / "out.kvr";
  WriteFile(path, "older");
  platform::ErrorCode error = 0;
  platform::FileHandle file = Begin(path, &error);
  ASSERT_NE(file, platform::kNoFile);
  EXPECT_EQ(platform::WriteToFile(file, "partial", 7), 7u);
  platform::AbandonReplacement(&replacement_, file);
  EXPECT_EQ(ReadFile(path), "older");
  EXPECT_FALSE(Exists(replacement_.temporaryPath));
  EXPECT_NE(platform::DescribeError(ERROR_ACCESS_DENIED), "");
}

TEST(Win32Names, EveryUtf16NameComesBackTheSame) {
  struct Row {
    std::wstring wide;
    std::string text;
  };
  const Row rows[] = {
      {L"a.kvr", "a.kvr"},
      {L"\u00E9t\u00E9", "\xC3\xA9t\xC3\xA9"},
      {L"\u8868\u30BD", "\xE8\xA1\xA8\xE3\x82\xBD"},  // their Shift-JIS forms hold the byte of "\\"
      {L"\xD83D\xDD8C", "\xF0\x9F\x96\x8C"},              // a pair: one character
      {L"\xD83Dx", "\xED\xA0\xBDx"},                      // unpaired surrogates keep their own bytes
      {L"x\xDD8C", "x\xED\xB6\x8C"},
      {L"\xDD8C\xD83D", "\xED\xB6\x8C\xED\xA0\xBD"},       // the wrong order is no pair
  };
  for (const Row& row : rows) {
    EXPECT_EQ(platform::Utf8FromWide(row.wide), row.text);
    EXPECT_EQ(platform::WideFromUtf8(row.text), row.wide) << row.text;
  }
  // Bytes no name was made of never pass for another character.
  for (const char* invalid : {"\xC0\x80", "\xE0\x80\x80", "\xF4\x90\x80\x80", "\xE8\xA1", "\xFF"}) {
    EXPECT_EQ(platform::WideFromUtf8(invalid).find_first_not_of(L'\xFFFD'), std::wstring::npos) << invalid;
  }
}

// The platform, handed the names it found, writes a file of exactly the
// same UTF-16 name, also where the full path passes MAX_PATH.
TEST(Win32Names, ANameFoundIsOpenedAndReplacedUnderTheSameName) {
  ScratchFolder folder;
  std::vector<std::string> folders{folder.path()};
  while (folders.back().size() < MAX_PATH + 40) {
    folders.push_back(folders.back() + "\\" + std::string(60, 'd'));
    ASSERT_TRUE(CreateDirectoryW(platform::WidePath(folders.back().c_str()).c_str(), nullptr)) << folders.back();
  }
  const std::string deep = folders.back();
  const std::wstring unpaired = L"\xD83Dx.kvr";
  for (const std::wstring& name : {std::wstring(L"\u03B1\u03B2\u03B3.kvr"), std::wstring(L"\u8868\u30BD\u30D5\u30C8.kvr"),
                                   std::wstring(L"\xD83D\xDD8C.kvr"), unpaired, std::wstring(251, L'n') + L".kvr"}) {
    std::wstring input = platform::WideFromUtf8(folder.path()) + L"\\" + name;
    HANDLE made = CreateFileW(input.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    // Windows holds an unpaired surrogate in a name; Wine, whose names are
    // UTF-8 on the disk, cannot.
    if (made == INVALID_HANDLE_VALUE && name == unpaired) continue;
    ASSERT_NE(made, INVALID_HANDLE_VALUE) << GetLastError();
    CloseHandle(made);
    platform::FolderSearch search;
    platform::FolderEntry entry;
    platform::ErrorCode error = 0;
    ASSERT_EQ(platform::StartFolderSearch((folder.path() + "\\*.kvr").c_str(), &search, &entry, &error),
              platform::SearchStart::Found);
    platform::FinishFolderSearch(&search);
    EXPECT_EQ(platform::WideFromUtf8(entry.name), name);
    platform::FileIdentity identity;
    platform::FileHandle file = platform::OpenFileForReading((folder / entry.name).c_str(), &identity, &error);
    ASSERT_NE(file, platform::kNoFile) << platform::DescribeError(error);
    platform::CloseFile(file);
    platform::Replacement replacement;
    const std::string output = deep + "\\" + entry.name;
    file = platform::BeginReplacement(output.c_str(), platform::kNoFile, &replacement, &error);
    ASSERT_NE(file, platform::kNoFile) << platform::DescribeError(error);
    ASSERT_TRUE(platform::CommitReplacement(&replacement, file, &error)) << platform::DescribeError(error);
    std::wstring written = L"\\\\?\\" + platform::WideFromUtf8(deep) + L"\\" + name;
    EXPECT_NE(GetFileAttributesW(written.c_str()), INVALID_FILE_ATTRIBUTES) << output;
    DeleteFileW(written.c_str());
    DeleteFileW(input.c_str());
  }
  for (; folders.size() > 1; folders.pop_back()) RemoveDirectoryW(platform::WidePath(folders.back().c_str()).c_str());
}

}  // namespace
