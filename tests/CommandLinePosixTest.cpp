// The real program's command line: help, version and usage errors touch no
// file; a FOLDER argument is where the run happens, and nowhere else.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "platform/Platform.h"
#include "tests/TestSupport.h"
#include "tools/CommandLine.h"

namespace {

using namespace testing_support;
namespace fs = std::filesystem;

// A run inside a convert folder is told to move up however deep that
// folder lies: its name is found past the 4096 bytes of a first try.
TEST(CurrentFolder, ItsNameIsFoundHoweverLongItsPath) {
  ScratchFolder folder;
  const fs::path start = fs::current_path();
  ASSERT_EQ(chdir(folder.path().c_str()), 0);
  const std::string level(200, 'd');
  int depth = 0;
  for (; depth < 25; ++depth) {
    ASSERT_TRUE(mkdir(level.c_str(), 0700) == 0 && chdir(level.c_str()) == 0) << depth;
  }
  ASSERT_TRUE(mkdir("convert", 0700) == 0 && chdir("convert") == 0);
  EXPECT_EQ(platform::CurrentFolderName(), "convert");
  // Removed level by level: the whole path is too long for one call.
  EXPECT_TRUE(chdir("..") == 0 && rmdir("convert") == 0);
  for (; depth > 0; --depth) {
    EXPECT_TRUE(chdir("..") == 0 && rmdir(level.c_str()) == 0) << depth;
  }
  // A current folder removed meanwhile has no name, never a stale one.
  ASSERT_TRUE(mkdir("convert", 0700) == 0 && chdir("convert") == 0 && rmdir("../convert") == 0);
  EXPECT_EQ(platform::CurrentFolderName(), "");
  fs::current_path(start);
}

const std::string kNotice =
    "Finish\nConversion termin\xC3\xA9"
    "e !\n";
const std::string kPreset = "global.Transp=20;\nglobal.SizeX=3;\n";
const std::string kConverted = "alpha=51\r\nsizeX=3\r\n";
const std::string kStale = "an older conversion\r\n";

// Working folders side by side in one scratch folder, each with a preset
// to convert and an older conversion that any run there replaces:
// "here" (where the program starts unless told otherwise), "lib", a name
// with spaces and accents, one named like an option, and "nested/convert",
// a convert folder that holds its own convert folder.
class CommandLineRun : public ::testing::Test {
 protected:
  static constexpr const char* kAccented = "Pinceaux \xC3\xA9t\xC3\xA9";

  void SetUp() override {
    MakeFolder(root_ / "nested");
    for (std::string folder : {"here", "lib", kAccented, "-x", "nested/convert"}) {
      MakeFolder(root_ / folder);
      MakeFolder(root_ / (folder + "/convert"));
      MakeFolder(root_ / (folder + "/Converted"));
      WriteFile(root_ / (folder + "/convert/p.kvr"), kPreset);
      WriteFile(root_ / (folder + "/Converted/p.kvr"), kStale);
    }
    initial_ = Snapshot(root_.path());
  }

  // "@" in an argument stands for the scratch folder's path.
  RunResult Run(const std::string& runIn, const std::vector<std::string>& arguments, bool unprivileged = false,
                bool outputFull = false) {
    RunLimits limits;
    for (std::string argument : arguments) {
      if (argument.compare(0, 1, "@") == 0) argument = root_.path() + argument.substr(1);
      limits.arguments.push_back(argument);
    }
    limits.unprivileged = unprivileged;
    limits.outputFull = outputFull;
    RunResult result = RunConverter(root_ / runIn, limits);
    EXPECT_TRUE(result.exited) << "killed or timed out";
    return result;
  }

