// The one seam between the converter and the operating system.
//
// Plain functions over plain records, defined once per operating system
// (PlatformPosix.cpp, PlatformWin32.cpp); the build compiles exactly one of
// them. Nothing above this header knows which.
//
// Paths and names are the system's own bytes on POSIX. On Windows they are
// UTF-8, converted to and from the UTF-16 of the W functions at each call
// (PlatformWin32.h), so any name Windows can hold, at any depth, is reached.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace platform {

// Ends the two folder literals and joins a folder to a search pattern.
extern const char kPathSeparator;

// An open file as the operating system knows it, or kNoFile.
using FileHandle = std::intptr_t;
inline constexpr FileHandle kNoFile = -1;

// Which file an open handle names: equal identities are the same file,
// whatever path reached it (hard link, symbolic link, linked folder).
struct FileIdentity {
  std::uint64_t volume = 0;
  std::uint64_t index = 0;
};

// Why a call failed, as the operating system tells it (errno, GetLastError);
// 0 for no error. Two reasons of the converter's own are negative.
using ErrorCode = std::int32_t;
inline constexpr ErrorCode kNotARegularFile = -1;  // a folder, pipe, device or socket
inline constexpr ErrorCode kSameFile = -2;         // the output path names the input itself
inline constexpr ErrorCode kNotAFolder = -3;       // a file stands where a folder was named

// The reason of the call that failed last on this thread.
ErrorCode LastError();

// The operating system's own words for `error`, in the user's language,
// without a final full stop or line end. Text inside the program is UTF-8
// on Windows (converted at the system's calls) and the user's encoding on
// POSIX.
std::string DescribeError(ErrorCode error);

// True when `error` says that nothing stands at the path, or on the way to
// it: the one case where "the tool never creates folders" helps.
bool NamesNothing(ErrorCode error);

// True when the user's terminal reads UTF-8 (always on Windows, whose
// console gets UTF-16); false means ASCII only. Decides how names the tool
// did not write are shown.
bool TextIsUtf8();

// Start-up of the process: the platform's own initialisation, plus what makes
// write failures visible as failed calls instead of signals, and what removes
// an unfinished output when the process is interrupted.
void StartUp();

// Opens an existing regular file for reading, and tells which file it is.
// Anything else (folder, pipe, device, socket, dangling link) gives kNoFile,
// without ever waiting on it; `*error` says why. A file that would block a
// read (a kernel interface posing as a file) gives read errors instead of
// a wait.
FileHandle OpenFileForReading(const char* path, FileIdentity* identity, ErrorCode* error);

// A new file that takes the place of another only once it is complete.
struct Replacement {
  std::string finalPath;
  std::string temporaryPath;  // beside finalPath, never named like a preset
  FileIdentity temporary;     // the file created there, so that only it is removed
  bool replacesFile = false;  // a regular file stood at finalPath when it began
};

// Begins replacing what stands at `finalPath`: creates a new, empty
// temporary file in the same folder, exclusively and never through a link,
// and returns it open for writing. Until CommitReplacement nothing at
// `finalPath` changes. A link at `finalPath` is replaced, never followed.
// Refused (kNoFile, the reason in `*error`) when a folder, a pipe or any
// other non-regular file stands there, when a regular file stands there
// that the process may not write (a read-only older output), and when the
// path names `source` itself (kSameFile). The new file gets the permission
// bits (and, where allowed, owner and group) of the file it replaces, or else
// those of `source`, never wider than the umask allows. Until the
// replacement ends, an interrupting signal removes the temporary file first.
FileHandle BeginReplacement(const char* finalPath, FileHandle source, Replacement* replacement, ErrorCode* error);

// Ends a replacement whose every byte was written to `file`: closes it and
// puts it in the place of `finalPath`. False, with the reason, when the
// close or the rename fails: the temporary file is then removed and what
// stood at `finalPath` stays as it was.
bool CommitReplacement(Replacement* replacement, FileHandle file, ErrorCode* error);

