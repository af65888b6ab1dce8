// The real converter, run in scratch folders, every output byte compared.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "tests/TestSupport.h"

namespace {

using namespace testing_support;

// A working folder with "convert" and "Converted", and the control preset.
class EndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    w_.MakeFolders();
    w_.AddControlPreset();
  }

  // Runs the converter; a clean run says nothing but the notice.
  RunResult Run(int expectedStatus = 0) {
    RunResult result = RunConverter(w_.folder.path());
    ExpectEndedWithNotice(result, expectedStatus);
    return result;
  }

  Workspace w_;
};

TEST_F(EndToEnd, ConvertsTheLibraryByteForByte) {
  ::unlink(w_.in("control.kvr").c_str());
  for (const auto& [name, entry] : Snapshot(FIXTURES_DIR "/library/convert")) {
    WriteFile(w_.in(name), entry.substr(std::string("file: ").size()));
  }
  MakeFolder(w_.in("folder.kvr"));  // a folder named like a preset is skipped
  Run();
  EXPECT_EQ(Snapshot(w_.out("")), Snapshot(FIXTURES_DIR "/library/expected"));
  // A second run replaces with the same bytes.
  WriteFile(w_.out("round.kvr"), std::string(9000, 'z'));
  Run();
  EXPECT_EQ(Snapshot(w_.out("")), Snapshot(FIXTURES_DIR "/library/expected"));
  EXPECT_FALSE(Exists(w_.out("folder.kvr")));
}

TEST_F(EndToEnd, MissingFoldersAreToldAndNoFolderIsCreated) {
  ASSERT_EQ(rmdir(w_.out("").c_str()), 0);
  RunResult result = Run(1);
  EXPECT_EQ(result.errors,
            "BrushPreset_Convertion: Converted: cannot use the folder: No such file or directory (the tool never "
            "creates folders)\n"
            "BrushPreset_Convertion: 0 of 1 preset converted\n");
  EXPECT_FALSE(Exists(w_.out("")));
  ::unlink(w_.in("control.kvr").c_str());
  ASSERT_EQ(rmdir(w_.in("").c_str()), 0);
  result = Run(1);
  EXPECT_EQ(result.errors.find("BrushPreset_Convertion: convert: cannot use the folder: "), 0u) << result.errors;
}

// Presets put in a subfolder are not found: said, though nothing failed.
TEST_F(EndToEnd, NoPresetAtAllIsToldButIsNoFailure) {
  ::unlink(w_.in("control.kvr").c_str());
  MakeFolder(w_.in("sub"));
  WriteFile(w_.in("sub/p.kvr"), kControlPreset);
  RunResult result = RunConverter(w_.folder.path());
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(result.output, kNoticeOutput);
  EXPECT_EQ(result.errors, "BrushPreset_Convertion: convert: no preset found (*.kvr)\n");
}

