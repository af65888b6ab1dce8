// The real converter under bad input and faults. Every case ends on its own
// with the notice and exit status 0, leaves every input byte-identical,
// converts the control preset beside the faulty entry exactly, and leaves
// the faulty output absent or exact, never partial.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <map>
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

const std::string kNotice =
    "Finish\nConversion termin\xC3\xA9"
    "e !\n";
const std::string kControl = "global.Transp=20;\nglobal.SizeX=3;\n";
const std::string kControlConverted = "alpha=51\r\nsizeX=3\r\n";

struct Workspace {
  ScratchFolder folder;
  std::string in(const std::string& name) const { return folder / ("convert/" + name); }
  std::string out(const std::string& name) const { return folder / ("Converted/" + name); }
};

// Every regular file below `root` (links not followed), with its bytes.
void Snapshot(const std::string& root, const std::string& prefix, std::map<std::string, std::string>* files) {
  DIR* dir = opendir(root.c_str());
  if (dir == nullptr) return;
  while (const dirent* entry = readdir(dir)) {
    std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    std::string path = root + "/" + name;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) continue;
    if (S_ISREG(st.st_mode) && access(path.c_str(), R_OK) == 0) {
      (*files)[prefix + name] = ReadFile(path);
    } else if (S_ISDIR(st.st_mode)) {
      Snapshot(path, prefix + name + "/", files);
    }
  }
  closedir(dir);
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

void OpenToNobody(const Workspace& w) { ASSERT_EQ(chown(w.out("").c_str(), 65534, 65534), 0); }

std::string ManyPresetLines(int count) {
  std::string bytes;
  for (int i = 0; i < count; ++i) bytes += "global.SizeX=" + std::to_string(i) + ";\n";
  return bytes;
}

struct FaultCase {
  std::string name;
  std::function<void(const Workspace&)> setUp;
  RunLimits limits;
  // Outputs that must be exactly these bytes, and outputs that must not be
  // there as files of their own.
  std::map<std::string, std::string> exact;
  std::vector<std::string> absent;
  bool controlConverted = true;
  bool needsAddressLimit = false;
  // Extra checks after the run.
  std::function<void(const Workspace&)> check;
};

void PrintTo(const FaultCase& fault, std::ostream* out) { *out << fault.name; }

RunLimits Unprivileged() {
  RunLimits limits;
  limits.unprivileged = true;
  return limits;
}

RunLimits AddressLimit(long long bytes) {
  RunLimits limits;
  limits.addressSpaceLimit = bytes;
  return limits;
}

