// Every error path of the run, the channel and the output folder, opened by
// a fault planned at one platform call: each tells the one preset it did not
// convert, at the step that failed, and leaves the older conversion whole
// (or no output) and no temporary file. Runs in-process on every backend.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <new>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "platform/PlatformTesting.h"
#include "runtime/FileChannel.h"
#include "runtime/OutputFolder.h"
#include "tests/TestSupport.h"
#include "tools/BrushPreset_Convertion.h"

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>
#endif

namespace {

// The next heap allocation of at least this many bytes fails (0: none), as
// in a process out of memory.
std::size_t gFailingAllocation = 0;

}  // namespace

// Kept out of line: inlined into a caller, gcc takes the free of memory
// that operator new handed out for a mismatched pair.
[[gnu::noinline]] void* operator new(std::size_t size) {
  if (gFailingAllocation != 0 && size >= gFailingAllocation) {
    gFailingAllocation = 0;
    throw std::bad_alloc();
  }
  if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
  throw std::bad_alloc();
}
[[gnu::noinline]] void operator delete(void* memory) noexcept { std::free(memory); }
[[gnu::noinline]] void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
// The other forms too: a sanitizer's runtime brings its own of each, which
// would not pass through the one above.
[[gnu::noinline]] void* operator new[](std::size_t size) { return operator new(size); }
[[gnu::noinline]] void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return operator new(size);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
[[gnu::noinline]] void* operator new[](std::size_t size, const std::nothrow_t& nothrow) noexcept {
  return operator new(size, nothrow);
}
[[gnu::noinline]] void operator delete[](void* memory) noexcept { std::free(memory); }
[[gnu::noinline]] void operator delete[](void* memory, std::size_t) noexcept { std::free(memory); }
[[gnu::noinline]] void operator delete(void* memory, const std::nothrow_t&) noexcept { std::free(memory); }
[[gnu::noinline]] void operator delete[](void* memory, const std::nothrow_t&) noexcept { std::free(memory); }

namespace {

using namespace testing_support;
using platform::Call;

constexpr platform::ErrorCode kPlanned = 5;  // a reason each backend can describe

// Whether an output over an older one is compared with it first, its file
// made only once it differs (never on Windows).
#ifdef _WIN32
constexpr bool kComparesOlder = false;
#else
constexpr bool kComparesOlder = true;
#endif

bool HoldsTemporaryFile(const std::string& folder) {
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    if (entry.path().filename().string().find(".unfinished") != std::string::npos) return true;
  }
  return false;
}

// convert/`name` holding `content`, and an older Converted/`name` if `older`.
void MakeWorkingFolder(const ScratchFolder& folder, const std::string& content, bool older,
                       const std::string& name = "a.kvr") {
  MakeFolder(folder / "convert");
  MakeFolder(folder / "Converted");
  WriteFile(folder / ("convert/" + name), content);
  if (older) WriteFile(folder / ("Converted/" + name), "older");
}

// The working folder converted with what is planned, then every plan
// and observer forgotten.
RunReport ConvertAsPlanned(const ScratchFolder& folder) {
  RunReport report;
  LineList lines;
  ConvertWorkingFolder(folder.path(), &report, &lines);
  platform::ClearFaults();
  CloseAllChannels();
  ReleaseLineList(&lines);
  return report;
}

// The working folder converted with the `nth` use of `call` failing.
RunReport ConvertWithFault(const ScratchFolder& folder, Call call, unsigned nth, platform::ErrorCode error) {
  platform::PlanFault(call, nth, error);
  return ConvertAsPlanned(folder);
}

