// The text operations of the plain implementation that the rewriting is
// checked against: they must hold the rules' own meaning of "remove",
// "replace" and "read a number", or every comparison with them is void.
#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "tests/ReferenceRewrite.h"
#include "tools/rewriting/PresetLine.h"
#include "tools/rewriting/PresetRules.h"

namespace {

TEST(ReferenceTextOperations, Contains) {
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
    EXPECT_EQ(reference::Contains(row.text, row.what), row.contains) << row.text << " / " << row.what;
  }
}

TEST(ReferenceTextOperations, RemoveIsOneLeftToRightPass) {
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
  for (const Row& row : rows) EXPECT_EQ(reference::Remove(row.text, row.what), row.result) << row.text;
}

TEST(ReferenceTextOperations, ReplaceNeverRescansInsertedText) {
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
    EXPECT_EQ(reference::Replace(row.text, row.what, row.with), row.result) << row.text;
  }
}

// Each number also as the value of a marker line: the converter reads it
// the same way.
TEST(ReferenceTextOperations, ParseNumbers) {
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
  for (const Row& row : rows) {
    EXPECT_EQ(reference::Parse(row.text), row.value) << row.text;
    const std::string line = std::string(rules::kMarker) + row.text;
    EXPECT_EQ(RewritePresetLine(line), reference::Rewrite(line)) << line;
  }
}

TEST(ReferenceTextOperations, Format) {
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
  for (const Row& row : rows) EXPECT_EQ(reference::Format(row.value), row.text);
}

}  // namespace
