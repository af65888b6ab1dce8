#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>

#include "tests/TestSupport.h"

namespace testing_support {

namespace {

void SetLimit(int resource, long long value) {
  if (value < 0) return;
  struct rlimit limit;
  limit.rlim_cur = limit.rlim_max = static_cast<rlim_t>(value);
  if (setrlimit(resource, &limit) != 0) _exit(120);
}

void Drain(int fd, std::string* output) {
  char chunk[4096];
  ssize_t got;
  while ((got = read(fd, chunk, sizeof chunk)) > 0) output->append(chunk, static_cast<std::size_t>(got));
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
  // Read the output while waiting, so that a full pipe never stalls it.
  fcntl(pipeFds[0], F_SETFL, O_NONBLOCK);
  RunResult result;
  int status = 0;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(limits.timeoutSeconds);
  while (waitpid(child, &status, WNOHANG) != child) {
    Drain(pipeFds[0], &result.output);
    if (std::chrono::steady_clock::now() > deadline) {
      kill(child, SIGKILL);
      waitpid(child, &status, 0);
      close(pipeFds[0]);
      return result;
    }
    usleep(2000);
  }
  Drain(pipeFds[0], &result.output);
  close(pipeFds[0]);
  result.exited = WIFEXITED(status);
  result.exitStatus = result.exited ? WEXITSTATUS(status) : -1;
  return result;
}

}  // namespace testing_support
