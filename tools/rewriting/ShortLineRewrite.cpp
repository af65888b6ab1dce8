#include "tools/rewriting/ShortLineRewrite.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "runtime/ByteScan.h"
#include "tools/rewriting/LongLineRewrite.h"
#include "tools/rewriting/PresetLine.h"
#include "tools/rewriting/PresetRuleFacts.h"
#include "tools/rewriting/RenameLookup.h"
#include "tools/rewriting/RowRewrite.h"

static_assert(kRewriteGrowth >= 32, "16-byte path: whole chunks are written up to 32 bytes past the line");

namespace {

constexpr std::string_view kFirstRemoval = rules::kFirstRemoval;
// The removals that run one by one after the sweep.
constexpr std::size_t kLaterRemovals = rules::kRemovalCount - rules::kSweptRemovals;

static_assert(kFirstRemoval.size() <= kShortLine, "16-byte path: the first removal is longer than a short line");
static_assert(!rules::OverlapsItself(kFirstRemoval),
              "16-byte path: all matches of the first removal are dropped at once, so no two of them may overlap");
static_assert(rules::kLaterRemovalsApart,
              "16-byte path: the removals after the sweep are looked for at once in the line as read, so no two of "
              "their matches may overlap");
static_assert(rules::kRenamesApartFromRemovals,
              "16-byte path: renames are looked for in the line as read, so no rename pattern may share a byte with "
              "a removal");
static_assert(rules::BeginsWith(rules::kMarker, kFirstRemoval),
              "16-byte path: the marker is looked for behind the matches of the first removal, which it must begin "
              "with");

// The masks are of one type per line length (bytescan::ChunkMask): Bits
// below is std::uint64_t or, on a 32-bit target for lines of up to 32
// bytes, std::uint32_t.
template <typename Bits>
constexpr std::size_t kWidth = sizeof(Bits) * 8;

// The place of the lowest set bit of a mask that is not 0, through an
// unsigned value: widening it to an index then costs nothing.
template <typename Bits>
inline std::size_t Lowest(Bits mask) {
  return static_cast<unsigned>(bytescan::LowestBit(mask));
}

template <typename Bits>
constexpr Bits LowBits(std::size_t n) {
  return n >= kWidth<Bits> ? ~Bits{0} : (Bits{1} << n) - 1;
}

// The bits of the n <= 16 * Chunks bytes of a line: where the mask is
// wider than the chunks, without a test.
template <std::size_t Chunks, typename Bits>
constexpr Bits InLine(std::size_t n) {
  return 16 * Chunks < kWidth<Bits> ? (Bits{1} << n) - 1 : LowBits<Bits>(n);
}

// Copies the bytes of the line not marked in `removed` to `out`, run by
// run in whole chunks: for lines of up to 32 bytes, as many chunks as the
// line has, whatever the run's length (the 64 bytes from the line can be
// read, and `out` has 32 bytes of room past the line). Returns the new
// length; `*moved` is where the byte
// at `at` of the line landed (left alone when it was removed or `at` lies
// past the line).
template <std::size_t Chunks, typename Bits>
__attribute__((always_inline)) inline std::size_t CompactInto(const char* line, std::size_t n, Bits removed, char* out,
                                                              std::size_t at, std::size_t* moved) {
  Bits keep = InLine<Chunks, Bits>(n) & ~removed;
  if (Chunks == 1 && (keep & (keep + 1)) == 0) {
    // One run from the start, as most lines of one chunk keep (their rows
    // drop bytes at their end only): one copy. (Longer lines mostly hold
    // quoted text, a second run.)
    static_assert(kWidth<Bits> > 16, "16-byte path: a kept run from the start of one chunk has a byte behind it");
    const auto run = Lowest(static_cast<Bits>(~keep));
    bytescan::CopyChunks(out, line, 16);
    if (at < run) *moved = at;
    return run;
  }
  std::size_t written = 0;
  while (keep != 0) {
    // Adding the run's lowest bit carries to the byte behind the run (out of
    // the mask when the run reaches its top), clearing the run.
    auto start = Lowest(keep);
    const Bits behind = keep + (keep & (0 - keep));
    // (No run reaches the top of the mask where it is wider than the chunks.)
    std::size_t run = (16 * Chunks < kWidth<Bits> || behind != 0 ? Lowest(behind) : kWidth<Bits>) - start;
    if constexpr (Chunks <= 2) {
      bytescan::CopyChunks(out + written, line + start, Chunks * 16);
    } else {
      bytescan::CopyChunks(out + written, line + start, run);
    }
    if (at - start < run) *moved = written + (at - start);
    written += run;
    keep &= behind;
  }
  return written;
}

// True when no row before removal `Row` can drop a byte of one of its
// matches but the first: a match whose first byte was kept was kept whole.
template <std::size_t Row>
constexpr bool kTailKeptWithHead = [] {
  const std::string_view tail = rules::kRemovals[Row].substr(1);
  bool apart = true;
  for (std::size_t before = 0; before < Row; ++before) {
    apart = apart && (tail.empty() || !rules::CanShareBytes(tail, rules::kRemovals[before]));
  }
  return apart;
}();

// The matches of the later removal `I` in the line as read whose bytes the
// rows before it all kept, added to `removed`.
template <std::size_t I, std::size_t Chunks>
__attribute__((always_inline)) inline bytescan::ChunkMask<Chunks> AddLaterRemoval(
    const bytescan::ShortText<Chunks>& text, const char* line, std::size_t n, bytescan::ChunkMask<Chunks> removed) {
  using Bits = bytescan::ChunkMask<Chunks>;
  constexpr std::string_view removal = rules::kRemovals[rules::kSweptRemovals + I];
  Bits found = 0;
  Bits candidates = text.template Mask<removal.front()>() & ~removed;
  // (A match's first byte lies in the line: its last one need not be told.)
  if constexpr (removal.size() > 1) candidates &= text.template AllMask<removal.back()>() >> (removal.size() - 1);
  for (; candidates != 0; candidates &= candidates - 1) {
    auto at = Lowest(candidates);
    if (at + removal.size() <= n && std::memcmp(line + at, removal.data(), removal.size()) == 0 &&
        (kTailKeptWithHead<rules::kSweptRemovals + I> || ((removed >> at) & LowBits<Bits>(removal.size())) == 0)) {
      found |= LowBits<Bits>(removal.size()) << at;
    }
  }
  return removed | found;
}

// The places where a match of the first removal may begin: its first byte
// there and its last byte where it would end.
template <std::size_t Chunks>
__attribute__((always_inline)) inline bytescan::ChunkMask<Chunks> FirstRemovalCandidates(
    const bytescan::ShortText<Chunks>& text) {
  return text.template AllMask<kFirstRemoval.front()>() &
         (text.template Mask<kFirstRemoval.back()>() >> (kFirstRemoval.size() - 1));
}

// The later removal I, as a type that a generic lambda can read at compile
// time.
template <std::size_t I>
struct LaterRemoval {
  static constexpr std::string_view value = rules::kRemovals[rules::kSweptRemovals + I];
};

template <std::size_t... I, std::size_t Chunks>
__attribute__((always_inline)) inline bytescan::ChunkMask<Chunks> AddLaterRemovals(
    const bytescan::ShortText<Chunks>& text, const char* line, std::size_t n, bytescan::ChunkMask<Chunks> removed,
    std::index_sequence<I...>) {
  ((removed = AddLaterRemoval<I>(text, line, n, removed)), ...);
  return removed;
}

// The places where a match of a later removal could begin, their first and
// last bytes told (0 where none can).
template <std::size_t... I>
__attribute__((always_inline)) inline bytescan::ChunkMask<1> LaterRemovalStarts(const bytescan::ShortText<1>& text,
                                                                                std::index_sequence<I...>) {
  auto starts = [&text](auto removal) {
    constexpr std::string_view kRemoval = decltype(removal)::value;
    bytescan::ChunkMask<1> mask = text.template Mask<kRemoval.front()>();
    if constexpr (kRemoval.size() > 1) mask &= text.template AllMask<kRemoval.back()>() >> (kRemoval.size() - 1);
    return mask;
  };
  return (bytescan::ChunkMask<1>{0} | ... | starts(LaterRemoval<I>{}));
}

// Which bytes stand next to each other in the pattern of a row that a
// removal could join across its gap: a removal after the sweep or a rename.
constexpr auto kPatternPairs = [] {
  rules::NeighbourBytes<std::uint32_t> pairs;
  for (std::size_t i = rules::kSweptRemovals; i < rules::kRemovalCount; ++i) pairs.Add(rules::kRemovals[i]);
  for (const rules::Rename& rename : rules::kDistinctRenames) pairs.Add(rename.find);
  return pairs;
}();
static_assert(kPatternPairs.Complete(),
              "16-byte path: the patterns a removal could join hold more distinct bytes than a 32-bit set has bits");

// True when some removed run has, kept on each side, two bytes that stand
// next to each other in such a pattern: only there can the removals join
// two pieces into a match that the text as read does not hold. Adding a bit
// at a run's start carries to the byte behind the run, so `behind` marks
// the bytes behind the runs that have a kept byte in front, in the order of
// those bytes in `front` (only the last run in front can lack a byte
// behind). Most lines have none, or one with bytes no pattern pairs.
template <std::size_t Chunks, typename Bits>
__attribute__((always_inline)) inline bool JoinsPatternBytes(const char* line, std::size_t n, Bits removed) {
  const Bits kept = InLine<Chunks, Bits>(n) & ~removed;
  Bits front = kept & (removed >> 1);
  for (Bits behind = (((front << 1) & removed) + removed) & kept; behind != 0;
       behind &= behind - 1, front &= front - 1) {
    if (kPatternPairs.Holds(line[Lowest(front)], line[Lowest(behind)])) return true;
  }
  return false;
}

// The rename matches found in a line: how many (two where two patterns
// stand at one place), and the place and distinct rename of the last one
// (rules::kNoRename for none). FindRenames gives the place in the line; the
// callers move it to where the match landed in `out` before renaming.
struct RenameMatches {
  int count = 0;
  std::size_t at = 0;
  std::size_t rename = rules::kNoRename;
};

// The patterns' first bytes in ascending order, for their ranges below.
constexpr rules::ByteList kSortedFirstBytes = [] {
  rules::ByteList sorted = rules::kRenameFirstBytes;
  for (std::size_t i = 1; i < sorted.size; ++i) {
    for (std::size_t j = i;
         j > 0 && static_cast<unsigned char>(sorted.bytes[j]) < static_cast<unsigned char>(sorted.bytes[j - 1]); --j) {
      const char swapped = sorted.bytes[j];
      sorted.bytes[j] = sorted.bytes[j - 1];
      sorted.bytes[j - 1] = swapped;
    }
  }
  return sorted;
}();

// Every occurrence of every distinct rename pattern in `text`, whose 16
// bytes from each start can be read: each begins at one of the `starts`,
// the places of the patterns' first bytes. What each place holds is counted
// and kept without a branch.
template <typename Bits>
__attribute__((always_inline)) inline RenameMatches FindRenames(const char* text, std::size_t n, Bits starts) {
  RenameMatches matches;
  for (; starts != 0; starts &= starts - 1) {
    const std::size_t at = Lowest(starts);
    const std::size_t rename = rules::RenameAtWithoutBranch(text, n, at);
    const bool found = rename != rules::kNoRename;
    matches.count += static_cast<int>(found) + static_cast<int>(rename == rules::kTwoRenames);
    matches.at = bytescan::Choose(found, at, matches.at);
    matches.rename = bytescan::Choose(found, rename, matches.rename);
  }
  return matches;
}

// True when the `size` bytes at `text` are those of `bytes`, a constant:
// compared byte by byte, without a library call, which would make the
// short path save registers on every line for a rare case.
template <std::size_t Size>
__attribute__((always_inline)) inline bool SameBytes(const char* text, const char* bytes) {
  bool same = true;
#pragma GCC unroll 16
  for (std::size_t i = 0; i < Size; ++i) same &= text[i] == bytes[i];
  return same;
}

// True when the rename found makes, with its neighbours as rules::kFormings
// number E has them, the pattern of a row that runs after it.
template <std::size_t E>
__attribute__((always_inline)) inline bool Forms(const char* out, std::size_t size, const RenameMatches& matches) {
  constexpr rules::Forming kForming = rules::kFormings[E];
  constexpr std::size_t kFindSize = rules::kDistinctRenames[kForming.rename].find.size();
  if (matches.rename != kForming.rename) return false;
  const std::size_t at = matches.at;
  if constexpr (!kForming.before.empty()) {
    constexpr std::string_view before = kForming.before;
    if (at < before.size() || !SameBytes<before.size()>(out + at - before.size(), before.data())) return false;
  }
  if constexpr (!kForming.after.empty()) {
    constexpr std::string_view after = kForming.after;
    if (at + kFindSize + after.size() > size || !SameBytes<after.size()>(out + at + kFindSize, after.data())) {
      return false;
    }
  }
  return true;
}

// True when each way a rename forms a later row's pattern needs a
// neighbour that holds a rename pattern's first byte: a line with one place
// where a pattern may begin then cannot form one.
constexpr bool kFormingNeedsTwoStarts = [] {
  for (const rules::Forming& forming : rules::kFormings) {
    bool holds = false;
    for (char c : forming.before) holds = holds || rules::kRenameFirstBytes.Holds(c);
    for (char c : forming.after) holds = holds || rules::kRenameFirstBytes.Holds(c);
    if (!holds) return false;
  }
  return true;
}();

template <std::size_t... E>
__attribute__((always_inline)) inline bool FormsLaterPattern(const char* out, std::size_t size,
                                                             const RenameMatches& matches, std::index_sequence<E...>) {
  return (Forms<E>(out, size, matches) || ...);
}

// The distinct renames as data, so that a lone rename is made without a
// branch on which one it is (the renames of a file's lines come in no order
// a processor could predict), and a last row, for none, that changes
// nothing.
struct LoneRename {
  std::size_t findSize = 0;
  std::size_t withSize = 0;
  alignas(16) char with[16] = {};
  alignas(16) char withMask[16] = {};  // all ones over the replacement's bytes
};

static_assert(rules::kLongestReplacement <= 16, "16-byte path: a lone rename is blended in from a 16-byte register");

constexpr std::array<LoneRename, rules::kDistinctRenameCount + 1> kLoneRenames = [] {
  std::array<LoneRename, rules::kDistinctRenameCount + 1> renames{};
  for (std::size_t r = 0; r < rules::kDistinctRenameCount; ++r) {
    renames[r].findSize = rules::kDistinctRenames[r].find.size();
    renames[r].withSize = rules::kDistinctRenames[r].with.size();
    for (std::size_t i = 0; i < renames[r].withSize; ++i) {
      renames[r].with[i] = rules::kDistinctRenames[r].with[i];
      renames[r].withMask[i] = static_cast<char>(0xFF);
    }
  }
  return renames;
}();

// The lone rename `matches` found, or none, made in the `size` bytes of
// `out`. Where the line has at most 16 * Chunks <= 32 bytes, no branch on
// which rename it is: the rest of the line behind the pattern is loaded
// whole, the replacement's 16 bytes (zeros behind it) are stored at the
// pattern, and the rest is stored behind the replacement, over those zeros
// (none stores its zeros and then the line itself over them). Nothing
// stored here is loaded again: a load of bytes that a store still on its
// way holds in part waits until that store has gone to memory, which cost
// a tenth of the time of rewriting short lines. Longer lines move the rest
// only where the length changes, and blend the replacement over the first
// bytes of the pattern. A rename never lengthens a line
// (rules::kRowsAreWellFormed), so the pattern's place and replacement end
// within the line, and the writes within the room of kRewriteGrowth bytes
// behind it: at most 32 bytes past the line.
template <std::size_t Chunks>
__attribute__((always_inline)) inline std::size_t RenameAlone(char* out, std::size_t size,
                                                              const RenameMatches& matches) {
  const LoneRename& rename = kLoneRenames[matches.rename];
  char* const at = out + matches.at;
  if constexpr (Chunks <= 2) {
    char rest[16 * Chunks];
    std::memcpy(rest, at + rename.findSize, sizeof rest);
    std::memcpy(at, rename.with, sizeof rename.with);
    std::memcpy(at + rename.withSize, rest, sizeof rest);
  } else {
    if (rename.withSize != rename.findSize) {
      // Most renames keep the length: the rest of the line stays in place.
      bytescan::CopyChunks(at + rename.withSize, at + rename.findSize, size - matches.at - rename.findSize);
    }
#if defined(__SSE2__)
    const __m128i mask = _mm_load_si128(reinterpret_cast<const __m128i*>(rename.withMask));
    const __m128i with = _mm_load_si128(reinterpret_cast<const __m128i*>(rename.with));
    const __m128i kept = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(at),
                     _mm_or_si128(_mm_and_si128(mask, with), _mm_andnot_si128(mask, kept)));
#else
    std::memcpy(at, rename.with, rename.withSize);
#endif
  }
  return size - rename.findSize + rename.withSize;
}

