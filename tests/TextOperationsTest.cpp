#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "tools/BrushPreset_Convertion.h"

namespace {

TEST(TextOperations, ContainsText) {
  struct Row {
    std::string text, what;
    bool contains;
  } rows[] = {
      {"global.Transp=5", "global.Transp=", true},
      {"x global.Transp=", "global.Transp=", true},
      {"global.Transp", "global.Transp=", false},
      {"GLOBAL.Transp=1", "global.Transp=", false},
      {"abc", "", false},
      {"", "", false},
      {"", "a", false},
      {"aab", "ab", true},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(ContainsText(row.text, row.what), row.contains) << row.text << " / " << row.what;
  }
}

TEST(TextOperations, DropFirst) {
  struct Row {
    std::string text;
    std::int64_t n;
    std::string result;
  } rows[] = {
      {"global.Transp=50", 14, "50"},
      {"abc", 0, "abc"},
      {"abc", -3, "abc"},
      {"abc", 3, ""},
      {"abc", 99, ""},
      {"", 1, ""},
      {"abc", INT64_MAX, ""},
  };
  for (const Row& row : rows) EXPECT_EQ(DropFirst(row.text, row.n), row.result) << row.text;
}

TEST(TextOperations, RemoveAllIsOneLeftToRightPass) {
  struct Row {
    std::string text, what, result;
  } rows[] = {
      {"aabb", "ab", "ab"},  // a match formed by the removal stays
      {"a;;b;", ";", "ab"},
      {"aaa", "aa", "a"},
      {"abc", "", "abc"},
      {"", "x", ""},
      {"globglobal.al.x", "global.", "global.x"},
      {"ab", "abc", "ab"},
  };
  for (const Row& row : rows) EXPECT_EQ(RemoveAll(row.text, row.what), row.result) << row.text;
}

TEST(TextOperations, ReplaceAllNeverRescansInsertedText) {
  struct Row {
    std::string text, what, with, result;
  } rows[] = {
      {"dirdirbrush", "dirbrush", "brushdir", "dirbrushdir"},
      {"aaa", "a", "aa", "aaaaaa"},
      {"abab", "ab", "", ""},
      {"xTranspy", "Transp", "alpha", "xalphay"},
      {"aaaa", "aa", "b", "bb"},
      {"abc", "", "zz", "abc"},
      {"", "a", "b", ""},
      {"brushname", "brushname", "name", "name"},
      {"aXbXc", "X", "long", "alongblongc"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(ReplaceAll(row.text, row.what, row.with), row.result) << row.text;
  }
}

TEST(TextOperations, ParseInteger) {
  struct Row {
    std::string text;
    std::int64_t value;
  } rows[] = {
      {"50", 50},
      {"  -7x", -7},
      {"$FF", 255},
      {"$ff", 255},
      {"%1010", 10},
      {"%102", 2},
      {"12.9", 12},
      {"", 0},
      {"abc", 0},
      {"- 5", 0},
      {"$", 0},
      {"%", 0},
      {"+100", 100},
      {"\t 42", 42},
      {"--5", 0},
      {"-$10", -16},
      {"9223372036854775807", INT64_MAX},
      {"9223372036854775808", INT64_MIN},  // wraps
      {"18446744073709551617", 1},         // wraps modulo 2^64
      {"-9223372036854775808", INT64_MIN},
      {"$FFFFFFFFFFFFFFFF", -1},
      {"A5", 0},
  };
  for (const Row& row : rows) EXPECT_EQ(ParseInteger(row.text), row.value) << row.text;
}

TEST(TextOperations, FormatInteger) {
  struct Row {
    std::int64_t value;
    std::string text;
  } rows[] = {
      {0, "0"},
      {7, "7"},
      {-127, "-127"},
      {255, "255"},
      {INT32_MIN, "-2147483648"},
      {INT64_MAX, "9223372036854775807"},
      {INT64_MIN, "-9223372036854775808"},
  };
  for (const Row& row : rows) EXPECT_EQ(FormatInteger(row.value), row.text);
}

TEST(TextOperations, WildcardMatch) {
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