TEST(PlannedFault, EachStepIsToldAndNothingIsLost) {
  struct Row {
    Call call;
    unsigned nth;
    bool older;        // an older conversion stands in Converted
    std::string told;  // the problem's path, "" for none
    Step step;
    bool olderKept;
    platform::ErrorCode error = kPlanned;
    bool named = false;  // the file system has no files of no name: new outputs are named at once
  } rows[] = {
      {Call::Open, 1, true, "convert", Step::MissingFolder, false},
      {Call::List, 1, true, "convert", Step::MissingFolder, false},  // its first entry
      {Call::Open, 2, true, "Converted", Step::MissingFolder, false},
      {Call::Open, 3, true, "convert/a.kvr", Step::OpenInput, true},
      {Call::Status, 1, true, "Converted/a.kvr", Step::CreateOutput, true},    // what stands at the name
      // The new file's identity: a name in a folder that held nothing is
      // not looked at first, where new files are unnamed until complete.
      {Call::Status, kComparesOlder ? 1u : 2u, false, "Converted/a.kvr", Step::CreateOutput, false},
      // Compared with an older output, the file is made once the
      // conversion is known to differ from it: after the input is read.
      {Call::Status, kComparesOlder ? 3u : 2u, true, "Converted/a.kvr", Step::CreateOutput,
       true},  // the temporary file's identity
      {Call::CreateExclusive, 1, true, "Converted/a.kvr", Step::CreateOutput, true},
      {Call::CreateExclusive, 1, false, "Converted/a.kvr", Step::CreateOutput, false},
      {Call::Lock, 1, true, "Converted/a.kvr", Step::CreateOutput, true},
      // Another run's temporary file at the name: the next name is tried.
      {Call::CreateExclusive, 1, true, "", Step::OpenInput, false, platform::kExists},
      {Call::Read, 1, true, "convert/a.kvr", Step::ReadInput, true},
      {Call::Read, 1, false, "convert/a.kvr", Step::ReadInput, false},
      {Call::Write, 1, true, "Converted/a.kvr", Step::WriteOutput, true},
      {Call::Status, kComparesOlder ? 2u : 3u, true, "convert/a.kvr", Step::ReadInput, true},  // the input at its end
      {Call::Status, kComparesOlder ? 2u : 3u, false, "convert/a.kvr", Step::ReadInput, false},
      {Call::Close, 1, true, "convert/a.kvr", Step::ReadInput, true},
      {Call::Close, kComparesOlder ? 3u : 2u, true, "Converted/a.kvr", Step::WriteOutput, true},  // not the older's
      {Call::Close, 2, false, "Converted/a.kvr", Step::WriteOutput, false},
      {Call::Sync, 1, true, "Converted/a.kvr", Step::WriteOutput, true},
      {Call::Rename, 1, true, "Converted/a.kvr", Step::ReplaceOutput, true},
      {Call::Rename, 1, false, "Converted/a.kvr", Step::ReplaceOutput, false},
      {Call::Rename, 1, false, "Converted/a.kvr", Step::ReplaceOutput, false, kPlanned, true},
      {Call::Close, 2, false, "Converted/a.kvr", Step::WriteOutput, false, kPlanned, true},
      {Call::Sync, 2, true, "", Step::OpenInput, false},  // the folder's names: every output is whole either way
#ifndef _WIN32
      // (Windows writes every output under a temporary name.)
      // A file system without files of no name: a temporary name instead.
      {Call::CreateExclusive, 1, false, "", Step::OpenInput, false, EOPNOTSUPP},
      {Call::CreateExclusive, 1, false, "", Step::OpenInput, false, EISDIR},  // a kernel without them
      // A file took the name while the output was written: it is replaced
      // as an older output would be (and only once the new one is synced:
      // below).
      {Call::Rename, 1, false, "", Step::OpenInput, false, platform::kExists},
      // Another run's sweep holds the new temporary file's lock, about to
      // remove it as a leftover: another name is taken.
      {Call::Lock, 1, true, "", Step::OpenInput, false, EWOULDBLOCK},
      // The temporary file's name, looked at once it is locked.
      {Call::Status, 4, true, "Converted/a.kvr", Step::CreateOutput, true},
      // The complete file, looked at as it is finished and before its rename.
      {Call::Status, 5, true, "Converted/a.kvr", Step::WriteOutput, true},
      {Call::Status, 6, true, "Converted/a.kvr", Step::ReplaceOutput, true},
#endif
  };
  for (const Row& row : rows) {
    SCOPED_TRACE("call " + std::to_string(static_cast<int>(row.call)) + " #" + std::to_string(row.nth) +
                 (row.older ? " over an older output" : "") + (row.named ? ", named at once" : ""));
    ScratchFolder folder;
    MakeWorkingFolder(folder, kControlPreset, row.older);
#ifndef _WIN32
    if (row.named) platform::PlanFault(Call::CreateExclusive, 1, platform::kNotSupported);
#endif
    const RunReport report = ConvertWithFault(folder, row.call, row.nth, row.error);

    EXPECT_EQ(ReadFile(folder / "convert/a.kvr"), kControlPreset);
    EXPECT_FALSE(HoldsTemporaryFile(folder / "Converted"));
    if (row.told.empty()) {
      EXPECT_TRUE(report.problems.empty());
      EXPECT_EQ(ReadFile(folder / "Converted/a.kvr"), kControlConverted);
      continue;
    }
    ASSERT_EQ(report.problems.size(), 1u);
    const Problem& problem = report.problems.front();
    std::string path = problem.path;
    for (char& c : path) c = c == platform::kPathSeparator ? '/' : c;
    EXPECT_EQ(path, row.told);
    EXPECT_EQ(problem.step, row.step);
    EXPECT_EQ(problem.error, row.error);
    EXPECT_EQ(problem.olderKept, row.olderKept);
    EXPECT_EQ(report.converted, 0);
    if (row.older) {
      EXPECT_EQ(ReadFile(folder / "Converted/a.kvr"), "older");
    } else {
      EXPECT_FALSE(Exists(folder / "Converted/a.kvr"));
    }
  }
}