// Stage 3 on the `size` bytes stages 1 and 2 left in `out`, given the
// matches of the rename patterns there (for none, with 0 as their place).
// When no match, or a single one, is all that the rows would find, it is
// renamed alone; otherwise the long-line path's stage 3 takes over.
template <std::size_t Chunks>
__attribute__((always_inline)) inline std::size_t ApplyRenames(char* out, std::size_t size,
                                                               const RenameMatches& matches) {
  if (matches.count > 1 || FormsLaterPattern(out, size, matches, std::make_index_sequence<rules::kFormingCount>())) {
    return RenameRows(out, size);
  }
  return RenameAlone<Chunks>(out, size, matches);
}

template <std::size_t Chunks, std::size_t... I>
inline bytescan::ChunkMask<Chunks> SweptBytes(const bytescan::ShortText<Chunks>& text, std::index_sequence<I...>) {
  // Bytes marked past the line change nothing: every use of the removed
  // bytes limits them to the line, or, for a run reaching past its end,
  // looks at no byte behind it.
  return text.template AllMask<rules::kSweptBytes.bytes[I]...>();
}

// The rename patterns' first bytes as ranges of consecutive byte values,
// Low * 256 + Span each (bytescan::ShortText::RangeMask).
struct ByteRanges {
  int ranges[256] = {};
  std::size_t size = 0;
};
constexpr ByteRanges kRenameFirstRanges = [] {
  ByteRanges list;
  for (std::size_t i = 0; i < kSortedFirstBytes.size;) {
    const int low = static_cast<unsigned char>(kSortedFirstBytes.bytes[i]);
    int span = 0;
    while (i + 1 < kSortedFirstBytes.size &&
           static_cast<unsigned char>(kSortedFirstBytes.bytes[i + 1]) == low + span + 1) {
      ++span;
      ++i;
    }
    ++i;
    list.ranges[list.size++] = low * 256 + span;
  }
  return list;
}();

