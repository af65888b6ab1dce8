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
#include "platform/PlatformTesting.h"

namespace platform {

const char kPathSeparator = '\\';

ErrorCode LastError() { return static_cast<ErrorCode>(GetLastError()); }

std::string DescribeError(ErrorCode error) {
  // In French, like the notice, for the converter's own reasons.
  if (error == kNotARegularFile) return "ce n'est pas un fichier ordinaire";
  if (error == kSameFile)
    return "c'est le fichier d'entr\xE9"
           "e lui-m\xEAme";
  if (error == kChanged) return "modifi\xE9 pendant la lecture";
  if (error == kBusy) return "occup\xE9 par un autre programme";
  if (error == kSameFolder) return "c'est le dossier convert lui-m\xEAme";
  if (error == kReadOnly) return "en lecture seule, gard\xE9 tel quel";
  if (error == kExists) return "le fichier existe";
  char* text = nullptr;
  DWORD length =
      FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                     nullptr, static_cast<DWORD>(error), 0, reinterpret_cast<LPSTR>(&text), 0, nullptr);
  std::string message = length > 0 && text != nullptr ? std::string(text, length) : std::string();
  if (text != nullptr) LocalFree(text);
  while (!message.empty() &&
         (message.back() == '\n' || message.back() == '\r' || message.back() == ' ' || message.back() == '.')) {
    message.pop_back();
  }
  return message.empty() ? "erreur " + std::to_string(error) : message;
}

std::uint32_t ProcessNumber() { return static_cast<std::uint32_t>(GetCurrentProcessId()); }

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

// Sets the last error to the planned fault of `call`, if any: true when the
// call must fail now.
bool Fails(Call call) {
  ErrorCode error = PlannedFault(call);
  if (error == 0) return false;
  SetLastError(static_cast<DWORD>(error));
  return true;
}

// A folder held open: the handle keeps it from being renamed or removed
// (no FILE_SHARE_DELETE), so its path names it for the whole run.
struct HeldFolder {
  HANDLE handle;
  std::string path;  // with its separator
};

// The one place where a name in a folder becomes a path for the A
// functions.
std::string PathIn(FolderHandle folder, const char* name) {
  if (folder == kNoFolder) return name;
  return reinterpret_cast<const HeldFolder*>(folder)->path + name;
}

void FillStatus(const BY_HANDLE_FILE_INFORMATION& info, FileStatus* status) {
  status->identity.volume = info.dwVolumeSerialNumber;
  status->identity.index = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  status->size = (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  status->changeTime = static_cast<std::int64_t>(
      (static_cast<std::uint64_t>(info.ftLastWriteTime.dwHighDateTime) << 32) | info.ftLastWriteTime.dwLowDateTime);
  status->bits = (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0 ? 0444 : 0666;
}

}  // namespace

FolderHandle OpenFolder(const char* path, bool, FileIdentity* identity, ErrorCode* error) {
  if (Fails(Call::Open)) {
    *error = LastError();
    return kNoFolder;
  }
  HANDLE handle = CreateFileA(path, FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    *error = LastError();
    return kNoFolder;
  }
  BY_HANDLE_FILE_INFORMATION info;
  bool known = GetFileInformationByHandle(handle, &info) != 0;
  if (!known || (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    *error = known ? ERROR_DIRECTORY : LastError();
    CloseHandle(handle);
    return kNoFolder;
  }
  identity->volume = info.dwVolumeSerialNumber;
  identity->index = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  std::string held = path;
  if (!held.empty() && held.back() != '\\' && held.back() != '/') held += '\\';
  return reinterpret_cast<FolderHandle>(new HeldFolder{handle, held});
}

void CloseFolder(FolderHandle folder) {
  if (folder == kNoFolder) return;
  auto* held = reinterpret_cast<HeldFolder*>(folder);
  CloseHandle(held->handle);
  delete held;
}

FileHandle OpenFileForReading(FolderHandle folder, const char* name, FileStatus* status, ErrorCode* error) {
  if (Fails(Call::Open)) {
    *error = LastError();
    return kNoFile;
  }
  // A "?" only comes from a name the code page cannot write (see TakeEntry).
  if (std::strchr(name, '?') != nullptr) {
    *error = ERROR_NO_UNICODE_TRANSLATION;
    return kNoFile;
  }
  HANDLE handle = CreateFileA(PathIn(folder, name).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    *error = LastError();
    return kNoFile;
  }
  FileHandle file = KeepDiskFile(handle);
  if (file == kNoFile) {
    *error = kNotARegularFile;
    return kNoFile;
  }
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(ToHandle(file), &info)) {
    *error = LastError();
    CloseHandle(ToHandle(file));
    return kNoFile;
  }
  FillStatus(info, status);
  return file;
}

bool StatusOfFile(FileHandle file, FileStatus* status, ErrorCode* error) {
  BY_HANDLE_FILE_INFORMATION info;
  if (Fails(Call::Status) || !GetFileInformationByHandle(ToHandle(file), &info)) {
    *error = LastError();
    return false;
  }
  FillStatus(info, status);
  return true;
}

bool StatusInFolder(FolderHandle folder, const char* name, bool followLink, EntryStatus* status, ErrorCode* error) {
  *status = EntryStatus{};
  if (Fails(Call::Status)) {
    *error = LastError();
    return false;
  }
  std::string path = PathIn(folder, name);
  DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    DWORD reason = GetLastError();
    if (reason == ERROR_FILE_NOT_FOUND || reason == ERROR_PATH_NOT_FOUND) return true;
    *error = static_cast<ErrorCode>(reason);
    return false;
  }
  bool link = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  status->kind = link                                           ? EntryKind::Link
                 : (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? EntryKind::Folder
                                                                : EntryKind::File;
  status->bits = (attributes & FILE_ATTRIBUTE_READONLY) != 0 ? 0444 : 0666;
  status->writable = status->kind == EntryKind::File && (attributes & FILE_ATTRIBUTE_READONLY) == 0;
  // Which file it is, looked at before any create, which could empty it.
  HANDLE handle =
      CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                  FILE_FLAG_BACKUP_SEMANTICS | (followLink ? 0 : FILE_FLAG_OPEN_REPARSE_POINT), nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    if (followLink) *status = EntryStatus{};
    return true;
  }
  BY_HANDLE_FILE_INFORMATION info;
  if (GetFileInformationByHandle(handle, &info)) {
    status->identity.volume = info.dwVolumeSerialNumber;
    status->identity.index = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    if (followLink && link) {
      status->kind = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? EntryKind::Folder : EntryKind::File;
    }
  }
  CloseHandle(handle);
  return true;
}

