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

// True where LockFile takes a lock that another run's sweep of leftovers
// honours (POSIX); false where it takes nothing, since a file open for
// writing cannot be opened by another run at all (Windows).
extern const bool kSweepsHonourLocks;

// True where another program that may write a file can write into it
// while it is open here, whatever lock is held on it (POSIX); false where
// a file created here is shared for reading only (Windows).
extern const bool kOthersWriteOpenFiles;

// True where a folder search hands out every entry of the folder, "." and
// ".." too, whatever the pattern (POSIX); false where it hands out only
// what the pattern matches (Windows).
extern const bool kSearchesHandOutEveryEntry;

// An open file as the operating system knows it, or kNoFile.
using FileHandle = std::intptr_t;
inline constexpr FileHandle kNoFile = -1;

// Which file an open handle names: equal identities are the same file,
// whatever path reached it (hard link, symbolic link, linked folder).
struct FileIdentity {
  std::uint64_t volume = 0;
  std::uint64_t index = 0;
};

inline bool SameIdentity(const FileIdentity& a, const FileIdentity& b) {
  return a.volume == b.volume && a.index == b.index;
}

// Why a call failed, as the operating system tells it (errno, GetLastError);
// 0 for no error. The converter's own reasons are negative.
using ErrorCode = std::int32_t;
inline constexpr ErrorCode kNotARegularFile = -1;  // a folder, pipe, device or socket
inline constexpr ErrorCode kSameFile = -2;         // the output path names the input itself
inline constexpr ErrorCode kChanged = -3;          // the input changed while it was read
inline constexpr ErrorCode kBusy = -4;             // another program holds the input (a lease)
inline constexpr ErrorCode kSameFolder = -5;       // "Converted" is the folder "convert" itself
inline constexpr ErrorCode kReadOnly = -6;         // a read-only older output, kept as the user's choice
inline constexpr ErrorCode kExists = -7;           // CreateExclusive: something stands at the name
inline constexpr ErrorCode kNotAFolder = -8;       // a file stands where a folder was named
inline constexpr ErrorCode kIsAFolder = -9;        // a folder stands where a file was named
inline constexpr ErrorCode kNotSupported = -10;    // CreateUnnamed: no such files here (never told)
inline constexpr ErrorCode kHeld = -11;            // LockFile: another process holds the lock
inline constexpr ErrorCode kReplaced = -12;        // a temporary file changed, moved or replaced by another program

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

// A number of this process that no other live process has.
std::uint32_t ProcessNumber();

// Start-up of the process: the platform's own initialisation, plus what makes
// write failures visible as failed calls instead of signals, and what removes
// an unfinished output when the process is interrupted.
void StartUp();

// A folder held open for the run: what it names cannot change under the
// converter, however its path is renamed meanwhile. kNoFolder stands for the
// current folder wherever a folder is taken.
using FolderHandle = std::intptr_t;
inline constexpr FolderHandle kNoFolder = -1;

// Opens the folder at `path` for the run and tells which folder it is. With
// `writable`, files must be creatable in it. kNoFolder, with the reason,
// when it is missing, not a folder, or not usable so. On Windows the folder
// cannot be renamed, moved or removed while it is held open.
FolderHandle OpenFolder(const char* path, bool writable, FileIdentity* identity, ErrorCode* error);
void CloseFolder(FolderHandle folder);

// What is known of an open file.
struct FileStatus {
  FileIdentity identity;
  std::uint64_t size = 0;
  std::int64_t changeTime = 0;  // changes whenever its content or status does
  std::uint32_t bits = 0;       // permission bits, 0777 form (Windows: 0444 read-only, 0666 otherwise)
};

// Opens the existing regular file `name` of `folder` for reading, and tells
// what it is. Anything else (folder, pipe, device, socket, dangling link)
// gives kNoFile, without ever waiting on it; `*error` says why. A file
// another program holds a lease on is waited for a few seconds at most,
// then told busy (kBusy). A file that would block a read (a kernel
// interface posing as a file) gives read errors instead of a wait.
FileHandle OpenFileForReading(FolderHandle folder, const char* name, FileStatus* status, ErrorCode* error);

// The status of an open file; false with the reason on failure.
bool StatusOfFile(FileHandle file, FileStatus* status, ErrorCode* error);

// What stands at a name in a folder, the name itself, never a link's target.
enum class EntryKind { None, File, Link, Folder, Other };
struct EntryStatus {
  EntryKind kind = EntryKind::None;
  FileIdentity identity;   // of the entry; of a link's target when asked to follow it
  std::uint32_t bits = 0;  // as in FileStatus
  bool writable = false;   // a file this process may write, and not one marked read-only (no write bit at all)
};

// Looks at `name` in `folder`; with `followLink`, a link is looked through
// to what it names (kind None when it leads nowhere). False, with the
// reason, only when the look itself failed; a missing entry is kind None.
bool StatusInFolder(FolderHandle folder, const char* name, bool followLink, EntryStatus* status, ErrorCode* error);

// Creates the new file `name` in `folder` for writing: never an existing
// file (kExists), never through a link. `bits` as the umask allows (Windows:
// none to give).
FileHandle CreateExclusive(FolderHandle folder, const char* name, std::uint32_t bits, ErrorCode* error);