  ScratchFolder root_;
  std::map<std::string, std::string> initial_;
};

struct InformationCase {
  std::vector<std::string> arguments;
  int exitStatus;
  std::string output;
  std::string errors;
  bool outputFull = false;  // what it writes on standard output is lost
};

TEST_F(CommandLineRun, HelpVersionAndUsageErrorsTouchNoFile) {
  const std::string usage = command_line::UsageText();
  const std::string tryHelp = "Try 'BrushPreset_Convertion --help' for more information.\n";
  const std::string version = std::string("BrushPreset_Convertion ") + PROJECT_VERSION + "\n";
  const std::vector<InformationCase> cases = {
      {{"--help"}, 0, usage, ""},
      {{"-h"}, 0, usage, ""},
      {{"--version"}, 0, version, ""},
      {{"-V"}, 0, version, ""},
      {{"@/lib", "--help"}, 0, usage, ""},
      {{"--bogus"}, 2, "", "BrushPreset_Convertion: unknown option '--bogus'\n" + tryHelp},
      {{"@/lib", "-x"}, 2, "", "BrushPreset_Convertion: unknown option '-x'\n" + tryHelp},
      {{"-x", "--help"}, 2, "", "BrushPreset_Convertion: unknown option '-x'\n" + tryHelp},
      {{"-it's"}, 2, "", "BrushPreset_Convertion: unknown option '-it'\\''s'\n" + tryHelp},
      {{"-\x1B]0;x\a"}, 2, "", "BrushPreset_Convertion: unknown option '-'$'\\033'']0;x'$'\\a'\n" + tryHelp},
      {{"@/lib", ""}, 2, "", "BrushPreset_Convertion: an empty FOLDER names no folder\n" + tryHelp},
      // Help or version that could not be written is no success.
      {{"--help"}, 1, "", "", true},
      {{"--version"}, 1, "", "", true},
  };
  ASSERT_EQ(usage.rfind("Usage: BrushPreset_Convertion [--] [FOLDER...]\n", 0), 0u) << usage;
  for (const InformationCase& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.arguments));
    RunResult result = Run("here", c.arguments, false, c.outputFull);
    EXPECT_EQ(result.exitStatus, c.exitStatus);
    EXPECT_EQ(result.output, c.output);
    EXPECT_EQ(result.errors, c.errors);
    EXPECT_EQ(Snapshot(root_.path()), initial_);
  }
}

struct FolderCase {
  std::string runIn;
  std::vector<std::string> arguments;
  std::string convertedIn;  // the one working folder whose output changes
};

TEST_F(CommandLineRun, AFolderArgumentIsWhereTheRunHappens) {
  const std::string accented = kAccented;
  const std::vector<FolderCase> cases = {
      {"here", {}, "here"},
      {"here", {"@/lib"}, "lib"},
      {"here", {"@/lib/"}, "lib"},
      {"here", {"../lib"}, "lib"},
      {"here", {"--", "../lib"}, "lib"},
      {"", {"--", "-x"}, "-x"},
      {"here", {"@/" + accented}, accented},
      // The convert folder named instead of the folder that holds it.
      {"here", {"@/lib/convert"}, "lib"},
      {"here", {"@/lib/convert/"}, "lib"},
      {"here", {"../lib/convert"}, "lib"},
      {"lib", {"convert"}, "lib"},
      {"here", {"@/" + accented + "/convert"}, accented},
      // ... unless it holds a convert folder of its own.
      {"here", {"@/nested/convert"}, "nested/convert"},
      {"nested", {"convert"}, "nested/convert"},
  };
  for (const FolderCase& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.arguments) + " in " + c.runIn);
    RunResult result = Run(c.runIn, c.arguments);
    EXPECT_EQ(result.exitStatus, 0) << result.errors;
    EXPECT_EQ(result.output, kNotice);
    std::map<std::string, std::string> expected = initial_;
    const std::string output = fs::path(c.convertedIn + "/Converted/p.kvr").lexically_normal().string();
    expected[output] = "file: " + kConverted;
    EXPECT_EQ(Snapshot(root_.path()), expected);
    WriteFile(root_ / output, kStale);
  }
}

struct UnenterableCase {
  std::string argument;
  std::string reason;
  bool permissions = false;  // stops only a user other than root
};

TEST_F(CommandLineRun, AFolderThatCannotBeEnteredIsToldAndNothingRuns) {
  MakeFolder(root_ / "locked");
  MakeFolder(root_ / "locked/convert");
  MakeFolder(root_ / "locked/Converted");
  WriteFile(root_ / "locked/convert/p.kvr", kPreset);
  MakeFolder(root_ / "notes");
  WriteFile(root_ / "notes/convert", "a file named convert\n");
  ASSERT_EQ(chmod((root_ / "locked").c_str(), 0), 0);
  initial_ = Snapshot(root_.path());
  const std::vector<UnenterableCase> cases = {
      {"@/none", "No such file or directory"},
      // A convert folder that is missing, or not a folder, does not stand
      // for its parent, even where the parent exists.
      {"@/none/convert", "No such file or directory"},
      {"@/-x/Converted/convert", "No such file or directory"},
      {"@/notes/convert", "Not a directory"},
      {"none", "No such file or directory"},
      {"@/lib/convert/p.kvr", "Not a directory"},
      {"@/locked", "Permission denied", true},
  };
  for (const UnenterableCase& c : cases) {
    SCOPED_TRACE(c.argument);
    // As root, the program runs as another user, whom the permissions stop.
    RunResult result = Run("here", {c.argument}, c.permissions && RunningAsRoot());
    const std::string shown = c.argument.compare(0, 1, "@") == 0 ? root_.path() + c.argument.substr(1) : c.argument;
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_EQ(result.output, "");
    EXPECT_EQ(result.errors, "BrushPreset_Convertion: " + shown + ": " + c.reason + "\n");
    EXPECT_EQ(Snapshot(root_.path()), initial_);
  }
}

