#include "tests/TestSupport.h"

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "platform/Platform.h"
#include "platform/PlatformTesting.h"
#include "runtime/FileChannel.h"
#include "runtime/FileChannelTesting.h"

namespace fs = std::filesystem;

namespace testing_support {

void ResetTestHooks() {
  CloseAllChannels();
  SetChannelBufferAllocationFailsForTesting(false);
  platform::ClearFaults();
}

ScratchFolder::ScratchFolder() {
  std::random_device seed;
  std::mt19937_64 random(seed());
  for (int attempt = 0; attempt < 100; ++attempt) {
    fs::path candidate = fs::temp_directory_path() / ("brush." + std::to_string(random()));
    std::error_code error;
    if (fs::create_directory(candidate, error)) {
      fs::permissions(candidate, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                     fs::perms::others_read | fs::perms::others_exec);
      path_ = candidate.string();
      return;
    }
  }
  throw std::runtime_error("cannot create a scratch folder");
}

ScratchFolder::~ScratchFolder() {
  // remove_all never follows links; folders made unreadable are opened up
  // first so that their content can go.
  std::error_code error;
  for (auto it = fs::recursive_directory_iterator(path_, error); !error && it != fs::recursive_directory_iterator();
       it.increment(error)) {
    if (it->is_directory(error) && !it->is_symlink(error)) {
      fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, error);
    }
  }
  fs::remove_all(path_, error);
}

std::string ScratchFolder::operator/(const std::string& name) const {
  std::string joined = path_ + platform::kPathSeparator;
  for (char c : name) joined += c == '/' ? platform::kPathSeparator : c;
  return joined;
}

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
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
  std::error_code error;
  return fs::exists(fs::symlink_status(path, error));
}

std::map<std::string, std::string> Snapshot(const std::string& root, const std::string& skip) {
  std::map<std::string, std::string> entries;
  std::error_code error;
  for (auto it = fs::recursive_directory_iterator(root, fs::directory_options::skip_permission_denied, error);
       !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
    const std::string name = it->path().lexically_relative(root).generic_string();
    if (name == skip) {
      it.disable_recursion_pending();
      continue;
    }
    std::error_code kind;
    if (it->is_symlink(kind)) {
      entries[name] = "link: " + fs::read_symlink(it->path(), kind).string();
    } else if (it->is_directory(kind)) {
      entries[name] = "folder";
    } else if (it->is_regular_file(kind)) {
      try {
        entries[name] = "file: " + ReadFile(it->path().string());
      } catch (const std::runtime_error&) {
        entries[name] = "unreadable file";
      }
    } else {
      entries[name] = "other";
    }
  }
  return entries;
}

void MakeFolder(const std::string& path) {
  std::error_code error;
  fs::create_directory(path, error);
  if (error) throw std::runtime_error("cannot create " + path);
}

void Workspace::MakeFolders() const {
  MakeFolder(in(""));
  MakeFolder(out(""));
}

void Workspace::AddControlPreset() const { WriteFile(in("control.kvr"), kControlPreset); }

void ExpectEndedWithNotice(const RunResult& result, int exitStatus) {
  EXPECT_TRUE(result.exited) << "killed, or still running at the timeout";
  EXPECT_EQ(result.exitStatus, exitStatus) << result.errors;
  EXPECT_EQ(result.output, kNoticeOutput);
  if (exitStatus == 0) {
    EXPECT_EQ(result.errors, "");
  }
}

}  // namespace testing_support