std::vector<FaultCase> Cases() {
  std::vector<FaultCase> cases;
  auto add = [&](FaultCase c) { cases.push_back(std::move(c)); };
  auto link = [](const std::string& target, const std::string& path) {
    ASSERT_EQ(symlink(target.c_str(), path.c_str()), 0) << path;
  };

  // Special entries named like presets.
  add({"Fifo", [](const Workspace& w) { ASSERT_EQ(mkfifo(w.in("f.kvr").c_str(), 0644), 0); }, {}, {}, {"f.kvr"}});
  add({"Socket", [](const Workspace& w) { MakeSocket(w.in("s.kvr")); }, {}, {}, {"s.kvr"}});
  add({"Directory", [](const Workspace& w) { MakeFolder(w.in("d.kvr")); }, {}, {}, {"d.kvr"}});
  add({"LinkToDirectory", [=](const Workspace& w) { link("/tmp", w.in("d.kvr")); }, {}, {}, {"d.kvr"}});
  add({"DanglingLink", [=](const Workspace& w) { link("missing", w.in("x.kvr")); }, {}, {}, {"x.kvr"}});
  add({"LinkLoop", [=](const Workspace& w) { link("x.kvr", w.in("x.kvr")); }, {}, {}, {"x.kvr"}});
  FaultCase zero{"LinkToDevZero",
                 [=](const Workspace& w) { link("/dev/zero", w.in("z.kvr")); },
                 AddressLimit(256LL << 20),
                 {},
                 {"z.kvr"}};
  zero.needsAddressLimit = true;
  add(zero);

  // Inputs that cannot be read, or fail while read.
  add({"UnreadableInput",
       [](const Workspace& w) {
         OpenToNobody(w);
         WriteFile(w.in("secret.kvr"), "global.SizeX=1;\n");
         chmod(w.in("secret.kvr").c_str(), 0);
       },
       Unprivileged(),
       {},
       {"secret.kvr"}});
  add({"ReadError", [=](const Workspace& w) { link("/proc/self/mem", w.in("mem.kvr")); }, {}, {}, {"mem.kvr"}});

  // Outputs that cannot be written.
  add({"OutputIsDevFull",
       [=](const Workspace& w) {
         WriteFile(w.in("full.kvr"), ManyPresetLines(10));
         link("/dev/full", w.out("full.kvr"));
       },
       {},
       {},
       {},
       true,
       false,
       [](const Workspace&) {
         struct stat st;
         ASSERT_EQ(stat("/dev/full", &st), 0);
         EXPECT_TRUE(S_ISCHR(st.st_mode));
       }});
  RunLimits fileSize;
  fileSize.fileSizeLimit = 20000;
  add({"FileSizeLimit",
       [](const Workspace& w) { WriteFile(w.in("big.kvr"), ManyPresetLines(4000)); },
       fileSize,
       {},
       {"big.kvr"}});
  add({"FifoAtOutput",
       [](const Workspace& w) {
         WriteFile(w.in("p.kvr"), "global.SizeX=1;\n");
         ASSERT_EQ(mkfifo(w.out("p.kvr").c_str(), 0644), 0);
       },
       {},
       {},
       {"p.kvr"}});
  add({"DirectoryAtOutput",
       [](const Workspace& w) {
         WriteFile(w.in("d.kvr"), "global.SizeX=1;\n");
         MakeFolder(w.out("d.kvr"));
       },
       {},
       {},
       {"d.kvr"}});
  add({"ReadOnlyOutput",
       [](const Workspace& w) {
         OpenToNobody(w);
         WriteFile(w.in("ro.kvr"), "global.SizeX=1;\n");
         WriteFile(w.out("ro.kvr"), "old");
         chmod(w.out("ro.kvr").c_str(), 0444);
       },
       Unprivileged(),
       {{"ro.kvr", "old"}},
       {}});
  add({"WriteOnlyOutputIsEmptiedAndWritten",
       [](const Workspace& w) {
         OpenToNobody(w);
         WriteFile(w.in("wo.kvr"), "global.SizeX=3;\n");
         WriteFile(w.out("wo.kvr"), std::string(100, 'o'));
         ASSERT_EQ(chown(w.out("wo.kvr").c_str(), 65534, 65534), 0);
         chmod(w.out("wo.kvr").c_str(), 0200);
       },
       Unprivileged(),
       {},
       {},
       true,
       false,
       [](const Workspace& w) {
         chmod(w.out("wo.kvr").c_str(), 0644);
         EXPECT_EQ(ReadFile(w.out("wo.kvr")), "sizeX=3\r\n");
       }});
  add({"ConvertedIsAFile",
       [](const Workspace& w) {
         ASSERT_EQ(rmdir(w.out("").c_str()), 0);
         WriteFile(w.folder / "Converted", "not a folder");
       },
       {},
       {},
       {},
       false,
       false,
       [](const Workspace& w) { EXPECT_EQ(ReadFile(w.folder / "Converted"), "not a folder"); }});
  add({"ConvertedMissing",
       [](const Workspace& w) { ASSERT_EQ(rmdir(w.out("").c_str()), 0); },
       {},
       {},
       {},
       false,
       false,
       [](const Workspace& w) { EXPECT_FALSE(Exists(w.folder / "Converted")); }});

  // The inputs are never modified, whatever links lead back to them.
  add({"OutputHardLinkedToInput",
       [](const Workspace& w) {
         WriteFile(w.in("h.kvr"), "global.brushname='ink.kvr';\n");
         ASSERT_EQ(::link(w.in("h.kvr").c_str(), w.out("h.kvr").c_str()), 0);
       },
       {},
       {},
       {}});
  add({"OutputLinkedToInput",
       [=](const Workspace& w) {
         WriteFile(w.in("s.kvr"), "global.brushname='ink.kvr';\n");
         link(w.in("s.kvr"), w.out("s.kvr"));
       },
       {},
       {},
       {}});
  add({"ConvertedLinkedToConvert",
       [=](const Workspace& w) {
         ASSERT_EQ(rmdir(w.out("").c_str()), 0);
         link("convert", w.folder / "Converted");
       },
       {},
       {},
       {},
       false});

  // Resources.
  RunLimits fewDescriptors;
  fewDescriptors.openFilesLimit = 16;
  FaultCase many{"ManyFilesFewDescriptors",
                 [](const Workspace& w) {
                   for (int i = 0; i < 300; ++i) WriteFile(w.in("m" + std::to_string(i) + ".kvr"), kControl);
                 },
                 fewDescriptors};
  for (int i = 0; i < 300; ++i) many.exact["m" + std::to_string(i) + ".kvr"] = kControlConverted;
  add(many);
  add({"OneLineOf64MiB",
       [](const Workspace& w) { WriteFile(w.in("long.kvr"), std::string(64 << 20, 'x')); },
       {},
       {},
       {},
       true,
       false,
       [](const Workspace& w) { EXPECT_TRUE(ReadFile(w.out("long.kvr")) == std::string(64 << 20, 'x') + "\r\n"); }});
  add({"NulBytesOf16MiB",
       [](const Workspace& w) { WriteFile(w.in("nul.kvr"), std::string(16 << 20, '\0')); },
       {},
       {},
       {},
       true,
       false,
       [](const Workspace& w) {
         std::string written = ReadFile(w.out("nul.kvr"));
         EXPECT_EQ(written.size(), std::size_t{32} << 20);
         EXPECT_EQ(written.find_first_not_of("\r\n"), std::string::npos);
         EXPECT_EQ(reference::Frame(written).size(), std::size_t{16} << 20);
       }});
  FaultCase tight{"OutOfMemory",
                  [](const Workspace& w) {
                    WriteFile(w.in("longline.kvr"), std::string(96 << 20, 'L'));
                    std::string lines;
                    for (int i = 0; i < (96 << 20) / 16; ++i) lines += "0123456789abcde\n";
                    WriteFile(w.in("manylines.kvr"), lines);
                  },
                  AddressLimit(64LL << 20),
                  {},
                  {"longline.kvr", "manylines.kvr"}};
  tight.needsAddressLimit = true;
  add(tight);

  // Names.
  FaultCase names{"Names", [](const Workspace& w) {
                    for (const char* name : {"\xff\xfe.kvr", "my brush.kvr", "-x.kvr", "UP.KVR", "Mi.KvR", ".kvr",
                                             "a.kvr.bak", "a.kvrx"}) {
                      WriteFile(w.in(name), kControl);
                    }
                    WriteFile(w.in(std::string(251, 'n') + ".kvr"), kControl);
                  }};
  for (const char* name : {"\xff\xfe.kvr", "my brush.kvr", "-x.kvr", "UP.KVR", "Mi.KvR", ".kvr"}) {
    names.exact[name] = kControlConverted;
  }
  names.exact[std::string(251, 'n') + ".kvr"] = kControlConverted;
  names.absent = {"a.kvr.bak", "a.kvrx"};
  add(names);
  return cases;
}

