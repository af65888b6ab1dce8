#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <vector>

#include "tests/TestSupport.h"

extern char** environ;

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

bool RunningAsRoot() { return geteuid() == 0; }

const char* ConverterPath() {
  const char* chosen = std::getenv("BRUSH_TEST_CONVERTER");
  return chosen != nullptr && *chosen != '\0' ? chosen : CONVERTER_PATH;
}

RunResult RunConverter(const std::string& folder, const RunLimits& limits) {
  int outPipe[2], errPipe[2];
  if (pipe(outPipe) != 0 || pipe(errPipe) != 0) throw std::runtime_error("pipe failed");
  // Opened before any change of user: the unprivileged program needs no
  // path to its file.
  int program = open(ConverterPath(), O_RDONLY);
  if (program < 0) throw std::runtime_error(std::string("cannot open ") + ConverterPath());
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(ConverterPath()));
  for (const std::string& argument : limits.arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  pid_t child = fork();
  if (child < 0) throw std::runtime_error("fork failed");
  if (child == 0) {
    dup2(outPipe[1], STDOUT_FILENO);
    dup2(errPipe[1], STDERR_FILENO);
    for (int fd : {outPipe[0], outPipe[1], errPipe[0], errPipe[1]}) close(fd);
    int devNull = open("/dev/null", O_RDONLY);
    dup2(devNull, STDIN_FILENO);
    close(devNull);
    if (limits.outputFull) {
      int full = open("/dev/full", O_WRONLY);
      dup2(full, STDOUT_FILENO);
      close(full);
    }
    if (chdir(folder.c_str()) != 0) _exit(121);
    // Whatever this process ignores, the program starts with the defaults.
    for (int signalNumber : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) signal(signalNumber, SIG_DFL);
    if (limits.signalIgnored) signal(limits.signal, SIG_IGN);
    SetLimit(RLIMIT_FSIZE, limits.fileSizeLimit);
    SetLimit(RLIMIT_AS, limits.addressSpaceLimit);
    SetLimit(RLIMIT_NOFILE, limits.openFilesLimit);
    if (limits.unprivileged) {
      if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) _exit(122);
      // A coverage build's counters lie in its build folder; where this
      // user cannot reach it, they go to a scratch folder, so that the
      // runtime says nothing on the standard error the tests check.
      const char* counters = getenv("BRUSH_TEST_COUNTERS");
      if (counters != nullptr && access(counters, X_OK) != 0) setenv("GCOV_PREFIX", "/tmp/brush-unreachable-counters", 1);
    }
    fexecve(program, argv.data(), environ);
    _exit(123);
  }
  close(program);
  close(outPipe[1]);
  close(errPipe[1]);
  // Read both outputs while waiting, so that a full pipe never stalls it.
  fcntl(outPipe[0], F_SETFL, O_NONBLOCK);
  fcntl(errPipe[0], F_SETFL, O_NONBLOCK);
  RunResult result;
  int status = 0;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(limits.timeoutSeconds);
  bool signalled = limits.signal == 0;
  while (waitpid(child, &status, WNOHANG) != child) {
    Drain(outPipe[0], &result.output);
    Drain(errPipe[0], &result.errors);
    auto now = std::chrono::steady_clock::now();
    if (!signalled && (!limits.signalWhen || limits.signalWhen())) {
      kill(child, limits.signal);
      signalled = true;
    }
    if (now > deadline) {
      kill(child, SIGKILL);
      waitpid(child, &status, 0);
      close(outPipe[0]);
      close(errPipe[0]);
      return result;
    }
    usleep(2000);
  }
  Drain(outPipe[0], &result.output);
  Drain(errPipe[0], &result.errors);
  close(outPipe[0]);
  close(errPipe[0]);
  result.exited = WIFEXITED(status);
  result.exitStatus = result.exited ? WEXITSTATUS(status) : -1;
  result.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  return result;
}

}  // namespace testing_support
