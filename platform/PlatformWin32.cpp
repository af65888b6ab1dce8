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
#include "platform/PlatformWin32.h"

namespace platform {

const char kPathSeparator = '\\';

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

std::wstring WidePath(const char* path) {
  std::wstring wide = WideFromUtf8(path);
  // Already free of the limit: \\?\ paths, and devices (\\.\).
  if (wide.compare(0, 4, L"\\\\?\\") == 0 || wide.compare(0, 4, L"\\\\.\\") == 0) return wide;
  // The short form is kept where it works: a folder's path must leave room
  // for a 12-character name, so the limit is taken as MAX_PATH - 12 for all.
  DWORD size = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  if (size == 0 || size <= MAX_PATH - 12) return wide;
  std::wstring full(size, L'\0');
  DWORD length = GetFullPathNameW(wide.c_str(), size, &full[0], nullptr);
  if (length == 0 || length >= size) return wide;
  full.resize(length);
  if (full.compare(0, 2, L"\\\\") == 0) return L"\\\\?\\UNC\\" + full.substr(2);  // \\server\share\...
  return L"\\\\?\\" + full;
}

ErrorCode LastError() { return static_cast<ErrorCode>(GetLastError()); }

std::string DescribeError(ErrorCode error) {
  // In French, like the notice, for the converter's own reasons.
  // UTF-8, like every text of this backend.
  if (error == kNotARegularFile) return "ce n'est pas un fichier ordinaire";
  if (error == kSameFile) return "c'est le fichier d'entr\xC3\xA9" "e lui-m\xC3\xAAme";
  if (error == kNotAFolder) return "ce n'est pas un dossier";
  wchar_t* text = nullptr;
  DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                    FORMAT_MESSAGE_IGNORE_INSERTS,
                                nullptr, static_cast<DWORD>(error), 0, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
  std::string message = length > 0 && text != nullptr ? Utf8FromWide(std::wstring_view(text, length)) : std::string();
  if (text != nullptr) LocalFree(text);
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == ' ' ||
                              message.back() == '.')) {
    message.pop_back();
  }
  return message.empty() ? "erreur " + std::to_string(error) : message;
}

bool NamesNothing(ErrorCode error) { return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND; }

bool TextIsUtf8() { return true; }

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
  HANDLE handle = CreateFileW(WidePath(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  FileIdentity found;
  bool same = IdentityOf(handle, &found) && found.volume == identity.volume && found.index == identity.index;
  CloseHandle(handle);
  return same;
}

}  // namespace

FileHandle OpenFileForReading(const char* path, FileIdentity* identity, ErrorCode* error) {
  HANDLE handle =
      CreateFileW(WidePath(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
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

// The folder part of `path`, with its separator ("" for a bare name). The
// path is UTF-8, where the bytes of "\\" and "/" never occur inside another
// character, so the cut always falls between characters.
std::string FolderOf(const std::string& path) {
  std::size_t cut = path.find_last_of("\\/");
  return cut == std::string::npos ? std::string() : path.substr(0, cut + 1);
}

}  // namespace

FileHandle BeginReplacement(const char* finalPath, FileHandle source, Replacement* replacement, ErrorCode* error) {
  DWORD attributes = GetFileAttributesW(WidePath(finalPath).c_str());
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
    handle = CreateFileW(WidePath(temporary.c_str()).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
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
      MoveFileExW(WidePath(replacement->temporaryPath.c_str()).c_str(),
                  WidePath(replacement->finalPath.c_str()).c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0) {
    return true;
  }
  if (flushed && closed) *error = LastError();
  DeleteFileW(WidePath(replacement->temporaryPath.c_str()).c_str());
  return false;
}

void AbandonReplacement(Replacement* replacement, FileHandle file) {
  CloseHandle(ToHandle(file));
  DeleteFileW(WidePath(replacement->temporaryPath.c_str()).c_str());
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

ErrorCode CheckFolder(const char* path, bool writable) {
  DWORD attributes = GetFileAttributesW(WidePath(path).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return LastError();
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return ERROR_DIRECTORY;
  if (!writable) return 0;
  // Whether a file can be created there is only known by creating one: the
  // read-only attribute of a folder says nothing, its access list does. The
  // probe is never named like a preset and goes when its handle closes.
  std::string probe = std::string(path) + "\\.BrushPreset_Convertion-" + std::to_string(GetCurrentProcessId()) +
                      ".probe";
  HANDLE handle = CreateFileW(WidePath(probe.c_str()).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    ErrorCode error = LastError();
    return error == ERROR_FILE_EXISTS ? 0 : error;
  }
  CloseHandle(handle);
  return 0;
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

SearchStart StartFolderSearch(const char* searchText, FolderSearch* search, FolderEntry* first, ErrorCode* error) {
  WIN32_FIND_DATAW data;
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
