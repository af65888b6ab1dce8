// The Win32 side of the platform seam: the converter's home platform.
// windows.h first: the other Windows headers build on it.
#include <windows.h>

#include <commctrl.h>
#include <objbase.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/Platform.h"
#include "platform/PlatformTesting.h"
#include "platform/PlatformWin32.h"

namespace platform {

const char kPathSeparator = '\\';
const bool kSweepsHonourLocks = false;
const bool kOthersWriteOpenFiles = false;
const bool kSearchesHandOutEveryEntry = false;

std::string Utf8FromWide(std::wstring_view wide) {
  std::string text;
  text.reserve(wide.size());
  for (std::size_t i = 0; i < wide.size(); ++i) {
    char32_t point = wide[i];
    if (point >= 0xD800 && point <= 0xDBFF && i + 1 < wide.size() && wide[i + 1] >= 0xDC00 && wide[i + 1] <= 0xDFFF) {
      point = 0x10000 + ((point - 0xD800) << 10) + (wide[++i] - 0xDC00);
    }
    auto put = [&text](char32_t bits) { text += static_cast<char>(bits); };
    if (point < 0x80) {
      put(point);
    } else if (point < 0x800) {
      put(0xC0 | (point >> 6));
      put(0x80 | (point & 0x3F));
    } else if (point < 0x10000) {  // an unpaired surrogate too
      put(0xE0 | (point >> 12));
      put(0x80 | ((point >> 6) & 0x3F));
      put(0x80 | (point & 0x3F));
    } else {
      put(0xF0 | (point >> 18));
      put(0x80 | ((point >> 12) & 0x3F));
      put(0x80 | ((point >> 6) & 0x3F));
      put(0x80 | (point & 0x3F));
    }
  }
  return text;
}

std::wstring WideFromUtf8(std::string_view text) {
  std::wstring wide;
  wide.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    std::size_t length = lead < 0x80 ? 1 : lead < 0xC2 ? 0 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : lead < 0xF5 ? 4 : 0;
    char32_t point = length == 1 ? lead : lead & (0x7F >> length);
    bool valid = length > 0 && length <= text.size() - i;
    for (std::size_t k = 1; valid && k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      valid = (next & 0xC0) == 0x80;
      point = (point << 6) | (next & 0x3F);
    }
    // Overlong forms and points past Unicode are refused; a surrogate of
    // three bytes is what Utf8FromWide writes for an unpaired one.
    valid = valid && !(length == 3 && point < 0x800) && !(length == 4 && (point < 0x10000 || point > 0x10FFFF));
    if (!valid) {
      wide += wchar_t{0xFFFD};
      ++i;
      continue;
    }
    if (point >= 0x10000) {
      point -= 0x10000;
      wide += static_cast<wchar_t>(0xD800 + (point >> 10));
      wide += static_cast<wchar_t>(0xDC00 + (point & 0x3FF));
    } else {
      wide += static_cast<wchar_t>(point);
    }
    i += length;
  }
  return wide;
}

namespace {

// \\?\ paths and devices (\\.\): already free of the path limit.
bool IsVerbatim(const std::wstring& wide) {
  return wide.compare(0, 4, L"\\\\?\\") == 0 || wide.compare(0, 4, L"\\\\.\\") == 0;
}

// The full path of `wide` (separators, "." and ".." resolved) behind
// `prefix`, \\server\share\... as UNC\server\share\...; empty when the full
// path cannot be had.
std::wstring FullPathBehind(const wchar_t* prefix, const std::wstring& wide) {
  DWORD size = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  if (size == 0) return std::wstring();
  std::wstring full(size, L'\0');
  DWORD length = GetFullPathNameW(wide.c_str(), size, &full[0], nullptr);
  if (length == 0 || length >= size) return std::wstring();
  full.resize(length);
  if (full.compare(0, 2, L"\\\\") == 0) return prefix + (L"UNC\\" + full.substr(2));
  return prefix + full;
}

}  // namespace

std::wstring WidePath(const char* path) {
  std::wstring wide = WideFromUtf8(path);
  if (IsVerbatim(wide)) return wide;
  // The short form is kept where it works: a folder's path must leave room
  // for a 12-character name, so the limit is taken as MAX_PATH - 12 for all.
  DWORD size = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  if (size == 0 || size <= MAX_PATH - 12) return wide;
  std::wstring full = FullPathBehind(L"\\\\?\\", wide);
  return full.empty() ? wide : full;
}