template <std::size_t Chunks, std::size_t... I>
inline bytescan::ChunkMask<Chunks> RenameFirstBytes(const bytescan::ShortText<Chunks>& text,
                                                    std::index_sequence<I...>) {
  return text.template RangeMask<kRenameFirstRanges.ranges[I]...>();
}

// The rows on the rest of a line, the n bytes at `line` behind its first
// `skipped` bytes, a match of the first removal or none: a marker found
// makes the whole line the marker line. Kept out of line: the dispatch
// below then saves no registers. (The paths pass on the rest and the bytes
// in front of it: they hold fewer values than with the whole line too.)
template <std::size_t Chunks>
__attribute__((noinline)) std::size_t RewriteShortLineIn(const char* line, std::size_t n, char* out,
                                                         std::size_t skipped) {
  // Which bytes any row can act on: the line is loaded once.
  using Bits = bytescan::ChunkMask<Chunks>;
  const bytescan::ShortText<Chunks> text(line, n);
  constexpr std::string_view kMarkerRest = rules::kMarker.substr(kFirstRemoval.size());
  Bits removed = 0;
  // (A match's last byte lies in the line: its first one need not be told.)
  for (Bits candidates = FirstRemovalCandidates(text); candidates != 0; candidates &= candidates - 1) {
    auto at = Lowest(candidates);
    if (at + kFirstRemoval.size() > n || std::memcmp(line + at, kFirstRemoval.data(), kFirstRemoval.size()) != 0) {
      continue;
    }
    if (at + rules::kMarker.size() <= n &&
        std::memcmp(line + at + kFirstRemoval.size(), kMarkerRest.data(), kMarkerRest.size()) == 0) {
      return RewriteMarkerLine(line - skipped, n + skipped, out);
    }
    removed |= LowBits<Bits>(kFirstRemoval.size()) << at;
  }

  // Stage 2 in one pass: the swept removals and the later removals' matches
  // in the line as read. A later removal's match or a rename's that only
  // forms where removed bytes close up needs the rows one by one.
  removed |= SweptBytes(text, std::make_index_sequence<rules::kSweptBytes.size>());
  removed = AddLaterRemovals(text, line, n, removed, std::make_index_sequence<kLaterRemovals>());
  if (JoinsPatternBytes<Chunks>(line, n, removed)) return RewriteLongLine(line, n, out);

  // No rename pattern shares a byte with a removal: the renames' matches in
  // the line as read are those stage 3 sees.
  RenameMatches matches = FindRenames(
      line, n, RenameFirstBytes(text, std::make_index_sequence<kRenameFirstRanges.size>()) & ~removed);
  std::size_t size;
  if (removed == 0) {
    bytescan::CopyChunks(out, line, n);
    size = n;
  } else {
    const std::size_t at = matches.count == 1 ? matches.at : n;
    size = CompactInto<Chunks>(line, n, removed, out, at, &matches.at);
  }
  return ApplyRenames<Chunks>(out, size, matches);
}

