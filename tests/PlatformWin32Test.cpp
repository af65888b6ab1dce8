// Replacement promises that only Windows files can show: read-only and
// hidden older outputs.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "platform/Platform.h"
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
    return BeginOutput(&outputs_, name.c_str(), platform::kNoFile, &output_, error);
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

}  // namespace
