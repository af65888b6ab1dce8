// The POSIX side of the platform seam (Linux).
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/Platform.h"

namespace platform {

const char kPathSeparator = '/';

void StartUp() {
  // A file-size limit must show up as a failed write (EFBIG), and a closed
  // standard output must not end the run before the last file is written.
  signal(SIGXFSZ, SIG_IGN);
  signal(SIGPIPE, SIG_IGN);
}

namespace {

int ToDescriptor(FileHandle file) { return static_cast<int>(file); }

// Opens without ever blocking (a pipe with no writer would block a plain
// open), then gives the descriptor ordinary blocking reads and writes.
int OpenWithoutWaiting(const char* path, int flags, mode_t mode = 0) {
  int fd;
  do {
    fd = open(path, flags | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// Clears O_NONBLOCK, the only status flag the opens here set.
bool MakeBlocking(int fd) { return fcntl(fd, F_SETFL, 0) == 0; }

FileIdentity IdentityOf(const struct stat& st) {
  return FileIdentity{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

bool SameIdentity(const FileIdentity& a, const FileIdentity& b) { return a.volume == b.volume && a.index == b.index; }

}  // namespace

FileHandle OpenFileForReading(const char* path, FileIdentity* identity) {
  int fd = OpenWithoutWaiting(path, O_RDONLY);
  if (fd < 0) return kNoFile;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || !MakeBlocking(fd)) {
    close(fd);
    return kNoFile;
  }
  *identity = IdentityOf(st);
  return fd;
}

FileHandle CreateFileForWriting(const char* path, const FileIdentity* keepIntact) {
  // The file is emptied only after it is known not to be the input itself,
  // so the open never truncates.
  int fd = OpenWithoutWaiting(path, O_RDWR | O_CREAT, 0666);
  if (fd < 0) fd = OpenWithoutWaiting(path, O_WRONLY);
  if (fd < 0) return kNoFile;
  struct stat st;
  bool usable = fstat(fd, &st) == 0 && (S_ISREG(st.st_mode) || S_ISCHR(st.st_mode));
  if (usable && keepIntact != nullptr && SameIdentity(IdentityOf(st), *keepIntact)) {
    usable = false;
  }
  if (usable && S_ISREG(st.st_mode) && st.st_size != 0) {
    int rc;
    do {
      rc = ftruncate(fd, 0);
    } while (rc != 0 && errno == EINTR);
    usable = rc == 0;
  }
  if (!usable || !MakeBlocking(fd)) {
    close(fd);
    return kNoFile;
  }
  return fd;
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

void RemoveIncompleteFile(const char* path) {
  struct stat st;
  if (stat(path, &st) == 0 && S_ISREG(st.st_mode)) unlink(path);
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

SearchStart StartFolderSearch(const char* searchText, FolderSearch* search, FolderEntry* first) {
  // Every entry of the folder is handed out; the caller matches the pattern.
  std::string folderPath(searchText);
  std::size_t cut = folderPath.rfind(kPathSeparator);
  folderPath = cut == std::string::npos ? std::string(".") : folderPath.substr(0, cut + 1);
  DIR* folder = opendir(folderPath.c_str());
  if (folder == nullptr) return SearchStart::Failed;
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

namespace {

// The console speaks UTF-8; the notice texts are Latin-1 bytes.
std::string Latin1ToUtf8(const char* text) {
  std::string out;
  for (const char* p = text; *p != '\0'; ++p) {
    auto byte = static_cast<unsigned char>(*p);
    if (byte < 0x80) {
      out += static_cast<char>(byte);
    } else {
      out += static_cast<char>(0xC0 | (byte >> 6));
      out += static_cast<char>(0x80 | (byte & 0x3F));
    }
  }
  return out;
}

}  // namespace

void ShowCompletionNotice(const char* caption, const char* text) {
  std::string notice = Latin1ToUtf8(caption) + "\n" + Latin1ToUtf8(text) + "\n";
  WriteToFile(STDOUT_FILENO, notice.data(), notice.size());
  if (!isatty(STDIN_FILENO)) return;
  // Acknowledged by Enter (or by the end of input).
  char key;
  for (;;) {
    ssize_t got = read(STDIN_FILENO, &key, 1);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0 || key == '\n') return;
  }
}

void EndProcess() { std::exit(0); }

}  // namespace platform