// Closes `file` and removes the temporary file; `finalPath` is untouched.
void AbandonReplacement(Replacement* replacement, FileHandle file);

// Bytes read at the current position: up to `size`, 0 at the end of the
// file, -1 on a read error (LastError tells why).
std::int64_t ReadFromFile(FileHandle file, void* destination, std::size_t size);

// Writes all `size` bytes, continuing short writes; returns how many reached
// the file, which is less than `size` only when the platform failed
// (LastError tells why).
std::size_t WriteToFile(FileHandle file, const void* source, std::size_t size);

// Moves the file position by `delta` bytes from the current one.
bool MoveFilePosition(FileHandle file, std::int64_t delta);

// Closes the handle; false when the platform reports that data may be lost.
bool CloseFile(FileHandle file);

// 0 when `path` is a folder, `*identity` then telling which (equal for two
// paths that reach the same folder); otherwise the reason.
ErrorCode IdentifyFolder(const char* path, FileIdentity* identity);

// Makes `path` the current folder: 0, or the reason. A relative `path` is
// taken from the folder the process started in, whatever folder was
// entered before; "." goes back there.
ErrorCode EnterFolder(const char* path);

// The current folder's own name, its last component ("" for a root).
std::string CurrentFolderName();

// 0 when `path` is a folder the converter can use: one it can list (and,
// with `writable`, create files in); otherwise the reason.
ErrorCode CheckFolder(const char* path, bool writable);

// One enumeration of a folder. `searchText` is the folder, a separator and a
// wildcard pattern. The platform may hand out more entries than the pattern
// matches (never fewer); the caller matches the names itself.
struct FolderSearch {
  void* state = nullptr;
};

struct FolderEntry {
  std::string name;          // long name, without folder
  bool isDirectory = false;  // after following links
};

enum class SearchStart { Found, NothingMatched, Failed };

// Found: `first` holds the first entry and `search` must be finished.
// NothingMatched and Failed leave nothing to finish; Failed tells why.
SearchStart StartFolderSearch(const char* searchText, FolderSearch* search, FolderEntry* first, ErrorCode* error);
// False when there is no further entry, for whatever reason.
bool ContinueFolderSearch(FolderSearch* search, FolderEntry* next);
void FinishFolderSearch(FolderSearch* search);

// One growing block of memory for many bytes. Growing keeps the content; the
// memory is only touched where bytes are written.
struct ByteArena {
  char* data = nullptr;
  std::size_t capacity = 0;
};

bool GrowArena(ByteArena* arena, std::size_t minimumCapacity);
void ReleaseArena(ByteArena* arena);

// What the notice adds when something was not converted: the lines a
// console shows on standard error, and the same told in the box's own
// words. Both empty when everything was converted and every folder held a
// preset.
struct NoticeDetails {
  std::vector<std::string> consoleLines;  // without line ends
  std::string boxText;                    // short lines, one per problem
  // Where the box could not list every problem: all of them, in the box's
  // words with whole paths, for a list kept in a file. Empty otherwise.
  std::vector<std::string> fullList;
  // The working folders of the run: a list kept in a file goes into the
  // first, and a list an earlier run left there is removed from each.
  std::vector<std::string> workingFolders;
};

// Tells the user that the run is over and waits until the user acknowledges
// it. Texts are UTF-8.
void ShowCompletionNotice(const char* caption, const char* text, const NoticeDetails& details);

// Tells the user something that ends the process without a run: help and
// version on standard output, a command line not understood or a FOLDER
// that cannot be used (`isError`) on standard error. Windows shows
// `boxText` in a box titled with the program's name, and `consoleText` on
// a console or standard handle it was started with. UTF-8, lines ending in
// "\n". False when the text could not all be written.
bool ShowMessage(const std::string& consoleText, const std::string& boxText, bool isError);

// Ends the process with `status`.
[[noreturn]] void EndProcess(int status);

}  // namespace platform