// An older output that the conversion repeats byte for byte, with the bits
// and the owner a new one would have, is kept as it is: nothing is written,
// and its time stays. Anything less, or a fault on the way, and the output
// is written anew (Windows always writes it anew).
TEST(PlannedFault, AnOlderOutputTheConversionRepeatsIsKept) {
  std::string apart = kControlConverted;
  apart[0] = 'A';
  std::string longInput, longOutput;  // more than an output holds back
  while (longOutput.size() <= kMostHeld) longInput += kControlPreset, longOutput += kControlConverted;
  const struct {
    const char* what;
    bool large;
    std::string older;
    bool inputPrivate;  // the input is not readable by others: neither may the output be
    Call call;
    unsigned nth;  // 0: no fault
    bool kept;
    std::optional<Step> told = std::nullopt;  // the older one stays, told so
  } rows[] = {
      {"the same", false, kControlConverted, false, Call::Open, 0, true},
      {"one byte apart", false, apart, false, Call::Open, 0, false},
      {"one byte longer", false, kControlConverted + "\n", false, Call::Open, 0, false},
      {"bits a new output would not have", false, kControlConverted, true, Call::Open, 0, false},
      {"the same, but it cannot be opened", false, kControlConverted, false, Call::Open, 4, false},
      {"the same, but it cannot be read", false, kControlConverted, false, Call::Read, 2, false},
      {"the same, longer than is held", true, longOutput, false, Call::Open, 0, false},
      {"longer than is held, and no file to be made", true, "older", false, Call::CreateExclusive, 1, false,
       Step::CreateOutput},
      // Kept, the older output is made durable like any new one.
      {"the same, but it cannot be made durable", false, kControlConverted, false, Call::Sync, 1, true,
       Step::WriteOutput},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    ScratchFolder folder;
    MakeWorkingFolder(folder, row.large ? longInput : kControlPreset, false);
    WriteFile(folder / "Converted/a.kvr", row.older);
    if (row.inputPrivate) {
      std::filesystem::permissions(folder / "convert/a.kvr", std::filesystem::perms::others_read,
                                   std::filesystem::perm_options::remove);
    }
    const auto then = std::filesystem::last_write_time(folder / "Converted/a.kvr") - std::chrono::hours(1);
    std::filesystem::last_write_time(folder / "Converted/a.kvr", then);
    const RunReport report = ConvertWithFault(folder, row.call, row.nth, kPlanned);
    ASSERT_EQ(report.problems.size(), row.told ? 1u : 0u);
    if (row.told) {
      EXPECT_EQ(report.problems.front().step, *row.told);
    }
    EXPECT_EQ(ReadFile(folder / "Converted/a.kvr"), row.told ? row.older : row.large ? longOutput : kControlConverted);
    EXPECT_EQ(std::filesystem::last_write_time(folder / "Converted/a.kvr") == then,
              row.told || (row.kept && kComparesOlder));
    EXPECT_FALSE(HoldsTemporaryFile(folder / "Converted"));
  }
}

// A convert folder that cannot be read to its end is told, whatever was
// converted before that point; the presets past it are not counted.
TEST(PlannedFault, AConvertFolderThatCannotBeReadOnIsTold) {
  ScratchFolder folder;
  MakeWorkingFolder(folder, kControlPreset, false);
  for (int i = 0; i < 20; ++i) WriteFile(folder / ("convert/p" + std::to_string(i) + ".kvr"), kControlPreset);
  const RunReport report = ConvertWithFault(folder, Call::List, 12, kPlanned);  // past the sweep of Converted
  ASSERT_EQ(report.problems.size(), 1u);
  EXPECT_EQ(report.problems.front().path, "convert");
  EXPECT_EQ(report.problems.front().step, Step::ReadInput);
  EXPECT_EQ(report.problems.front().error, kPlanned);
  EXPECT_EQ(report.converted, report.presets);
  EXPECT_LT(report.presets, 21);
  EXPECT_TRUE(report.emptyFolders.empty());
}

