// The POSIX side of the platform seam (Linux).
#include <dirent.h>
#include <fcntl.h>
#include <langinfo.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/Platform.h"

namespace platform {

const char kPathSeparator = '/';

namespace {

// The temporary file of the output in hand, for the signal handler: its path
// as a C string and its inode, so that only that very file is removed.
char gPendingPath[4096];
volatile sig_atomic_t gPendingActive = 0;
dev_t gPendingDevice;
ino_t gPendingInode;

// Removes the unfinished output, then ends the process by the same signal,
// as an uninterrupted program would have ended.
void RemovePendingAndDie(int signalNumber) {
  if (gPendingActive) {
    struct stat st;
    if (lstat(gPendingPath, &st) == 0 && st.st_dev == gPendingDevice && st.st_ino == gPendingInode) {
      unlink(gPendingPath);
    }
  }
  signal(signalNumber, SIG_DFL);
  raise(signalNumber);
}

}  // namespace

ErrorCode LastError() { return errno; }

std::string DescribeError(ErrorCode error) {
  if (error == kNotARegularFile) return "Not a regular file";
  if (error == kSameFile) return "Is the input file itself";
  return std::strerror(error);
}

bool NamesNothing(ErrorCode error) { return error == ENOENT; }

bool TextIsUtf8() {
  // Only the character type follows the user's settings: messages and
  // numbers stay as they were.
  static const bool utf8 = [] {
    std::setlocale(LC_CTYPE, "");
    return std::strcmp(nl_langinfo(CODESET), "UTF-8") == 0;
  }();
  return utf8;
}

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

bool SameIdentity(const FileIdentity& a, const FileIdentity& b) { return a.volume == b.volume && a.index == b.index; }

// The folder part of `path`, with its separator ("" for a bare name).
std::string FolderOf(const std::string& path) {
  std::size_t cut = path.rfind('/');
  return cut == std::string::npos ? std::string() : path.substr(0, cut + 1);
}

}  // namespace

FileHandle OpenFileForReading(const char* path, FileIdentity* identity, ErrorCode* error) {
  // Non-blocking, and left so: a pipe with no writer would block the open,
  // and a file that blocks its reads gives a read error instead of a hang.
  int fd = OpenRetrying(path, O_RDONLY | O_NONBLOCK);
  // A kernel lease refuses a non-blocking open: wait for it to be given up,
  // as any copy would. A pipe never gives this error, so this cannot hang.
  if (fd < 0 && errno == EWOULDBLOCK) fd = OpenRetrying(path, O_RDONLY);
  if (fd < 0) {
    *error = errno;
    return kNoFile;
  }
  struct stat st;
  if (fstat(fd, &st) != 0) {
    *error = errno;
    close(fd);
    return kNoFile;
  }
  if (!S_ISREG(st.st_mode)) {
    *error = S_ISDIR(st.st_mode) ? EISDIR : kNotARegularFile;
    close(fd);
    return kNoFile;
  }
  *identity = IdentityOf(st);
  return fd;
}

FileHandle BeginReplacement(const char* finalPath, FileHandle source, Replacement* replacement, ErrorCode* error) {
  struct stat existing;
  bool exists = lstat(finalPath, &existing) == 0;
  if (!exists && errno != ENOENT) {
    *error = errno;
    return kNoFile;
  }
  if (exists && S_ISDIR(existing.st_mode)) {
    *error = EISDIR;
    return kNoFile;
  }
  if (exists && !S_ISREG(existing.st_mode) && !S_ISLNK(existing.st_mode)) {
    *error = kNotARegularFile;
    return kNoFile;
  }
  struct stat input {};
  if (source != kNoFile && fstat(ToDescriptor(source), &input) != 0) {
    *error = errno;
    return kNoFile;
  }
  // The input itself, reached through a link in either folder, is never
  // replaced: that would change an input. Only a link needs following.
  struct stat target = existing;
  if (source != kNoFile && exists && (!S_ISLNK(existing.st_mode) || stat(finalPath, &target) == 0) &&
      SameIdentity(IdentityOf(target), IdentityOf(input))) {
    *error = kSameFile;
    return kNoFile;
  }
  bool replacesFile = exists && S_ISREG(existing.st_mode);
  // An older output the process may not write stays: making it read-only
  // is how a user keeps a file.
  if (replacesFile && faccessat(AT_FDCWD, finalPath, W_OK, AT_EACCESS) != 0) {
    *error = errno;
    return kNoFile;
  }
  mode_t mode = replacesFile ? 0600 : source != kNoFile ? (input.st_mode & 0777) : 0666;

  std::string folder = FolderOf(finalPath);
  static const std::string process = std::to_string(getpid());
  static unsigned counter = 0;
  int fd = -1;
  std::string temporary;
  for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
    temporary = folder + ".BrushPreset_Convertion-" + process + "-" + std::to_string(++counter) + ".unfinished";
    if (temporary.size() >= sizeof gPendingPath) {
      *error = ENAMETOOLONG;
      return kNoFile;
    }
    gPendingActive = 0;
    std::memcpy(gPendingPath, temporary.c_str(), temporary.size() + 1);
    fd = OpenRetrying(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, mode);
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd < 0) {
    *error = errno;
    return kNoFile;
  }
  struct stat created;
  if (fstat(fd, &created) != 0) {
    *error = errno;
    close(fd);
    unlink(temporary.c_str());
    return kNoFile;
  }
  gPendingDevice = created.st_dev;
  gPendingInode = created.st_ino;
  gPendingActive = 1;
  if (replacesFile) {
    // What the older output allowed, it allows again: the bits as they
    // were, owner and group where this process may give them.
    if (fchown(fd, existing.st_uid, existing.st_gid) != 0) {
      [[maybe_unused]] int groupOnly = fchown(fd, static_cast<uid_t>(-1), existing.st_gid);
    }
    fchmod(fd, existing.st_mode & 07777);
  }
  replacement->finalPath = finalPath;
  replacement->temporaryPath = temporary;
  replacement->temporary = IdentityOf(created);
  replacement->replacesFile = replacesFile;
  return fd;
}

