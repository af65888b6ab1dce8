// What the command line asks of the converter, decided without touching any
// file, and where a run given a FOLDER happens. Portable: the entry files
// (MainPosix.cpp, MainWin32.cpp) do the printing, the changes of folder and
// the exits.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace command_line {

inline constexpr char kProgramName[] = "BrushPreset_Convertion";

// Exit statuses of the program. The run itself ends with 0 or 1.
inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailure = 1;  // also: FOLDER missing or not enterable
inline constexpr int kExitUsage = 2;    // the command line was not understood

enum class Request {
  Convert,     // run the conversion, in `folder` when one was given
  Help,        // print UsageText() on standard output, exit 0
  Version,     // print VersionText() on standard output, exit 0
  UsageError,  // print `problem`, then UsageText() on standard error, exit 2
};

struct Invocation {
  Request request = Request::Convert;
  bool hasFolder = false;
  std::string folder;   // FOLDER as written, when hasFolder
  std::string problem;  // what was not understood, for UsageError
};

// Reads the arguments that follow the program's name, from left to right:
// -h/--help and -V/--version decide at once (what follows is not looked
// at); any other argument starting with "-" is an unknown option, except a
// lone "-", which is a FOLDER; after "--" every argument is a FOLDER. Once
// all are read, a second FOLDER is a usage error.
Invocation ReadArguments(const std::vector<std::string>& arguments);

// The usage: what the program does, its folders, options and exit
// statuses. Ends with a newline.
std::string UsageText();
// "BrushPreset_Convertion <version>" and a newline.
std::string VersionText();

// How a path is spelt. Posix: "/" separates, names are compared exactly.
// Windows: "\" and "/" separate, a drive prefix ("C:") ends like a
// separator, and ASCII letters in names match either case.
enum class PathStyle { Posix, Windows };

// The folder a run given FOLDER happens in. Users often name the "convert"
// folder itself: when FOLDER's own name (its last component as written,
// trailing separators aside) is "convert" and `isFolder` says that it holds
// no folder "convert", the run happens in FOLDER's parent, spelt as FOLDER
// up to its last separator ("." when it has none). Otherwise FOLDER itself,
// unchanged. Only `isFolder` looks at the file system.
template <typename Char>
std::basic_string<Char> WorkingFolderFor(const std::basic_string<Char>& folder, PathStyle style,
                                         const std::function<bool(const std::basic_string<Char>&)>& isFolder);

extern template std::string WorkingFolderFor<char>(const std::string&, PathStyle,
                                                   const std::function<bool(const std::string&)>&);
extern template std::wstring WorkingFolderFor<wchar_t>(const std::wstring&, PathStyle,
                                                       const std::function<bool(const std::wstring&)>&);

}  // namespace command_line
