// Which distinct rename pattern stands at a place of a text, for the paths
// that look for renames where their first bytes stand: found by two of the
// place's bytes and compared whole, with no branch on which pattern it is
// (and, for the short-line path, none on whether one is there), where the
// rows let two bytes tell the patterns apart; else pattern by pattern.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <utility>

#include "runtime/ByteScan.h"
#include "tools/rewriting/PresetRuleFacts.h"

namespace rules {

// The length of the shortest rename pattern: no match begins nearer the end.
inline constexpr std::size_t kShortestRename = [] {
  std::size_t shortest = kDistinctRenames[0].find.size();
  for (const Rename& rename : kDistinctRenames)
    shortest = rename.find.size() < shortest ? rename.find.size() : shortest;
  return shortest;
}();

// The place in a pattern, past its first byte, whose byte together with
// the first tells each distinct rename pattern from all the others; 0 where
// no place does (two patterns alike there, as where one begins another).
inline constexpr std::size_t kRenameProbe = [] {
  for (std::size_t probe = 1; probe < kShortestRename; ++probe) {
    bool apart = true;
    for (std::size_t a = 0; a < kDistinctRenameCount; ++a) {
      for (std::size_t b = a + 1; b < kDistinctRenameCount; ++b) {
        const std::string_view x = kDistinctRenames[a].find;
        const std::string_view y = kDistinctRenames[b].find;
        apart = apart && (x[0] != y[0] || x[probe] != y[probe]);
      }
    }
    if (apart) return probe;
  }
  return std::size_t{0};
}();

inline constexpr bool kRenamesLookedUp = [] {
  bool fit = kRenameProbe != 0;
  for (const Rename& rename : kDistinctRenames) fit = fit && rename.find.size() <= 16;
  return fit;
}();

// What RenameAt returns where no pattern stands, and where two do: any
// answer above kNoRename is two.
inline constexpr std::size_t kNoRename = kDistinctRenameCount;
inline constexpr std::size_t kTwoRenames = kDistinctRenameCount + 1;

// Each pattern's first byte and its byte at kRenameProbe numbered from 1 (0
// for a byte no pattern has there), the pattern that the two numbers name
// (kNoRename for none), and each pattern padded to a chunk with the bits of
// its bytes in a chunk's mask. The row for none asks for a bit that no mask
// has.
struct RenameLookup {
  unsigned char first[256] = {};
  unsigned char probe[256] = {};
  unsigned char rename[kDistinctRenameCount + 1][kDistinctRenameCount + 1] = {};
  char padded[kDistinctRenameCount + 1][16] = {};
  std::uint32_t need[kDistinctRenameCount + 1] = {};
  std::size_t size[kDistinctRenameCount + 1] = {};
};
inline constexpr RenameLookup kRenameLookup = [] {
  RenameLookup lookup;
  if constexpr (kRenamesLookedUp) {
    unsigned char firsts = 0;
    unsigned char probes = 0;
    for (auto& row : lookup.rename) {
      for (unsigned char& rename : row) rename = static_cast<unsigned char>(kNoRename);
    }
    for (std::size_t r = 0; r < kDistinctRenameCount; ++r) {
      const std::string_view find = kDistinctRenames[r].find;
      unsigned char& first = lookup.first[static_cast<unsigned char>(find[0])];
      if (first == 0) first = ++firsts;
      unsigned char& probe = lookup.probe[static_cast<unsigned char>(find[kRenameProbe])];
      if (probe == 0) probe = ++probes;
      lookup.rename[first][probe] = static_cast<unsigned char>(r);
      for (std::size_t i = 0; i < find.size(); ++i) lookup.padded[r][i] = find[i];
      lookup.need[r] = (std::uint32_t{1} << find.size()) - 1;
      lookup.size[r] = find.size();
    }
    lookup.need[kNoRename] = std::uint32_t{1} << 16;
  }
  return lookup;
}();

// The distinct rename whose pattern is at `at` of the n bytes of `text`;
// kNoRename for none, and kTwoRenames when two are. Each pattern is ruled
// out by its first byte before its length is looked at; where no two
// patterns can begin at one place (kSharedStarts), the first found is the
// only one.
template <std::size_t... R>
inline std::size_t RenameAt(const char* text, std::size_t n, std::size_t at, std::index_sequence<R...>) {
  std::size_t found = kNoRename;
  std::size_t count = 0;
  auto matches = [&](std::string_view find) {
    return text[at] == find[0] && at + find.size() <= n &&
           std::memcmp(text + at + 1, find.data() + 1, find.size() - 1) == 0;
  };
  if constexpr (kSharedStartCount == 0) {
    (void)((matches(kDistinctRenames[R].find) ? (found = R, true) : false) || ...);
    (void)count;
  } else {
    ((matches(kDistinctRenames[R].find) ? (found = R, ++count) : 0), ...);
  }
  return count > 1 ? kTwoRenames : found;
}

// For a text with 16 readable bytes from `at`, where kRenamesLookedUp: the
// one distinct rename whose pattern may stand at `at`, found by two of its
// bytes (kNoRename where none may).
inline std::size_t LookUpRename(const char* text, std::size_t at) {
  return kRenameLookup.rename[kRenameLookup.first[static_cast<unsigned char>(text[at])]]
                             [kRenameLookup.probe[static_cast<unsigned char>(text[at + kRenameProbe])]];
}

// Whether `rename` (from LookUpRename) stands whole at `at` of the n bytes
// of `text`; never for kNoRename.
inline bool RenameStands(const char* text, std::size_t n, std::size_t at, std::size_t rename) {
  const std::uint32_t need = kRenameLookup.need[rename];
  return ((bytescan::SameBytes16(text + at, kRenameLookup.padded[rename]) & need) == need) &
         (at + kRenameLookup.size[rename] <= n);
}

// RenameAt, for a text with 16 readable bytes from `at`, made without a
// branch on what stands there where the patterns can be looked up: for a
// caller that keeps the answer without one too.
__attribute__((always_inline)) inline std::size_t RenameAtWithoutBranch(const char* text, std::size_t n,
                                                                        std::size_t at) {
  if constexpr (kRenamesLookedUp) {
    const std::size_t rename = LookUpRename(text, at);
    return bytescan::Choose(RenameStands(text, n, at, rename), rename, kNoRename);
  } else {
    return RenameAt(text, n, at, std::make_index_sequence<kDistinctRenameCount>());
  }
}

}  // namespace rules