std::wstring SystemPath(const std::wstring& wide) {
  if (IsVerbatim(wide)) return L"\\??\\" + wide.substr(4);
  return FullPathBehind(L"\\??\\", wide);
}

ErrorCode LastError() { return static_cast<ErrorCode>(GetLastError()); }

std::string DescribeError(ErrorCode error) {
  // In French, like the notice, for the converter's own reasons.
  if (error == kNotARegularFile) return "ce n'est pas un fichier ordinaire";
  if (error == kSameFile) return "c'est le fichier d'entr\xC3\xA9" "e lui-m\xC3\xAAme";
  if (error == kNotAFolder) return "ce n'est pas un dossier";
  if (error == kIsAFolder) return "c'est un dossier";
  if (error == kChanged) return "modifi\xC3\xA9 pendant la lecture";
  if (error == kBusy) return "occup\xC3\xA9 par un autre programme";
  if (error == kSameFolder) return "c'est le dossier convert lui-m\xC3\xAAme";
  if (error == kReadOnly) return "en lecture seule, gard\xC3\xA9 tel quel";
  if (error == kExists) return "le fichier existe";
  if (error == kHeld)
    return "verrouill\xC3\xA9 par une autre ex\xC3\xA9"
           "cution";
  if (error == kReplaced) return "d\xC3\xA9plac\xC3\xA9 ou remplac\xC3\xA9 par un autre programme";
  wchar_t* text = nullptr;
  DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                    FORMAT_MESSAGE_IGNORE_INSERTS,
                                nullptr, static_cast<DWORD>(error), 0, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
  std::string message = length > 0 && text != nullptr ? Utf8FromWide(std::wstring_view(text, length)) : std::string();
  if (text != nullptr) LocalFree(text);
  while (!message.empty() &&
         (message.back() == '\n' || message.back() == '\r' || message.back() == ' ' || message.back() == '.')) {
    message.pop_back();
  }
  return message.empty() ? "erreur " + std::to_string(error) : message;
}

bool NamesNothing(ErrorCode error) { return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND; }

bool TextIsUtf8() { return true; }

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

// The one place where a name in a folder becomes a path: UTF-8, given to
// the W functions through WidePath.
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

