// For the Windows test scripts: waits up to a minute for the box titled
// "Finish", prints its text, its place and the screen's size, then presses
// its OK button. Prints UTF-8, one "text:" line per line of the box:
//   text: Conversion terminée !
//   box: LEFT TOP RIGHT BOTTOM
//   screen: WIDTH HEIGHT
//   codepage: the ANSI code page the box was shown under
#include <windows.h>

#include <string>

namespace {

void Print(const std::wstring& text) {
  int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  std::string bytes(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &bytes[0], size, nullptr, nullptr);
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

BOOL CALLBACK PrintText(HWND child, LPARAM) {
  wchar_t name[32];
  GetClassNameW(child, name, 32);
  if (lstrcmpiW(name, L"Static") != 0) return TRUE;
  int length = GetWindowTextLengthW(child);
  std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
  text.resize(static_cast<std::size_t>(GetWindowTextW(child, &text[0], length + 1)));
  std::size_t start = 0;
  while (!text.empty() && start <= text.size()) {
    std::size_t end = text.find(L'\n', start);
    if (end == std::wstring::npos) end = text.size();
    std::wstring line = text.substr(start, end - start);
    if (!line.empty() && line.back() == L'\r') line.pop_back();
    Print(L"text: " + line + L"\n");
    start = end + 1;
  }
  return TRUE;
}

}  // namespace

int main() {
  HWND box = nullptr;
  for (int i = 0; i < 600 && (box == nullptr || !IsWindowVisible(box)); ++i) {
    box = FindWindowW(L"#32770", L"Finish");
    Sleep(100);
  }
  if (box == nullptr) {
    Print(L"no box titled Finish\n");
    return 1;
  }
  EnumChildWindows(box, PrintText, 0);
  RECT place;
  GetWindowRect(box, &place);
  Print(L"box: " + std::to_wstring(place.left) + L" " + std::to_wstring(place.top) + L" " +
        std::to_wstring(place.right) + L" " + std::to_wstring(place.bottom) + L"\n");
  Print(L"screen: " + std::to_wstring(GetSystemMetrics(SM_CXSCREEN)) + L" " +
        std::to_wstring(GetSystemMetrics(SM_CYSCREEN)) + L"\n");
  Print(L"codepage: " + std::to_wstring(GetACP()) + L"\n");
  PostMessageW(box, WM_COMMAND, IDOK, 0);
  return 0;
}
