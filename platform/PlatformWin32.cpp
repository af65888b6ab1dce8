// The Win32 side of the platform seam: the converter's home platform.
// windows.h first: the other Windows headers build on it.
#include <windows.h>

#include <commctrl.h>
#include <objbase.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/Platform.h"

namespace platform {

const char kPathSeparator = '\\';

ErrorCode LastError() { return static_cast<ErrorCode>(GetLastError()); }

std::string DescribeError(ErrorCode error) {
  // In French, like the notice, for the converter's own reasons.
  if (error == kNotARegularFile) return "ce n'est pas un fichier ordinaire";
  if (error == kSameFile) return "c'est le fichier d'entr\xE9" "e lui-m\xEAme";
  char* text = nullptr;
  DWORD length = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                    FORMAT_MESSAGE_IGNORE_INSERTS,
                                nullptr, static_cast<DWORD>(error), 0, reinterpret_cast<LPSTR>(&text), 0, nullptr);
  std::string message = length > 0 && text != nullptr ? std::string(text, length) : std::string();
  if (text != nullptr) LocalFree(text);
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == ' ' ||
                              message.back() == '.')) {
    message.pop_back();
  }
  return message.empty() ? "erreur " + std::to_string(error) : message;
}

void StartUp() {
  INITCOMMONCONTROLSEX controls;
  controls.dwSize = 8;
  controls.dwICC = 0xB48;
  InitCommonControlsEx(&controls);
  CoInitialize(nullptr);
}

namespace {

HANDLE ToHandle(FileHandle file) { return reinterpret_cast<HANDLE>(file); }

FileHandle FromHandle(HANDLE handle) {
  return handle == INVALID_HANDLE_VALUE ? kNoFile : reinterpret_cast<FileHandle>(handle);
}

// Only files on a disk are presets; devices, consoles and pipes are not.
FileHandle KeepDiskFile(HANDLE handle) {
  if (handle == INVALID_HANDLE_VALUE) return kNoFile;
  if (GetFileType(handle) != FILE_TYPE_DISK) {
    CloseHandle(handle);
    return kNoFile;
  }
  return FromHandle(handle);
}

bool IdentityOf(HANDLE handle, FileIdentity* identity) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(handle, &info)) return false;
  identity->volume = info.dwVolumeSerialNumber;
  identity->index = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  return true;
}

// True when `path` names the file `identity` names. Looked at before the
// create, which empties the file as it opens it.
bool NamesFile(const char* path, const FileIdentity& identity) {
  HANDLE handle = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  FileIdentity found;
  bool same = IdentityOf(handle, &found) && found.volume == identity.volume && found.index == identity.index;
  CloseHandle(handle);
  return same;
}

}  // namespace

FileHandle OpenFileForReading(const char* path, FileIdentity* identity, ErrorCode* error) {
  // A "?" only comes from a name the code page cannot write (see TakeEntry).
  if (std::strchr(path, '?') != nullptr) {
    *error = ERROR_NO_UNICODE_TRANSLATION;
    return kNoFile;
  }
  HANDLE handle =
      CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    *error = LastError();
    return kNoFile;
  }
  FileHandle file = KeepDiskFile(handle);
  if (file == kNoFile) {
    *error = kNotARegularFile;
    return kNoFile;
  }
  if (!IdentityOf(ToHandle(file), identity)) {
    *error = LastError();
    CloseHandle(ToHandle(file));
    return kNoFile;
  }
  return file;
}

namespace {

// The folder part of `path`, with its separator ("" for a bare name).
std::string FolderOf(const std::string& path) {
  std::size_t cut = path.find_last_of("\\/");
  return cut == std::string::npos ? std::string() : path.substr(0, cut + 1);
}

}  // namespace

