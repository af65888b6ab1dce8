// The real converter, run in scratch folders, every output byte compared.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <map>
#include <string>

#include "tests/TestSupport.h"

namespace {

using namespace testing_support;

const std::string kNotice = "Finish\nConversion termin\xC3\xA9" "e !\n";

// Name -> bytes of every entry of a folder (regular files only).
std::map<std::string, std::string> FilesIn(const std::string& folder) {
  std::map<std::string, std::string> files;
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return files;
  while (const dirent* entry = readdir(dir)) {
    std::string name = entry->d_name;
    struct stat st;
    if (lstat((folder + "/" + name).c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
      files[name] = ReadFile(folder + "/" + name);
    }
  }
  closedir(dir);
  return files;
}

// A working folder with "convert" and "Converted", and a control preset
// whose output must come out exactly whatever else goes wrong.
class Workspace : public ::testing::Test {
 protected:
  void SetUp() override {
    MakeFolder(in(""));
    MakeFolder(out(""));
    WriteFile(in("control.kvr"), "global.Transp=20;\nglobal.SizeX=3;\n");
  }
  std::string in(const std::string& name) const { return folder_ / ("convert/" + name); }
  std::string out(const std::string& name) const { return folder_ / ("Converted/" + name); }

  RunResult Run(const RunLimits& limits = RunLimits()) {
    RunResult result = RunConverter(folder_.path(), limits);
    EXPECT_TRUE(result.exited) << "killed or timed out";
    EXPECT_EQ(result.exitStatus, 0);
    EXPECT_EQ(result.output, kNotice);
    return result;
  }
  void ExpectControlConverted() { EXPECT_EQ(ReadFile(out("control.kvr")), "alpha=51\r\nsizeX=3\r\n"); }

  ScratchFolder folder_;
};

TEST_F(Workspace, ConvertsTheLibraryByteForByte) {
  ::unlink(in("control.kvr").c_str());
  for (const auto& [name, bytes] : FilesIn(FIXTURES_DIR "/library/convert")) WriteFile(in(name), bytes);
  MakeFolder(in("folder.kvr"));  // a folder named like a preset is skipped
  Run();
  EXPECT_EQ(FilesIn(out("")), FilesIn(FIXTURES_DIR "/library/expected"));
  // A second run overwrites with the same bytes.
  WriteFile(out("round.kvr"), std::string(9000, 'z'));
  Run();
  EXPECT_EQ(FilesIn(out("")), FilesIn(FIXTURES_DIR "/library/expected"));
  EXPECT_FALSE(Exists(out("folder.kvr")));
}

TEST_F(Workspace, MissingFoldersStillEndWithTheNotice) {
  ASSERT_EQ(rmdir(out("").c_str()), 0);
  Run();
  EXPECT_FALSE(Exists(out("")));  // no folder is ever created
  ::unlink(in("control.kvr").c_str());
  ASSERT_EQ(rmdir(in("").c_str()), 0);
  Run();
}

TEST_F(Workspace, AFileThatCannotBeCreatedLeavesTheNextOneClean) {
  for (char c = 'a'; c <= 'f'; ++c) WriteFile(in(std::string(1, c) + ".kvr"), std::string("key=") + c + "\n");
  MakeFolder(out("c.kvr"));                          // a folder at the output path
  ASSERT_EQ(mkfifo(out("d.kvr").c_str(), 0644), 0);  // a pipe at the output path
  Run();
  for (char c : {'a', 'b', 'e', 'f'}) {
    EXPECT_EQ(ReadFile(out(std::string(1, c) + ".kvr")), std::string("key=") + c + "\r\n");
  }
  struct stat st;
  ASSERT_EQ(lstat(out("d.kvr").c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
  ExpectControlConverted();
}

TEST_F(Workspace, SpecialEntriesAreSkippedWithoutWaiting) {
  ASSERT_EQ(mkfifo(in("pipe.kvr").c_str(), 0644), 0);
  ASSERT_EQ(symlink("nowhere", in("dangling.kvr").c_str()), 0);
  ASSERT_EQ(symlink("loop.kvr", in("loop.kvr").c_str()), 0);
  ASSERT_EQ(symlink("/tmp", in("folderlink.kvr").c_str()), 0);
  ASSERT_EQ(symlink("control.kvr", in("alias.kvr").c_str()), 0);  // links are followed
  int sock = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::string socketPath = in("socket.kvr");
  ASSERT_LT(socketPath.size(), sizeof address.sun_path);
  socketPath.copy(address.sun_path, socketPath.size());
  ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  Run();
  close(sock);
  std::map<std::string, std::string> written = FilesIn(out(""));
  EXPECT_EQ(written.size(), 2u);
  EXPECT_EQ(written["alias.kvr"], "alpha=51\r\nsizeX=3\r\n");
  ExpectControlConverted();
}

TEST_F(Workspace, WriteFailuresLeaveNoPartialOutput) {
  std::string big;
  for (int i = 0; i < 4000; ++i) big += "global.SizeX=" + std::to_string(i) + ";\n";
  WriteFile(in("big.kvr"), big);
  ASSERT_EQ(symlink("/dev/full", out("full.kvr").c_str()), 0);
  WriteFile(in("full.kvr"), "global.SizeY=1;\n");
  RunLimits limits;
  limits.fileSizeLimit = 20000;  // the big output needs about 40000 bytes
  Run(limits);
  EXPECT_FALSE(Exists(out("big.kvr")));
  struct stat st;
  ASSERT_EQ(stat("/dev/full", &st), 0);
  EXPECT_TRUE(S_ISCHR(st.st_mode));
  EXPECT_TRUE(Exists(out("full.kvr")));  // the link itself is left alone
  EXPECT_EQ(ReadFile(in("big.kvr")), big);
  ExpectControlConverted();
}

TEST_F(Workspace, InputsAreNeverModified) {
  const std::string legacy = "global.brushname='ink.kvr';\n";
  WriteFile(in("hard.kvr"), legacy);
  WriteFile(in("soft.kvr"), legacy);
  ASSERT_EQ(link(in("hard.kvr").c_str(), out("hard.kvr").c_str()), 0);
  ASSERT_EQ(symlink(in("soft.kvr").c_str(), out("soft.kvr").c_str()), 0);
  Run();
  EXPECT_EQ(ReadFile(in("hard.kvr")), legacy);
  EXPECT_EQ(ReadFile(in("soft.kvr")), legacy);
  ExpectControlConverted();
}

TEST_F(Workspace, ConvertedLinkedToConvertModifiesNothing) {
  ASSERT_EQ(rmdir(out("").c_str()), 0);
  ASSERT_EQ(symlink("convert", (folder_ / "Converted").c_str()), 0);
  Run();
  EXPECT_EQ(ReadFile(in("control.kvr")), "global.Transp=20;\nglobal.SizeX=3;\n");
}

TEST_F(Workspace, UnreadableAndReadOnlyFilesAreSkipped) {
  WriteFile(in("secret.kvr"), "global.SizeX=1;\n");
  chmod(in("secret.kvr").c_str(), 0);
  WriteFile(in("locked.kvr"), "global.SizeX=2;\n");
  WriteFile(out("locked.kvr"), "old");
  chmod(out("locked.kvr").c_str(), 0444);
  // Write-only: the first, read-write create is refused, the truncating
  // write-only open succeeds.
  WriteFile(in("writeonly.kvr"), "global.SizeX=3;\n");
  WriteFile(out("writeonly.kvr"), std::string(100, 'o'));
  ASSERT_EQ(chown(out("writeonly.kvr").c_str(), 65534, 65534), 0);
  chmod(out("writeonly.kvr").c_str(), 0200);
  ASSERT_EQ(chown(out("").c_str(), 65534, 65534), 0);
  RunLimits limits;
  limits.unprivileged = true;
  Run(limits);
  EXPECT_FALSE(Exists(out("secret.kvr")));
  chmod(out("locked.kvr").c_str(), 0644);
  EXPECT_EQ(ReadFile(out("locked.kvr")), "old");
  EXPECT_EQ(ReadFile(out("writeonly.kvr")), "sizeX=3\r\n");
  ExpectControlConverted();
}

TEST_F(Workspace, RunningOutOfMemorySkipsOnlyThatFile) {
  // One line far beyond the memory limit, and many lines beyond it.
  WriteFile(in("longline.kvr"), std::string(96 << 20, 'L'));
  std::string manyLines;
  for (int i = 0; i < (96 << 20) / 16; ++i) manyLines += "0123456789abcde\n";
  WriteFile(in("manylines.kvr"), manyLines);
  RunLimits limits;
  limits.addressSpaceLimit = 64LL << 20;
  Run(limits);
  EXPECT_FALSE(Exists(out("longline.kvr")));
  EXPECT_FALSE(Exists(out("manylines.kvr")));
  ExpectControlConverted();
}

}  // namespace
