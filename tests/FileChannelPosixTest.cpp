// Channel promises that only POSIX files can show: devices, pipes, links.
#include <sys/stat.h>
#include <unistd.h>

#include "tests/FileChannelTestSupport.h"

namespace {

using namespace testing_support;

TEST_P(FileChannelTest, LostBytesAreReportedOnClose) {
  ASSERT_TRUE(CreateForWriting(0, "/dev/full"));
  WriteLine(0, "lost");
  EXPECT_FALSE(CloseChannel(0));
}

TEST_P(FileChannelTest, SpecialFilesAreRefusedWithoutWaiting) {
  std::string fifo = folder_ / "pipe.kvr";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  EXPECT_FALSE(OpenForReading(0, fifo.c_str()));
  EXPECT_FALSE(CreateForWriting(0, fifo.c_str()));
  EXPECT_FALSE(OpenForReading(0, "/dev/zero"));
  EXPECT_EQ(FindChannel(0), nullptr);
}

TEST_P(FileChannelTest, RefusesToEmptyTheFileBehindALink) {
  std::string path = folder_ / "keep.kvr";
  std::string link = folder_ / "link.kvr";
  WriteFile(path, "precious\n");
  ASSERT_EQ(symlink(path.c_str(), link.c_str()), 0);
  platform::FileIdentity identity = IdentityOf(path);
  EXPECT_FALSE(CreateForWriting(0, link.c_str(), &identity));
  EXPECT_EQ(ReadFile(path), "precious\n");
  EXPECT_EQ(FindChannel(0), nullptr);
}

}  // namespace
