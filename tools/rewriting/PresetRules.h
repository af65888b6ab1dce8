// The rules that turn a legacy preset line into the current form, declared
// once. Every way of rewriting a line reads them from here: the plain rows,
// the 16-byte masks, the 64-byte blocks, and the tests' step-by-step
// implementation (tests/ReferenceRewrite.h).
//
// A line (bytes without CR, LF or NUL) goes through three stages:
//  1. A line that holds kMarker anywhere becomes kMarker followed by the
//     transparency in the current scale: the number read from byte
//     kMarker.size() of the line on, as if the marker began the line (every
//     kSkippedInValue byte passed over; blanks, one sign, then decimal
//     digits, "$" and hexadecimal or "%" and binary), times kScaleTo,
//     divided by kScaleFrom in 64-bit wrapping arithmetic, then kept to its
//     low 32 bits, signed, in decimal.
//  2. Each of kRemovals in this order, over the result of the one before:
//     one left-to-right pass that drops every occurrence; an occurrence
//     that only forms where two remaining pieces meet stays.
//  3. Each of kRenames in this order, over the result of the one before:
//     one left-to-right pass that replaces every occurrence of `find` with
//     `with`; the inserted text is not searched again by the same row.
//
// Changing or adding a row means editing this file alone: each rewriting
// path works out at compile time what it needs from the rows, and a path
// that cannot follow a row stops the build with a static_assert that says
// why. The tests hold every path to the step-by-step implementation.
#pragma once

#include <cstdint>
#include <string_view>

namespace rules {

struct Rename {
  std::string_view find;
  std::string_view with;
};

inline constexpr std::string_view kMarker = "global.Transp=";
inline constexpr char kSkippedInValue = ';';
inline constexpr std::int64_t kScaleTo = 255;
inline constexpr std::int64_t kScaleFrom = 100;

inline constexpr std::string_view kRemovals[] = {"global.", "'", ";", ".kvr"};

// "dirbrush" stands twice on purpose: the second row renames a "dirbrush"
// that the first one formed.
inline constexpr Rename kRenames[] = {
    {"Transp", "alpha"},   {"SizeY", "sizeY"},     {"SizeX", "sizeX"},       {"Rotate", "rotate"},
    {"brushname", "name"}, {"Scatter", "scatter"}, {"dirbrush", "brushdir"}, {"dirbrush", "brushdir"},
};

// What every path relies on: patterns are not empty, hold no byte that ends
// a line (no line could hold them), and a rename never lengthens a line.
constexpr bool kRowsAreWellFormed = [] {
  auto wellFormed = [](std::string_view pattern) {
    return !pattern.empty() && pattern.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
  };
  bool ok = wellFormed(kMarker) && kScaleFrom != 0;
  for (std::string_view removal : kRemovals) ok = ok && wellFormed(removal);
  for (const Rename& rename : kRenames) {
    ok = ok && wellFormed(rename.find) && rename.with.size() <= rename.find.size() &&
         rename.with.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
  }
  return ok;
}();
static_assert(kRowsAreWellFormed,
              "a pattern is empty or holds CR, LF or NUL, or a rename's replacement is longer than its pattern");

}  // namespace rules
