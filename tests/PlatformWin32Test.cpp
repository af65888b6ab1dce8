// Replacement promises that only Windows files can show: read-only and
// hidden older outputs.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "platform/Platform.h"
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

}  // namespace