#ifndef _WIN32
// An older output is compared only where it is just what a new one would
// be, and kept only while it holds the new bytes, nothing more, at the
// output's name: what another program does to it meanwhile makes it differ.
TEST(PlannedFault, AnOlderOutputIsKeptOnlyWhileItIsWhatANewOneWouldBe) {
  using Path = const std::string&;
  const struct {
    const char* what;
    void (*prepare)(Path folder, Path older);
    void (*change)(Path older);
    bool compared;
    bool kept;
  } rows[] = {
      {"left alone", [](Path, Path) {}, [](Path) {}, true, true},
      {"appended to", [](Path, Path) {}, [](Path older) { std::ofstream(older, std::ios::app) << "x"; }, true, false},
      {"cut short", [](Path, Path) {}, [](Path older) { std::filesystem::resize_file(older, 3); }, true, false},
      {"removed", [](Path, Path) {}, [](Path older) { std::filesystem::remove(older); }, true, false},
      {"replaced by the same bytes", [](Path, Path) {},
       [](Path older) {
         WriteFile(older + ".new", kControlConverted);
         std::filesystem::rename(older + ".new", older);
       },
       true, false},
      {"set-id bits",
       [](Path, Path older) { ASSERT_EQ(chmod(older.c_str(), 06000 | (0666 & ~platform::NewFileMask())), 0); },
       [](Path) {}, true, false},
      {"its bits changed meanwhile", [](Path, Path) {}, [](Path older) { ASSERT_EQ(chmod(older.c_str(), 0600), 0); },
       true, false},
      {"a folder that gives its files its own group",
       [](Path folder, Path) {
         ASSERT_EQ(chown(folder.c_str(), geteuid(), 65534), 0);
         ASSERT_EQ(chmod(folder.c_str(), 02755), 0);
       },
       [](Path) {}, false, false},
      {"a folder with a default access list",
       [](Path folder, Path) {
         // u::rw, g::r, o::- in the kernel's own form.
         const std::uint32_t list[] = {2, 0x00060001, 0xffffffff, 0x00040004, 0xffffffff, 0x00000020, 0xffffffff};
         ASSERT_EQ(setxattr(folder.c_str(), "system.posix_acl_default", list, sizeof list, 0), 0) << errno;
       },
       [](Path) {}, false, false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    if (geteuid() != 0 && std::string(row.what).find("group") != std::string::npos) continue;  // needs root
    ScratchFolder folder;
    const std::string older = folder / "a.kvr";
    WriteFile(older, kControlConverted);
    row.prepare(folder.path(), older);
    // Read an hour after it was last read, a file takes a new access time.
    const struct timespec readLast[] = {{std::time(nullptr) - 3600, 0}, {0, UTIME_OMIT}};
    ASSERT_EQ(utimensat(AT_FDCWD, older.c_str(), readLast, 0), 0);
    OutputFolder outputs;
    platform::FileIdentity identity;
    platform::ErrorCode error = 0;
    ASSERT_TRUE(OpenOutputFolder(&outputs, folder.path().c_str(), &identity, &error));
    PendingOutput output;
    platform::FileHandle file = BeginOutput(&outputs, "a.kvr", nullptr, &output, &error, true);
    ASSERT_NE(file, platform::kNoFile);
    EXPECT_EQ(output.comparing, row.compared);
    row.change(older);
    const bool kept = output.comparing &&
                      KeepOlderOutput(&outputs, &output, file, kControlConverted.data(), kControlConverted.size());
    EXPECT_EQ(kept, row.kept);
    if (kept) {
      FinishOutput(&outputs, &output, file);
      struct stat after;
      ASSERT_EQ(stat(older.c_str(), &after), 0);
      EXPECT_EQ(after.st_atim.tv_sec, readLast[0].tv_sec) << "kept as it was, its access time too";
    } else {
      AbandonOutput(&outputs, &output, file);
    }
    CloseOutputFolder(&outputs);
    EXPECT_TRUE(outputs.failures.empty());
  }
}
#endif

// One preset converted by its paths, with its own output folder: what
// fails once its channel closes (the sync, the rename) is that preset's
// failure too.
TEST(PlannedFault, APresetConvertedByItsPathsTellsEachStep) {
  const struct {
    Call call;
    unsigned nth;
    bool toldInput;
    Step step;
  } rows[] = {
      {Call::Open, 1, true, Step::OpenInput},
      {Call::Open, 2, false, Step::CreateOutput},  // the output's folder
      {Call::Sync, 1, false, Step::WriteOutput},
      {Call::Rename, 1, false, Step::WriteOutput},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE("call " + std::to_string(static_cast<int>(row.call)) + " #" + std::to_string(row.nth));
    ScratchFolder folder;
    WriteFile(folder / "a.kvr", kControlPreset);
    WriteFile(folder / "out.kvr", "older");
    LineList lines;
    platform::PlanFault(row.call, row.nth, kPlanned);
    const std::optional<Problem> problem = ConvertPreset(folder / "a.kvr", folder / "out.kvr", &lines);
    platform::ClearFaults();
    CloseAllChannels();
    ReleaseLineList(&lines);
    ASSERT_TRUE(problem.has_value());
    EXPECT_EQ(problem->path, folder / (row.toldInput ? "a.kvr" : "out.kvr"));
    EXPECT_EQ(problem->step, row.step);
    EXPECT_EQ(problem->error, kPlanned);
    EXPECT_EQ(ReadFile(folder / "out.kvr"), "older");
    EXPECT_FALSE(HoldsTemporaryFile(folder.path()));
  }
}

// The older outputs of a batch are given up only once all the new ones are
// on the disk: one sync for the batch before any rename, one for the names.
TEST(PlannedFault, OlderOutputsAreReplacedOnlyAfterTheBatchIsSynced) {
  for (unsigned failingSync : {1u, 2u}) {
    SCOPED_TRACE("sync #" + std::to_string(failingSync) + " fails");
    ScratchFolder folder;
    MakeFolder(folder / "convert");
    MakeFolder(folder / "Converted");
    for (const char* name : {"a.kvr", "b.kvr", "c.kvr"}) {
      WriteFile(folder / (std::string("convert/") + name), kControlPreset);
      WriteFile(folder / (std::string("Converted/") + name), "older");
    }
    RunReport report;
    LineList lines;
    platform::PlanFault(Call::Sync, failingSync, kPlanned);
    ConvertWorkingFolder(folder.path(), &report, &lines);
    EXPECT_EQ(platform::CallsMade(Call::Sync), failingSync);  // the batch's, then the names'
    EXPECT_EQ(platform::CallsMade(Call::Rename), failingSync == 1 ? 0u : 3u);
    platform::ClearFaults();
    CloseAllChannels();
    ReleaseLineList(&lines);
    EXPECT_FALSE(HoldsTemporaryFile(folder / "Converted"));
    EXPECT_EQ(report.problems.size(), failingSync == 1 ? 3u : 0u);
    for (const Problem& problem : report.problems) {
      EXPECT_EQ(problem.step, Step::WriteOutput);
      EXPECT_EQ(problem.error, kPlanned);
      EXPECT_TRUE(problem.olderKept);
    }
    for (const char* name : {"a.kvr", "b.kvr", "c.kvr"}) {
      EXPECT_EQ(ReadFile(folder / (std::string("Converted/") + name)), failingSync == 1 ? "older" : kControlConverted);
    }
  }
#ifndef _WIN32
  // A file that took a new output's name while it was written is given up
  // the same way: here the sync fails, so it stays, and is told.
  ScratchFolder folder;
  MakeWorkingFolder(folder, kControlPreset, false);
  platform::PlanFault(Call::Sync, 1, kPlanned);
  const RunReport report = ConvertWithFault(folder, Call::Rename, 1, platform::kExists);
  ASSERT_EQ(report.problems.size(), 1u);
  EXPECT_TRUE(report.problems.front().olderKept);
  EXPECT_FALSE(Exists(folder / "Converted/a.kvr"));
  EXPECT_FALSE(HoldsTemporaryFile(folder / "Converted"));
#endif
}

// Memory for the rewritten lines that cannot be had, whatever line needs it
// first: the preset is told and its older conversion stays.
TEST(PlannedFault, MemoryThatCannotGrowLosesNothing) {
  for (const std::string& content : {kControlPreset, "\n\n\n" + kControlPreset, std::string(5000, 'x') + "\n"}) {
    SCOPED_TRACE("first line of " + std::to_string(content.find('\n')));
    ScratchFolder folder;
    MakeWorkingFolder(folder, content, true);
    const RunReport report = ConvertWithFault(folder, Call::Memory, 1, kPlanned);
    ASSERT_EQ(report.problems.size(), 1u);
    EXPECT_EQ(report.problems.front().step, Step::OutOfMemory);
    EXPECT_TRUE(report.problems.front().olderKept);
    EXPECT_EQ(ReadFile(folder / "Converted/a.kvr"), "older");
    EXPECT_FALSE(HoldsTemporaryFile(folder / "Converted"));
  }
  // Heap memory refused once: for the preset's paths (more than 210 bytes
  // each), the preset is skipped; for the table of channels, it cannot be
  // opened; right after the output's first write (1: any size), the output
  // is given up. Either way it is told, and its older conversion stays.
  const std::string name = std::string(200, 'n') + ".kvr";
  const struct {
    std::size_t failing;
    bool afterFirstWrite;
    Step step;
  } heapRows[] = {{210, false, Step::OutOfMemory}, {1500, false, Step::OpenInput}, {1, true, Step::OutOfMemory}};
  for (const auto& row : heapRows) {
    SCOPED_TRACE("allocations of " + std::to_string(row.failing) + " bytes or more refused" +
                 (row.afterFirstWrite ? " after the first write" : ""));
    ScratchFolder folder;
    MakeWorkingFolder(folder, kControlPreset, true, name);
    RunReport report;
    LineList lines;
    CloseAllChannels();
    gFailingAllocation = row.afterFirstWrite ? 0 : row.failing;
    if (row.afterFirstWrite) {
      platform::ObserveWrites([](std::size_t) {
        if (platform::CallsMade(Call::Write) == 0) gFailingAllocation = 1;
      });
    }
    ConvertWorkingFolder(folder.path(), &report, &lines);
    gFailingAllocation = 0;
    platform::ClearFaults();
    CloseAllChannels();
    ReleaseLineList(&lines);
    ASSERT_EQ(report.problems.size(), 1u);
    EXPECT_EQ(report.problems.front().path, std::string("convert") + platform::kPathSeparator + name);
    EXPECT_EQ(report.problems.front().step, row.step);
    // Not known where the paths could not be had: nothing more is asked.
    EXPECT_EQ(report.problems.front().olderKept, row.step == Step::OpenInput || row.afterFirstWrite);
    EXPECT_EQ(ReadFile(folder / ("Converted/" + name)), "older");
    EXPECT_EQ(ReadFile(folder / ("convert/" + name)), kControlPreset);
    EXPECT_FALSE(HoldsTemporaryFile(folder / "Converted"));
  }
  // Memory for the listing of `convert` that runs out as it is read (the
  // list grows to 32 entries for the 17th preset): the rest is read as the
  // run goes, and every preset is converted.
  ScratchFolder folder;
  MakeWorkingFolder(folder, kControlPreset, false);
  for (char more = 'b'; more <= 't'; ++more) {
    WriteFile(folder / ("convert/" + std::string(1, more) + ".kvr"), kControlPreset);
  }
  gFailingAllocation = 32 * sizeof(platform::FolderEntry);
  const RunReport report = ConvertAsPlanned(folder);
  gFailingAllocation = 0;
  EXPECT_TRUE(report.problems.empty());
  EXPECT_EQ(report.converted, 20);
  for (char preset = 'a'; preset <= 't'; ++preset) {
    EXPECT_EQ(ReadFile(folder / ("Converted/" + std::string(1, preset) + ".kvr")), kControlConverted) << preset;
  }
}

// Once an output is finished, settling it asks for no memory of its own:
// with none to be had, each output is the new one, or the older one and
// told once; nothing is thrown, so no file is left for its caller to close
// a second time. (Where the system's calls need memory themselves, as on
// Windows, they fail their output alone.)
TEST(PlannedFault, FinishedOutputsNeedNoMoreMemory) {
  for (unsigned failingRename : {0u, 2u}) {
    SCOPED_TRACE("rename #" + std::to_string(failingRename) + " fails");
    ScratchFolder folder;
    MakeFolder(folder / "out");
    OutputFolder outputs;
    platform::FileIdentity identity;
    platform::ErrorCode error = 0;
    ASSERT_TRUE(OpenOutputFolder(&outputs, (folder / "out").c_str(), &identity, &error));
    outputs.batchLimit = 2;
    const std::vector<std::string> names = {"first.kvr", "new.kvr", "b.kvr", "c.kvr", "d.kvr"};
    for (const std::string& name : names) {
      if (name != "new.kvr") WriteFile(folder / ("out/" + name), "older");
    }
    if (failingRename != 0) platform::PlanFault(Call::Rename, failingRename, kPlanned);
    std::vector<OutputFailure> failures;  // taken after each output, as the run does
    auto take = [&outputs, &failures] {
      failures.insert(failures.end(), outputs.failures.begin(), outputs.failures.end());
      outputs.failures.clear();
    };
    for (const std::string& name : names) {
      PendingOutput output;
      platform::FileHandle file = BeginOutput(&outputs, name.c_str(), nullptr, &output, &error);
      ASSERT_NE(file, platform::kNoFile);
      ASSERT_EQ(platform::WriteToFile(file, "new", 3), 3u);
      // (The first output makes the room the others use.)
      gFailingAllocation = name == names.front() ? 0 : 1;
      EXPECT_NO_THROW(FinishOutput(&outputs, &output, file)) << name;
      gFailingAllocation = 0;
      take();
    }
    gFailingAllocation = 1;
    EXPECT_NO_THROW(CloseOutputFolder(&outputs));
    gFailingAllocation = 0;
    take();
    platform::ClearFaults();
    for (const std::string& name : names) {
      const auto told = std::count_if(failures.begin(), failures.end(),
                                      [&name](const OutputFailure& failure) { return failure.name == name; });
      const std::string path = folder / ("out/" + name);
      const std::string content = Exists(path) ? ReadFile(path) : "";
      EXPECT_EQ(told, content == "new" ? 0 : 1) << name;
      EXPECT_EQ(content, told == 0 ? "new" : name == "new.kvr" ? "" : "older") << name;
    }
  }
}

// A temporary file left by a run that could not remove it (as by one that
// was killed) is removed by the next run, which converts everything.
TEST(PlannedFault, TheNextRunRemovesWhatAFailedRunLeft) {
  // The removal fails, or the file at the name cannot be looked at (the
  // fifth status asked; the eighth where the temporary file's name is
  // looked at once it is locked, and the complete file as it is finished
  // and before its rename; the one before it is the look at its name
  // before the rename), so that it may not be the run's own any more.
  const unsigned nameLooked = platform::kSweepsHonourLocks ? 8u : 5u;
  for (const auto& removal : {std::make_pair(Call::Remove, 1u), std::make_pair(Call::Status, nameLooked)}) {
    SCOPED_TRACE("call " + std::to_string(static_cast<int>(removal.first)) + " #" + std::to_string(removal.second));
    ScratchFolder folder;
    MakeWorkingFolder(folder, kControlPreset, true);
    RunReport report;
    LineList lines;
    platform::PlanFault(Call::Rename, 1, kPlanned);
    platform::PlanFault(removal.first, removal.second, kPlanned);
    ConvertWorkingFolder(folder.path(), &report, &lines);
    platform::ClearFaults();
    EXPECT_TRUE(HoldsTemporaryFile(folder / "Converted"));
    EXPECT_EQ(ReadFile(folder / "Converted/a.kvr"), "older");
    RunReport next;
    ConvertWorkingFolder(folder.path(), &next, &lines);
    CloseAllChannels();
    ReleaseLineList(&lines);
    EXPECT_TRUE(next.problems.empty());
    EXPECT_FALSE(HoldsTemporaryFile(folder / "Converted"));
    EXPECT_EQ(ReadFile(folder / "Converted/a.kvr"), kControlConverted);
  }
}

// Another run sweeping the folder between an output's close and its rename
// finds the complete file still held (locked, or on Windows still open),
// and leaves it.
std::string gSweptFolder;

void SweepAtRename(Call call) {
  if (call != Call::Rename) return;
  platform::ObserveCalls(nullptr);
  OutputFolder other;
  platform::FileIdentity identity;
  platform::ErrorCode error = 0;
  ASSERT_TRUE(OpenOutputFolder(&other, gSweptFolder.c_str(), &identity, &error));
  SweepLeftovers(&other, gSweptFolder.c_str());
  CloseOutputFolder(&other);
}

TEST(PlannedFault, AnotherRunsSweepLeavesACompleteOutput) {
  ScratchFolder folder;
  MakeWorkingFolder(folder, kControlPreset, true);
  gSweptFolder = folder / "Converted";
  platform::ObserveCalls(SweepAtRename);
  const RunReport report = ConvertAsPlanned(folder);
  EXPECT_TRUE(report.problems.empty());
  EXPECT_EQ(ReadFile(folder / "Converted/a.kvr"), kControlConverted);
  EXPECT_FALSE(HoldsTemporaryFile(folder / "Converted"));
}

// Another program that moves a complete output's temporary file away and
// puts a file of its own at that name, or writes into it where it is:
// found before the rename (as the batch is made durable), the older output
// is kept; in the instant before it, the planted file lands at the
// output's name, and the loss is told. Windows refuses both, the file held
// open for its writer alone up to its rename.
std::string gPlantedIn;
Call gPlantAt;
bool gInPlace = false;
bool gPlanted = false;

void PlantAtTemporaryName(Call call) {
  if (call != gPlantAt) return;
  platform::ObserveCalls(nullptr);
  for (const auto& entry : std::filesystem::directory_iterator(gPlantedIn)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind(".BrushPreset_Convertion-", 0) != 0) continue;
    if (gInPlace) {
      std::ofstream(entry.path(), std::ios::binary | std::ios::app) << "planted";
      gPlanted = std::filesystem::file_size(entry.path()) > kControlConverted.size();
      continue;
    }
    std::error_code refused;
    std::filesystem::rename(entry.path(), gPlantedIn + "/moved", refused);
    gPlanted = !refused;
    if (!refused) WriteFile(entry.path().string(), "planted");
  }
}

