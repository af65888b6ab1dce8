// Fixtures and checks shared by the channel tests of every platform.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <iterator>
#include <string>
#include <vector>

#include "runtime/FileChannel.h"
#include "platform/PlatformTesting.h"
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

// A channel that ended, complete or not, left no temporary file: the
// folder holds its `entries` files and nothing else.
inline void ExpectNothingLeftBehind(const ScratchFolder& folder, std::ptrdiff_t entries) {
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.path()), {}), entries)
      << "a temporary file is left";
}

// A file made from the channel `source` cannot be created at `path`, which
// names that very file: refused as such, and no channel is left under
// `number`.
inline void ExpectRefusedAsTheSource(int number, const std::string& path, int source) {
  platform::ErrorCode error = 0;
  EXPECT_FALSE(CreateForWriting(number, path.c_str(), source, &error)) << path;
  EXPECT_EQ(error, platform::kSameFile) << path;
  EXPECT_EQ(FindChannel(number), nullptr);
}

class ChannelFolder : public HookedTest {
 protected:
  ScratchFolder folder_;
};

// Every test of this fixture runs with a buffer and in unbuffered mode.
class FileChannelTest : public ChannelFolder, public ::testing::WithParamInterface<bool> {
 protected:
  void SetUp() override { SetChannelBufferAllocationFailsForTesting(GetParam()); }
};

}  // namespace testing_support
