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
  std::vector<std::string> folders;
  std::string problem;  // for a usage error: the whole problem
};

TEST(CommandLine, ReadsTheArgumentsFromLeftToRight) {
  const std::vector<ArgumentsCase> cases = {
      {{}, Request::Convert, {}, ""},
      {{"brushes"}, Request::Convert, {"brushes"}, ""},
      {{"-h"}, Request::Help, {}, ""},
      {{"--help"}, Request::Help, {}, ""},
      {{"-V"}, Request::Version, {}, ""},
      {{"--version"}, Request::Version, {}, ""},
      // The first of help and version decides; nothing after it is read.
      {{"--help", "--bogus"}, Request::Help, {}, ""},
      {{"-V", "-h"}, Request::Version, {}, ""},
      {{"one", "two", "--help"}, Request::Help, {}, ""},
      {{"--bogus", "--help"}, Request::UsageError, {}, "unknown option '--bogus'"},
      // Only the exact spellings are options.
      {{"-x"}, Request::UsageError, {}, "unknown option '-x'"},
      {{"-hV"}, Request::UsageError, {}, "unknown option '-hV'"},
      {{"-help"}, Request::UsageError, {}, "unknown option '-help'"},
      {{"--versio"}, Request::UsageError, {}, "unknown option '--versio'"},
      {{"--help=yes"}, Request::UsageError, {}, "unknown option '--help=yes'"},
      {{"brushes", "-x"}, Request::UsageError, {}, "unknown option '-x'"},
      {{"-x\n-y\x1B[2J"}, Request::UsageError, {}, "unknown option '-x'$'\\n''-y'$'\\033''[2J'"},
      // Several FOLDERs, in order, duplicates kept for the run to merge.
      {{"one", "two"}, Request::Convert, {"one", "two"}, ""},
      {{"one", "--", "two", "one"}, Request::Convert, {"one", "two", "one"}, ""},
      // "--" ends the options; a lone "-" is a FOLDER.
      {{"--", "-h"}, Request::Convert, {"-h"}, ""},
      {{"--", "--"}, Request::Convert, {"--"}, ""},
      {{"brushes", "--"}, Request::Convert, {"brushes"}, ""},
      {{"--"}, Request::Convert, {}, ""},
      {{"-"}, Request::Convert, {"-"}, ""},
      // An empty FOLDER names no folder.
      {{""}, Request::UsageError, {}, "an empty FOLDER names no folder"},
      {{"one", "--", ""}, Request::UsageError, {}, "an empty FOLDER names no folder"},
  };
  for (const ArgumentsCase& c : cases) {
    std::string shown;
    for (const std::string& argument : c.arguments) shown += "[" + argument + "] ";
    SCOPED_TRACE(shown);
    const Invocation invocation = ReadArguments(c.arguments);
    EXPECT_EQ(invocation.request, c.request);
    EXPECT_EQ(invocation.folders, c.folders);
    EXPECT_EQ(invocation.problem, c.problem);
  }
}

struct ShownCase {
  std::string text;
  std::string utf8;   // shown on a UTF-8 terminal
  std::string ascii;  // shown where the encoding is ASCII
};

