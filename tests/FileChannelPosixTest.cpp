// Channel promises that only POSIX files can show: devices, pipes, links,
// file-size limits.
#include <fcntl.h>
#include <linux/userfaultfd.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <thread>

#include "tests/FileChannelTestSupport.h"

namespace {

using namespace testing_support;

// Lowers this process's file-size limit while it lives.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    getrlimit(RLIMIT_FSIZE, &saved_);
    previous_ = signal(SIGXFSZ, SIG_IGN);
    struct rlimit lowered = saved_;
    lowered.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &lowered);
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &saved_);
    signal(SIGXFSZ, previous_);
  }

 private:
  struct rlimit saved_;
  void (*previous_)(int);
};

TEST_P(FileChannelTest, LostBytesAreReportedOnCloseAndTheOlderFileStays) {
  std::string path = folder_ / "out.kvr";
  WriteFile(path, "older\r\n");
  {
    FileSizeLimit limit(100);
    ASSERT_TRUE(CreateForWriting(0, path.c_str()));
    WriteLine(0, std::string(5000, 'x'));
    platform::ErrorCode error = 0;
    EXPECT_FALSE(CloseChannel(0, &error));
    EXPECT_EQ(error, EFBIG);
  }
  EXPECT_EQ(ReadFile(path), "older\r\n");
  ExpectNothingLeftBehind(folder_, 1);
}

