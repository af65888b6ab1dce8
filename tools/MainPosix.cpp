#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tools/BrushPreset_Convertion.h"
#include "tools/CommandLine.h"

namespace {

using namespace command_line;

// Writes `text` to `stream`; false when not all of it got out.
bool Print(std::FILE* stream, const std::string& text) {
  bool written = std::fputs(text.c_str(), stream) >= 0;
  return std::fflush(stream) == 0 && written;
}

bool IsFolder(const std::string& path) {
  struct stat status;
  return stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

// Tells why FOLDER cannot be the working folder.
int FolderFailure(const std::string& folder, int error) {
  Print(stderr, std::string(kProgramName) + ": " + folder + ": " + std::strerror(error) + "\n");
  return kExitFailure;
}

}  // namespace

// With no argument the run happens in the current folder; help, version
// and usage errors never touch a file.
int main(int argc, char** argv) {
  std::vector<std::string> arguments;
  for (int i = 1; i < argc; ++i) arguments.emplace_back(argv[i]);
  const Invocation invocation = ReadArguments(arguments);
  switch (invocation.request) {
    case Request::Help:
      return Print(stdout, UsageText()) ? kExitSuccess : kExitFailure;
    case Request::Version:
      return Print(stdout, VersionText()) ? kExitSuccess : kExitFailure;
    case Request::UsageError:
      Print(stderr, std::string(kProgramName) + ": " + invocation.problem + "\n" + UsageText());
      return kExitUsage;
    case Request::Convert:
      break;
  }
  if (invocation.hasFolder) {
    const std::string& folder = invocation.folder;
    // FOLDER itself must be a folder, even where its parent is used.
    struct stat status;
    if (stat(folder.c_str(), &status) != 0) return FolderFailure(folder, errno);
    if (!S_ISDIR(status.st_mode)) return FolderFailure(folder, ENOTDIR);
    if (chdir(WorkingFolderFor<char>(folder, PathStyle::Posix, IsFolder).c_str()) != 0) {
      return FolderFailure(folder, errno);
    }
  }
  RunConversion();
}
