// The Win32 side of the platform seam: the converter's home platform.
// windows.h first: the other Windows headers build on it.
#include <windows.h>

#include <commctrl.h>
#include <objbase.h>

#include <cstdlib>
#include <vector>

#include "platform/Platform.h"

namespace platform {

const char kPathSeparator = '\\';

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

FileHandle OpenFileForReading(const char* path, FileIdentity* identity) {
  FileHandle file = KeepDiskFile(
      CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (file != kNoFile && !IdentityOf(ToHandle(file), identity)) {
    CloseHandle(ToHandle(file));
    return kNoFile;
  }
  return file;
}

FileHandle CreateFileForWriting(const char* path, const FileIdentity* keepIntact) {
  if (keepIntact != nullptr && NamesFile(path, *keepIntact)) return kNoFile;
  HANDLE handle = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    handle = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, TRUNCATE_EXISTING, 0, nullptr);
  }
  return KeepDiskFile(handle);
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
    if (!WriteFile(ToHandle(file), bytes + done, chunk, &put, nullptr) || put == 0) break;
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

void RemoveIncompleteFile(const char* path) {
  HANDLE handle =
      CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return;
  bool diskFile = GetFileType(handle) == FILE_TYPE_DISK;
  CloseHandle(handle);
  if (diskFile) DeleteFileA(path);
}

namespace {

void TakeEntry(const WIN32_FIND_DATAA& data, FolderEntry* entry) {
  entry->name = data.cFileName;
  entry->isDirectory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

}  // namespace

SearchStart StartFolderSearch(const char* searchText, FolderSearch* search, FolderEntry* first) {
  WIN32_FIND_DATAA data;
  HANDLE handle = FindFirstFileA(searchText, &data);
  if (handle == INVALID_HANDLE_VALUE) {
    return GetLastError() == ERROR_FILE_NOT_FOUND ? SearchStart::NothingMatched : SearchStart::Failed;
  }
  search->state = handle;
  TakeEntry(data, first);
  return SearchStart::Found;
}

bool ContinueFolderSearch(FolderSearch* search, FolderEntry* next) {
  WIN32_FIND_DATAA data;
  if (search->state == nullptr || !FindNextFileA(static_cast<HANDLE>(search->state), &data)) {
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

void ShowCompletionNotice(const char* caption, const char* text) {
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
  MessageBoxA(owner, text, caption, MB_OK);
  for (HWND window : windows.disabled) EnableWindow(window, TRUE);
  for (HWND window : windows.loweredFromTop) {
    SetWindowPos(window, HWND_TOPMOST, 0, 0, 0, 0, keepPlace);
  }
}

void EndProcess() { ExitProcess(0); }

}  // namespace platform