TEST_F(EndToEnd, AFileThatCannotBeCreatedLeavesTheNextOneClean) {
  for (char c = 'a'; c <= 'f'; ++c) WriteFile(w_.in(std::string(1, c) + ".kvr"), std::string("key=") + c + "\n");
  MakeFolder(w_.out("c.kvr"));                          // a folder at the output path
  ASSERT_EQ(mkfifo(w_.out("d.kvr").c_str(), 0644), 0);  // a pipe at the output path
  RunResult result = Run(1);
  for (char c : {'a', 'b', 'e', 'f'}) {
    EXPECT_EQ(ReadFile(w_.out(std::string(1, c) + ".kvr")), std::string("key=") + c + "\r\n");
  }
  struct stat st;
  ASSERT_EQ(lstat(w_.out("d.kvr").c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
  EXPECT_EQ(ReadFile(w_.out("control.kvr")), kControlConverted);
  EXPECT_NE(result.errors.find("BrushPreset_Convertion: Converted/c.kvr: cannot create: "), std::string::npos);
  EXPECT_NE(result.errors.find("BrushPreset_Convertion: Converted/d.kvr: cannot create: Not a regular file\n"),
            std::string::npos);
  EXPECT_NE(result.errors.find("BrushPreset_Convertion: 5 of 7 presets converted\n"), std::string::npos);
}

// Reads what the terminal shows until `wanted` appears or a few seconds
// pass; returns all that was read.
std::string ReadTerminalUntil(int terminal, const std::string& wanted) {
  std::string seen;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (seen.find(wanted) == std::string::npos && std::chrono::steady_clock::now() < deadline) {
    pollfd ready{terminal, POLLIN, 0};
    if (poll(&ready, 1, 100) <= 0) continue;
    char chunk[256];
    ssize_t got = read(terminal, chunk, sizeof chunk);
    if (got <= 0) break;
    seen.append(chunk, static_cast<std::size_t>(got));
  }
  return seen;
}

// True when process `pid` sleeps, waiting for something.
bool IsAsleep(pid_t pid) {
  std::string stat;
  try {
    stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
  } catch (const std::exception&) {
    return false;
  }
  std::size_t name = stat.rfind(')');  // the state follows the parenthesised name
  return name != std::string::npos && stat.compare(name + 1, 3, " S ") == 0;
}

// On a terminal the notice says how to close it, and waits for Enter (keys
// typed before it are passed over) or the end of input (Ctrl-D); with its
// output redirected nobody sees a prompt, so it ends at once.
TEST_F(EndToEnd, OnATerminalTheNoticeSaysHowToCloseItAndWaits) {
  for (const char* typed : {"ok\n", "\x04", static_cast<const char*>(nullptr)}) {
    const bool outputOnTerminal = typed != nullptr;
    SCOPED_TRACE(outputOnTerminal ? "output on the terminal" : "output redirected");
    int terminal = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(terminal, 0);
    ASSERT_EQ(grantpt(terminal), 0);
    ASSERT_EQ(unlockpt(terminal), 0);
    std::string side = ptsname(terminal);
    const std::string redirected = w_.folder / "output.txt";
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      setsid();
      int tty = open(side.c_str(), O_RDWR);
      dup2(tty, STDIN_FILENO);
      dup2(outputOnTerminal ? tty : open(redirected.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), STDOUT_FILENO);
      int devNull = open("/dev/null", O_WRONLY);
      dup2(devNull, STDERR_FILENO);
      if (chdir(w_.folder.path().c_str()) != 0) _exit(121);
      execl(ConverterPath(), ConverterPath(), static_cast<char*>(nullptr));
      _exit(123);
    }
    int status = 0;
    bool ended = false;
    if (outputOnTerminal) {
      std::string shown = ReadTerminalUntil(terminal, "Enter");
      EXPECT_NE(shown.find("Conversion termin\xC3\xA9" "e !"), std::string::npos) << shown;
      EXPECT_NE(shown.find("Press Enter to close."), std::string::npos) << shown;
      // Blocked (asleep) once the notice is out: a program that does not
      // wait has ended instead.
      EXPECT_TRUE(WaitUntil([&] { return (ended = waitpid(child, &status, WNOHANG) == child) || IsAsleep(child); }));
      EXPECT_FALSE(ended) << "ended before Enter";
      ASSERT_EQ(write(terminal, typed, std::strlen(typed)), static_cast<ssize_t>(std::strlen(typed)));
    }
    if (!ended && !WaitUntil([&] { return waitpid(child, &status, WNOHANG) == child; })) {
      kill(child, SIGKILL);
      waitpid(child, &status, 0);
      ADD_FAILURE() << "still waiting";
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    close(terminal);
    if (!outputOnTerminal) {
      EXPECT_EQ(ReadFile(redirected), kNoticeOutput) << "no prompt in the file";
    }
    EXPECT_EQ(ReadFile(w_.out("control.kvr")), kControlConverted);
  }
}

}  // namespace