// The work of RewriteTwoRuns below once the rest's kept bytes are known:
// `keep` marks the bytes of the rest (loaded in `text`) that no removal
// takes, in a rest that holds no match of the first removal.
template <std::size_t Chunks>
__attribute__((always_inline)) inline std::size_t RewriteKept(const char* line, std::size_t n, char* out,
                                                              std::size_t skipped,
                                                              const bytescan::ShortText<Chunks>& text,
                                                              bytescan::ChunkMask<Chunks> keep) {
  using Bits = bytescan::ChunkMask<Chunks>;
  // Adding a run's lowest bit carries to the byte behind it, clearing the
  // run. (Where the mask is no wider than the chunks, a run may reach its
  // top and the carry leave it: the full path.)
  const Bits behindFirst = keep + (keep & (0 - keep));
  const Bits second = keep & behindFirst;
  const Bits behindSecond = second + (second & (0 - second));
  // (One branch on them all, not one for each.)
  bool full = ((second & behindSecond) != 0) | (keep == 0);
  if constexpr (16 * Chunks >= kWidth<Bits>) full = full | ((keep >> (kWidth<Bits> - 1)) != 0);
  if (full) return RewriteShortLineIn<Chunks>(line, n, out, skipped);
  const std::size_t start = Lowest(keep);
  const std::size_t end = Lowest(behindFirst);
  bytescan::CopyChunks(out, line + start, 16 * Chunks);
  std::size_t size = end - start;
  std::size_t secondStart = n;
  if (second != 0) {
    secondStart = Lowest(second);
    if (kPatternPairs.Holds(line[end - 1], line[secondStart])) {
      return RewriteShortLineIn<Chunks>(line, n, out, skipped);
    }
    bytescan::CopyChunks(out + size, line + secondStart, 16 * Chunks);
    size += Lowest(behindSecond) - secondStart;
  }
  const Bits starts = RenameFirstBytes(text, std::make_index_sequence<kRenameFirstRanges.size>()) & keep;
  RenameMatches matches = FindRenames(line, n, starts);
  // Where the match landed in `out` (0 for none).
  const std::size_t moved =
      bytescan::Choose(matches.at < secondStart, matches.at - start, matches.at - secondStart + (end - start));
  matches.at = bytescan::Choose(matches.count != 0, moved, 0);
  return ApplyRenames<Chunks>(out, size, matches);
}