TEST_P(FileChannelTest, SpecialFilesAreRefusedWithoutWaiting) {
  std::string fifo = folder_ / "pipe.kvr";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  platform::ErrorCode error = 0;
  EXPECT_FALSE(OpenForReading(0, fifo.c_str(), &error));
  EXPECT_EQ(error, platform::kNotARegularFile);
  EXPECT_FALSE(CreateForWriting(0, fifo.c_str(), -1, &error));
  EXPECT_EQ(error, platform::kNotARegularFile);
  EXPECT_FALSE(OpenForReading(0, "/dev/zero"));
  EXPECT_EQ(FindChannel(0), nullptr);
  // Behind a link, a pipe is not even opened: a writer waiting for its
  // reader goes on waiting.
  const std::string link = folder_ / "link.kvr";
  ASSERT_EQ(symlink(fifo.c_str(), link.c_str()), 0);
  std::atomic<bool> writing{false};
  std::thread writer([&] {
    const int fd = open(fifo.c_str(), O_WRONLY | O_CLOEXEC);
    writing = true;
    close(fd);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(OpenForReading(0, link.c_str(), &error));
  EXPECT_EQ(error, platform::kNotARegularFile);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(writing);
  const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);  // lets the writer go
  writer.join();
  close(reader);
}

// A write under way as the file is opened, held up halfway (the second half
// of what it writes not yet in memory), is waited for: the lines read are
// all new, never half old and half new with nothing to tell the change.
TEST_P(FileChannelTest, AWriteUnderWayAsTheFileOpensIsWaitedFor) {
  const int faults = static_cast<int>(syscall(SYS_userfaultfd, O_CLOEXEC | O_NONBLOCK));
  if (faults < 0) GTEST_SKIP() << "userfaultfd is not open to this user";
  const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  const std::size_t half = 16 * page;
  auto* source =
      static_cast<char*>(mmap(nullptr, 2 * half, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  const auto address = [source](std::size_t at) {
    return static_cast<__u64>(reinterpret_cast<std::uintptr_t>(source + at));
  };
  uffdio_api api{UFFD_API, 0, 0};
  uffdio_register held{{address(half), half}, UFFDIO_REGISTER_MODE_MISSING, 0};
  ASSERT_TRUE(ioctl(faults, UFFDIO_API, &api) == 0 && ioctl(faults, UFFDIO_REGISTER, &held) == 0);
  // Lines of a page each: "a" ones in the file, "b" ones written over them.
  std::string old;
  const std::string line = std::string(page - 1, 'b') + "\n";
  for (std::size_t at = 0; at < 2 * half; at += page) old += std::string(page - 1, 'a') + "\n";
  for (std::size_t at = 0; at < half; at += page) std::memcpy(source + at, line.data(), page);
  const std::string path = folder_ / "rewritten.kvr";
  WriteFile(path, old);
  std::thread writer([&] {
    const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    EXPECT_EQ(pwrite(fd, source, 2 * half, 0), static_cast<ssize_t>(2 * half));
    close(fd);
  });
  pollfd halfway{faults, POLLIN, 0};
  ASSERT_EQ(poll(&halfway, 1, 5000), 1);
  std::thread mover([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    uffdio_copy rest{address(half), address(0), half, 0, 0};
    EXPECT_EQ(ioctl(faults, UFFDIO_COPY, &rest), 0);
  });
  EXPECT_EQ(ReadAllLines(0, path), std::vector<std::string>(2 * half / page, std::string(page - 1, 'b')));
  mover.join();
  writer.join();
  munmap(source, 2 * half);
  close(faults);
}

TEST_P(FileChannelTest, ALinkAtThePathIsReplacedNeverFollowed) {
  std::string outside = folder_ / "outside.kvr";
  std::string link = folder_ / "link.kvr";
  std::string dangling = folder_ / "dangling.kvr";
  WriteFile(outside, "precious\n");
  ASSERT_EQ(symlink(outside.c_str(), link.c_str()), 0);
  ASSERT_EQ(symlink((folder_ / "nowhere.kvr").c_str(), dangling.c_str()), 0);
  for (const std::string& path : {link, dangling}) {
    ASSERT_TRUE(CreateForWriting(0, path.c_str()));
    WriteLine(0, "new");
    EXPECT_TRUE(CloseChannel(0));
    struct stat st;
    ASSERT_EQ(lstat(path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode)) << path;
    EXPECT_EQ(ReadFile(path), "new\r\n");
  }
  EXPECT_EQ(ReadFile(outside), "precious\n");
  EXPECT_FALSE(Exists(folder_ / "nowhere.kvr"));
}

TEST_P(FileChannelTest, ALinkToTheSourceIsRefused) {
  std::string path = folder_ / "keep.kvr";
  std::string link = folder_ / "link.kvr";
  WriteFile(path, "precious\n");
  ASSERT_EQ(symlink(path.c_str(), link.c_str()), 0);
  ASSERT_TRUE(OpenForReading(3, path.c_str()));
  ExpectRefusedAsTheSource(0, link, 3);
  // A link whose target cannot be looked at (the second status asked) may
  // be the source: refused, with the reason.
  platform::PlanFault(platform::Call::Status, 2, EACCES);
  platform::ErrorCode error = 0;
  EXPECT_FALSE(CreateForWriting(0, link.c_str(), 3, &error));
  EXPECT_EQ(error, EACCES);
  platform::ClearFaults();
  EXPECT_EQ(ReadFile(path), "precious\n");
  // Links that lead nowhere (a loop, a missing file, a path through a
  // file) are not the source: they are replaced like any older output.
  const std::string loop = folder_ / "loop.kvr";
  const std::string dangling = folder_ / "dangling.kvr";
  const std::string throughAFile = folder_ / "through.kvr";
  ASSERT_EQ(symlink(loop.c_str(), loop.c_str()), 0);
  ASSERT_EQ(symlink((folder_ / "nowhere.kvr").c_str(), dangling.c_str()), 0);
  ASSERT_EQ(symlink((path + "/x").c_str(), throughAFile.c_str()), 0);
  for (const std::string& output : {loop, dangling, throughAFile}) {
    ASSERT_TRUE(CreateForWriting(0, output.c_str(), 3)) << output;
    WriteLine(0, "new");
    EXPECT_TRUE(CloseChannel(0));
    EXPECT_EQ(ReadFile(output), "new\r\n");
  }
  CloseChannel(3);
  EXPECT_EQ(ReadFile(path), "precious\n");
}

}  // namespace
