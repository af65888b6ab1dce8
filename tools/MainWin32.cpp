// windows.h first: the other Windows headers build on it.
#include <windows.h>

#include <string>
#include <vector>

#include "tools/BrushPreset_Convertion.h"
#include "tools/CommandLine.h"

namespace {

// Arguments come as UTF-16, so that any name survives whatever the ANSI
// code page; inside the program text is UTF-8.
std::string Utf8Argument(const std::wstring& wide) {
  int size = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr, nullptr);
  std::string text(size > 0 ? static_cast<std::size_t>(size) : 0, '\0');
  if (size > 0) {
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), &text[0], size, nullptr, nullptr);
  }
  return text;
}

}  // namespace

// A GUI-subsystem program without a main window: the completion notice is
// its only window. The items dropped on the program are its arguments, read
// like a command line's FOLDERs, so every dropped item is taken the same
// way; double-clicked, it converts in the current folder.
int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  std::vector<std::string> arguments;
  for (const std::wstring& argument : command_line::SplitWindowsCommandLine(GetCommandLineW())) {
    arguments.push_back(Utf8Argument(argument));
  }
  RunCommandLine(arguments);
}