struct SeveralCase {
  std::string runIn;
  std::vector<std::string> arguments;
  int exitStatus;
  std::string errors;  // "BrushPreset_Convertion: " begins each line
  bool ran = true;     // the notice shown
};

TEST_F(CommandLineRun, SeveralFoldersAreConvertedOnceAndReportedTogether) {
  // In "here", one preset cannot be written, and its name holds a line end.
  WriteFile(root_ / "here/convert/a\nb.kvr", kPreset);
  MakeFolder(root_ / "here/Converted/a\nb.kvr");
  MakeFolder(root_ / "empty");
  MakeFolder(root_ / "empty/convert");
  MakeFolder(root_ / "empty/Converted");
  // "crossed" would write its outputs into lib's convert folder.
  MakeFolder(root_ / "crossed");
  MakeFolder(root_ / "crossed/convert");
  WriteFile(root_ / "crossed/convert/p.kvr", kPreset);
  ASSERT_EQ(symlink("../lib/convert", (root_ / "crossed/Converted").c_str()), 0);
  const std::string crossed =
      "crossed/Converted: is the folder convert itself, nothing converted\n1 of 2 presets converted";
  const std::string blocked = "'here/Converted/a'$'\\n''b.kvr': cannot create: Is a directory";
  const std::vector<SeveralCase> cases = {
      // Named by the folder, its convert and its Converted folder: once.
      {"", {"here", "./lib/", "here/convert", "here/Converted/", "lib"}, 1, blocked + "\n2 of 3 presets converted"},
      {"here", {}, 1, "'Converted/a'$'\\n''b.kvr': cannot create: Is a directory\n1 of 2 presets converted"},
      {"lib", {".", "../lib", "convert"}, 0, ""},
      {"", {"lib", "empty/convert"}, 0, "empty/convert: no preset found (*.kvr)"},
      {"", {"empty", "@/empty"}, 0, "empty/convert: no preset found (*.kvr)"},
      // Run inside a convert folder: advice instead of two missing folders.
      {"lib/convert",
       {},
       1,
       ".: is a convert folder itself: run the tool from its parent folder, or name the parent "
       "(BrushPreset_Convertion ..)\n0 of 0 presets converted"},
      // ... or named by a path that ends inside it.
      {"",
       {"lib", "lib/convert/."},
       1,
       "lib/convert/.: is a convert folder itself: run the tool from its parent folder, or name the parent "
       "(BrushPreset_Convertion ..)\n1 of 1 preset converted"},
      // A Converted that is another working folder's convert: refused,
      // whichever of the two comes first.
      {"", {"crossed", "lib"}, 1, crossed},
      {"", {"lib", "crossed"}, 1, crossed},
      // One FOLDER that cannot be used: each told, nothing run.
      {"",
       {"lib", "none", "lib/convert/p.kvr", "here"},
       1,
       "none: No such file or directory\nlib/convert/p.kvr: Not a directory",
       false},
  };
  for (const SeveralCase& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.arguments) + " in " + c.runIn);
    initial_ = Snapshot(root_.path());
    RunResult result = Run(c.runIn, c.arguments);
    EXPECT_EQ(result.exitStatus, c.exitStatus);
    EXPECT_EQ(result.output, c.ran ? kNotice : "");
    std::string errors;
    std::size_t start = 0;
    while (start < c.errors.size()) {
      std::size_t end = c.errors.find('\n', start);
      if (end == std::string::npos) end = c.errors.size();
      errors += "BrushPreset_Convertion: " + c.errors.substr(start, end - start) + "\n";
      start = end + 1;
    }
    EXPECT_EQ(result.errors, errors);
    EXPECT_EQ(ReadFile(root_ / "lib/convert/p.kvr"), kPreset) << "an input changed";
    if (!c.ran) {
      EXPECT_EQ(Snapshot(root_.path()), initial_);
    }
  }
}

}  // namespace