// The common short rest, the n bytes at `line` behind `skipped` others:
// no match of the first removal in it, and its kept bytes in at most two
// runs, with no bytes that stand next to each other in a pattern on the two
// sides of the gap between them. Anything else goes to the full path, which finds the same
// for such a rest: this one only leaves out what the rest cannot hold.
template <std::size_t Chunks>
__attribute__((noinline)) std::size_t RewriteTwoRuns(const char* line, std::size_t n, char* out, std::size_t skipped) {
  using Bits = bytescan::ChunkMask<Chunks>;
  const bytescan::ShortText<Chunks> text(line, n);
  const Bits firstRemovals = FirstRemovalCandidates(text);
  if (firstRemovals != 0) return RewriteShortLineIn<Chunks>(line, n, out, skipped);
  Bits removed = SweptBytes(text, std::make_index_sequence<rules::kSweptBytes.size>());
  removed = AddLaterRemovals(text, line, n, removed, std::make_index_sequence<kLaterRemovals>());
  return RewriteKept<Chunks>(line, n, out, skipped, text, InLine<Chunks, Bits>(n) & ~removed);
}

// The same for a rest of one chunk whose kept bytes are known, out of line:
// RewriteOneChunk leaves it the rests of two kept runs.
__attribute__((noinline)) std::size_t RewriteKeptOf(const char* line, std::size_t n, char* out, std::size_t skipped,
                                                    bytescan::ChunkMask<1> keep) {
  return RewriteKept<1>(line, n, out, skipped, bytescan::ShortText<1>(line, n), keep);
}