FileHandle BeginReplacement(const char* finalPath, FileHandle source, Replacement* replacement, ErrorCode* error) {
  DWORD attributes = GetFileAttributesA(finalPath);
  bool exists = attributes != INVALID_FILE_ATTRIBUTES;
  if (!exists && GetLastError() != ERROR_FILE_NOT_FOUND) {
    *error = LastError();
    return kNoFile;
  }
  bool link = exists && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  if (exists && !link && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    *error = kNotARegularFile;
    return kNoFile;
  }
  // A read-only older output stays: that is how a user keeps a file.
  if (exists && !link && (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
    *error = ERROR_ACCESS_DENIED;
    return kNoFile;
  }
  FileIdentity input;
  if (source != kNoFile && IdentityOf(ToHandle(source), &input) && NamesFile(finalPath, input)) {
    *error = kSameFile;
    return kNoFile;
  }
  // A hidden or system older output stays so.
  DWORD kept = exists && !link ? attributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM) : 0;
  std::string folder = FolderOf(finalPath);
  static unsigned counter = 0;
  HANDLE handle = INVALID_HANDLE_VALUE;
  std::string temporary;
  for (int attempt = 0; attempt < 100 && handle == INVALID_HANDLE_VALUE; ++attempt) {
    temporary = folder + ".BrushPreset_Convertion-" + std::to_string(GetCurrentProcessId()) + "-" +
                std::to_string(++counter) + ".unfinished";
    handle = CreateFileA(temporary.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                         kept != 0 ? kept : FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS) break;
  }
  if (handle == INVALID_HANDLE_VALUE) {
    *error = LastError();
    return kNoFile;
  }
  replacement->finalPath = finalPath;
  replacement->temporaryPath = temporary;
  replacement->temporary = FileIdentity{};
  IdentityOf(handle, &replacement->temporary);
  replacement->replacesFile = exists && !link;
  return FromHandle(handle);
}

