// windows.h first: the other Windows headers build on it.
#include <windows.h>

#include <string>
#include <vector>

#include "platform/PlatformWin32.h"
#include "tools/BrushPreset_Convertion.h"
#include "tools/CommandLine.h"

// A GUI-subsystem program without a main window: the completion notice is
// its only window. The items dropped on the program are its arguments, read
// like a command line's FOLDERs, so every dropped item is taken the same
// way; double-clicked, it converts in the current folder.
int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  std::vector<std::string> arguments;
  for (const std::wstring& argument : command_line::SplitWindowsCommandLine(GetCommandLineW())) {
    // UTF-16 in, so that any name survives whatever the ANSI code page;
    // inside the program text is UTF-8, unpaired surrogates kept.
    arguments.push_back(platform::Utf8FromWide(argument));
  }
  RunCommandLine(arguments);
}