// The most common short rest, the n <= 16 bytes at `line` behind
// `skipped` others: no match of the first removal and no byte that could begin a later
// removal's match, every removed byte behind every kept one, and at most
// one place where a rename's pattern could begin. The kept bytes then form
// one run from the start, so no removal joins two pieces and the renames'
// matches in the line as read are those stage 3 sees. Anything else goes
// to RewriteTwoRuns or RewriteKeptOf, which find the same for such a rest:
// this one only leaves out what the rest cannot hold. It keeps no value in
// a register that a call must preserve, so a line it takes needs no saving
// and restoring of registers.
__attribute__((always_inline)) inline std::size_t RewriteOneChunk(const char* line, std::size_t n, char* out,
                                                                  std::size_t skipped) {
  using Bits = bytescan::ChunkMask<1>;
  const bytescan::ShortText<1> text(line, n);
  const Bits removed = SweptBytes(text, std::make_index_sequence<rules::kSweptBytes.size>());
  const Bits keep = InLine<1, Bits>(n) & ~removed;
  const Bits firstRemovals = FirstRemovalCandidates(text);
  if ((firstRemovals | LaterRemovalStarts(text, std::make_index_sequence<kLaterRemovals>())) != 0) {
    return RewriteTwoRuns<1>(line, n, out, skipped);
  }
  if ((keep & (keep + 1)) != 0) return RewriteKeptOf(line, n, out, skipped, keep);
  // (A kept run from the start of one chunk has a byte behind it.)
  const auto run = Lowest(static_cast<Bits>(~keep));
  bytescan::CopyChunks(out, line, 16);
  const Bits starts = RenameFirstBytes(text, std::make_index_sequence<kRenameFirstRanges.size>()) & keep;
  // Several places to try: the path that handles them.
  if ((starts & (starts - 1)) != 0) return RewriteTwoRuns<1>(line, n, out, skipped);
  // The one place looked at, or the byte behind the chunk where there is
  // none (its 16 bytes lie within the 64 readable ones): no pattern is
  // found there, and the rename for none changes nothing.
  const std::size_t at = Lowest(starts | (Bits{1} << 16));
  RenameMatches matches;
  matches.rename = rules::RenameAtWithoutBranch(line, n, at);
  matches.count = matches.rename != rules::kNoRename;
  matches.at = bytescan::Choose(matches.count != 0, at, 0);
  if constexpr (rules::kSharedStartCount != 0) {
    if (matches.rename == rules::kTwoRenames) return RewriteTwoRuns<1>(line, n, out, skipped);
  }
  if constexpr (!kFormingNeedsTwoStarts) {
    if (FormsLaterPattern(out, run, matches, std::make_index_sequence<rules::kFormingCount>())) {
      return RewriteTwoRuns<1>(line, n, out, skipped);
    }
  }
  return RenameAlone<1>(out, run, matches);
}

}  // namespace