// The permission bits a file created in a folder for which
// NewFilesArePlain holds is refused: the umask.
std::uint32_t NewFileMask();

// True when a file created in `folder` belongs to this process's user and
// group and takes its bits from the umask alone: the folder belongs to the
// process's group (whatever a setgid bit or the mount passes on is then
// that group) and holds no default access list. Never on Windows.
bool NewFilesArePlain(FolderHandle folder);

// Opens the regular file `name` of `folder` for reading, never through a
// link and never waiting: a lease makes the open refused (its holder is
// still told to give it up, as by any open). Reading it leaves its access
// time as it was, so a file of another user is refused unless the process
// may change that user's files. kNoFile otherwise, with the reason; always
// on Windows.
FileHandle OpenRegularFile(FolderHandle folder, const char* name, FileStatus* status, ErrorCode* error);

// True when the open `file` is one a new file of this process could be,
// but for its 0777 bits: it belongs to the process's user and group, has
// no set-id or sticky bit and no access list of its own. `*status` tells
// what it is now. Never on Windows.
bool IsPlainOwnFile(FileHandle file, FileStatus* status);

// Creates a file of `folder` that has no name yet, open for writing: no
// other process can see it, and it is gone with its handle unless NameFile
// names it first. `bits` as for CreateExclusive. kNoFile with
// kNotSupported where the system or the folder's file system has no such
// files (always on Windows); with the reason on any other failure.
FileHandle CreateUnnamed(FolderHandle folder, std::uint32_t bits, ErrorCode* error);

// Gives the unnamed `file` of `folder` the name `name`; never replaces what
// stands there (kExists).
bool NameFile(FolderHandle folder, FileHandle file, const char* name, ErrorCode* error);

// Takes the file's lock without waiting: false when a live process holds
// it. Held until the file is closed. Windows: the file is already kept from
// removal while open, so nothing to take.
bool LockFile(FileHandle file, ErrorCode* error);

// A handle that keeps the lock of `file` held once `file` is closed, until
// it is closed in turn; kNoFile where none can be made. Windows, where
// LockFile takes nothing: a second handle of the same open, which keeps
// the file from being opened or removed by anyone else as `file` did, and
// through which RenameInFolder renames it.
FileHandle KeepLockAfterClose(FileHandle file);

// Makes the data of every file of `files`, all written in `folder`, durable
// in the cheapest way the platform offers for them together.
bool SyncFiles(FolderHandle folder, const FileHandle* files, std::size_t count, ErrorCode* error);

// Makes the names of `folder` durable (nothing to do where renames are).
bool SyncFolder(FolderHandle folder, ErrorCode* error);

// Renames `from` to `to` in `folder`, replacing what stood at `to` (a link
// is replaced, never followed). `open` is the handle KeepLockAfterClose
// gave for the file at `from`, or kNoFile. Windows renames the file through
// it; without one, `from` must not be open.
bool RenameInFolder(FolderHandle folder, const char* from, const char* to, FileHandle open, ErrorCode* error);

// Removes the file `name` of `folder`. Windows: fails while another
// process holds it open, which is how a live writer's file is told.
bool RemoveFromFolder(FolderHandle folder, const char* name, ErrorCode* error);

// How many files the process may hold open at once, at most (a bound,
// not a promise).
std::size_t OpenFilesAllowance();

// The files an interrupting signal removes before the process ends by it:
// up to kPendingSlots of them, each a name in a folder that must still name
// the file `identity` names. Windows has no such signals: nothing is noted.
inline constexpr int kPendingSlots = 256;
void NotePendingFile(int slot, FolderHandle folder, const char* name, const FileIdentity& identity);
void ForgetPendingFile(int slot);

// Holds the interrupting signals back (true) or lets them in again (false),
// so that no file can be created without being noted.
void HoldInterruptions(bool hold);

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

// One enumeration of a folder. `searchText` is the folder, a separator and a
// wildcard pattern. The platform may hand out more entries than the pattern
// matches (never fewer); the caller matches the names itself.
struct FolderSearch {
  void* state = nullptr;
};

struct FolderEntry {
  std::string name;          // long name, without folder
  bool isDirectory = false;  // after following links
  // A pipe, device or socket, after following links: such an entry is
  // refused without being opened (an open can act on it).
  bool isSpecial = false;
};

enum class SearchStart { Found, NothingMatched, Failed };

// Found: `first` holds the first entry and `search` must be finished.
// NothingMatched and Failed leave nothing to finish; Failed tells why.
// With `within`, the folder of `searchText` held open (OpenFolder), the
// entries are that folder's, whatever its path names by now: Linux lists
// the folder held, and Windows keeps a folder held from being renamed or
// removed, so that its path still names it.
SearchStart StartFolderSearch(const char* searchText, FolderSearch* search, FolderEntry* first, ErrorCode* error,
                              FolderHandle within = kNoFolder);
// False when there is no further entry: at the end, `*error` left as it
// was; where the folder could not be read on, with the reason.
bool ContinueFolderSearch(FolderSearch* search, FolderEntry* next, ErrorCode* error);
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