FileHandle CreateExclusive(FolderHandle folder, const char* name, std::uint32_t, ErrorCode* error) {
  // Shared for reading only: while it is open no other process can remove
  // or rename it, which tells a live writer's file from a leftover.
  HANDLE handle = INVALID_HANDLE_VALUE;
  if (!Fails(Call::CreateExclusive)) {
    handle = CreateFileA(PathIn(folder, name).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  }
  if (handle == INVALID_HANDLE_VALUE) {
    *error = GetLastError() == ERROR_FILE_EXISTS ? kExists : LastError();
    return kNoFile;
  }
  return FromHandle(handle);
}

bool LockFile(FileHandle, ErrorCode* error) {
  if (Fails(Call::Lock)) {
    *error = LastError();
    return false;
  }
  return true;
}

bool SyncFiles(FolderHandle, const FileHandle* files, std::size_t count, ErrorCode* error) {
  if (count == 0) return true;
  if (Fails(Call::Sync)) {
    *error = LastError();
    return false;
  }
  // Flushing the volume needs administrator rights; each file's own flush
  // is what an ordinary user has.
  for (std::size_t i = 0; i < count; ++i) {
    if (!FlushFileBuffers(ToHandle(files[i]))) {
      *error = LastError();
      return false;
    }
  }
  return true;
}

bool SyncFolder(FolderHandle, ErrorCode* error) {
  if (Fails(Call::Sync)) {
    *error = LastError();
    return false;
  }
  return true;
}

bool RenameInFolder(FolderHandle folder, const char* from, const char* to, ErrorCode* error) {
  const std::string source = PathIn(folder, from);
  const std::string target = PathIn(folder, to);
  // A hidden or system older file stays so.
  DWORD older = GetFileAttributesA(target.c_str());
  if (older != INVALID_FILE_ATTRIBUTES && (older & FILE_ATTRIBUTE_REPARSE_POINT) == 0 &&
      (older & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)) != 0) {
    SetFileAttributesA(source.c_str(), older & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM));
  }
  if (Fails(Call::Rename) ||
      !MoveFileExA(source.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    *error = LastError();
    return false;
  }
  return true;
}

bool RemoveFromFolder(FolderHandle folder, const char* name, ErrorCode* error) {
  if (Fails(Call::Remove) || !DeleteFileA(PathIn(folder, name).c_str())) {
    *error = LastError();
    return false;
  }
  return true;
}

std::size_t OpenFilesAllowance() { return 4096; }

void NotePendingFile(int, FolderHandle, const char*, const FileIdentity&) {}

void ForgetPendingFile(int) {}

void HoldInterruptions(bool) {}

std::int64_t ReadFromFile(FileHandle file, void* destination, std::size_t size) {
  if (faults::gPlanned) {
    if (Fails(Call::Read)) return -1;
    size = faults::ReadSize(size);
  }
  DWORD got = 0;
  if (!ReadFile(ToHandle(file), destination, static_cast<DWORD>(size), &got, nullptr)) return -1;
  return got;
}

std::size_t WriteToFile(FileHandle file, const void* source, std::size_t size) {
  if (faults::gPlanned) {
    faults::NoteWrite(size);
    if (Fails(Call::Write)) return 0;
  }
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

bool CloseFile(FileHandle file) {
  if (Fails(Call::Close)) {
    DWORD reason = GetLastError();
    CloseHandle(ToHandle(file));
    SetLastError(reason);
    return false;
  }
  return CloseHandle(ToHandle(file)) != 0;
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
