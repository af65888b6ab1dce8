// What the command line asks of the converter, decided without touching any
// file, where a run given a FOLDER happens, and how text the tool did not
// write is shown. Portable: the run (BrushPreset_Convertion.cpp) and the
// platform do the printing, the changes of folder and the exits.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace command_line {

inline constexpr char kProgramName[] = "BrushPreset_Convertion";

// Exit statuses of the program. The run itself ends with 0 or 1.
inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailure = 1;  // also: a FOLDER missing or not enterable
inline constexpr int kExitUsage = 2;    // the command line was not understood

enum class Request {
  Convert,     // run the conversion in each of `folders`, or in the current folder
  Help,        // print UsageText() on standard output, exit 0
  Version,     // print VersionText() on standard output, exit 0
  UsageError,  // print `problem`, then TryHelpText() on standard error, exit 2
};

struct Invocation {
  Request request = Request::Convert;
  std::vector<std::string> folders;  // each FOLDER as written, in order
  std::string problem;               // what was not understood, for UsageError
};

// Reads the arguments that follow the program's name, from left to right:
// -h/--help and -V/--version decide at once (what follows is not looked
// at); any other argument starting with "-" is an unknown option, except a
// lone "-", which is a FOLDER; after "--" every argument is a FOLDER. An
// empty FOLDER is a usage error: it names no folder. `utf8` tells how the
// problem shows an argument (see ShownText).
Invocation ReadArguments(const std::vector<std::string>& arguments, bool utf8 = true);

// The usage: what the program does, its folders, options and exit
// statuses. Ends with a newline.
std::string UsageText();
// The line that follows a usage error, with its newline.
std::string TryHelpText();
// "BrushPreset_Convertion <version>" and a newline.
std::string VersionText();

// How a name, path or argument the tool did not write is shown, so that it
// can never move the cursor or start a line of its own: text holding a
// control character, or bytes that are not a character of the user's
// encoding (UTF-8 when `utf8`, else ASCII), is quoted and escaped the way
// `ls --quoting-style=shell-escape` does ('a'$'\n''b'); other text is
// unchanged, or put in single quotes when `alwaysQuoted`.
std::string ShownText(std::string_view text, bool utf8, bool alwaysQuoted = false);

// How a path is spelt. Posix: "/" separates, names are compared exactly.
// Windows: "\" and "/" separate, a drive prefix ("C:") ends like a
// separator, and ASCII letters in names match either case.
enum class PathStyle { Posix, Windows };

// True when `name` is "convert" or "Converted", spelt as `style` compares.
bool IsWorkingSubfolderName(std::string_view name, PathStyle style);

// The folder a run given FOLDER happens in. Users often name the "convert"
// or the "Converted" folder itself: when FOLDER's own name (its last
// component as written, trailing separators aside) is one of them and
// `isFolder` says that it holds no folder "convert", the run happens in
// FOLDER's parent, spelt as FOLDER up to its last separator ("." when it
// has none). Otherwise FOLDER itself, unchanged. Only `isFolder` looks at
// the file system.
template <typename Char>
std::basic_string<Char> WorkingFolderFor(const std::basic_string<Char>& folder, PathStyle style,
                                         const std::function<bool(const std::basic_string<Char>&)>& isFolder);

extern template std::string WorkingFolderFor<char>(const std::string&, PathStyle,
                                                   const std::function<bool(const std::string&)>&);
extern template std::wstring WorkingFolderFor<wchar_t>(const std::wstring&, PathStyle,
                                                       const std::function<bool(const std::wstring&)>&);

// The working folder as the start of the paths a user would type from
// where the tool was run: "" for ".", else the folder ending in a separator.
std::string ShownPrefix(const std::string& workingFolder, PathStyle style);

// The arguments of a Windows command line, after the program's name, read
// as CommandLineToArgvW does, with one difference: in a quoted argument,
// backslashes followed by the closing quote and then a space or the end
// stay backslashes ("Y:\" is Y:\). A quote is never part of a Windows
// name, so such an argument always meant its backslash.
std::vector<std::wstring> SplitWindowsCommandLine(std::wstring_view commandLine);

}  // namespace command_line
