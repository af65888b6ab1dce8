// Fixtures and helpers shared by the channel tests of every platform.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "runtime/FileChannel.h"
#include "runtime/FileChannelTesting.h"
#include "tests/ReferenceRewrite.h"
#include "tests/TestSupport.h"

namespace testing_support {

inline std::vector<std::string> FrameByBytes(const std::string& bytes) { return reference::Frame(bytes); }

inline std::vector<std::string> ReadAllLines(int number, const std::string& path) {
  std::vector<std::string> lines;
  EXPECT_TRUE(OpenForReading(number, path.c_str()));
  while (!AtEnd(number)) {
    std::string_view line;
    EXPECT_TRUE(ReadLine(number, &line));
    lines.emplace_back(line);
  }
  CloseChannel(number);
  return lines;
}

class ChannelFolder : public ::testing::Test {
 protected:
  void TearDown() override {
    CloseAllChannels();
    SetChannelBufferAllocationFailsForTesting(false);
    SetWriteObserverForTesting(nullptr);
    SetReadSizeCapForTesting(0);
  }
  ScratchFolder folder_;
};

// Every test of this fixture runs with a buffer and in unbuffered mode.
class FileChannelTest : public ChannelFolder, public ::testing::WithParamInterface<bool> {
 protected:
  void SetUp() override { SetChannelBufferAllocationFailsForTesting(GetParam()); }
};

}  // namespace testing_support
