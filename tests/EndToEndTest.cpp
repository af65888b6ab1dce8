// The real converter, run in scratch folders, every output byte compared.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <string>

#include "tests/TestSupport.h"

namespace {

using namespace testing_support;

const std::string kNotice =
    "Finish\nConversion termin\xC3\xA9"
    "e !\n";

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

}  // namespace