TEST(PlannedFault, AFilePlantedAtATemporaryNameIsNeverCountedConverted) {
  for (auto [at, inPlace, olderKept] : {std::tuple(Call::Sync, false, true), std::tuple(Call::Rename, false, false),
                                        std::tuple(Call::Sync, true, true)}) {
    ScratchFolder folder;
    MakeWorkingFolder(folder, kControlPreset, true);
    gPlantedIn = folder / "Converted";
    gPlantAt = at;
    gInPlace = inPlace;
    gPlanted = false;
    platform::ObserveCalls(PlantAtTemporaryName);
    const RunReport report = ConvertAsPlanned(folder);
    if (!gPlanted) {
      EXPECT_TRUE(report.problems.empty());
      continue;
    }
    ASSERT_EQ(report.problems.size(), 1u);
    EXPECT_EQ(report.problems[0].step, Step::ReplaceOutput);
    EXPECT_EQ(report.problems[0].error, platform::kReplaced);
    EXPECT_EQ(report.problems[0].olderKept, olderKept);
    EXPECT_EQ(report.converted, 0);
    EXPECT_EQ(ReadFile(folder / "Converted/a.kvr"), olderKept ? "older" : "planted");
    EXPECT_TRUE(!inPlace || !HoldsTemporaryFile(folder / "Converted"));  // the run's own file is removed
  }
}