// A line that begins with the first removal rewrites as the rest behind it
// does, unless it holds the marker: the first removal's pass drops that
// match and goes on from its end as over a line of its own, and none of
// its matches, the marker's included, can begin inside that one. The rest
// is shorter, and often fits fewer chunks. Its chunks are read from
// kFirstRemoval.size() bytes further on, so the rest goes the short way only
// while they, and the whole chunks its runs are copied in, stay within the
// 64 readable bytes.
constexpr std::size_t kRestOffset = kFirstRemoval.size();
constexpr std::size_t kLongestRestIn2Chunks = kShortLine - kRestOffset - 32 + 1;
static_assert(kRestOffset + 16 + 16 - 1 <= kShortLine && kLongestRestIn2Chunks >= 16,
              "16-byte path: the rest behind a leading first removal would be read past the 64 readable bytes");

std::size_t RewriteShortLine(const char* line, std::size_t n, char* out) {
  constexpr std::string_view kMarkerRest = rules::kMarker.substr(kRestOffset);
  if (n > kRestOffset && n - kRestOffset <= kLongestRestIn2Chunks &&
      std::memcmp(line, kFirstRemoval.data(), kRestOffset) == 0) {
    const std::size_t m = n - kRestOffset;
    // (The bytes are compared before the length is asked, as they are
    // readable: most lines differ in the first of them.)
    static_assert(rules::kMarker.size() <= kShortLine, "16-byte path: the marker is read past the readable bytes");
    if (std::memcmp(line + kRestOffset, kMarkerRest.data(), kMarkerRest.size()) == 0 && m >= kMarkerRest.size()) {
      return RewriteMarkerLine(line, n, out);
    }
    if (m <= 16) return RewriteOneChunk(line + kRestOffset, m, out, kRestOffset);
    return RewriteTwoRuns<2>(line + kRestOffset, m, out, kRestOffset);
  }
  if (n <= 16) return RewriteOneChunk(line, n, out, 0);
  if (n <= 32) return RewriteTwoRuns<2>(line, n, out, 0);
  return RewriteShortLineIn<4>(line, n, out, 0);
}
