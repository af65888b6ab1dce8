// The real converter under bad input and faults. Every case ends on its own
// with the notice, tells exactly the presets it did not convert (exit status
// 1) or nothing (exit status 0), leaves every input and everything outside
// "Converted" byte-identical, converts the control preset beside the faulty
// entry exactly, and leaves each output either as the older conversion or as
// the complete new one, never partial, with no temporary file behind.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/ReferenceRewrite.h"
#include "tests/TestSupport.h"

namespace {

using namespace testing_support;

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitizer = true;  // cannot run under an address-space limit
#else
constexpr bool kAddressSanitizer = false;
#endif

const std::string kProgram = "BrushPreset_Convertion: ";
const std::string kUnfinished = ".unfinished";

// Names in `folder` that hold `part`.
std::vector<std::string> NamesWith(const std::string& folder, const std::string& part) {
  std::vector<std::string> names;
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return names;
  while (const dirent* entry = readdir(dir)) {
    if (std::strstr(entry->d_name, part.c_str()) != nullptr) names.emplace_back(entry->d_name);
  }
  closedir(dir);
  return names;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

void MakeSocket(const std::string& path) {
  int sock = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  ASSERT_LT(path.size(), sizeof address.sun_path);
  path.copy(address.sun_path, path.size());
  ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  close(sock);  // the socket file stays
}

void Link(const std::string& target, const std::string& path) {
  ASSERT_EQ(symlink(target.c_str(), path.c_str()), 0) << path;
}

void OpenToNobody(const Workspace& w) { ASSERT_EQ(chown(w.out("").c_str(), 65534, 65534), 0); }

std::string ManyPresetLines(int count) {
  std::string bytes;
  for (int i = 0; i < count; ++i) bytes += "global.SizeX=" + std::to_string(i) + ";\n";
  return bytes;
}

std::string ManyConvertedLines(int count) {
  std::string bytes;
  for (int i = 0; i < count; ++i) bytes += "sizeX=" + std::to_string(i) + "\r\n";
  return bytes;
}

mode_t ModeOf(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 ? st.st_mode : 0;
}

struct FaultCase {
  std::string name;
  std::function<void(const Workspace&)> setUp;
  RunLimits limits;
  // What standard error must tell, line by line, each line the start of
  // one ("convert/a.kvr: cannot open"; the system's reason may follow);
  // the count line follows them. Empty: a clean run, exit status 0.
  std::vector<std::string> told;
  int presets = 1;  // matching entries, the control preset included
  int converted = -1;  // as the count line tells; -1: every preset not told about
  // Outputs that must be exactly these bytes, and outputs that must not be
  // there as files of their own.
  std::map<std::string, std::string> exact;
  std::vector<std::string> absent;
  bool controlConverted = true;
  bool needsAddressLimit = false;
  bool needsRoot = false;
  // Extra checks after the run.
  std::function<void(const Workspace&, const RunResult&)> check;
};

void PrintTo(const FaultCase& fault, std::ostream* out) { *out << fault.name; }

std::vector<FaultCase> Cases() {
  std::vector<FaultCase> cases;
  // Each case starts from its name; the rest is filled in by field.
  auto add = [&](const std::string& name, auto&& fill) {
    FaultCase c;
    c.name = name;
    fill(c);
    cases.push_back(std::move(c));
  };

  // Special entries named like presets.
  add("Fifo", [](FaultCase& c) {
    // With a writer waiting for its reader: the pipe is not opened, and the
    // writer goes on waiting.
    auto writing = std::make_shared<std::atomic<bool>>(false);
    c.setUp = [writing](const Workspace& w) {
      *writing = false;
      ASSERT_EQ(mkfifo(w.in("f.kvr").c_str(), 0644), 0);
      std::thread([path = w.in("f.kvr"), writing] {
        close(open(path.c_str(), O_WRONLY | O_CLOEXEC));
        *writing = true;
      }).detach();
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    };
    c.told = {"convert/f.kvr: cannot open: Not a regular file"};
    c.presets = 2;
    c.absent = {"f.kvr"};
    c.check = [writing](const Workspace& w, const RunResult& result) {
      EXPECT_FALSE(*writing) << "the pipe was opened";
      // No older conversion: none told kept.
      EXPECT_EQ(Lines(result.errors).front(), kProgram + "convert/f.kvr: cannot open: Not a regular file");
      close(open(w.in("f.kvr").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));  // lets the writer go
      EXPECT_TRUE(WaitUntil([&] { return writing->load(); }));
    };
  });
  add("Socket", [](FaultCase& c) {
    c.setUp = [](const Workspace& w) {
      MakeSocket(w.in("s.kvr"));
      WriteFile(w.out("s.kvr"), "older");
    };
    c.told = {"convert/s.kvr: cannot open: Not a regular file (the older conversion is kept)"};
    c.presets = 2;
    c.exact = {{"s.kvr", "older"}};
  });
  add("Device", [](FaultCase& c) {
    c.setUp = [](const Workspace& w) {
      ASSERT_EQ(mknod(w.in("null.kvr").c_str(), S_IFCHR | 0644, makedev(1, 3)), 0);  // as /dev/null
    };
    c.told = {"convert/null.kvr: cannot open: Not a regular file"};
    c.presets = 2;
    c.absent = {"null.kvr"};
    c.needsRoot = true;
  });
  add("FoldersNamedLikePresetsAreSilentlySkipped", [](FaultCase& c) {
    c.setUp = [](const Workspace& w) {
      MakeFolder(w.in("d.kvr"));
      Link("/tmp", w.in("linked.kvr"));
    };
    c.absent = {"d.kvr", "linked.kvr"};
  });
  add("DanglingLinkAndLinkLoop", [](FaultCase& c) {
    c.setUp = [](const Workspace& w) {
      Link("missing", w.in("x.kvr"));
      Link("y.kvr", w.in("y.kvr"));
    };
    c.told = {"convert/x.kvr: cannot open: ", "convert/y.kvr: cannot open: "};
    c.presets = 3;
    c.absent = {"x.kvr", "y.kvr"};
  });
  add("LinkToDevZero", [](FaultCase& c) {
    c.setUp = [](const Workspace& w) { Link("/dev/zero", w.in("z.kvr")); };
    c.limits.addressSpaceLimit = 256LL << 20;
    c.needsAddressLimit = true;
    c.told = {"convert/z.kvr: cannot open: Not a regular file"};
    c.presets = 2;
    c.absent = {"z.kvr"};
  });

  // Inputs that cannot be read, or fail while read.
  add("UnreadableInput", [](FaultCase& c) {
    c.setUp = [](const Workspace& w) {
      OpenToNobody(w);
      WriteFile(w.in("secret.kvr"), "global.SizeX=1;\n");
      chmod(w.in("secret.kvr").c_str(), 0);
    };
    c.limits.unprivileged = true;
    c.needsRoot = true;
    c.told = {"convert/secret.kvr: cannot open: "};
    c.presets = 2;
    c.absent = {"secret.kvr"};
  });
  add("ReadErrorKeepsTheOlderConversion", [](FaultCase& c) {
    c.setUp = [](const Workspace& w) {
      Link("/proc/self/mem", w.in("mem.kvr"));
      WriteFile(w.out("mem.kvr"), "older");
    };
    c.told = {"convert/mem.kvr: read error: "};
    c.presets = 2;
    c.exact = {{"mem.kvr", "older"}};
  });
  // A kernel file whose size (0) never tells its content.
  add("KernelFileWhoseSizeTellsNothing", [](FaultCase& c) {
    c.setUp = [](const Workspace& w) { Link("/proc/version", w.in("version.kvr")); };
    c.told = {"convert/version.kvr: changed while being read"};
    c.presets = 2;
    c.absent = {"version.kvr"};
  });
  add("InputThatWouldBlockIsAReadError", [](FaultCase& c) {
    // A kernel interface posing as a regular file: its reads would wait.
    c.setUp = [](const Workspace& w) { Link("/proc/kmsg", w.in("kmsg.kvr")); };
    c.needsRoot = true;
    c.limits.timeoutSeconds = 20;
    // Its reads would wait ("read error") unless the kernel logged something
    // since it was last read: then it hands out more than its size of 0
    // ("changed while being read"). Either way it is told, and nothing hangs.
    c.told = {"convert/kmsg.kvr: "};
    c.presets = 2;
    c.absent = {"kmsg.kvr"};
  });

  // Outputs that cannot be written, and what stands at output paths.
  add("FileSizeLimitKeepsTheOlderConversion", [](FaultCase& c) {
    c.setUp = [](const Workspace& w) {
      WriteFile(w.in("big.kvr"), ManyPresetLines(40000));
      WriteFile(w.out("big.kvr"), "older");
    };
    // Far above what the program's other files (a coverage build's
    // counters) take, far below the output's half megabyte.
    c.limits.fileSizeLimit = 256 << 10;
    c.told = {"Converted/big.kvr: write failed: "};
    c.presets = 2;
    c.exact = {{"big.kvr", "older"}};
  });
  add("FifoAtOutput", [](FaultCase& c) {
    c.setUp = [](const Workspace& w) {
      WriteFile(w.in("p.kvr"), "global.SizeX=1;\n");
      ASSERT_EQ(mkfifo(w.out("p.kvr").c_str(), 0644), 0);
    };
    c.told = {"Converted/p.kvr: cannot create: Not a regular file"};
    c.presets = 2;
    c.check = [](const Workspace& w, const RunResult&) { EXPECT_TRUE(S_ISFIFO(ModeOf(w.out("p.kvr")))); };
  });
  add("DirectoryAtOutput", [](FaultCase& c) {
    c.setUp = [](const Workspace& w) {
      WriteFile(w.in("d.kvr"), "global.SizeX=1;\n");
      MakeFolder(w.out("d.kvr"));
    };
    c.told = {"Converted/d.kvr: cannot create: "};
    c.presets = 2;
    c.absent = {"d.kvr"};
  });
  add("ReadOnlyOutputIsKept", [](FaultCase& c) {
    c.setUp = [](const Workspace& w) {
      OpenToNobody(w);
      WriteFile(w.in("ro.kvr"), "global.SizeX=1;\n");
      WriteFile(w.out("ro.kvr"), "old");
      chmod(w.out("ro.kvr").c_str(), 0444);
    };
    c.limits.unprivileged = true;
    c.needsRoot = true;
    c.told = {"Converted/ro.kvr: cannot create: "};
    c.presets = 2;
    c.exact = {{"ro.kvr", "old"}};
  });
  // Whoever runs it: root, who could write it, keeps it too.
  add("ReadOnlyOutputIsKeptByAnyUser", [](FaultCase& c) {
    c.setUp = [](const Workspace& w) {
      WriteFile(w.in("ro.kvr"), "global.SizeX=1;\n");
      WriteFile(w.out("ro.kvr"), "old");
      chmod(w.out("ro.kvr").c_str(), 0444);
    };
    c.told = {"Converted/ro.kvr: cannot create: "};
    c.presets = 2;
    c.exact = {{"ro.kvr", "old"}};
    c.check = [](const Workspace&, const RunResult& result) {  // said kept once
      EXPECT_EQ(Lines(result.errors).front(), kProgram + "Converted/ro.kvr: cannot create: Read-only, kept as it is");
    };
  });
  add("WriteOnlyOutputIsReplacedReadableByItsOwner", [](FaultCase& c) {
    c.setUp = [](const Workspace& w) {
      OpenToNobody(w);
      WriteFile(w.in("wo.kvr"), "global.SizeX=3;\n");
      WriteFile(w.out("wo.kvr"), std::string(100, 'o'));
      ASSERT_EQ(chown(w.out("wo.kvr").c_str(), 65534, 65534), 0);
      chmod(w.out("wo.kvr").c_str(), 0200);
    };
    c.limits.unprivileged = true;
    c.needsRoot = true;
    c.check = [](const Workspace& w, const RunResult&) {
      EXPECT_EQ(ModeOf(w.out("wo.kvr")) & 07777, 0600u);
      EXPECT_EQ(ReadFile(w.out("wo.kvr")), "sizeX=3\r\n");
    };
  });
  add("PermissionBitsNeverWidenAndOlderOnesStay", [](FaultCase& c) {
    c.setUp = [](const Workspace& w) {
      WriteFile(w.in("private.kvr"), kControlPreset);
      chmod(w.in("private.kvr").c_str(), 0600);
      WriteFile(w.in("group.kvr"), kControlPreset);
      WriteFile(w.out("group.kvr"), "older");
      chmod(w.out("group.kvr").c_str(), 0640);
    };
    c.presets = 3;
    c.exact = {{"private.kvr", kControlConverted}, {"group.kvr", kControlConverted}};
    c.check = [](const Workspace& w, const RunResult&) {
      EXPECT_EQ(ModeOf(w.out("private.kvr")) & 07777, 0600u);
      EXPECT_EQ(ModeOf(w.out("group.kvr")) & 07777, 0640u);
    };
  });
  add("PlantedOlderOutputGivesNeitherItsOwnerNorItsBits", [](FaultCase& c) {
    c.setUp = [](const Workspace& w) {
      WriteFile(w.folder / "private.txt", kControlPreset);
      chmod((w.folder / "private.txt").c_str(), 0600);
      Link(w.folder / "private.txt", w.in("private.kvr"));
      WriteFile(w.out("private.kvr"), "planted");
      ASSERT_EQ(chown(w.out("private.kvr").c_str(), 65534, 65534), 0);
      chmod(w.out("private.kvr").c_str(), 0666);
      // Planted with the very bytes and bits of the conversion: still not
      // the user's own, so replaced, not kept.
      WriteFile(w.in("same.kvr"), kControlPreset);
      WriteFile(w.out("same.kvr"), kControlConverted);
      ASSERT_EQ(chown(w.out("same.kvr").c_str(), 65534, 65534), 0);
    };
    c.needsRoot = true;
    c.presets = 3;
    c.exact = {{"private.kvr", kControlConverted}, {"same.kvr", kControlConverted}};
    c.check = [](const Workspace& w, const RunResult&) {
      struct stat st;
      ASSERT_EQ(lstat(w.out("same.kvr").c_str(), &st), 0);
      EXPECT_EQ(st.st_uid, 0u);
      ASSERT_EQ(lstat(w.out("private.kvr").c_str(), &st), 0);
      EXPECT_EQ(st.st_uid, 0u);
      // The planted 0666 loses the read bits the input lacks; its write
      // bits go only as far as the umask lets them (the coverage build's
      // tests run with umask 0).
      const mode_t mask = umask(0);
      umask(mask);
      EXPECT_EQ(st.st_mode & 07777, (0622u & ~mask) | 0600u) << "no read bit the input lacks, nothing beyond the umask";
    };
  });
  add("ReadOnlyInputConvertsAgainAndAgain", [](FaultCase& c) {
    c.setUp = [](const Workspace& w) {
      OpenToNobody(w);
      WriteFile(w.in("ro.kvr"), kControlPreset);
      chmod(w.in("ro.kvr").c_str(), 0444);
    };
    c.limits.unprivileged = true;
    c.needsRoot = true;
    c.presets = 2;
    c.exact = {{"ro.kvr", kControlConverted}};
    c.check = [](const Workspace& w, const RunResult&) {
      EXPECT_EQ(ModeOf(w.out("ro.kvr")) & 07777, 0644u);
      RunLimits limits;
      limits.unprivileged = true;
      ExpectEndedWithNotice(RunConverter(w.folder.path(), limits), 0);
    };
  });
  add("ConvertedIsAFile", [](FaultCase& c) {
    c.setUp = [](const Workspace& w) {
      ASSERT_EQ(rmdir(w.out("").c_str()), 0);
      WriteFile(w.folder / "Converted", "not a folder");
    };
    c.told = {"Converted: cannot use the folder: Not a directory"};
    c.converted = 0;
    c.controlConverted = false;
    c.check = [](const Workspace& w, const RunResult&) { EXPECT_EQ(ReadFile(w.folder / "Converted"), "not a folder"); };
  });
  add("ConvertedMissingIsToldOnce", [](FaultCase& c) {
    c.setUp = [](const Workspace& w) {
      ASSERT_EQ(rmdir(w.out("").c_str()), 0);
      WriteFile(w.in("second.kvr"), kControlPreset);
    };
    c.told = {"Converted: cannot use the folder: "};
    c.presets = 2;
    c.converted = 0;
    c.controlConverted = false;
    c.check = [](const Workspace& w, const RunResult& result) {
      EXPECT_FALSE(Exists(w.folder / "Converted"));
      EXPECT_NE(result.errors.find("never creates folders"), std::string::npos);
    };
  });
  add("ConvertedNotWritableIsToldOnce", [](FaultCase& c) {
    // Converted stays root's: user 65534 may read it, not write in it.
    c.setUp = [](const Workspace& w) {
      ASSERT_EQ(chmod(w.out("").c_str(), 0755), 0);
      WriteFile(w.in("second.kvr"), kControlPreset);
    };
    c.limits.unprivileged = true;
    c.needsRoot = true;
    c.told = {"Converted: cannot use the folder: Permission denied"};
    c.presets = 2;
    c.converted = 0;
    c.controlConverted = false;
  });
  add("ConvertMissingIsTold", [](FaultCase& c) {
    c.setUp = [](const Workspace& w) {
      ASSERT_EQ(unlink(w.in("control.kvr").c_str()), 0);
      ASSERT_EQ(rmdir(w.in("").c_str()), 0);
      MakeFolder(w.folder / "Convert");  // the wrong case does not count
    };
    c.told = {"convert: cannot use the folder: "};
    c.presets = 0;
    c.converted = 0;
    c.controlConverted = false;
  });

  // Links at output paths are replaced, never followed; the inputs are
  // never modified, whatever links lead back to them.
  add("LinksOutOfConvertedAreReplaced", [](FaultCase& c) {
    c.setUp = [](const Workspace& w) {
      WriteFile(w.folder / "outside.txt", "someone else's file");
      WriteFile(w.in("a.kvr"), kControlPreset);
      WriteFile(w.in("b.kvr"), kControlPreset);
      WriteFile(w.in("full.kvr"), kControlPreset);
      Link(w.folder / "outside.txt", w.out("a.kvr"));
      Link(w.folder / "created-outside.txt", w.out("b.kvr"));
      Link("/dev/full", w.out("full.kvr"));
    };
    c.presets = 4;
    c.exact = {{"a.kvr", kControlConverted}, {"b.kvr", kControlConverted}, {"full.kvr", kControlConverted}};
    c.check = [](const Workspace& w, const RunResult&) {
      for (const char* name : {"a.kvr", "b.kvr", "full.kvr"}) EXPECT_TRUE(S_ISREG(ModeOf(w.out(name)))) << name;
      EXPECT_FALSE(Exists(w.folder / "created-outside.txt"));
      EXPECT_TRUE(S_ISCHR(ModeOf("/dev/full")));
    };
  });
  add("OutputsLinkedToAnotherInput", [](FaultCase& c) {
    c.setUp = [](const Workspace& w) {
      WriteFile(w.in("c.kvr"), "global.SizeY=1;\n");
      WriteFile(w.in("d.kvr"), "global.SizeY=2;\n");
      WriteFile(w.in("e.kvr"), "global.SizeY=3;\n");
      ASSERT_EQ(::link(w.in("c.kvr").c_str(), w.out("d.kvr").c_str()), 0);
      Link(w.in("c.kvr"), w.out("e.kvr"));
    };
    c.presets = 4;
    c.exact = {{"c.kvr", "sizeY=1\r\n"}, {"d.kvr", "sizeY=2\r\n"}, {"e.kvr", "sizeY=3\r\n"}};
  });
  add("OutputHardLinkedToInput", [](FaultCase& c) {
    c.setUp = [](const Workspace& w) {
      WriteFile(w.in("h.kvr"), "global.brushname='ink.kvr';\n");
      ASSERT_EQ(::link(w.in("h.kvr").c_str(), w.out("h.kvr").c_str()), 0);
    };
    c.told = {"Converted/h.kvr: is the input file itself"};
    c.presets = 2;
  });
  add("OutputLinkedToInput", [](FaultCase& c) {
    c.setUp = [](const Workspace& w) {
      WriteFile(w.in("s.kvr"), "global.brushname='ink.kvr';\n");
      Link(w.in("s.kvr"), w.out("s.kvr"));
    };
    c.told = {"Converted/s.kvr: is the input file itself"};
    c.presets = 2;
  });
  add("ConvertedLinkedToConvert", [](FaultCase& c) {
    c.setUp = [](const Workspace& w) {
      ASSERT_EQ(rmdir(w.out("").c_str()), 0);
      Link("convert", w.folder / "Converted");
    };
    c.told = {"Converted: is the folder convert itself"};
    c.controlConverted = false;
    c.check = [](const Workspace& w, const RunResult&) { EXPECT_TRUE(NamesWith(w.in(""), kUnfinished).empty()); };
  });

  // Resources.
  add("ManyFilesFewDescriptors", [](FaultCase& c) {
    c.setUp = [](const Workspace& w) {
      for (int i = 0; i < 300; ++i) WriteFile(w.in("m" + std::to_string(i) + ".kvr"), kControlPreset);
    };
    c.limits.openFilesLimit = 16;
    c.presets = 301;
    for (int i = 0; i < 300; ++i) c.exact["m" + std::to_string(i) + ".kvr"] = kControlConverted;
  });
  // Older outputs are replaced in batches that the descriptors allow: here
  // one at a time.
  add("ManyOlderOutputsFewDescriptors", [](FaultCase& c) {
    c.setUp = [](const Workspace& w) {
      for (int i = 0; i < 300; ++i) {
        WriteFile(w.in("m" + std::to_string(i) + ".kvr"), kControlPreset);
        WriteFile(w.out("m" + std::to_string(i) + ".kvr"), "older");
      }
    };
    c.limits.openFilesLimit = 16;
    c.presets = 301;
    for (int i = 0; i < 300; ++i) c.exact["m" + std::to_string(i) + ".kvr"] = kControlConverted;
  });
  add("OneLineOf64MiB", [](FaultCase& c) {
    c.setUp = [](const Workspace& w) { WriteFile(w.in("long.kvr"), std::string(64 << 20, 'x')); };
    c.presets = 2;
    c.check = [](const Workspace& w, const RunResult&) {
      EXPECT_TRUE(ReadFile(w.out("long.kvr")) == std::string(64 << 20, 'x') + "\r\n");
    };
  });
  add("NulBytesOf16MiB", [](FaultCase& c) {
    c.setUp = [](const Workspace& w) { WriteFile(w.in("nul.kvr"), std::string(16 << 20, '\0')); };
    c.presets = 2;
    c.check = [](const Workspace& w, const RunResult&) {
      std::string written = ReadFile(w.out("nul.kvr"));
      EXPECT_EQ(written.size(), std::size_t{32} << 20);
      EXPECT_EQ(written.find_first_not_of("\r\n"), std::string::npos);
      EXPECT_EQ(reference::Frame(written).size(), std::size_t{16} << 20);
    };
  });
  add("OutOfMemoryOnALineLargerThanMemory", [](FaultCase& c) {
    // Memory holds a few buffers and the longest line, not the file: the
    // file of many short lines converts within the same limit.
    c.setUp = [](const Workspace& w) {
      WriteFile(w.in("longline.kvr"), std::string(96 << 20, 'L'));
      WriteFile(w.out("longline.kvr"), "older");
      std::string lines;
      for (int i = 0; i < (96 << 20) / 16; ++i) lines += "0123456789abcde\n";
      WriteFile(w.in("manylines.kvr"), lines);
    };
    c.limits.addressSpaceLimit = 64LL << 20;
    c.needsAddressLimit = true;
    c.told = {"convert/longline.kvr: out of memory"};
    c.presets = 3;
    c.exact = {{"longline.kvr", "older"}};
    c.check = [](const Workspace& w, const RunResult&) {
      std::string written = ReadFile(w.out("manylines.kvr"));
      EXPECT_EQ(written.size(), std::size_t{(96 << 20) / 16 * 17});
      EXPECT_EQ(written.substr(0, 34), "0123456789abcde\r\n0123456789abcde\r\n");
    };
  });

  // Names.
  add("Names", [](FaultCase& c) {
    c.setUp = [](const Workspace& w) {
      for (const char* name :
           {"\xff\xfe.kvr", "my brush.kvr", "-x.kvr", "UP.KVR", "Mi.KvR", ".kvr", "a.kvr.bak", "a.kvrx"}) {
        WriteFile(w.in(name), kControlPreset);
      }
      WriteFile(w.in(std::string(251, 'n') + ".kvr"), kControlPreset);
    };
    for (const char* name : {"\xff\xfe.kvr", "my brush.kvr", "-x.kvr", "UP.KVR", "Mi.KvR", ".kvr"}) {
      c.exact[name] = kControlConverted;
    }
    c.exact[std::string(251, 'n') + ".kvr"] = kControlConverted;
    c.presets = 8;
    c.absent = {"a.kvr.bak", "a.kvrx"};
  });
  // The console tells a long name whole (the box shortens it).
  add("LongNameThatCannotBeWritten", [](FaultCase& c) {
    c.setUp = [](const Workspace& w) {
      WriteFile(w.in(std::string(251, 'n') + ".kvr"), kControlPreset);
      MakeFolder(w.out(std::string(251, 'n') + ".kvr"));
    };
    c.told = {"Converted/" + std::string(251, 'n') + ".kvr: cannot create: Is a directory"};
    c.presets = 2;
  });
  return cases;
}

class FaultInjection : public ::testing::TestWithParam<FaultCase> {};

TEST_P(FaultInjection, TellsWhatWasNotConvertedAndLosesNothing) {
  const FaultCase& fault = GetParam();
  if (fault.needsAddressLimit && kAddressSanitizer) {
    GTEST_SKIP() << "an address-space limit cannot hold under AddressSanitizer";
  }
  if (fault.needsRoot && !RunningAsRoot()) GTEST_SKIP() << "needs root (to change users or read /proc/kmsg)";
  if (fault.name == "InputThatWouldBlockIsAReadError" && access("/proc/kmsg", R_OK) != 0) {
    GTEST_SKIP() << "/proc/kmsg cannot be read here";
  }
  Workspace w;
  w.MakeFolders();
  w.AddControlPreset();
  fault.setUp(w);
  if (HasFatalFailure()) return;
  const std::map<std::string, std::string> before = Snapshot(w.folder.path(), "Converted");

  RunResult result = RunConverter(w.folder.path(), fault.limits);
  ExpectEndedWithNotice(result, fault.told.empty() ? 0 : 1);
  if (!fault.told.empty()) {
    std::vector<std::string> lines = Lines(result.errors);
    ASSERT_EQ(lines.size(), fault.told.size() + 1) << result.errors;
    for (std::size_t i = 0; i < fault.told.size(); ++i) {
      EXPECT_EQ(lines[i].rfind(kProgram + fault.told[i], 0), 0u) << lines[i];
    }
    const int converted =
        fault.converted >= 0 ? fault.converted : fault.presets - static_cast<int>(fault.told.size());
    EXPECT_EQ(lines.back(), kProgram + std::to_string(converted) + " of " + std::to_string(fault.presets) +
                                (fault.presets == 1 ? " preset" : " presets") + " converted");
  }

  EXPECT_TRUE(Snapshot(w.folder.path(), "Converted") == before) << "an input, or a file outside Converted, changed";
  EXPECT_TRUE(NamesWith(w.out(""), kUnfinished).empty()) << "a temporary file is left";
  if (fault.controlConverted) {
    EXPECT_EQ(ReadFile(w.out("control.kvr")), kControlConverted);
  }
  for (const auto& [name, bytes] : fault.exact) {
    ASSERT_TRUE(Exists(w.out(name))) << name;
    EXPECT_TRUE(ReadFile(w.out(name)) == bytes) << name << " is not exact";
  }
  for (const std::string& name : fault.absent) {
    EXPECT_FALSE(S_ISREG(ModeOf(w.out(name)))) << name << " was written";
  }
  if (fault.check) fault.check(w, result);
}

INSTANTIATE_TEST_SUITE_P(Cases, FaultInjection, ::testing::ValuesIn(Cases()),
                         [](const auto& param) { return param.param.name; });

// An interrupted run removes the output it was writing and ends by the
// signal; after SIGKILL, which cannot be caught, the older conversion is
// still whole and one temporary file, named for what it is, is all that
// is left. A signal that whoever started the run ignored (nohup, a
// background job) stays ignored: the run goes on to the end.
TEST(Interruption, TheOlderConversionSurvivesEverySignal) {
  const std::string older = "older conversion\r\n";
  const std::string preset = ManyPresetLines(4 << 20);  // about 80 MiB
  struct Row {
    int signal;
    bool ignored;
  } rows[] = {{SIGINT, false}, {SIGTERM, false}, {SIGHUP, false}, {SIGKILL, false}, {SIGHUP, true}, {SIGINT, true}};
  for (const Row& row : rows) {
    const int signalNumber = row.signal;
    Workspace w;
    w.MakeFolders();
    WriteFile(w.in("big.kvr"), preset);
    WriteFile(w.out("big.kvr"), older);
    RunLimits limits;
    limits.signal = signalNumber;
    // Once the output is being written: its temporary file holds bytes.
    limits.signalWhen = [&] {
      std::vector<std::string> names = NamesWith(w.out(""), kUnfinished);
      struct stat st;
      return !names.empty() && stat(w.out(names.front()).c_str(), &st) == 0 && st.st_size > 0;
    };
    limits.signalIgnored = row.ignored;
    RunResult result = RunConverter(w.folder.path(), limits);
    if (row.ignored) {
      ExpectEndedWithNotice(result, 0);
      EXPECT_TRUE(ReadFile(w.out("big.kvr")) == ManyConvertedLines(4 << 20)) << "ignored " << signalNumber;
      EXPECT_TRUE(NamesWith(w.out(""), kUnfinished).empty()) << "ignored " << signalNumber;
      continue;
    }
    EXPECT_FALSE(result.exited) << "signal " << signalNumber << " came too late";
    EXPECT_EQ(result.signal, signalNumber);
    EXPECT_EQ(ReadFile(w.out("big.kvr")), older) << "signal " << signalNumber;
    EXPECT_EQ(NamesWith(w.out(""), kUnfinished).size(), signalNumber == SIGKILL ? 1u : 0u) << "signal " << signalNumber;
    EXPECT_TRUE(ReadFile(w.in("big.kvr")) == preset);
    if (signalNumber != SIGKILL) continue;
    // What the killed run left, the next run removes.
    ExpectEndedWithNotice(RunConverter(w.folder.path()), 0);
    EXPECT_TRUE(NamesWith(w.out(""), kUnfinished).empty());
    EXPECT_TRUE(ReadFile(w.out("big.kvr")) == ManyConvertedLines(4 << 20));
  }
}

// A signal that comes while outputs are being created, however soon after
// one is created, removes it: no temporary file survives an interrupted
// run, and every output is whole, the older one or the new. (Outputs that
// replace older ones: a new output has no name to leave behind.)
TEST(Interruption, NoTemporaryFileSurvivesASignalAmongManyOutputs) {
  for (int signalNumber : {SIGINT, SIGTERM, SIGHUP}) {
    Workspace w;
    w.MakeFolders();
    for (int i = 0; i < 3000; ++i) {
      WriteFile(w.in("p" + std::to_string(i) + ".kvr"), kControlPreset);
      WriteFile(w.out("p" + std::to_string(i) + ".kvr"), "older");
    }
    RunLimits limits;
    limits.signal = signalNumber;
    limits.signalWhen = [&] { return !NamesWith(w.out(""), kUnfinished).empty(); };
    RunConverter(w.folder.path(), limits);
    EXPECT_TRUE(NamesWith(w.out(""), kUnfinished).empty()) << "signal " << signalNumber;
    for (const std::string& name : NamesWith(w.out(""), ".kvr")) {
      const std::string content = ReadFile(w.out(name));
      EXPECT_TRUE(content == kControlConverted || content == "older") << name;
    }
  }
}

// A neighbour who may rename entries of the working folder swaps
// "Converted" with a link to "convert" all through the run: no input is
// ever replaced and nothing is written into "convert".
TEST(Interruption, ASwappedOutputFolderNeverLeadsIntoTheInputs) {
  Workspace w;
  w.MakeFolders();
  for (int i = 0; i < 2000; ++i) WriteFile(w.in("p" + std::to_string(i) + ".kvr"), kControlPreset);
  Link("convert", w.folder / "swap");
  const std::string converted = w.folder / "Converted";
  const std::string swap = w.folder / "swap";
  std::atomic<bool> running{true};
  std::atomic<int> swaps{0};
  std::thread neighbour([&] {
    while (running) {
      if (renameat2(AT_FDCWD, converted.c_str(), AT_FDCWD, swap.c_str(), RENAME_EXCHANGE) == 0) ++swaps;
    }
    if (swaps % 2 != 0) renameat2(AT_FDCWD, converted.c_str(), AT_FDCWD, swap.c_str(), RENAME_EXCHANGE);
  });
  RunResult result = RunConverter(w.folder.path());
  running = false;
  neighbour.join();
  ASSERT_GT(swaps.load(), 0);
  EXPECT_TRUE(result.exited);
  EXPECT_TRUE(NamesWith(w.in(""), kUnfinished).empty());
  for (int i = 0; i < 2000; ++i) {
    ASSERT_EQ(ReadFile(w.in("p" + std::to_string(i) + ".kvr")), kControlPreset) << i;
  }
  if (result.exitStatus == 0) {
    for (int i = 0; i < 2000; ++i) ASSERT_EQ(ReadFile(w.out("p" + std::to_string(i) + ".kvr")), kControlConverted);
  } else {
    // "Converted" named the link when the run opened it: refused, once.
    EXPECT_EQ(result.errors.rfind(kProgram + "Converted: is the folder convert itself", 0), 0u) << result.errors;
  }
}

// Memory does not grow with the file: a file of 1 GiB converts under an
// address-space limit far below its size.
TEST(Streaming, AGibibyteConvertsInAFewMebibytes) {
  if (kAddressSanitizer) GTEST_SKIP() << "an address-space limit cannot hold under AddressSanitizer";
  Workspace w;
  w.MakeFolders();
  const std::string block = ManyPresetLines(4096);  // about 80 KiB
  const std::string converted = ManyConvertedLines(4096);
  const std::size_t blocks = (std::size_t{1} << 30) / block.size() + 1;
  {
    FILE* file = std::fopen(w.in("huge.kvr").c_str(), "wb");
    ASSERT_NE(file, nullptr);
    for (std::size_t i = 0; i < blocks; ++i) ASSERT_EQ(std::fwrite(block.data(), 1, block.size(), file), block.size());
    ASSERT_EQ(std::fclose(file), 0);
  }
  RunLimits limits;
  limits.addressSpaceLimit = 128LL << 20;
  limits.timeoutSeconds = 240;
  RunResult result = RunConverter(w.folder.path(), limits);
  ExpectEndedWithNotice(result, 0);
  FILE* file = std::fopen(w.out("huge.kvr").c_str(), "rb");
  ASSERT_NE(file, nullptr);
  std::string chunk(converted.size(), '\0');
  std::size_t same = 0;
  while (std::fread(chunk.data(), 1, chunk.size(), file) == chunk.size() && chunk == converted) ++same;
  EXPECT_EQ(same, blocks);
  EXPECT_EQ(std::fgetc(file), EOF);
  std::fclose(file);
}

// A full disk: each output is the older conversion or the complete new
// one, and each one not converted is told.
TEST(DiskFull, EveryOutputIsTheOlderOrTheNewAndEachFailureIsTold) {
  if (!RunningAsRoot()) GTEST_SKIP() << "mounting a small file system needs root";
  Workspace w;
  std::string disk = w.folder / "disk";
  MakeFolder(disk);
  if (mount("tmpfs", disk.c_str(), "tmpfs", 0, "size=1m") != 0) {
    GTEST_SKIP() << "cannot mount a tmpfs here: " << std::strerror(errno);
  }
  struct Unmount {
    std::string path;
    ~Unmount() { umount2(path.c_str(), MNT_DETACH); }
  } unmount{disk};
  MakeFolder(disk + "/convert");
  MakeFolder(disk + "/Converted");
  const std::string preset = ManyPresetLines(3200);  // about 60 KiB, a little more converted
  const std::string converted = ManyConvertedLines(3200);
  for (int i = 0; i < 12; ++i) {
    std::string name = "p" + std::to_string(i) + ".kvr";
    WriteFile(disk + "/convert/" + name, preset);
    WriteFile(disk + "/Converted/" + name, "older " + std::to_string(i));
  }
  // Fill the disk, then leave room for about three conversions.
  {
    FILE* filler = std::fopen((disk + "/filler").c_str(), "wb");
    ASSERT_NE(filler, nullptr);
    const std::string page(4096, 'f');
    while (std::fwrite(page.data(), 1, page.size(), filler) == page.size() && std::fflush(filler) == 0) {
    }
    std::fclose(filler);
    struct stat st;
    ASSERT_EQ(stat((disk + "/filler").c_str(), &st), 0);
    ASSERT_GT(st.st_size, 3 * 48 * 1024);
    ASSERT_EQ(truncate((disk + "/filler").c_str(), st.st_size - 3 * 48 * 1024), 0);
  }

  RunResult result = RunConverter(disk);
  ExpectEndedWithNotice(result, 1);
  std::vector<std::string> lines = Lines(result.errors);
  ASSERT_FALSE(lines.empty());
  int kept = 0;
  for (int i = 0; i < 12; ++i) {
    std::string name = "p" + std::to_string(i) + ".kvr";
    std::string bytes = ReadFile(disk + "/Converted/" + name);
    EXPECT_TRUE(bytes == converted || bytes == "older " + std::to_string(i)) << name << " is neither";
    if (bytes != converted) {
      ++kept;
      bool told = false;
      for (const std::string& line : lines)
        told |= line.rfind(kProgram + "Converted/" + name + ": write failed", 0) == 0;
      EXPECT_TRUE(told) << name << " kept its older conversion without a word";
    }
    EXPECT_TRUE(ReadFile(disk + "/convert/" + name) == preset);
  }
  EXPECT_GT(kept, 0) << "the disk did not fill up";
  EXPECT_EQ(lines.size(), static_cast<std::size_t>(kept) + 1);
  EXPECT_EQ(lines.back(), kProgram + std::to_string(12 - kept) + " of 12 presets converted");
  EXPECT_TRUE(NamesWith(disk + "/Converted", kUnfinished).empty());
}

// An input under a kernel lease is waited for a few seconds, as any copy
// would: converted once its holder gives the lease up, told busy when the
// holder keeps it, and the run goes on either way; also when a link leads
// to it.
int gLeased = -1;
void GiveUpLease(int) { fcntl(gLeased, F_SETLEASE, F_UNLCK); }
void KeepLease(int) {}

TEST(Lease, AnInputUnderALeaseIsWaitedForAFewSeconds) {
  for (auto [givesUp, linked] : {std::pair(true, false), std::pair(false, false), std::pair(true, true)}) {
    Workspace w;
    w.MakeFolders();
    w.AddControlPreset();
    const std::string leased = linked ? w.folder / "leased.kvr" : w.in("leased.kvr");
    WriteFile(leased, kControlPreset);
    if (linked) Link(leased, w.in("leased.kvr"));
    WriteFile(w.out("leased.kvr"), "older");
    gLeased = open(leased.c_str(), O_RDONLY);
    ASSERT_GE(gLeased, 0);
    void (*previous)(int) = signal(SIGIO, givesUp ? GiveUpLease : KeepLease);
    if (fcntl(gLeased, F_SETLEASE, F_WRLCK) != 0) {
      signal(SIGIO, previous);
      close(gLeased);
      GTEST_SKIP() << "no lease on this file system: " << std::strerror(errno);
    }
    RunResult result = RunConverter(w.folder.path());
    signal(SIGIO, previous);
    close(gLeased);
    ExpectEndedWithNotice(result, givesUp ? 0 : 1);
    EXPECT_EQ(ReadFile(w.out("leased.kvr")), givesUp ? kControlConverted : "older");
    EXPECT_EQ(ReadFile(w.out("control.kvr")), kControlConverted);
    if (!givesUp) {
      EXPECT_EQ(
          Lines(result.errors).front(),
          kProgram + "convert/leased.kvr: cannot open: Busy: another program holds it (the older conversion is kept)");
    }
  }
}

// An input cut short, or appended to without end, while it is read is not
// converted: it is told, and the older conversion stays whole.
TEST(ChangingInput, IsToldAndTheOlderConversionIsKept) {
  for (bool grow : {true, false}) {
    // A changer kept off the processor for all of the run's reads (a
    // loaded machine) changed nothing the run could see: the run is made
    // again, up to five times.
    for (int attempt = 1;; ++attempt) {
      Workspace w;
      w.MakeFolders();
      std::string original = ManyPresetLines(grow ? 400000 : 2000000);
      WriteFile(w.in("moving.kvr"), original);
      WriteFile(w.out("moving.kvr"), "older");
      std::atomic<bool> running{true};
      std::thread changer([&] {
        if (grow) {
          FILE* file = fopen(w.in("moving.kvr").c_str(), "ab");
          while (running) {
            fputs("global.SizeY=9;\n", file);
            fflush(file);
          }
          fclose(file);
        } else {
          // Once the output is being written, or the run is over.
          WaitUntil([&] { return !running || !NamesWith(w.out(""), kUnfinished).empty(); });
          EXPECT_EQ(truncate(w.in("moving.kvr").c_str(), static_cast<off_t>(original.size() / 2)), 0);
        }
      });
      RunResult result = RunConverter(w.folder.path());
      running = false;
      changer.join();
      if (result.exitStatus == 0 && attempt < 5) continue;
      ExpectEndedWithNotice(result, 1);
      EXPECT_EQ(result.errors.rfind(
                    kProgram + "convert/moving.kvr: changed while being read (the older conversion is kept)", 0),
                0u)
          << result.errors;
      EXPECT_EQ(ReadFile(w.out("moving.kvr")), "older");
      EXPECT_TRUE(NamesWith(w.out(""), kUnfinished).empty());
      break;
    }
  }
}

}  // namespace