namespace {

// Removes the temporary file, unless something else has taken its name.
void RemoveTemporary(Replacement* replacement) {
  struct stat st;
  if (lstat(replacement->temporaryPath.c_str(), &st) == 0 &&
      SameIdentity(IdentityOf(st), replacement->temporary)) {
    unlink(replacement->temporaryPath.c_str());
  }
  gPendingActive = 0;
}

}  // namespace

bool CommitReplacement(Replacement* replacement, FileHandle file, ErrorCode* error) {
  int fd = ToDescriptor(file);
  // An older output is only given up for one whose bytes are on the disk:
  // after a power cut the folder holds the one or the other, whole.
  bool synced = !replacement->replacesFile || fdatasync(fd) == 0;
  if (!synced) *error = errno;
  // After a failed close the descriptor is gone on Linux; retrying could
  // close a descriptor opened meanwhile, so the result is only reported.
  bool closed = close(fd) == 0;
  if (synced && !closed) *error = errno;
  if (!synced || !closed) {
    RemoveTemporary(replacement);
    return false;
  }
  if (rename(replacement->temporaryPath.c_str(), replacement->finalPath.c_str()) != 0) {
    *error = errno;
    RemoveTemporary(replacement);
    return false;
  }
  gPendingActive = 0;
  return true;
}

void AbandonReplacement(Replacement* replacement, FileHandle file) {
  close(ToDescriptor(file));
  RemoveTemporary(replacement);
}

std::int64_t ReadFromFile(FileHandle file, void* destination, std::size_t size) {
  for (;;) {
    ssize_t got = read(ToDescriptor(file), destination, size);
    if (got >= 0) return static_cast<std::int64_t>(got);
    if (errno != EINTR) return -1;
  }
}

std::size_t WriteToFile(FileHandle file, const void* source, std::size_t size) {
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
  return close(ToDescriptor(file)) == 0;
}

ErrorCode CheckFolder(const char* path, bool writable) {
  struct stat st;
  if (stat(path, &st) != 0) return errno;
  if (!S_ISDIR(st.st_mode)) return ENOTDIR;
  if (faccessat(AT_FDCWD, path, writable ? (W_OK | X_OK) : (R_OK | X_OK), AT_EACCESS) != 0) return errno;
  return 0;
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
  static const int start = open(".", O_PATH | O_DIRECTORY | O_CLOEXEC);
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

bool IsDirectoryEntry(DIR* folder, const struct dirent* entry) {
  if (entry->d_type == DT_DIR) return true;
  if (entry->d_type != DT_LNK && entry->d_type != DT_UNKNOWN) return false;
  // Links are followed: a link to a folder counts as a folder.
  struct stat st;
  return fstatat(dirfd(folder), entry->d_name, &st, 0) == 0 && S_ISDIR(st.st_mode);
}

bool NextFolderEntry(DIR* folder, FolderEntry* entry) {
  errno = 0;
  const struct dirent* found = readdir(folder);
  if (found == nullptr) return false;
  entry->name = found->d_name;
  entry->isDirectory = IsDirectoryEntry(folder, found);
  return true;
}

}  // namespace

SearchStart StartFolderSearch(const char* searchText, FolderSearch* search, FolderEntry* first, ErrorCode* error) {
  // Every entry of the folder is handed out; the caller matches the pattern.
  std::string folderPath(searchText);
  std::size_t cut = folderPath.rfind(kPathSeparator);
  folderPath = cut == std::string::npos ? std::string(".") : folderPath.substr(0, cut + 1);
  DIR* folder = opendir(folderPath.c_str());
  if (folder == nullptr) {
    *error = errno;
    return SearchStart::Failed;
  }
  if (!NextFolderEntry(folder, first)) {
    closedir(folder);
    return SearchStart::NothingMatched;
  }
  search->state = new PosixSearch{folder};
  return SearchStart::Found;
}

bool ContinueFolderSearch(FolderSearch* search, FolderEntry* next) {
  auto* state = static_cast<PosixSearch*>(search->state);
  return state != nullptr && NextFolderEntry(state->folder, next);
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
  // One anonymous mapping, grown in place or moved by the kernel without
  // copying; huge pages make first touches of its memory far cheaper.
  const std::size_t kGranule = std::size_t{2} << 20;
  std::size_t capacity = arena->capacity == 0 ? kGranule : arena->capacity;
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
  madvise(memory, capacity, MADV_HUGEPAGE);
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
