#include "tests/TestSupport.h"

#include <fcntl.h>
#include <ftw.h>
#include <grp.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <vector>

namespace testing_support {

ScratchFolder::ScratchFolder() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/brush.XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  if (mkdtemp(name.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = name.data();
  chmod(path_.c_str(), 0755);
}

ScratchFolder::~ScratchFolder() {
  nftw(
      path_.c_str(),
      [](const char* p, const struct stat*, int type, struct FTW*) {
        // Never chmod through a link: tests link to devices.
        if (type == FTW_DP) chmod(p, 0700);
        remove(p);
        return 0;
      },
      16, FTW_DEPTH | FTW_PHYS);
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

void MakeFolder(const std::string& path) {
  if (mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) throw std::runtime_error("mkdir " + path);
}

namespace {

void SetLimit(int resource, long long value) {
  if (value < 0) return;
  struct rlimit limit;
  limit.rlim_cur = limit.rlim_max = static_cast<rlim_t>(value);
  if (setrlimit(resource, &limit) != 0) _exit(120);
}

}  // namespace

RunResult RunConverter(const std::string& folder, const RunLimits& limits) {
  int pipeFds[2];
  if (pipe(pipeFds) != 0) throw std::runtime_error("pipe failed");
  pid_t child = fork();
  if (child < 0) throw std::runtime_error("fork failed");
  if (child == 0) {
    dup2(pipeFds[1], STDOUT_FILENO);
    close(pipeFds[0]);
    close(pipeFds[1]);
    int devNull = open("/dev/null", O_RDONLY);
    dup2(devNull, STDIN_FILENO);
    close(devNull);
    if (chdir(folder.c_str()) != 0) _exit(121);
    SetLimit(RLIMIT_FSIZE, limits.fileSizeLimit);
    SetLimit(RLIMIT_AS, limits.addressSpaceLimit);
    SetLimit(RLIMIT_NOFILE, limits.openFilesLimit);
    if (limits.unprivileged) {
      if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) _exit(122);
    }
    execl(CONVERTER_PATH, CONVERTER_PATH, static_cast<char*>(nullptr));
    _exit(123);
  }
  close(pipeFds[1]);
  RunResult result;
  // Read the output while waiting, so a full pipe never stalls the child.
  fcntl(pipeFds[0], F_SETFL, O_NONBLOCK);
  int status = 0;
  long waitedMs = 0;
  for (;;) {
    char chunk[4096];
    ssize_t got;
    while ((got = read(pipeFds[0], chunk, sizeof chunk)) > 0) result.output.append(chunk, static_cast<std::size_t>(got));
    pid_t done = waitpid(child, &status, WNOHANG);
    if (done == child) break;
    if (waitedMs > limits.timeoutSeconds * 1000L) {
      kill(child, SIGKILL);
      waitpid(child, &status, 0);
      close(pipeFds[0]);
      return result;
    }
    usleep(2000);
    waitedMs += 2;
  }
  char chunk[4096];
  ssize_t got;
  while ((got = read(pipeFds[0], chunk, sizeof chunk)) > 0) result.output.append(chunk, static_cast<std::size_t>(got));
  close(pipeFds[0]);
  result.exited = WIFEXITED(status);
  result.exitStatus = result.exited ? WEXITSTATUS(status) : -1;
  return result;
}

}  // namespace testing_support
