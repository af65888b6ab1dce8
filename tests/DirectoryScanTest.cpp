// The folder scan's own name matching.
#include <gtest/gtest.h>

#include <string>

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

}  // namespace
