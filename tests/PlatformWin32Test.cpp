// Promises that only Windows files can show: read-only and hidden older
// outputs, and names and paths past what the code page and MAX_PATH hold.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "platform/Platform.h"
#include "platform/PlatformWin32.h"
#include "runtime/OutputFolder.h"
#include "tests/TestSupport.h"

namespace {

using namespace testing_support;

class Win32Replacement : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::FileIdentity identity;
    platform::ErrorCode error = 0;
    ASSERT_TRUE(OpenOutputFolder(&outputs_, folder_.path().c_str(), &identity, &error));
  }
  void TearDown() override { CloseOutputFolder(&outputs_); }
  platform::FileHandle Begin(const std::string& name, platform::ErrorCode* error) {
    return BeginOutput(&outputs_, name.c_str(), nullptr, &output_, error);
  }
  ScratchFolder folder_;
  OutputFolder outputs_;
  PendingOutput output_;
};

TEST_F(Win32Replacement, AReadOnlyOlderOutputIsRefusedAndKept) {
  std::string path = folder_ / "ro.kvr";
  WriteFile(path, "older");
  ASSERT_TRUE(SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_READONLY));
  platform::ErrorCode error = 0;
  EXPECT_EQ(Begin("ro.kvr", &error), platform::kNoFile);
  EXPECT_EQ(error, platform::kReadOnly);
  SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
  EXPECT_EQ(ReadFile(path), "older");
}

TEST_F(Win32Replacement, AHiddenOlderOutputIsReplacedAndStaysHidden) {
  std::string path = folder_ / "hidden.kvr";
  WriteFile(path, "older");
  ASSERT_TRUE(SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_HIDDEN));
  platform::ErrorCode error = 0;
  platform::FileHandle file = Begin("hidden.kvr", &error);
  ASSERT_NE(file, platform::kNoFile) << platform::DescribeError(error);
  EXPECT_EQ(platform::WriteToFile(file, "new", 3), 3u);
  FinishOutput(&outputs_, &output_, file);
  SettleOutputs(&outputs_);
  EXPECT_TRUE(outputs_.failures.empty());
  EXPECT_EQ(ReadFile(path), "new");
  EXPECT_NE(GetFileAttributesA(path.c_str()) & FILE_ATTRIBUTE_HIDDEN, 0u);
}

// A temporary file being written cannot be removed by another run's sweep;
// once its writer is gone, it is.
TEST_F(Win32Replacement, OnlyTemporaryFilesNoWriterHoldsAreSwept) {
  std::string path = folder_ / "out.kvr";
  WriteFile(path, "older");
  platform::ErrorCode error = 0;
  platform::FileHandle file = Begin("out.kvr", &error);
  ASSERT_NE(file, platform::kNoFile);
  EXPECT_EQ(platform::WriteToFile(file, "partial", 7), 7u);
  SweepLeftovers(&outputs_, folder_.path().c_str());
  EXPECT_TRUE(Exists(folder_ / output_.temporaryName));
  platform::CloseFile(file);  // as a killed writer's handle goes
  SweepLeftovers(&outputs_, folder_.path().c_str());
  EXPECT_FALSE(Exists(folder_ / output_.temporaryName));
  EXPECT_EQ(ReadFile(path), "older");
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

// Paths past MAX_PATH go in the \\?\ form, whole and resolved; the end-to-end
// runs under Wine cannot show it, as Wine takes long paths in either form.
TEST(Win32Names, APathPastMaxPathTakesTheLongForm) {
  const std::string name(300, 'n');
  const std::wstring wide(300, L'n');
  const std::pair<std::string, std::wstring> rows[] = {
      {"convert\\a.kvr", L"convert\\a.kvr"},
      {"C:\\x\\..\\y/" + name, L"\\\\?\\C:\\y\\" + wide},
      {"\\\\server\\share\\" + name, L"\\\\?\\UNC\\server\\share\\" + wide},
      {"\\\\?\\C:\\" + name, L"\\\\?\\C:\\" + wide},
  };
  for (const auto& [path, expected] : rows) EXPECT_EQ(platform::WidePath(path.c_str()), expected) << path;
  // The form a rename through a handle takes: every kind of path above,
  // and a device's.
  wchar_t here[MAX_PATH];
  ASSERT_NE(GetCurrentDirectoryW(MAX_PATH, here), 0u);
  const std::pair<std::wstring, std::wstring> systemRows[] = {
      {L"convert\\a.kvr", L"\\??\\" + std::wstring(here) + L"\\convert\\a.kvr"},
      {L"C:\\x\\..\\y", L"\\??\\C:\\y"},
      {L"\\\\server\\share\\a", L"\\??\\UNC\\server\\share\\a"},
      {L"\\\\?\\UNC\\server\\share\\a", L"\\??\\UNC\\server\\share\\a"},
      {L"\\\\.\\C:\\a", L"\\??\\C:\\a"},
  };
  for (const auto& [given, expected] : systemRows) EXPECT_EQ(platform::SystemPath(given), expected);
}

}  // namespace
