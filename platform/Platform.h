// The one seam between the converter and the operating system.
//
// Plain functions over plain records, defined once per operating system
// (PlatformPosix.cpp, PlatformWin32.cpp); the build compiles exactly one of
// them. Nothing above this header knows which.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

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

// Start-up of the process: the platform's own initialisation, plus what makes
// write failures visible as failed calls instead of signals.
void StartUp();

// Opens an existing regular file for reading, and tells which file it is.
// Anything else (folder, pipe, device, socket, dangling link) gives kNoFile,
// without ever waiting on it.
FileHandle OpenFileForReading(const char* path, FileIdentity* identity);

// Creates the file, or opens an existing one and empties it; when that is
// refused, a second attempt opens an existing file write-only and empties it.
// A pipe or folder at the path gives kNoFile without waiting on it. When
// `keepIntact` is given and the path names that very file, nothing is emptied
// and the result is kNoFile.
FileHandle CreateFileForWriting(const char* path, const FileIdentity* keepIntact);

// Bytes read at the current position: up to `size`, 0 at the end of the
// file, -1 on a read error.
std::int64_t ReadFromFile(FileHandle file, void* destination, std::size_t size);

// Writes all `size` bytes, continuing short writes; returns how many reached
// the file, which is less than `size` only when the platform failed.
std::size_t WriteToFile(FileHandle file, const void* source, std::size_t size);

// Moves the file position by `delta` bytes from the current one.
bool MoveFilePosition(FileHandle file, std::int64_t delta);

// Closes the handle; false when the platform reports that data may be lost.
bool CloseFile(FileHandle file);

// Removes what stands at `path` when it is a regular file (following links);
// used for an output whose bytes did not all reach the disk.
void RemoveIncompleteFile(const char* path);

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
// NothingMatched and Failed leave nothing to finish.
SearchStart StartFolderSearch(const char* searchText, FolderSearch* search, FolderEntry* first);
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

// Tells the user that the run is over and waits until the user acknowledges
// it. Both texts are in the platform's single-byte character set (Latin-1).
void ShowCompletionNotice(const char* caption, const char* text);

// Ends the process with exit status 0.
[[noreturn]] void EndProcess();

}  // namespace platform
