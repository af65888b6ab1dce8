#include "tools/CommandLine.h"

#include <string_view>

namespace command_line {

Invocation ReadArguments(const std::vector<std::string>& arguments) {
  Invocation invocation;
  std::vector<std::string> folders;
  bool optionsEnded = false;
  for (const std::string& argument : arguments) {
    if (optionsEnded || argument.size() < 2 || argument[0] != '-') {
      folders.push_back(argument);
    } else if (argument == "--") {
      optionsEnded = true;
    } else if (argument == "-h" || argument == "--help") {
      invocation.request = Request::Help;
      return invocation;
    } else if (argument == "-V" || argument == "--version") {
      invocation.request = Request::Version;
      return invocation;
    } else {
      invocation.request = Request::UsageError;
      invocation.problem = "unknown option '" + argument + "'";
      return invocation;
    }
  }
  if (folders.size() > 1) {
    invocation.request = Request::UsageError;
    invocation.problem = "one FOLDER at most: '" + folders[1] + "' is a second one";
  } else if (folders.size() == 1) {
    invocation.hasFolder = true;
    invocation.folder = folders[0];
  }
  return invocation;
}

std::string UsageText() {
  const std::string name = kProgramName;
  return "Usage: " + name + " [FOLDER]\n" + "       " + name + " -h | --help | -V | --version\n" +
         "\n"
         "Rewrites every legacy brush preset FOLDER/convert/*.kvr into the current\n"
         "preset form and writes it under the same name into FOLDER/Converted/, every\n"
         "line ending in CR LF; a file of that name already there is replaced.\n"
         "FOLDER is the current folder when none is given; a FOLDER named \"convert\"\n"
         "that holds no folder \"convert\" stands for its parent. Both folders must\n"
         "exist: none is ever created. The run ends with \"Finish\" and\n"
         "\"Conversion termin\xC3\xA9"
         "e !\", which waits for Enter on a terminal.\n"
         "\n"
         "Options:\n"
         "  -h, --help     print this help and exit\n"
         "  -V, --version  print the version and exit\n"
         "  --             end of the options: what follows is FOLDER\n"
         "\n"
         "Exit status:\n"
         "  0  every preset was converted (also when there was none)\n"
         "  1  a preset was not converted, or a folder (convert, Converted or\n"
         "     FOLDER) is missing or unreadable; each problem is told on\n"
         "     standard error\n"
         "  2  the command line was not understood; no file was touched\n";
}

std::string VersionText() { return std::string(kProgramName) + " " + BRUSH_VERSION + "\n"; }

namespace {

template <typename Char>
bool IsSeparator(Char c, PathStyle style) {
  return c == Char('/') || (style == PathStyle::Windows && c == Char('\\'));
}

// The length of `path` without its trailing separators; a path made only of
// separators keeps its first one (it is a root).
template <typename Char>
std::size_t LengthWithoutTrailingSeparators(const std::basic_string<Char>& path, PathStyle style) {
  std::size_t length = path.size();
  while (length > 1 && IsSeparator(path[length - 1], style)) --length;
  return length;
}

// Where the last component of path[0, length) starts: after the last
// separator, or after a drive prefix on Windows.
template <typename Char>
std::size_t LastComponentStart(const std::basic_string<Char>& path, std::size_t length, PathStyle style) {
  for (std::size_t i = length; i > 0; --i) {
    if (IsSeparator(path[i - 1], style) || (style == PathStyle::Windows && path[i - 1] == Char(':'))) return i;
  }
  return 0;
}

template <typename Char>
bool IsConvertName(const std::basic_string<Char>& path, std::size_t start, std::size_t end, PathStyle style) {
  constexpr std::string_view kConvert = "convert";
  if (end - start != kConvert.size()) return false;
  for (std::size_t i = 0; i < kConvert.size(); ++i) {
    Char c = path[start + i];
    if (style == PathStyle::Windows && c >= Char('A') && c <= Char('Z')) c = Char(c - Char('A') + Char('a'));
    if (c != Char(kConvert[i])) return false;
  }
  return true;
}

}  // namespace

template <typename Char>
std::basic_string<Char> WorkingFolderFor(const std::basic_string<Char>& folder, PathStyle style,
                                         const std::function<bool(const std::basic_string<Char>&)>& isFolder) {
  const std::size_t end = LengthWithoutTrailingSeparators(folder, style);
  const std::size_t start = LastComponentStart(folder, end, style);
  if (!IsConvertName(folder, start, end, style)) return folder;
  std::basic_string<Char> inner = folder.substr(0, end);
  inner += style == PathStyle::Windows ? Char('\\') : Char('/');
  for (char c : std::string_view("convert")) inner += Char(c);
  if (isFolder(inner)) return folder;
  if (start == 0) return std::basic_string<Char>(1, Char('.'));
  return folder.substr(0, start);
}

template std::string WorkingFolderFor<char>(const std::string&, PathStyle,
                                            const std::function<bool(const std::string&)>&);
template std::wstring WorkingFolderFor<wchar_t>(const std::wstring&, PathStyle,
                                                const std::function<bool(const std::wstring&)>&);

}  // namespace command_line