// What is made at a new output's name as it is named: a folder, or a
// read-only file, is told and stays, nothing said kept, as there was no
// older conversion; a file that may be replaced is, as an older output
// would be. (Windows names every output by a rename, told if it fails.)
int gMadeAtName = 0;  // a folder, a read-only file, a file, a link or a hard link to the input

void MakeAtName(Call call) {
  if (call != Call::Rename) return;
  platform::ObserveCalls(nullptr);
  const std::string path = gPlantedIn + "/a.kvr";
  if (gMadeAtName == 0) return MakeFolder(path);
#ifndef _WIN32
  if (gMadeAtName >= 3) {
    const std::string input = gPlantedIn + "/../convert/a.kvr";
    ASSERT_EQ(gMadeAtName == 3 ? symlink("../convert/a.kvr", path.c_str()) : link(input.c_str(), path.c_str()), 0);
    return;
  }
#endif
  WriteFile(path, "planted");
  if (gMadeAtName == 1) {
    ASSERT_EQ(chmod(path.c_str(), 0444), 0);
  }
}

TEST(PlannedFault, WhatIsMadeAtANewOutputsNameIsReplacedOnlyAsAnOlderOutputWouldBe) {
  const struct {
    const char* what;
    platform::ErrorCode error;  // 0: not told, the output in its place
    const char* stays;          // what it holds, for a file
  } rows[] = {{"a folder", platform::kIsAFolder, nullptr},
#ifndef _WIN32
              {"a read-only file", platform::kReadOnly, "planted"},
              {"a file", 0, kControlConverted.c_str()},
              {"a link to the input", platform::kSameFile, kControlPreset.c_str()},
              {"a hard link to the input", platform::kSameFile, kControlPreset.c_str()}
#endif
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    ScratchFolder folder;
    MakeWorkingFolder(folder, kControlPreset, false);
    gPlantedIn = folder / "Converted";
    gMadeAtName = static_cast<int>(&row - rows);
    platform::ObserveCalls(MakeAtName);
    const RunReport report = ConvertAsPlanned(folder);
    EXPECT_FALSE(HoldsTemporaryFile(folder / "Converted"));
    if (row.stays != nullptr) {
      EXPECT_EQ(ReadFile(folder / "Converted/a.kvr"), row.stays);
    }
    if (row.error == 0) {
      EXPECT_TRUE(report.problems.empty());
      continue;
    }
    ASSERT_EQ(report.problems.size(), 1u);
    EXPECT_FALSE(report.problems[0].olderKept);
#ifdef _WIN32
    EXPECT_EQ(report.problems[0].step, Step::ReplaceOutput);
#else
    // Refused as at its beginning.
    const bool input = row.error == platform::kSameFile;
    EXPECT_EQ(report.problems[0].step, input ? Step::SameFile : Step::CreateOutput);
    EXPECT_EQ(report.problems[0].error, input ? 0 : row.error);
#endif
  }
}