FolderHandle OpenFolder(const char* path, bool writable, FileIdentity* identity, ErrorCode* error) {
  if (Fails(Call::Open)) {
    *error = LastError();
    return kNoFolder;
  }
  HANDLE handle = CreateFileW(WidePath(path).c_str(), FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
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
  if (writable) {
    // Whether a file can be created there is only known by creating one:
    // the read-only attribute of a folder says nothing, its access list
    // does. The probe is never named like a preset and goes when its handle
    // closes.
    std::string probe = held + ".BrushPreset_Convertion-" + std::to_string(GetCurrentProcessId()) + ".probe";
    HANDLE probeHandle = CreateFileW(WidePath(probe.c_str()).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                     FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (probeHandle == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS) {
      *error = LastError();
      CloseHandle(handle);
      return kNoFolder;
    }
    if (probeHandle != INVALID_HANDLE_VALUE) CloseHandle(probeHandle);
  }
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
  HANDLE handle = CreateFileW(WidePath(PathIn(folder, name).c_str()).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
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
  DWORD attributes = GetFileAttributesW(WidePath(path.c_str()).c_str());
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
      CreateFileW(WidePath(path.c_str()).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
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

std::uint32_t NewFileMask() { return 0; }

// Windows files carry owners and access lists this converter does not
// compare: an older output is never taken for a new one.
bool NewFilesArePlain(FolderHandle) { return false; }

FileHandle OpenRegularFile(FolderHandle, const char*, FileStatus*, ErrorCode* error) {
  *error = ERROR_NOT_SUPPORTED;
  return kNoFile;
}

bool IsPlainOwnFile(FileHandle, FileStatus*) { return false; }

FileHandle CreateExclusive(FolderHandle folder, const char* name, std::uint32_t, ErrorCode* error) {
  // Shared for reading only: while it is open no other process can remove
  // or rename it, which tells a live writer's file from a leftover. Opened
  // for removal too, so that it can be renamed through its own handle.
  HANDLE handle = INVALID_HANDLE_VALUE;
  if (!Fails(Call::CreateExclusive)) {
    handle = CreateFileW(WidePath(PathIn(folder, name).c_str()).c_str(), GENERIC_WRITE | DELETE, FILE_SHARE_READ,
                         nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  }
  if (handle == INVALID_HANDLE_VALUE) {
    *error = GetLastError() == ERROR_FILE_EXISTS ? kExists : LastError();
    return kNoFile;
  }
  return FromHandle(handle);
}

// A file of no name would be deleted on closing and could not be given a
// name while open: outputs are created named.
FileHandle CreateUnnamed(FolderHandle, std::uint32_t, ErrorCode* error) {
  *error = kNotSupported;
  return kNoFile;
}

bool NameFile(FolderHandle, FileHandle, const char*, ErrorCode* error) {
  *error = kNotSupported;
  return false;
}

bool LockFile(FileHandle, ErrorCode* error) {
  if (Fails(Call::Lock)) {
    *error = LastError();
    return false;
  }
  return true;
}

FileHandle KeepLockAfterClose(FileHandle file) {
  HANDLE kept = INVALID_HANDLE_VALUE;
  if (!DuplicateHandle(GetCurrentProcess(), ToHandle(file), GetCurrentProcess(), &kept, 0, FALSE,
                       DUPLICATE_SAME_ACCESS)) {
    return kNoFile;
  }
  return FromHandle(kept);
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

bool RenameInFolder(FolderHandle folder, const char* from, const char* to, FileHandle open, ErrorCode* error) {
  const std::string source = PathIn(folder, from);
  const std::string target = PathIn(folder, to);
  // A hidden or system older file stays so.
  DWORD older = GetFileAttributesW(WidePath(target.c_str()).c_str());
  if (older != INVALID_FILE_ATTRIBUTES && (older & FILE_ATTRIBUTE_REPARSE_POINT) == 0 &&
      (older & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)) != 0) {
    SetFileAttributesW(WidePath(source.c_str()).c_str(), older & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM));
  }
  if (Fails(Call::Rename)) {
    *error = LastError();
    return false;
  }
  bool renamed;
  if (open != kNoFile) {
    // Through the handle, which no one else could open or remove the file
    // by meanwhile. (The file open, nothing could rename it by its name.)
    SetLastError(ERROR_SUCCESS);
    const std::wstring targetPath = SystemPath(WidePath(target.c_str()));
    if (targetPath.empty()) {
      *error = GetLastError() != 0 ? LastError() : static_cast<ErrorCode>(ERROR_BAD_PATHNAME);
      return false;
    }
    const std::size_t nameBytes = targetPath.size() * sizeof(wchar_t);
    std::vector<char> buffer(offsetof(FILE_RENAME_INFO, FileName) + nameBytes + sizeof(wchar_t));
    auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    rename->ReplaceIfExists = TRUE;
    rename->RootDirectory = nullptr;
    rename->FileNameLength = static_cast<DWORD>(nameBytes);
    std::memcpy(rename->FileName, targetPath.c_str(), nameBytes);
    renamed =
        SetFileInformationByHandle(ToHandle(open), FileRenameInfo, rename, static_cast<DWORD>(buffer.size())) != 0;
  } else {
    renamed = MoveFileExW(WidePath(source.c_str()).c_str(), WidePath(target.c_str()).c_str(),
                          MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
  }
  if (!renamed) *error = LastError();
  return renamed;
}

bool RemoveFromFolder(FolderHandle folder, const char* name, ErrorCode* error) {
  if (Fails(Call::Remove) || !DeleteFileW(WidePath(PathIn(folder, name).c_str()).c_str())) {
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

ErrorCode IdentifyFolder(const char* path, FileIdentity* identity) {
  HANDLE handle = CreateFileW(WidePath(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return LastError();
  BY_HANDLE_FILE_INFORMATION info;
  ErrorCode error = 0;
  if (!GetFileInformationByHandle(handle, &info)) {
    error = LastError();
  } else if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    error = kNotAFolder;
  } else {
    identity->volume = info.dwVolumeSerialNumber;
    identity->index = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  }
  CloseHandle(handle);
  return error;
}

namespace {

std::wstring CurrentFolder() {
  DWORD size = GetCurrentDirectoryW(0, nullptr);
  std::wstring folder(size, L'\0');
  DWORD length = size > 0 ? GetCurrentDirectoryW(size, &folder[0]) : 0;
  folder.resize(length < size ? length : 0);
  return folder;
}

}  // namespace

ErrorCode EnterFolder(const char* path) {
  static const std::wstring start = CurrentFolder();
  if (!SetCurrentDirectoryW(start.c_str())) return LastError();
  if (std::strcmp(path, ".") != 0 && !SetCurrentDirectoryW(WideFromUtf8(path).c_str())) return LastError();
  return 0;
}

std::string CurrentFolderName() {
  std::wstring folder = CurrentFolder();
  while (!folder.empty() && (folder.back() == L'\\' || folder.back() == L'/')) folder.pop_back();
  std::size_t cut = folder.find_last_of(L"\\/:");
  return Utf8FromWide(cut == std::wstring::npos ? folder : folder.substr(cut + 1));
}

namespace {

// The long name, whatever the ANSI code page: the W functions take it back
// as the very same UTF-16, so the output is named exactly as the input.
void TakeEntry(const WIN32_FIND_DATAW& data, FolderEntry* entry) {
  entry->name = Utf8FromWide(data.cFileName);
  entry->isDirectory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

}  // namespace

SearchStart StartFolderSearch(const char* searchText, FolderSearch* search, FolderEntry* first, ErrorCode* error,
                              FolderHandle) {
  WIN32_FIND_DATAW data;
  if (Fails(Call::List)) {
    *error = LastError();
    return SearchStart::Failed;
  }
  HANDLE handle = FindFirstFileW(WidePath(searchText).c_str(), &data);
  if (handle == INVALID_HANDLE_VALUE) {
    if (GetLastError() == ERROR_FILE_NOT_FOUND) return SearchStart::NothingMatched;
    *error = LastError();
    return SearchStart::Failed;
  }
  search->state = handle;
  TakeEntry(data, first);
  return SearchStart::Found;
}

bool ContinueFolderSearch(FolderSearch* search, FolderEntry* next, ErrorCode* error) {
  WIN32_FIND_DATAW data;
  if (search->state == nullptr) return false;
  if (Fails(Call::List) || !FindNextFileW(static_cast<HANDLE>(search->state), &data)) {
    if (GetLastError() != ERROR_NO_MORE_FILES) *error = LastError();
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
  if (Fails(Call::Memory)) return false;
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

namespace {

// Where text for a console goes: a standard handle redirected to a file or
// a pipe, else the console of the process that started this one (a GUI
// program gets none of its own), else nowhere: the box still tells.
HANDLE OutputHandle(bool error) {
  static const bool attached = AttachConsole(ATTACH_PARENT_PROCESS) != 0;
  HANDLE handle = GetStdHandle(error ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
  const bool usable = handle != nullptr && handle != INVALID_HANDLE_VALUE;
  if (usable && (!attached || GetFileType(handle) == FILE_TYPE_DISK || GetFileType(handle) == FILE_TYPE_PIPE)) {
    return handle;
  }
  if (!attached) return INVALID_HANDLE_VALUE;
  // Owned here for the life of the process, shared by both outputs.
  static const HANDLE console = CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  return console;
}

// A console gets UTF-16, whatever its code page; a file or a pipe UTF-8.
bool WriteText(const std::string& text, bool error) {
  HANDLE handle = OutputHandle(error);
  if (text.empty() || handle == INVALID_HANDLE_VALUE) return true;
  DWORD mode = 0;
  DWORD written = 0;
  if (GetConsoleMode(handle, &mode)) {
    const std::wstring wide = WideFromUtf8(text);
    return WriteConsoleW(handle, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr) &&
           written == wide.size();
  }
  return WriteToFile(reinterpret_cast<FileHandle>(handle), text.data(), text.size()) == text.size();
}

// `text` cut to `width` UTF-16 units, the middle left out: a box never
// grows wider than the screen for a long path without spaces.
std::wstring ShortenedWide(const std::wstring& text, std::size_t width) {
  if (text.size() <= width) return text;
  const std::size_t head = (width - 1) / 2;
  return text.substr(0, head) + L"\u2026" + text.substr(text.size() - (width - 1 - head));
}

const char kListName[] = "BrushPreset_Convertion.log";
// The first line of every list the tool writes: only a file that starts so
// is ever replaced or removed.
const char kListFirstLine[] = "\xEF\xBB\xBF" "BrushPreset_Convertion : presets non convertis\r\n";

std::wstring ListPath(const std::string& folder) {
  if (folder.empty() || folder == ".") return WideFromUtf8(kListName);
  const char last = folder.back();
  const bool ended = last == '\\' || last == '/' || last == ':';
  return WidePath((folder + (ended ? "" : "\\") + kListName).c_str());
}

enum class ListFile { None, Ours, Other };

ListFile LookAtList(const std::wstring& path) {
  HANDLE handle = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    return NamesNothing(LastError()) ? ListFile::None : ListFile::Other;
  }
  char head[sizeof kListFirstLine - 1];
  DWORD got = 0;
  bool ours = ReadFile(handle, head, sizeof head, &got, nullptr) && got == sizeof head &&
              std::memcmp(head, kListFirstLine, sizeof head) == 0;
  CloseHandle(handle);
  return ours ? ListFile::Ours : ListFile::Other;
}

std::wstring FullPathOf(const std::wstring& path) {
  DWORD size = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  std::wstring full(size, L'\0');
  DWORD length = size > 0 ? GetFullPathNameW(path.c_str(), size, &full[0], nullptr) : 0;
  if (length == 0 || length >= size) return path;
  full.resize(length);
  return full;
}

// Writes every line of `lines` into the list file at `path`, replacing a
// list written earlier but never another file. The box's line that says
// where the list is, or why there is none.
std::wstring KeepFullList(const std::wstring& path, const std::vector<std::string>& lines) {
  const std::wstring shown = ShortenedWide(FullPathOf(path), 60);
  if (LookAtList(path) == ListFile::Other) {
    return L"Liste compl\u00E8te non \u00E9crite : un autre fichier porte ce nom :\n" + shown;
  }
  std::string content = kListFirstLine;
  for (const std::string& line : lines) content += line + "\r\n";
  HANDLE handle = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  ErrorCode error = 0;
  if (handle == INVALID_HANDLE_VALUE) {
    error = LastError();
  } else {
    bool written = WriteToFile(FromHandle(handle), content.data(), content.size()) == content.size();
    if (!written) error = LastError();
    if (!CloseHandle(handle) && written) error = LastError();
    // Half a list would hide the presets it lost.
    if (error != 0) DeleteFileW(path.c_str());
  }
  if (error != 0) {
    return L"Liste compl\u00E8te non \u00E9crite (" + WideFromUtf8(DescribeError(error)) + L") :\n" + shown;
  }
  return L"Liste compl\u00E8te dans :\n" + shown;
}

}  // namespace

void ShowCompletionNotice(const char* caption, const char* text, const NoticeDetails& details) {
  // Every line, as on Linux, for a console or a redirected output.
  std::string problems;
  for (const std::string& line : details.consoleLines) problems += line + "\n";
  WriteText(problems, true);
  WriteText(std::string(caption) + "\n" + text + "\n", false);

  // The complete list goes into the first working folder when the box
  // cannot show it; a list left there or elsewhere by an earlier run would
  // now mislead, and goes.
  std::wstring box = WideFromUtf8(text);
  if (!details.boxText.empty()) box += L"\n\n" + WideFromUtf8(details.boxText);
  std::wstring kept;
  if (!details.fullList.empty()) {
    kept = ListPath(details.workingFolders.empty() ? "." : details.workingFolders[0]);
    box += L"\n" + KeepFullList(kept, details.fullList);
  }
  for (const std::string& folder : details.workingFolders) {
    const std::wstring path = ListPath(folder);
    if (path != kept && LookAtList(path) == ListFile::Ours) DeleteFileW(path.c_str());
  }

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
  MessageBoxW(owner, box.c_str(), WideFromUtf8(caption).c_str(),
              MB_OK | (details.boxText.empty() ? 0 : MB_ICONWARNING));
  for (HWND window : windows.disabled) EnableWindow(window, TRUE);
  for (HWND window : windows.loweredFromTop) {
    SetWindowPos(window, HWND_TOPMOST, 0, 0, 0, 0, keepPlace);
  }
}

bool ShowMessage(const std::string& consoleText, const std::string& boxText, bool isError) {
  bool written = WriteText(consoleText, isError);
  std::wstring text = WideFromUtf8(boxText);
  while (!text.empty() && text.back() == L'\n') text.pop_back();
  MessageBoxW(nullptr, text.c_str(), L"BrushPreset_Convertion", MB_OK | (isError ? MB_ICONERROR : MB_ICONINFORMATION));
  return written;
}

void EndProcess(int status) { ExitProcess(static_cast<UINT>(status)); }

}  // namespace platform
