// Shared helpers of the tests: the fixture that resets the test hooks,
// scratch folders and whole-file reads and writes (portable), and running
// the real converter under chosen limits (POSIX only, RunConverterPosix.cpp).
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace testing_support {

// Closes every channel and sets every test hook back to what the product
// does on its own: no read cap, no write observer, buffers allocated, no
// platform fault planned.
void ResetTestHooks();

// The base of every test that sets a hook: whatever way the test ends, even
// by a failed ASSERT, the next test starts with none set.
class HookedTest : public ::testing::Test {
 protected:
  void TearDown() override { ResetTestHooks(); }
};

// A fresh folder under the system's temporary folder, removed with all its
// content when the object goes.
class ScratchFolder {
 public:
  ScratchFolder();
  ~ScratchFolder();
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  const std::string& path() const { return path_; }
  // A path inside the folder, joined with the platform's separator.
  std::string operator/(const std::string& name) const;

 private:
  std::string path_;
};

// Asks `condition` every millisecond until it holds or `timeout` passes;
// returns whether it held. Tests wait on what they need, never for a time.
bool WaitUntil(const std::function<bool()>& condition,
               std::chrono::milliseconds timeout = std::chrono::seconds(20));

void WriteFile(const std::string& path, const std::string& bytes);
std::string ReadFile(const std::string& path);
bool Exists(const std::string& path);

// Every entry below `root`, links not followed, so that any entry created,
// removed or changed shows: its path from `root` ("/" between names) ->
// "folder", "file: " and its bytes, "link: " and its target, "unreadable
// file" or "other". `skip`, a path from `root`, is left out with all it holds.
std::map<std::string, std::string> Snapshot(const std::string& root, const std::string& skip = "");
void MakeFolder(const std::string& path);

// What a run prints on standard output: the notice, é in UTF-8.
inline const std::string kNoticeOutput =
    "Finish\nConversion termin\xC3\xA9"
    "e !\n";
// A preset and its conversion, put beside whatever a test looks at: it must
// come out exactly, whatever goes wrong elsewhere.
inline const std::string kControlPreset = "global.Transp=20;\nglobal.SizeX=3;\n";
inline const std::string kControlConverted = "alpha=51\r\nsizeX=3\r\n";

// A scratch working folder with the paths of its two folders' entries.
struct Workspace {
  ScratchFolder folder;
  std::string in(const std::string& name) const { return folder / ("convert/" + name); }
  std::string out(const std::string& name) const { return folder / ("Converted/" + name); }
  // Makes "convert" and "Converted".
  void MakeFolders() const;
  // Writes kControlPreset to "convert/control.kvr".
  void AddControlPreset() const;
};

struct RunLimits {
  long long fileSizeLimit = -1;      // RLIMIT_FSIZE in bytes, -1: none
  long long addressSpaceLimit = -1;  // RLIMIT_AS in bytes, -1: none
  long long openFilesLimit = -1;     // RLIMIT_NOFILE, -1: none
  bool unprivileged = false;         // run as user and group 65534 (needs root)
  int timeoutSeconds = 60;
  std::vector<std::string> arguments;  // after the program's name
  // Sent once `signalWhen` holds (asked every few milliseconds while the
  // program runs); 0: never.
  int signal = 0;
  std::function<bool()> signalWhen;
  bool signalIgnored = false;  // the program starts with `signal` ignored (as under nohup)
  bool outputFull = false;     // standard output is /dev/full: every write fails (ENOSPC)
};

struct RunResult {
  bool exited = false;  // ended on its own, not by a signal or the timeout
  int exitStatus = -1;
  int signal = 0;      // the signal that ended it, 0 when it exited
  std::string output;  // what it wrote on standard output
  std::string errors;  // what it wrote on standard error
};

// The program the tests run: the converter built beside them, or the one
// that BRUSH_TEST_CONVERTER names (another build of it).
const char* ConverterPath();

// Runs the converter in `folder`, standard input not a terminal, and waits
// for it (killing it after the timeout). An unprivileged run starts the
// program from a descriptor opened beforehand, so it works wherever the
// build tree lies, even where user 65534 cannot enter.
RunResult RunConverter(const std::string& folder, const RunLimits& limits = RunLimits());

// A run that ended on its own with `exitStatus` and showed the notice; a
// clean run (0) also says nothing on standard error.
void ExpectEndedWithNotice(const RunResult& result, int exitStatus);

// True when the tests run as root: cases that change users, mount file
// systems or need privileges skip themselves otherwise.
bool RunningAsRoot();

}  // namespace testing_support
