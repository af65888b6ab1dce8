// What the rewriting paths need to know about the rows of PresetRules.h,
// worked out at compile time: which removals go in one sweep, the distinct
// rename patterns, the bytes the rows are made of, what stages 2 and 3 make
// of the marker, and where a renamed text can form a later row's pattern.
// Nothing here is stored at run time unless a path uses it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string_view>

#include "tools/rewriting/PresetRules.h"

namespace rules {

inline constexpr std::size_t kRemovalCount = std::size(kRemovals);
inline constexpr std::size_t kRenameRows = std::size(kRenames);

constexpr bool BeginsWith(std::string_view text, std::string_view start) {
  return text.substr(0, start.size()) == start;
}

// True when two occurrences of `pattern` can overlap.
constexpr bool OverlapsItself(std::string_view pattern) {
  for (std::size_t k = 1; k < pattern.size(); ++k) {
    if (pattern.substr(pattern.size() - k) == pattern.substr(0, k)) return true;
  }
  return false;
}

// True when an occurrence of `a` and one of `b` can share a byte.
constexpr bool CanShareBytes(std::string_view a, std::string_view b) {
  if (a.find(b) != std::string_view::npos || b.find(a) != std::string_view::npos) return true;
  for (std::size_t k = 1; k < a.size() && k < b.size(); ++k) {
    if (a.substr(a.size() - k) == b.substr(0, k) || b.substr(b.size() - k) == a.substr(0, k)) return true;
  }
  return false;
}

// The longest pattern of all rows.
inline constexpr std::size_t kLongestPattern = [] {
  std::size_t longest = kMarker.size();
  for (std::string_view removal : kRemovals) longest = removal.size() > longest ? removal.size() : longest;
  for (const Rename& rename : kRenames) longest = rename.find.size() > longest ? rename.find.size() : longest;
  return longest;
}();

// The longest replacement of all rows.
inline constexpr std::size_t kLongestReplacement = [] {
  std::size_t longest = 0;
  for (const Rename& rename : kRenames) longest = rename.with.size() > longest ? rename.with.size() : longest;
  return longest;
}();

// ---- Stage 2 ----

// The first removal and the one-byte removals right behind it can go in one
// sweep over the line as read: a one-byte row drops the same bytes whether
// the rows before it ran or not, and the first row sees the line as read.
// The removals after them run one by one, each over what the ones before
// left.
inline constexpr std::size_t kSweptRemovals = [] {
  std::size_t count = 1;
  while (count < kRemovalCount && kRemovals[count].size() == 1) ++count;
  return count;
}();
inline constexpr std::string_view kFirstRemoval = kRemovals[0];

// No removal after the sweep can share a byte with itself or another: all
// their matches can be dropped at once.
inline constexpr bool kLaterRemovalsApart = [] {
  for (std::size_t a = kSweptRemovals; a < kRemovalCount; ++a) {
    if (OverlapsItself(kRemovals[a])) return false;
    for (std::size_t b = a + 1; b < kRemovalCount; ++b) {
      if (CanShareBytes(kRemovals[a], kRemovals[b])) return false;
    }
  }
  return true;
}();

// ---- Stage 3 ----

constexpr bool FirstWithItsPattern(std::size_t row) {
  for (std::size_t before = 0; before < row; ++before) {
    if (kRenames[before].find == kRenames[row].find) return false;
  }
  return true;
}

inline constexpr std::size_t kDistinctRenameCount = [] {
  std::size_t count = 0;
  for (std::size_t row = 0; row < kRenameRows; ++row) count += FirstWithItsPattern(row) ? 1 : 0;
  return count;
}();

// The rename rows whose pattern no row before them has, in order, and the
// row each one is: a line with one match of them all is renamed by that
// row alone, unless the renamed text forms a later row's pattern (a later
// row with the same pattern finds only what the ones before formed).
inline constexpr std::array<std::size_t, kDistinctRenameCount> kDistinctRenameRows = [] {
  std::array<std::size_t, kDistinctRenameCount> rows{};
  std::size_t count = 0;
  for (std::size_t row = 0; row < kRenameRows; ++row) {
    if (FirstWithItsPattern(row)) rows[count++] = row;
  }
  return rows;
}();

inline constexpr std::array<Rename, kDistinctRenameCount> kDistinctRenames = [] {
  std::array<Rename, kDistinctRenameCount> renames{};
  for (std::size_t i = 0; i < kDistinctRenameCount; ++i) renames[i] = kRenames[kDistinctRenameRows[i]];
  return renames;
}();

// One way for a lone rename to form a later row's pattern: with `before`
// right in front of the place where its pattern stood and `after` right
// behind that place (either may be empty), its replacement makes the
// pattern of a row that runs after it. `rename` indexes kDistinctRenames.
struct Forming {
  std::size_t rename = 0;
  std::string_view before;
  std::string_view after;
};

// Calls visit(Forming) for every way: each later row's pattern laid over
// the replacement at every offset where they share at least one byte (or,
// for an empty replacement, across the place where the pattern stood) and
// agree there.
template <typename Visit>
constexpr void ForEachForming(Visit&& visit) {
  for (std::size_t r = 0; r < kDistinctRenameCount; ++r) {
    const std::string_view with = kDistinctRenames[r].with;
    for (std::size_t row = kDistinctRenameRows[r] + 1; row < kRenameRows; ++row) {
      bool seen = false;  // an earlier row with this pattern gave the same ways
      for (std::size_t earlier = kDistinctRenameRows[r] + 1; earlier < row; ++earlier) {
        seen = seen || kRenames[earlier].find == kRenames[row].find;
      }
      if (seen) continue;
      const std::string_view later = kRenames[row].find;
      // The later pattern starts `lead` bytes in front of the replacement
      // (lead > 0) or -lead bytes into it.
      for (long lead = static_cast<long>(later.size()) - 1; lead > -static_cast<long>(with.size()); --lead) {
        bool agrees = true;
        for (std::size_t i = 0; i < later.size(); ++i) {
          long at = static_cast<long>(i) - lead;  // in the replacement
          if (at >= 0 && at < static_cast<long>(with.size())) {
            agrees = agrees && later[i] == with[static_cast<std::size_t>(at)];
          }
        }
        if (!agrees) continue;
        const std::size_t front = lead > 0 ? static_cast<std::size_t>(lead) : 0;
        const long past = static_cast<long>(later.size()) - lead - static_cast<long>(with.size());
        visit(Forming{r, later.substr(0, front),
                      past > 0 ? later.substr(later.size() - static_cast<std::size_t>(past)) : std::string_view()});
      }
    }
  }
}

inline constexpr std::size_t kFormingCount = [] {
  std::size_t count = 0;
  ForEachForming([&count](const Forming&) { ++count; });
  return count;
}();

inline constexpr std::array<Forming, kFormingCount> kFormings = [] {
  std::array<Forming, kFormingCount> formings{};
  std::size_t count = 0;
  ForEachForming([&](const Forming& forming) { formings[count++] = forming; });
  return formings;
}();

// No rename pattern can share a byte with a removal: where no removal joins
// two pieces, the renames' matches in the line as read are those stage 3
// sees.
inline constexpr bool kRenamesApartFromRemovals = [] {
  for (const Rename& rename : kDistinctRenames) {
    for (std::string_view removal : kRemovals) {
      if (CanShareBytes(rename.find, removal)) return false;
    }
  }
  return true;
}();

// Two distinct rename patterns of which one begins the other: both match
// at the same place. Indices in kDistinctRenames.
struct SharedStart {
  std::size_t first = 0;
  std::size_t second = 0;
};

template <typename Visit>
constexpr void ForEachSharedStart(Visit&& visit) {
  for (std::size_t a = 0; a < kDistinctRenameCount; ++a) {
    for (std::size_t b = a + 1; b < kDistinctRenameCount; ++b) {
      if (BeginsWith(kDistinctRenames[a].find, kDistinctRenames[b].find) ||
          BeginsWith(kDistinctRenames[b].find, kDistinctRenames[a].find)) {
        visit(SharedStart{a, b});
      }
    }
  }
}

inline constexpr std::size_t kSharedStartCount = [] {
  std::size_t count = 0;
  ForEachSharedStart([&count](const SharedStart&) { ++count; });
  return count;
}();

inline constexpr std::array<SharedStart, kSharedStartCount> kSharedStarts = [] {
  std::array<SharedStart, kSharedStartCount> pairs{};
  std::size_t count = 0;
  ForEachSharedStart([&](const SharedStart& pair) { pairs[count++] = pair; });
  return pairs;
}();

// ---- Stage 1 ----

// A short text built at compile time.
struct FixedText {
  char bytes[128] = {};
  std::size_t size = 0;
  constexpr std::string_view View() const { return std::string_view(bytes, size); }
};

constexpr FixedText ReplaceAllFixed(const FixedText& text, std::string_view what, std::string_view with) {
  FixedText result;
  for (std::size_t read = 0; read < text.size;) {
    if (text.View().substr(read, what.size()) == what) {
      for (char c : with) result.bytes[result.size++] = c;
      read += what.size();
    } else {
      result.bytes[result.size++] = text.bytes[read++];
    }
  }
  return result;
}

// No row's pattern holds a byte of a number as stage 1 writes it, so stages
// 2 and 3 leave the number alone and change only what stands before it.
inline constexpr bool kNumbersPassUnchanged = [] {
  constexpr std::string_view kNumberBytes = "-0123456789";
  bool unchanged = true;
  for (std::string_view removal : kRemovals) {
    unchanged = unchanged && removal.find_first_of(kNumberBytes) == std::string_view::npos;
  }
  for (const Rename& rename : kRenames) {
    unchanged = unchanged && rename.find.find_first_of(kNumberBytes) == std::string_view::npos;
  }
  return unchanged;
}();

// What stages 2 and 3 make of the marker: every line that stage 1 rewrote
// starts with it, the number follows.
inline constexpr FixedText kMarkerLineStart = [] {
  static_assert(kMarker.size() <= sizeof FixedText::bytes, "the marker is too long to be rewritten at compile time");
  FixedText text;
  for (char c : kMarker) text.bytes[text.size++] = c;
  for (std::string_view removal : kRemovals) text = ReplaceAllFixed(text, removal, std::string_view());
  for (const Rename& rename : kRenames) text = ReplaceAllFixed(text, rename.find, rename.with);
  return text;
}();

// ---- Byte sets ----

// Distinct bytes, in the order first met.
struct ByteList {
  char bytes[256] = {};
  std::size_t size = 0;
  constexpr bool Holds(char c) const {
    for (std::size_t i = 0; i < size; ++i) {
      if (bytes[i] == c) return true;
    }
    return false;
  }
  constexpr void Add(std::string_view text) {
    for (char c : text) {
      if (!Holds(c)) bytes[size++] = c;
    }
  }
  constexpr std::size_t IndexOf(char c) const {
    for (std::size_t i = 0; i < size; ++i) {
      if (bytes[i] == c) return i;
    }
    return size;
  }
};

// Which bytes stand side by side in the patterns added: each of their
// bytes has a number from 1 (0: in none), and bit b of follows[c] is set
// where the byte numbered b stands right behind byte c in one of them. A
// path that drops bytes asks it whether the two bytes that then meet could
// be a pattern's neighbours. `Bits` has a bit per number: Complete() is
// false where the patterns hold too many distinct bytes for it.
template <typename Bits>
struct NeighbourBytes {
  std::uint8_t number[256] = {};
  Bits follows[256] = {};
  std::size_t count = 0;
  constexpr void Add(std::string_view pattern) {
    for (char c : pattern) {
      std::uint8_t& byte = number[static_cast<unsigned char>(c)];
      if (byte == 0 && count + 1 < 8 * sizeof(Bits)) byte = static_cast<std::uint8_t>(++count);
    }
    for (std::size_t i = 0; i + 1 < pattern.size(); ++i) {
      follows[static_cast<unsigned char>(pattern[i])] |= Bits{1} << number[static_cast<unsigned char>(pattern[i + 1])];
    }
  }
  constexpr bool Complete() const { return count + 1 < 8 * sizeof(Bits); }
  constexpr bool Holds(char first, char second) const {
    return ((follows[static_cast<unsigned char>(first)] >> number[static_cast<unsigned char>(second)]) & 1) != 0;
  }
};

// The bytes of the one-byte removals swept with the first one.
inline constexpr ByteList kSweptBytes = [] {
  ByteList list;
  for (std::size_t i = 1; i < kSweptRemovals; ++i) list.Add(kRemovals[i]);
  return list;
}();

// The first bytes of the distinct rename patterns.
inline constexpr ByteList kRenameFirstBytes = [] {
  ByteList list;
  for (const Rename& rename : kDistinctRenames) list.Add(rename.find.substr(0, 1));
  return list;
}();

}  // namespace rules