bool CommitReplacement(Replacement* replacement, FileHandle file, ErrorCode* error) {
  // An older output is only given up for one whose bytes are on the disk.
  bool flushed = !replacement->replacesFile || FlushFileBuffers(ToHandle(file)) != 0;
  if (!flushed) *error = LastError();
  bool closed = CloseHandle(ToHandle(file)) != 0;
  if (flushed && !closed) *error = LastError();
  if (flushed && closed &&
      MoveFileExA(replacement->temporaryPath.c_str(), replacement->finalPath.c_str(),
                  MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0) {
    return true;
  }
  if (flushed && closed) *error = LastError();
  DeleteFileA(replacement->temporaryPath.c_str());
  return false;
}

void AbandonReplacement(Replacement* replacement, FileHandle file) {
  CloseHandle(ToHandle(file));
  DeleteFileA(replacement->temporaryPath.c_str());
}

std::int64_t ReadFromFile(FileHandle file, void* destination, std::size_t size) {
  DWORD got = 0;
  if (!ReadFile(ToHandle(file), destination, static_cast<DWORD>(size), &got, nullptr)) return -1;
  return got;
}

std::size_t WriteToFile(FileHandle file, const void* source, std::size_t size) {
  const char* bytes = static_cast<const char*>(source);
  std::size_t done = 0;
  while (done < size) {
    DWORD chunk = static_cast<DWORD>(size - done > 0x40000000 ? 0x40000000 : size - done);
    DWORD put = 0;
    if (!WriteFile(ToHandle(file), bytes + done, chunk, &put, nullptr)) break;
    if (put == 0) {
      SetLastError(ERROR_DISK_FULL);
      break;
    }
    done += put;
  }
  return done;
}

bool MoveFilePosition(FileHandle file, std::int64_t delta) {
  LONG high = static_cast<LONG>(delta >> 32);
  DWORD low = SetFilePointer(ToHandle(file), static_cast<LONG>(delta & 0xFFFFFFFF), &high, FILE_CURRENT);
  return !(low == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR);
}

bool CloseFile(FileHandle file) { return CloseHandle(ToHandle(file)) != 0; }

ErrorCode CheckFolder(const char* path, bool) {
  DWORD attributes = GetFileAttributesA(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) return LastError();
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return ERROR_DIRECTORY;
  return 0;
}

namespace {

// The long name in the ANSI code page, as the A functions take it. A
// character the code page lacks becomes "?", never a look-alike: a best-fit
// "a" for an alpha could name another preset, and "?" names no file.
void TakeEntry(const WIN32_FIND_DATAW& data, FolderEntry* entry) {
  const bool utf8 = GetACP() == CP_UTF8;  // where every name can be written
  const DWORD flags = utf8 ? 0 : WC_NO_BEST_FIT_CHARS;
  int size = WideCharToMultiByte(CP_ACP, flags, data.cFileName, -1, nullptr, 0, utf8 ? nullptr : "?", nullptr);
  std::string name(size > 0 ? static_cast<std::size_t>(size) : 1, '\0');
  if (size > 0) {
    WideCharToMultiByte(CP_ACP, flags, data.cFileName, -1, &name[0], size, utf8 ? nullptr : "?", nullptr);
  }
  name.resize(std::char_traits<char>::length(name.c_str()));
  entry->name = name;
  entry->isDirectory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

}  // namespace

SearchStart StartFolderSearch(const char* searchText, FolderSearch* search, FolderEntry* first, ErrorCode* error) {
  int size = MultiByteToWideChar(CP_ACP, 0, searchText, -1, nullptr, 0);
  std::wstring wide(size > 0 ? static_cast<std::size_t>(size) : 1, L'\0');
  if (size > 0) MultiByteToWideChar(CP_ACP, 0, searchText, -1, &wide[0], size);
  WIN32_FIND_DATAW data;
  HANDLE handle = FindFirstFileW(wide.c_str(), &data);
  if (handle == INVALID_HANDLE_VALUE) {
    if (GetLastError() == ERROR_FILE_NOT_FOUND) return SearchStart::NothingMatched;
    *error = LastError();
    return SearchStart::Failed;
  }
  search->state = handle;
  TakeEntry(data, first);
  return SearchStart::Found;
}

bool ContinueFolderSearch(FolderSearch* search, FolderEntry* next) {
  WIN32_FIND_DATAW data;
  if (search->state == nullptr || !FindNextFileW(static_cast<HANDLE>(search->state), &data)) {
    return false;
  }
  TakeEntry(data, next);
  return true;
}

void FinishFolderSearch(FolderSearch* search) {
  if (search->state != nullptr) FindClose(static_cast<HANDLE>(search->state));
  search->state = nullptr;
}

bool GrowArena(ByteArena* arena, std::size_t minimumCapacity) {
  if (minimumCapacity <= arena->capacity) return true;
  std::size_t capacity = arena->capacity == 0 ? std::size_t{1} << 16 : arena->capacity;
  while (capacity < minimumCapacity) {
    if (capacity > SIZE_MAX / 2) return false;
    capacity *= 2;
  }
  void* grown = std::realloc(arena->data, capacity);
  if (grown == nullptr) return false;
  arena->data = static_cast<char*>(grown);
  arena->capacity = capacity;
  return true;
}

void ReleaseArena(ByteArena* arena) {
  std::free(arena->data);
  *arena = ByteArena{};
}

namespace {

struct ThreadWindows {
  HWND foreground;
  DWORD thread;
  std::vector<HWND> disabled;
  std::vector<HWND> loweredFromTop;
};

BOOL CALLBACK NoteThreadWindow(HWND window, LPARAM context) {
  auto* windows = reinterpret_cast<ThreadWindows*>(context);
  if (GetWindowThreadProcessId(window, nullptr) != windows->thread || !IsWindowVisible(window)) {
    return TRUE;
  }
  if (window != windows->foreground && IsWindowEnabled(window)) {
    windows->disabled.push_back(window);
  }
  if ((GetWindowLongA(window, GWL_EXSTYLE) & WS_EX_TOPMOST) != 0) {
    windows->loweredFromTop.push_back(window);
  }
  return TRUE;
}

}  // namespace

void ShowCompletionNotice(const char* caption, const char* text, const NoticeDetails& details) {
  HWND foreground = GetForegroundWindow();
  DWORD foregroundProcess = 0;
  if (foreground != nullptr) GetWindowThreadProcessId(foreground, &foregroundProcess);
  HWND owner = foregroundProcess == GetCurrentProcessId() ? foreground : nullptr;

  // Modal over this thread's own windows while the box is up.
  ThreadWindows windows{foreground, GetCurrentThreadId(), {}, {}};
  EnumWindows(NoteThreadWindow, reinterpret_cast<LPARAM>(&windows));
  const UINT keepPlace = SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE;
  for (HWND window : windows.disabled) EnableWindow(window, FALSE);
  for (HWND window : windows.loweredFromTop) {
    SetWindowPos(window, HWND_NOTOPMOST, 0, 0, 0, 0, keepPlace);
  }
  // What was not converted follows the notice after a blank line, under the
  // warning icon; a clean run shows the plain notice.
  if (details.boxText.empty()) {
    MessageBoxA(owner, text, caption, MB_OK);
  } else {
    std::string full = std::string(text) + "\n\n" + details.boxText;
    MessageBoxA(owner, full.c_str(), caption, MB_OK | MB_ICONWARNING);
  }
  for (HWND window : windows.disabled) EnableWindow(window, TRUE);
  for (HWND window : windows.loweredFromTop) {
    SetWindowPos(window, HWND_TOPMOST, 0, 0, 0, 0, keepPlace);
  }
}

void EndProcess(int status) { ExitProcess(static_cast<UINT>(status)); }

}  // namespace platform