class FaultInjection : public ::testing::TestWithParam<FaultCase> {};

TEST_P(FaultInjection, EndsCleanlyAndLosesNothing) {
  const FaultCase& fault = GetParam();
  if (fault.needsAddressLimit && kAddressSanitizer) {
    GTEST_SKIP() << "an address-space limit cannot hold under AddressSanitizer";
  }
  if (fault.limits.unprivileged && !RunningAsRoot()) {
    GTEST_SKIP() << "runs the program as user 65534, which needs root";
  }
  Workspace w;
  MakeFolder(w.in(""));
  MakeFolder(w.out(""));
  WriteFile(w.in("control.kvr"), kControl);
  fault.setUp(w);
  if (HasFatalFailure()) return;
  std::map<std::string, std::string> inputs;
  Snapshot(w.in(""), "", &inputs);

  RunResult result = RunConverter(w.folder.path(), fault.limits);
  EXPECT_TRUE(result.exited) << "killed, or still running at the timeout";
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(result.output, kNotice);

  std::map<std::string, std::string> after;
  Snapshot(w.in(""), "", &after);
  EXPECT_TRUE(after == inputs) << "an input changed";
  if (fault.controlConverted) {
    EXPECT_EQ(ReadFile(w.out("control.kvr")), kControlConverted);
  }
  for (const auto& [name, bytes] : fault.exact) {
    ASSERT_TRUE(Exists(w.out(name))) << name;
    EXPECT_TRUE(ReadFile(w.out(name)) == bytes) << name << " is not exact";
  }
  for (const std::string& name : fault.absent) {
    struct stat st;
    bool regularFile = lstat(w.out(name).c_str(), &st) == 0 && S_ISREG(st.st_mode);
    EXPECT_FALSE(regularFile) << name << " was written";
  }
  if (fault.check) fault.check(w);
}

INSTANTIATE_TEST_SUITE_P(Cases, FaultInjection, ::testing::ValuesIn(Cases()),
                         [](const auto& param) { return param.param.name; });

// An input that grows or shrinks while it is read: the run ends, and the
// output holds the converted lines of what was read. The last line read may
// have been cut by the change (a read can see half of a concurrent write).
TEST(ChangingInput, GrowingAndShrinkingFilesGiveWholeLines) {
  for (bool grow : {true, false}) {
    Workspace w;
    MakeFolder(w.in(""));
    MakeFolder(w.out(""));
    std::string original = ManyPresetLines(400000);
    WriteFile(w.in("moving.kvr"), original);
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
        usleep(20000);
        EXPECT_EQ(truncate(w.in("moving.kvr").c_str(), static_cast<off_t>(original.size() / 2)), 0);
      }
    });
    RunResult result = RunConverter(w.folder.path());
    running = false;
    changer.join();
    EXPECT_TRUE(result.exited);
    EXPECT_EQ(result.exitStatus, 0);
    if (!Exists(w.out("moving.kvr"))) continue;
    std::vector<std::string> written = reference::Frame(ReadFile(w.out("moving.kvr")));
    std::vector<std::string> now = reference::Frame(grow ? ReadFile(w.in("moving.kvr")) : original);
    ASSERT_LE(written.size(), now.size());
    std::size_t whole = written.empty() ? 0 : written.size() - 1;
    for (std::size_t i = 0; i < whole; ++i) ASSERT_EQ(written[i], reference::Rewrite(now[i])) << i;
  }
}

}  // namespace
