// What the command line asks for, and where a run given a FOLDER happens,
// decided without the file system.
#include "tools/CommandLine.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

namespace {

using namespace command_line;

struct ArgumentsCase {
  std::vector<std::string> arguments;
  Request request;
  const char* folder;   // nullptr: none
  std::string mention;  // for a usage error: what the problem must name
};

TEST(CommandLine, ReadsTheArgumentsFromLeftToRight) {
  const std::vector<ArgumentsCase> cases = {
      {{}, Request::Convert, nullptr, ""},
      {{"brushes"}, Request::Convert, "brushes", ""},
      {{"-h"}, Request::Help, nullptr, ""},
      {{"--help"}, Request::Help, nullptr, ""},
      {{"-V"}, Request::Version, nullptr, ""},
      {{"--version"}, Request::Version, nullptr, ""},
      // The first of help and version decides; nothing after it is read.
      {{"--help", "--bogus"}, Request::Help, nullptr, ""},
      {{"-V", "-h"}, Request::Version, nullptr, ""},
      {{"one", "two", "--help"}, Request::Help, nullptr, ""},
      {{"--bogus", "--help"}, Request::UsageError, nullptr, "--bogus"},
      // Only the exact spellings are options.
      {{"-x"}, Request::UsageError, nullptr, "-x"},
      {{"-hV"}, Request::UsageError, nullptr, "-hV"},
      {{"-help"}, Request::UsageError, nullptr, "-help"},
      {{"--versio"}, Request::UsageError, nullptr, "--versio"},
      {{"--help=yes"}, Request::UsageError, nullptr, "--help=yes"},
      {{"brushes", "-x"}, Request::UsageError, nullptr, "-x"},
      // A second FOLDER, wherever it stands.
      {{"one", "two"}, Request::UsageError, nullptr, "two"},
      {{"one", "--", "two"}, Request::UsageError, nullptr, "two"},
      {{"--", "one", "two"}, Request::UsageError, nullptr, "two"},
      // "--" ends the options; a lone "-" is a FOLDER.
      {{"--", "-h"}, Request::Convert, "-h", ""},
      {{"--", "--"}, Request::Convert, "--", ""},
      {{"brushes", "--"}, Request::Convert, "brushes", ""},
      {{"--"}, Request::Convert, nullptr, ""},
      {{"-"}, Request::Convert, "-", ""},
      // An empty FOLDER is still one: it cannot be entered.
      {{""}, Request::Convert, "", ""},
  };
  for (const ArgumentsCase& c : cases) {
    std::string shown;
    for (const std::string& argument : c.arguments) shown += "[" + argument + "] ";
    SCOPED_TRACE(shown);
    const Invocation invocation = ReadArguments(c.arguments);
    EXPECT_EQ(invocation.request, c.request);
    EXPECT_EQ(invocation.hasFolder, c.folder != nullptr);
    EXPECT_EQ(invocation.folder, c.folder != nullptr ? c.folder : "");
    if (c.request == Request::UsageError) {
      EXPECT_NE(invocation.problem.find("'" + c.mention + "'"), std::string::npos) << invocation.problem;
    } else {
      EXPECT_EQ(invocation.problem, "");
    }
  }
}

template <typename Char>
struct FolderCase {
  std::basic_string<Char> folder;
  std::set<std::basic_string<Char>> existingFolders;  // what the file system holds
  std::basic_string<Char> expected;
};

template <typename Char>
void ExpectWorkingFolders(PathStyle style, const std::vector<FolderCase<Char>>& cases) {
  for (const FolderCase<Char>& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.folder));
    std::vector<std::basic_string<Char>> asked;
    auto isFolder = [&](const std::basic_string<Char>& path) {
      asked.push_back(path);
      return c.existingFolders.count(path) > 0;
    };
    EXPECT_EQ(WorkingFolderFor<Char>(c.folder, style, isFolder), c.expected);
    // Only a folder named convert makes it look, and only inside it.
    EXPECT_LE(asked.size(), 1u);
  }
}

TEST(CommandLine, AFolderNamedConvertWithoutConvertInsideStandsForItsParent) {
  const std::vector<FolderCase<char>> cases = {
      {"brushes", {}, "brushes"},
      {"convert", {}, "."},
      {"convert/", {}, "."},
      {"convert//", {}, "."},
      {"./convert", {}, "./"},
      {"a/convert", {}, "a/"},
      {"a/convert/", {}, "a/"},
      {"a//convert", {}, "a//"},
      {"/convert", {}, "/"},
      {"/home/me/brushes/convert", {}, "/home/me/brushes/"},
      {"Pinceaux \xC3\xA9t\xC3\xA9/convert", {}, "Pinceaux \xC3\xA9t\xC3\xA9/"},
      // A convert folder that holds its own convert folder is a working
      // folder like any other.
      {"a/convert", {"a/convert/convert"}, "a/convert"},
      {"a/convert/", {"a/convert/convert"}, "a/convert/"},
      {"convert", {"convert/convert"}, "convert"},
      // Only the name "convert" itself, exactly, counts.
      {"a/Convert", {}, "a/Convert"},
      {"a/CONVERT", {}, "a/CONVERT"},
      {"a/convert.d", {}, "a/convert.d"},
      {"a/my_convert", {}, "a/my_convert"},
      {"convert/a", {}, "convert/a"},
      {"a\\convert", {}, "a\\convert"},
      {"/", {}, "/"},
      {".", {}, "."},
      {"", {}, ""},
  };
  ExpectWorkingFolders(PathStyle::Posix, cases);
}

TEST(CommandLine, WindowsPathsAndNamesFollowWindowsRules) {
  const std::vector<FolderCase<wchar_t>> cases = {
      {L"C:\\Brushes", {}, L"C:\\Brushes"},
      {L"C:\\Brushes\\convert", {}, L"C:\\Brushes\\"},
      {L"C:\\Brushes\\convert\\", {}, L"C:\\Brushes\\"},
      {L"C:\\Brushes\\Convert", {}, L"C:\\Brushes\\"},
      {L"C:\\Brushes\\CONVERT", {}, L"C:\\Brushes\\"},
      {L"C:/Brushes/convert", {}, L"C:/Brushes/"},
      {L"C:\\convert", {}, L"C:\\"},
      {L"C:convert", {}, L"C:"},
      {L"convert", {}, L"."},
      {L"\\\\server\\share\\convert", {}, L"\\\\server\\share\\"},
      {L"C:\\Pinceaux \u00E9t\u00E9 \u753B\u7B14\\convert", {}, L"C:\\Pinceaux \u00E9t\u00E9 \u753B\u7B14\\"},
      {L"C:\\Brushes\\convert", {L"C:\\Brushes\\convert\\convert"}, L"C:\\Brushes\\convert"},
      {L"C:\\Brushes\\Convert\\", {L"C:\\Brushes\\Convert\\convert"}, L"C:\\Brushes\\Convert\\"},
      {L"C:\\Brushes\\converted", {}, L"C:\\Brushes\\converted"},
      {L"C:\\", {}, L"C:\\"},
  };
  ExpectWorkingFolders(PathStyle::Windows, cases);
}

}  // namespace
