// windows.h first: the other Windows headers build on it.
#include <windows.h>

#include <shellapi.h>

#include <string>

#include "tools/BrushPreset_Convertion.h"
#include "tools/CommandLine.h"

namespace {

using namespace command_line;

bool IsFolder(const std::wstring& path) {
  DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// Makes the folder dropped on the program the current one (or its parent,
// for a dropped "convert" folder). Wide throughout, so that any name
// survives, whatever the ANSI code page. False when it cannot be entered.
bool EnterDroppedFolder(const wchar_t* dropped) {
  // The full path: "." and ".." resolved, so that the last component is
  // the folder's own name.
  DWORD size = GetFullPathNameW(dropped, 0, nullptr, nullptr);
  if (size == 0) return false;
  std::wstring folder(size, L'\0');
  DWORD length = GetFullPathNameW(dropped, size, &folder[0], nullptr);
  if (length == 0 || length >= size) return false;
  folder.resize(length);
  if (!IsFolder(folder)) return false;
  return SetCurrentDirectoryW(WorkingFolderFor<wchar_t>(folder, PathStyle::Windows, IsFolder).c_str()) != 0;
}

}  // namespace

// A GUI-subsystem program without a main window: the completion notice is
// its only window. A folder dropped on the program (a command line of one
// argument) is the working folder; any other command line is ignored and
// the run happens in the current folder.
int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  int count = 0;
  LPWSTR* arguments = CommandLineToArgvW(GetCommandLineW(), &count);
  bool entered = true;
  if (arguments != nullptr && count == 2) entered = EnterDroppedFolder(arguments[1]);
  LocalFree(arguments);
  if (!entered) {
    // Nothing was run: the usual notice, and why.
    MessageBoxA(nullptr,
                "Conversion termin\xE9"
                "e !\n\nLe dossier d\xE9pos\xE9 n'a pas pu \xEAtre ouvert.",
                "Finish", MB_OK | MB_ICONWARNING);
    return kExitFailure;
  }
  RunConversion();
}