TEST(CommandLine, NamesThatCouldMoveTheCursorAreQuotedLikeLsDoes) {
  const std::vector<ShownCase> cases = {
      {"plain name.kvr", "plain name.kvr", "plain name.kvr"},
      {"it's.kvr", "it's.kvr", "it's.kvr"},
      {"\xC3\xA9t\xC3\xA9.kvr", "\xC3\xA9t\xC3\xA9.kvr", "$'\\303\\251''t'$'\\303\\251''.kvr'"},
      {"a\nb", "'a'$'\\n''b'", "'a'$'\\n''b'"},
      {"line1\nBrushPreset_Convertion: 9 of 9 presets converted\nx.kvr",
       "'line1'$'\\n''BrushPreset_Convertion: 9 of 9 presets converted'$'\\n''x.kvr'",
       "'line1'$'\\n''BrushPreset_Convertion: 9 of 9 presets converted'$'\\n''x.kvr'"},
      {"\x1B]0;t\a\x1B[2J.kvr", "$'\\033'']0;t'$'\\a\\033''[2J.kvr'", "$'\\033'']0;t'$'\\a\\033''[2J.kvr'"},
      {"it's\t.kvr", "'it'\\''s'$'\\t''.kvr'", "'it'\\''s'$'\\t''.kvr'"},
      {"del\x7F", "'del'$'\\177'", "'del'$'\\177'"},
      // Bytes that are no UTF-8 character: a stray continuation, a cut
      // sequence, an overlong "/", a surrogate; and a C1 control (CSI).
      {"a\x80", "'a'$'\\200'", "'a'$'\\200'"},
      {"a\xE2\x82", "'a'$'\\342\\202'", "'a'$'\\342\\202'"},
      {"\xC0\xAF", "$'\\300\\257'", "$'\\300\\257'"},
      {"\xE0\x9F\xBF", "$'\\340\\237\\277'", "$'\\340\\237\\277'"},  // U+07FF in three bytes
      {"\xED\xA0\x80", "$'\\355\\240\\200'", "$'\\355\\240\\200'"},
      {"\xC2\x9B"
       "2J",
       "$'\\302\\233''2J'", "$'\\302\\233''2J'"},
      {"\xF0\x9F\x96\x8C", "\xF0\x9F\x96\x8C", "$'\\360\\237\\226\\214'"},
      // The line and paragraph separators (U+2028, U+2029), beside U+2027.
      {"a\xE2\x80\xA8"
       "b\xE2\x80\xA9\xE2\x80\xA7",
       "'a'$'\\342\\200\\250''b'$'\\342\\200\\251''\xE2\x80\xA7'",
       "'a'$'\\342\\200\\250''b'$'\\342\\200\\251\\342\\200\\247'"},
      // No lead byte past F4, no code point past U+10FFFF, no lead byte
      // without its continuation bytes.
      {"a\xF8", "'a'$'\\370'", "'a'$'\\370'"},
      {"\xF4\x90\x80\x80", "$'\\364\\220\\200\\200'", "$'\\364\\220\\200\\200'"},
      {"\xC3(", "$'\\303''('", "$'\\303''('"},
      {"\n'", "$'\\n'\\'", "$'\\n'\\'"},
  };
  for (const ShownCase& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.text));
    EXPECT_EQ(ShownText(c.text, true), c.utf8);
    EXPECT_EQ(ShownText(c.text, false), c.ascii);
  }
  EXPECT_EQ(ShownText("", true, true), "''");
  EXPECT_EQ(ShownText("-x", true, true), "'-x'");
}

TEST(CommandLine, WindowsCommandLinesAreSplitLikeCommandLineToArgvW) {
  const std::vector<std::pair<std::wstring, std::vector<std::wstring>>> cases = {
      {L"prog.exe", {}},
      {L"\"C:\\My Tools\\prog.exe\" a", {L"a"}},
      {L"prog.exe  a\t\"b c\"  d", {L"a", L"b c", L"d"}},
      {L"prog.exe \"\"", {L""}},
      {L"prog.exe a\\\\b \"a\\\\\\\"b\" a\\\\\\\\\"b\"", {L"a\\\\b", L"a\\\"b", L"a\\\\b"}},
      {L"prog.exe \"say \"\"hi\"\"\"", {L"say \"hi\""}},
      // A quoted folder ending in a backslash, as shortcuts pass it.
      {L"prog.exe \"Z:\\my folder\\\"", {L"Z:\\my folder\\"}},
      {L"prog.exe \"Y:\\\" \"Z:\\a b\\\"", {L"Y:\\", L"Z:\\a b\\"}},
      {L"prog.exe \"Z:\\a\\\\\" next", {L"Z:\\a\\", L"next"}},
      {L"prog.exe \"a\\\"b\"", {L"a\"b"}},
      // Lines cut short: a quoted program name never closed, a quote never
      // closed, a backslash at the very end.
      {L"\"C:\\My Tools\\prog.exe a", {}},
      {L"prog.exe\t\"a b", {L"a b"}},
      {L"prog.exe a\\", {L"a\\"}},
      {L"", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.first));
    EXPECT_EQ(SplitWindowsCommandLine(c.first), c.second);
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
      // A Converted folder stands for its parent the same way.
      {"a/Converted", {}, "a/"},
      {"Converted/", {}, "."},
      {"a/Converted", {"a/Converted/convert"}, "a/Converted"},
      {"a/converted", {}, "a/converted"},
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
      {L"C:\\Brushes\\converted", {}, L"C:\\Brushes\\"},
      {L"C:\\Brushes\\converts", {}, L"C:\\Brushes\\converts"},
      {L"C:\\", {}, L"C:\\"},
      // U+0143 is no "C": a wide character is never cut down to a byte.
      {L"C:\\Brushes\\\u0143onvert", {}, L"C:\\Brushes\\\u0143onvert"},
  };
  ExpectWorkingFolders(PathStyle::Windows, cases);
  // The paths of the problems start with the working folder as typed.
  EXPECT_EQ(ShownPrefix("C:", PathStyle::Windows), "C:");
  EXPECT_EQ(ShownPrefix("C:\\Brushes", PathStyle::Windows), "C:\\Brushes\\");
  EXPECT_EQ(ShownPrefix("a\\", PathStyle::Posix), "a\\/");
  EXPECT_EQ(ShownPrefix("", PathStyle::Posix), "");
}

}  // namespace