// Each folder swapped for another as its listing starts: `convert`, then
// `Converted` once it is opened (the second folder opened; Windows refuses
// to move a folder held open): the folders opened are the ones listed, read
// and written.
std::string gSwappedIn;
int gListings = 0;

void SwapAtListing(Call call) {
  if (call != Call::List || (gListings == 1 && platform::CallsMade(Call::Open) < 2)) return;
  const std::string name = ++gListings == 1 ? "/convert" : "/Converted";
  if (gListings == 2) platform::ObserveCalls(nullptr);
  std::error_code refused;
  std::filesystem::rename(gSwappedIn + name, gSwappedIn + name + " held", refused);
  if (!refused) {
    MakeFolder(gSwappedIn + name);
    WriteFile(gSwappedIn + name + "/planted.kvr", kControlPreset);
  }
}

TEST(PlannedFault, FoldersSwappedAsTheyAreListedAreNotListed) {
  ScratchFolder folder;
  MakeWorkingFolder(folder, kControlPreset, false);
  WriteFile(folder / "Converted/.BrushPreset_Convertion-1-1.unfinished", "partial");
  gSwappedIn = folder.path();
  gListings = 0;
  platform::ObserveCalls(SwapAtListing);
  const RunReport report = ConvertAsPlanned(folder);
  EXPECT_TRUE(report.problems.empty());
  EXPECT_EQ(report.presets, 1);
  const std::string held = Exists(folder / "Converted held") ? "Converted held" : "Converted";
  EXPECT_EQ(ReadFile(folder / (held + "/a.kvr")), kControlConverted);
  EXPECT_FALSE(HoldsTemporaryFile(folder / held));
}

}  // namespace
