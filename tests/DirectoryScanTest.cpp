// The folder scan: its own name matching, and what it lists.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <string>
#include <system_error>
#include <vector>

#include "tests/TestSupport.h"
#include "tools/DirectoryScan.h"

namespace {

TEST(DirectoryScan, WildcardMatch) {
  struct Row {
    std::string pattern, name;
    bool matches;
  } rows[] = {
      {"*.kvr", "brush.kvr", true},
      {"*.kvr", "BRUSH.KVR", true},
      {"*.kvr", "Mixed.Kvr", true},
      {"*.kvr", ".kvr", true},  // "*" takes the empty run
      {"*.kvr", "a.kvr.bak", false},
      {"*.kvr", "a.kvrx", false},
      {"*.kvr", "a.kv", false},
      {"*.kvr", "a.kvr.kvr", true},
      {"*.kvr", "akvr", false},
      {"*.kvr", "..kvr", true},
      {"*.kvr", "\xE9t\xE9.kvr", true},
      {"*.kvr", "\xC9.KVR", true},
      {"*.KVR", "brush.kvr", true},
      {"?.kvr", "a.kvr", true},
      {"?.kvr", "ab.kvr", false},
      {"*.*", "noextension", false},
      {"*.*", "a.b", true},
      {"a*b*c", "aXXbYYbZc", true},
      {"a*b*c", "aXXbYYbZ", false},
      {"", "", true},
      {"*", "", true},
      {"**", "x", true},
      {"\xE9.kvr", "\xC9.kvr", false},  // only ASCII letters fold
  };
  for (const Row& row : rows) {
    EXPECT_EQ(WildcardMatch(row.pattern, row.name), row.matches) << row.pattern << " " << row.name;
  }
}

// In the order of their names; `meanwhile` is done once the scan has begun.
std::vector<std::string> ScannedNames(const std::string& folder, const std::string& pattern = "*.kvr",
                                      const std::function<void()>& meanwhile = {}) {
  std::vector<std::string> names;
  DirectoryScan scan;
  platform::ErrorCode error = 0;
  EXPECT_TRUE(BeginScan(&scan, folder, pattern, &error)) << folder << ": " << error;
  if (meanwhile) meanwhile();
  while (NextEntry(&scan)) names.push_back(EntryName(scan));
  FinishScan(&scan);
  std::sort(names.begin(), names.end());
  return names;
}

// A folder's presets are listed whether or not its path ends in a
// separator; a folder without any, even one removed while the run stands
// in it, gives an empty scan and not a failure.
TEST(DirectoryScan, ListsThePresetsOfAFolder) {
  using Names = std::vector<std::string>;
  testing_support::ScratchFolder folder;
  testing_support::WriteFile(folder / "a.kvr", "");
  testing_support::WriteFile(folder / "b.txt", "");
  testing_support::MakeFolder(folder / "empty");
  EXPECT_EQ(ScannedNames(folder.path()), Names{"a.kvr"});
  EXPECT_EQ(ScannedNames(folder.path() + platform::kPathSeparator), Names{"a.kvr"});
  EXPECT_EQ(ScannedNames(folder / "empty"), Names{});
  // No pattern is "*.*": every name with a dot, the folder's own too.
  EXPECT_EQ(ScannedNames(folder.path(), ""), (Names{".", "..", "a.kvr", "b.txt"}));
  // Presets renamed by another program while the scan goes are listed by
  // the names they had: none is passed over under both (the folder's
  // entries are more than one read of 32 KiB takes).
  Names many;
  testing_support::MakeFolder(folder / "many");
  for (int i = 0; i < 600; ++i) {
    many.push_back(std::string(60, 'p') + std::to_string(i) + ".kvr");
    testing_support::WriteFile(folder / ("many/" + many.back()), "");
  }
  std::sort(many.begin(), many.end());
  EXPECT_EQ(ScannedNames(folder / "many", "*.kvr",
                         [&] {
                           for (const std::string& name : many) {
                             std::filesystem::rename(folder / ("many/" + name), folder / ("many/renamed " + name));
                           }
                         }),
            many);

  const std::filesystem::path start = std::filesystem::current_path();
  testing_support::MakeFolder(folder / "gone");
  std::filesystem::current_path(folder / "gone");
  std::error_code removal;
  // (Windows keeps a process's current folder from being removed.)
  if (std::filesystem::remove(folder / "gone", removal)) {
    EXPECT_EQ(ScannedNames(""), Names{});
  }
  std::filesystem::current_path(start);
}

}  // namespace
