// The POSIX side of the platform seam (Linux).
#include <dirent.h>
#include <fcntl.h>
#include <langinfo.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "platform/Platform.h"
#include "platform/PlatformTesting.h"

namespace platform {

const char kPathSeparator = '/';
const bool kSweepsHonourLocks = true;
const bool kOthersWriteOpenFiles = true;
const bool kSearchesHandOutEveryEntry = true;

namespace {

// The temporary files being written, for the signal handler: each a name
// in a folder and the inode it was created as, so that only that very file
// is removed. A slot is filled while the signals are held back, and marked
// active last.
struct PendingFile {
  volatile sig_atomic_t active;
  int folder;
  dev_t device;
  ino_t inode;
  char name[256];
};
PendingFile gPending[kPendingSlots];

// Removes the unfinished outputs, then ends the process by the same signal,
// as an uninterrupted program would have ended.
// Not counted for coverage: the interruption tests drive it, but a process
// ended by a signal writes no counters, and counters written from here
// would catch the interrupted function half counted.
// GCOVR_EXCL_START
void RemovePendingAndDie(int signalNumber) {
  for (PendingFile& pending : gPending) {
    if (!pending.active) continue;
    struct stat st;
    if (fstatat(pending.folder, pending.name, &st, AT_SYMLINK_NOFOLLOW) == 0 && st.st_dev == pending.device &&
        st.st_ino == pending.inode) {
      unlinkat(pending.folder, pending.name, 0);
    }
  }
  signal(signalNumber, SIG_DFL);
  raise(signalNumber);
}
// GCOVR_EXCL_STOP

// Sets errno to the planned fault of `call`, if any: true when the call must
// fail now.
bool Fails(Call call) {
  ErrorCode error = PlannedFault(call);
  if (error == 0) return false;
  errno = error;
  return true;
}

}  // namespace

ErrorCode LastError() { return errno; }

std::string DescribeError(ErrorCode error) {
  if (error == kNotARegularFile) return "Not a regular file";
  if (error == kIsAFolder) return std::strerror(EISDIR);
  if (error == kNotAFolder) return std::strerror(ENOTDIR);
  if (error == kSameFile) return "Is the input file itself";
  if (error == kChanged) return "Changed while being read";
  if (error == kBusy) return "Busy: another program holds it";
  if (error == kSameFolder) return "Is the folder convert itself";
  if (error == kReadOnly) return "Read-only, kept as it is";
  if (error == kExists) return "File exists";
  if (error == kHeld) return "Locked by another run";
  if (error == kReplaced) return "Changed, moved or replaced by another program";
  return std::strerror(error);
}

bool NamesNothing(ErrorCode error) { return error == ENOENT; }

bool TextIsUtf8() {
  // Only the character type follows the user's settings: messages and
  // numbers stay as they were.
  static const bool utf8 = [] {
    std::setlocale(LC_CTYPE, "");
    return std::strcmp(nl_langinfo(CODESET), "UTF-8") == 0;
  }();  // GCOVR_EXCL_BR_LINE: gcc's guard of a static; no other thread ever sets it first
  return utf8;
}

std::uint32_t ProcessNumber() { return static_cast<std::uint32_t>(getpid()); }

void StartUp() {
  // A file-size limit must show up as a failed write (EFBIG), and a closed
  // standard output must not end the run before the last file is written.
  signal(SIGXFSZ, SIG_IGN);
  signal(SIGPIPE, SIG_IGN);
  struct sigaction action {};
  action.sa_handler = RemovePendingAndDie;
  sigemptyset(&action.sa_mask);
  for (int signalNumber : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&action.sa_mask, signalNumber);
  for (int signalNumber : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction previous;
    // A signal ignored by whoever started the run stays ignored.
    if (sigaction(signalNumber, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN) continue;
    sigaction(signalNumber, &action, nullptr);
  }
}

namespace {

int ToDescriptor(FileHandle file) { return static_cast<int>(file); }

int OpenRetrying(const char* path, int flags, mode_t mode = 0) {
  int fd;
  do {
    fd = open(path, flags | O_CLOEXEC | O_NOCTTY, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

FileIdentity IdentityOf(const struct stat& st) {
  return FileIdentity{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

}  // namespace

FolderHandle OpenFolder(const char* path, bool writable, FileIdentity* identity, ErrorCode* error) {
  if (Fails(Call::Open)) {
    *error = errno;
    return kNoFolder;
  }
  int fd = OpenRetrying(path, O_RDONLY | O_DIRECTORY);
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0 || faccessat(fd, ".", writable ? (W_OK | X_OK) : (R_OK | X_OK), AT_EACCESS) != 0) {
    *error = errno;
    if (fd >= 0) close(fd);
    return kNoFolder;
  }
  *identity = IdentityOf(st);
  return fd;
}

void CloseFolder(FolderHandle folder) {
  if (folder != kNoFolder) close(static_cast<int>(folder));
}

namespace {

int FolderDescriptor(FolderHandle folder) { return folder == kNoFolder ? AT_FDCWD : static_cast<int>(folder); }

void FillStatus(const struct stat& st, FileStatus* status) {
  status->identity = IdentityOf(st);
  status->size = static_cast<std::uint64_t>(st.st_size);
  status->changeTime = static_cast<std::int64_t>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
  status->bits = st.st_mode & 0777;
}

// Opens `name` of `folder` for reading, never waiting on what it is,
// tried again when a signal interrupts the open.
int OpenNonBlocking(FolderHandle folder, const char* name, int flags) {
  int fd;
  do {
    fd = openat(FolderDescriptor(folder), name, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY | flags);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// A non-blocking open that a lease refuses tells the lease's holder to give
// it up; the open is tried again for a few seconds, then the file is busy.
int OpenUnlessLeased(FolderHandle folder, const char* name, int flags) {
  int fd = OpenNonBlocking(folder, name, flags);
  const struct timespec pause { 0, 20 * 1000 * 1000 };
  for (int attempt = 0; fd < 0 && errno == EWOULDBLOCK; ++attempt) {
    if (attempt == 100) {
      errno = kBusy;
      return -1;
    }
    nanosleep(&pause, nullptr);
    fd = OpenNonBlocking(folder, name, flags);
  }
  return fd;
}

ErrorCode NotRegularReason(mode_t mode) { return S_ISDIR(mode) ? EISDIR : kNotARegularFile; }

// The open `fd` as a regular file, told in `*status`; anything else is
// closed and refused with the reason.
FileHandle TakeRegularFile(int fd, FileStatus* status, ErrorCode* error) {
  struct stat st;
  if (fstat(fd, &st) != 0) {
    *error = errno;
    close(fd);
    return kNoFile;
  }
  if (!S_ISREG(st.st_mode)) {
    *error = NotRegularReason(st.st_mode);
    close(fd);
    return kNoFile;
  }
  FillStatus(st, status);
  return fd;
}

// Whether /proc names each open file by its descriptor: a path that leads
// to that file and no other.
bool ProcMounted() {
  static const bool mounted = access("/proc/self/fd", X_OK) == 0;
  return mounted;
}

// Where the link `name` of `folder` leads, opened for reading only once it
// is known to be a regular file: opening a device or a pipe can act on it
// (a tape rewinds, a watchdog starts, a writer waiting for a reader goes
// on). The link is followed once, to a handle that opens nothing, and the
// file looked at there is the one opened, through that handle's name.
// Without /proc the link is followed again, and a file other than the one
// looked at is refused as changed.
int OpenThroughLink(FolderHandle folder, const char* name) {
  const int path = openat(FolderDescriptor(folder), name, O_PATH | O_CLOEXEC);
  if (path < 0) return -1;
  struct stat st;
  int fd = -1;
  if (fstat(path, &st) == 0) {
    if (!S_ISREG(st.st_mode)) {
      errno = NotRegularReason(st.st_mode);
    } else if (ProcMounted()) {
      char through[32];
      std::snprintf(through, sizeof through, "/proc/self/fd/%d", path);
      fd = OpenUnlessLeased(folder, through, 0);
    } else {
      fd = OpenUnlessLeased(folder, name, 0);
      struct stat opened;
      if (fd >= 0 && (fstat(fd, &opened) != 0 || !SameIdentity(IdentityOf(opened), IdentityOf(st)))) {
        close(fd);
        fd = -1;
        errno = kChanged;
      }
    }
  }
  const int saved = errno;
  close(path);
  errno = saved;
  return fd;
}

// How long after a file's last change a write may still be putting its
// bytes in: a write sets the change time as it begins, and may be held up
// for long (a slow disk, a writer waiting for memory).
constexpr std::int64_t kWriteUnderWayNs = std::int64_t{60} * 1000000000;

bool ChangedLately(const FileStatus& status) {
  struct timespec now;
  if (clock_gettime(CLOCK_REALTIME, &now) != 0) return true;
  return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec - status.changeTime < kWriteUnderWayNs;
}

}  // namespace

FileHandle OpenFileForReading(FolderHandle folder, const char* name, FileStatus* status, ErrorCode* error) {
  if (Fails(Call::Open)) {
    *error = errno;
    return kNoFile;
  }
  // Non-blocking, and left so: a pipe with no writer would block the open,
  // and a file that blocks its reads gives a read error instead of a hang.
  // A link is opened only once what it leads to is known.
  int fd = OpenUnlessLeased(folder, name, O_NOFOLLOW);
  if (fd < 0 && errno == ELOOP) fd = OpenThroughLink(folder, name);
  if (fd < 0) {
    *error = errno;
    return kNoFile;
  }
  const FileHandle file = TakeRegularFile(fd, status, error);
  if (file == kNoFile || !ChangedLately(*status)) return file;
  // A write under way as the file was opened would change its bytes under
  // the reads without changing its change time again: the close could not
  // tell. File systems lock a file while they write it, and a search for
  // its data waits for that lock; the file is looked at once it is free, so
  // that any later write changes what the close compares. The search moves
  // the file's position to where its data begins: back to the start, but
  // only where the file begins with a hole.
  if (lseek(fd, 0, SEEK_DATA) > 0) lseek(fd, 0, SEEK_SET);
  return TakeRegularFile(fd, status, error);
}

bool StatusOfFile(FileHandle file, FileStatus* status, ErrorCode* error) {
  struct stat st;
  if (Fails(Call::Status) || fstat(ToDescriptor(file), &st) != 0) {
    *error = errno;
    return false;
  }
  FillStatus(st, status);
  return true;
}

bool StatusInFolder(FolderHandle folder, const char* name, bool followLink, EntryStatus* status, ErrorCode* error) {
  *status = EntryStatus{};
  struct stat st;
  int fd = FolderDescriptor(folder);
  if (Fails(Call::Status) || fstatat(fd, name, &st, followLink ? 0 : AT_SYMLINK_NOFOLLOW) != 0) {
    if (errno == ENOENT || (followLink && (errno == ELOOP || errno == ENOTDIR))) return true;
    *error = errno;
    return false;
  }
  status->kind = S_ISREG(st.st_mode)   ? EntryKind::File
                 : S_ISLNK(st.st_mode) ? EntryKind::Link
                 : S_ISDIR(st.st_mode) ? EntryKind::Folder
                                       : EntryKind::Other;
  status->identity = IdentityOf(st);
  status->bits = st.st_mode & 0777;
  // A file no one may write is read-only to root too, though root could.
  status->writable = S_ISREG(st.st_mode) && (st.st_mode & 0222) != 0 && faccessat(fd, name, W_OK, AT_EACCESS) == 0;
  return true;
}

namespace {

// The process's user and group, asked once: it never changes them.
uid_t ProcessUser() {
  static const uid_t user = geteuid();
  return user;
}

gid_t ProcessGroup() {
  static const gid_t group = getegid();
  return group;
}

// Whether the file open as `fd` holds the access list `name`; a file
// system without them holds none.
bool HoldsAccessList(int fd, const char* name) {
  return fgetxattr(fd, name, nullptr, 0) >= 0 || (errno != ENODATA && errno != ENOTSUP);
}

}  // namespace

bool NewFilesArePlain(FolderHandle folder) {
  struct stat st;
  const int fd = FolderDescriptor(folder);
  return fstat(fd, &st) == 0 && st.st_gid == ProcessGroup() && !HoldsAccessList(fd, "system.posix_acl_default");
}

FileHandle OpenRegularFile(FolderHandle folder, const char* name, FileStatus* status, ErrorCode* error) {
  if (Fails(Call::Open)) {
    *error = errno;
    return kNoFile;
  }
  const int fd = OpenNonBlocking(folder, name, O_NOFOLLOW | O_NOATIME);
  if (fd < 0) {
    *error = errno;
    return kNoFile;
  }
  return TakeRegularFile(fd, status, error);
}

bool IsPlainOwnFile(FileHandle file, FileStatus* status) {
  struct stat st;
  const int fd = ToDescriptor(file);
  if (fstat(fd, &st) != 0) return false;
  FillStatus(st, status);
  return st.st_uid == ProcessUser() && st.st_gid == ProcessGroup() && (st.st_mode & 07000) == 0 &&
         !HoldsAccessList(fd, "system.posix_acl_access");
}

std::uint32_t NewFileMask() {
  // Read once, by setting it and setting it back: nothing else creates
  // files in between, and the process never changes it.
  static const mode_t mask = [] {
    const mode_t old = umask(0);
    umask(old);
    return old;
  }();
  return mask;
}

FileHandle CreateExclusive(FolderHandle folder, const char* name, std::uint32_t bits, ErrorCode* error) {
  int fd = -1;
  if (!Fails(Call::CreateExclusive)) {
    do {
      fd = openat(FolderDescriptor(folder), name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY,
                  static_cast<mode_t>(bits));
    } while (fd < 0 && errno == EINTR);
  }
  if (fd < 0) {
    *error = errno == EEXIST ? kExists : errno;
    return kNoFile;
  }
  return fd;
}

FileHandle CreateUnnamed(FolderHandle folder, std::uint32_t bits, ErrorCode* error) {
  // Naming such a file takes its path under /proc: without one, it could
  // never be named.
  int fd = -1;
  if (!ProcMounted()) {
    errno = EOPNOTSUPP;
  } else if (!Fails(Call::CreateExclusive)) {
    do {
      fd = openat(FolderDescriptor(folder), ".", O_WRONLY | O_TMPFILE | O_CLOEXEC | O_NOCTTY,
                  static_cast<mode_t>(bits));
    } while (fd < 0 && errno == EINTR);
  }
  if (fd < 0) {
    // A file system without them, or (EISDIR) a kernel that predates them.
    const bool unsupported = errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL || errno == ENOSYS;
    *error = unsupported ? kNotSupported : errno;
    return kNoFile;
  }
  return fd;
}

bool NameFile(FolderHandle folder, FileHandle file, const char* name, ErrorCode* error) {
  // Naming the file by its descriptor takes a capability ordinary users
  // lack on many kernels; its path under /proc takes none. Which one works
  // is learnt once.
  static bool byDescriptor = true;
  int done = -1;
  if (!Fails(Call::Rename)) {
    if (byDescriptor) {
      done = linkat(ToDescriptor(file), "", FolderDescriptor(folder), name, AT_EMPTY_PATH);
      if (done != 0 && (errno == ENOENT || errno == EPERM)) byDescriptor = false;
    }
    if (!byDescriptor) {
      char path[32];
      std::snprintf(path, sizeof path, "/proc/self/fd/%d", ToDescriptor(file));
      done = linkat(AT_FDCWD, path, FolderDescriptor(folder), name, AT_SYMLINK_FOLLOW);
    }
  }
  if (done != 0) {
    *error = errno == EEXIST ? kExists : errno;
    return false;
  }
  return true;
}

bool LockFile(FileHandle file, ErrorCode* error) {
  if (Fails(Call::Lock) || flock(ToDescriptor(file), LOCK_EX | LOCK_NB) != 0) {
    *error = errno == EWOULDBLOCK ? kHeld : errno;
    return false;
  }
  return true;
}

FileHandle KeepLockAfterClose(FileHandle file) {
  // A lock belongs to the open file, which another descriptor keeps open.
  return fcntl(ToDescriptor(file), F_DUPFD_CLOEXEC, 0);
}

bool SyncFiles(FolderHandle folder, const FileHandle* files, std::size_t count, ErrorCode* error) {
  if (count == 0) return true;
  if (Fails(Call::Sync)) {
    *error = errno;
    return false;
  }
  // One flush of the folder's file system writes every file's data in one
  // go and commits the journal once; a flush per file waits for a journal
  // commit each (see the README's figures). A single file is flushed alone,
  // without the rest of the file system's data.
  if (count > 1 && syncfs(FolderDescriptor(folder)) == 0) return true;
  // Where the file system cannot be flushed whole, each file on its own.
  for (std::size_t i = 0; i < count; ++i) {
    if (fdatasync(ToDescriptor(files[i])) != 0) {
      *error = errno;
      return false;
    }
  }
  return true;
}

bool SyncFolder(FolderHandle folder, ErrorCode* error) {
  if (Fails(Call::Sync) || fsync(FolderDescriptor(folder)) != 0) {
    *error = errno;
    return false;
  }
  return true;
}

bool RenameInFolder(FolderHandle folder, const char* from, const char* to, FileHandle, ErrorCode* error) {
  int fd = FolderDescriptor(folder);
  if (Fails(Call::Rename) || renameat(fd, from, fd, to) != 0) {
    *error = errno;
    return false;
  }
  return true;
}

bool RemoveFromFolder(FolderHandle folder, const char* name, ErrorCode* error) {
  if (Fails(Call::Remove) || unlinkat(FolderDescriptor(folder), name, 0) != 0) {
    *error = errno;
    return false;
  }
  return true;
}

std::size_t OpenFilesAllowance() {
  struct rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return 1024;
  return static_cast<std::size_t>(limit.rlim_cur);
}

void NotePendingFile(int slot, FolderHandle folder, const char* name, const FileIdentity& identity) {
  PendingFile& pending = gPending[slot];
  pending.active = 0;
  std::size_t length = std::strlen(name);
  if (length >= sizeof pending.name) return;
  std::memcpy(pending.name, name, length + 1);
  pending.folder = FolderDescriptor(folder);
  pending.device = static_cast<dev_t>(identity.volume);
  pending.inode = static_cast<ino_t>(identity.index);
  pending.active = 1;
}

void ForgetPendingFile(int slot) { gPending[slot].active = 0; }

void HoldInterruptions(bool hold) {
  sigset_t signals;
  sigemptyset(&signals);
  for (int signalNumber : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&signals, signalNumber);
  sigprocmask(hold ? SIG_BLOCK : SIG_UNBLOCK, &signals, nullptr);
}

std::int64_t ReadFromFile(FileHandle file, void* destination, std::size_t size) {
  if (faults::gPlanned) {
    if (Fails(Call::Read)) return -1;
    size = faults::ReadSize(size);
  }
  for (;;) {
    ssize_t got = read(ToDescriptor(file), destination, size);
    if (got >= 0) return static_cast<std::int64_t>(got);
    if (errno != EINTR) return -1;
  }
}

std::size_t WriteToFile(FileHandle file, const void* source, std::size_t size) {
  if (faults::gPlanned) {
    faults::NoteWrite(size);
    if (Fails(Call::Write)) return 0;
  }
  const char* bytes = static_cast<const char*>(source);
  std::size_t done = 0;
  while (done < size) {
    ssize_t put = write(ToDescriptor(file), bytes + done, size - done);
    if (put > 0) {
      done += static_cast<std::size_t>(put);
    } else if (put < 0 && errno == EINTR) {
      continue;
    } else {
      if (put == 0) errno = ENOSPC;
      break;
    }
  }
  return done;
}

bool MoveFilePosition(FileHandle file, std::int64_t delta) {
  return lseek(ToDescriptor(file), static_cast<off_t>(delta), SEEK_CUR) != -1;
}

bool CloseFile(FileHandle file) {
  // After a failed close the descriptor is gone on Linux; retrying could
  // close a descriptor opened meanwhile, so the result is only reported.
  if (Fails(Call::Close)) {
    int saved = errno;
    close(ToDescriptor(file));
    errno = saved;
    return false;
  }
  return close(ToDescriptor(file)) == 0;
}

ErrorCode IdentifyFolder(const char* path, FileIdentity* identity) {
  struct stat st;
  if (stat(path, &st) != 0) return errno;
  if (!S_ISDIR(st.st_mode)) return ENOTDIR;
  *identity = IdentityOf(st);
  return 0;
}

ErrorCode EnterFolder(const char* path) {
  // The starting folder is held open: it is found again even when its
  // path changed or cannot be read.
  // Not counted: the arms of gcc's guard of a static; no other thread ever sets it first.
  static const int start = open(".", O_PATH | O_DIRECTORY | O_CLOEXEC);  // GCOVR_EXCL_BR_LINE
  if (start < 0) return errno;
  if (fchdir(start) != 0) return errno;
  if (std::strcmp(path, ".") != 0 && chdir(path) != 0) return errno;
  return 0;
}

std::string CurrentFolderName() {
  std::vector<char> buffer(4096);
  while (getcwd(buffer.data(), buffer.size()) == nullptr) {
    if (errno != ERANGE) return std::string();
    buffer.resize(buffer.size() * 2);
  }
  std::string path(buffer.data());
  std::size_t cut = path.rfind('/');
  return cut == std::string::npos ? path : path.substr(cut + 1);
}

namespace {

struct PosixSearch {
  DIR* folder;
};

// What the entry is, links followed (a link to a folder counts as a
// folder), from the listing where it tells: a file system that does not
// (DT_UNKNOWN) is asked, as a link is.
void KindOfEntry(DIR* folder, const struct dirent* found, FolderEntry* entry) {
  unsigned type = found->d_type;
  if (type == DT_LNK || type == DT_UNKNOWN) {
    struct stat st;
    type = fstatat(dirfd(folder), found->d_name, &st, 0) == 0 ? IFTODT(st.st_mode) : unsigned{DT_UNKNOWN};
  }
  entry->isDirectory = type == DT_DIR;
  entry->isSpecial = type == DT_FIFO || type == DT_CHR || type == DT_BLK || type == DT_SOCK;
}

// The next entry of `folder`: false at its end, or where it cannot be
// read on (`*error`). `planned`: a fault planned for the listing may stand
// for the read (the first one's is asked before the folder is opened).
bool NextFolderEntry(DIR* folder, FolderEntry* entry, ErrorCode* error, bool planned = true) {
  errno = 0;
  const struct dirent* found = planned && Fails(Call::List) ? nullptr : readdir(folder);
  if (found == nullptr) {
    if (errno != 0) *error = errno;
    return false;
  }
  entry->name = found->d_name;
  KindOfEntry(folder, found, entry);
  return true;
}

}  // namespace

SearchStart StartFolderSearch(const char* searchText, FolderSearch* search, FolderEntry* first, ErrorCode* error,
                              FolderHandle within) {
  // Every entry of the folder is handed out; the caller matches the pattern.
  if (Fails(Call::List)) {
    *error = errno;
    return SearchStart::Failed;
  }
  DIR* folder = nullptr;
  if (within != kNoFolder) {
    // A descriptor of its own: the listing's position is not the held one's.
    const int listed = openat(static_cast<int>(within), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    folder = listed < 0 ? nullptr : fdopendir(listed);
    if (listed >= 0 && folder == nullptr) {
      const int reason = errno;
      close(listed);
      errno = reason;
    }
  } else {
    std::string folderPath(searchText);
    std::size_t cut = folderPath.rfind(kPathSeparator);
    folderPath = cut == std::string::npos ? std::string(".") : folderPath.substr(0, cut + 1);
    folder = opendir(folderPath.c_str());
  }
  if (folder == nullptr) {
    *error = errno;
    return SearchStart::Failed;
  }
  ErrorCode listError = 0;
  if (!NextFolderEntry(folder, first, &listError, false)) {
    closedir(folder);
    if (listError == 0) return SearchStart::NothingMatched;
    *error = listError;
    return SearchStart::Failed;
  }
  search->state = new PosixSearch{folder};
  return SearchStart::Found;
}

bool ContinueFolderSearch(FolderSearch* search, FolderEntry* next, ErrorCode* error) {
  auto* state = static_cast<PosixSearch*>(search->state);
  return state != nullptr && NextFolderEntry(state->folder, next, error);
}

void FinishFolderSearch(FolderSearch* search) {
  auto* state = static_cast<PosixSearch*>(search->state);
  if (state == nullptr) return;
  closedir(state->folder);
  delete state;
  search->state = nullptr;
}

bool GrowArena(ByteArena* arena, std::size_t minimumCapacity) {
  if (minimumCapacity <= arena->capacity) return true;
  if (Fails(Call::Memory)) return false;
  // One anonymous mapping, grown in place or moved by the kernel without
  // copying. It starts too small for a huge page: a run's arena holds one
  // hand-over's lines and the line being rewritten, so that clearing 2 MiB
  // as it is first touched would cost more than a small file's whole
  // conversion. Only an arena grown for very long lines asks for huge pages,
  // where they make first touches far cheaper.
  const std::size_t kFirstCapacity = std::size_t{256} << 10;
  const std::size_t kHugePage = std::size_t{2} << 20;
  std::size_t capacity = arena->capacity == 0 ? kFirstCapacity : arena->capacity;
  while (capacity < minimumCapacity) {
    if (capacity > SIZE_MAX / 2) return false;
    capacity *= 2;
  }
  void* memory;
  if (arena->data == nullptr) {
    memory = mmap(nullptr, capacity, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  } else {
    memory = mremap(arena->data, arena->capacity, capacity, MREMAP_MAYMOVE);
  }
  if (memory == MAP_FAILED) return false;
#ifdef MADV_HUGEPAGE
  if (capacity >= kHugePage) madvise(memory, capacity, MADV_HUGEPAGE);
#endif
  arena->data = static_cast<char*>(memory);
  arena->capacity = capacity;
  return true;
}

void ReleaseArena(ByteArena* arena) {
  if (arena->data != nullptr) munmap(arena->data, arena->capacity);
  *arena = ByteArena{};
}

void ShowCompletionNotice(const char* caption, const char* text, const NoticeDetails& details) {
  std::string problems;
  for (const std::string& line : details.consoleLines) problems += line + "\n";
  WriteToFile(STDERR_FILENO, problems.data(), problems.size());
  std::string notice = std::string(caption) + "\n" + text + "\n";
  // Only where someone sees the prompt: with the output redirected, the
  // prompt would go into the file and the run would seem to hang.
  bool waits = isatty(STDIN_FILENO) != 0 && isatty(STDOUT_FILENO) != 0;
  // Without a word the wait would look like a hang.
  if (waits) notice += "Press Enter to close.\n";
  WriteToFile(STDOUT_FILENO, notice.data(), notice.size());
  if (!waits) return;
  // Acknowledged by Enter (or by the end of input).
  char key;
  for (;;) {
    ssize_t got = read(STDIN_FILENO, &key, 1);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0 || key == '\n') return;
  }
}

bool ShowMessage(const std::string& consoleText, const std::string&, bool isError) {
  int fd = isError ? STDERR_FILENO : STDOUT_FILENO;
  return WriteToFile(fd, consoleText.data(), consoleText.size()) == consoleText.size();
}

void EndProcess(int status) { std::exit(status); }

}  // namespace platform
