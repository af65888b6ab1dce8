#include "tools/rewriting/ShortLineRewrite.h"

#include <cstdint>
#include <cstring>
#include <string_view>
#include <utility>

#include "runtime/ByteScan.h"
#include "tools/rewriting/LongLineRewrite.h"
#include "tools/rewriting/PresetRuleFacts.h"
#include "tools/rewriting/RowRewrite.h"

namespace {

constexpr std::string_view kFirstRemoval = rules::kFirstRemoval;
// The removals that run one by one after the sweep.
constexpr std::size_t kLaterRemovals = rules::kRemovalCount - rules::kSweptRemovals;

static_assert(kFirstRemoval.size() <= kShortLine, "16-byte path: the first removal is longer than a short line");
static_assert(!rules::OverlapsItself(kFirstRemoval),
              "16-byte path: all matches of the first removal are dropped at once, so no two of them may overlap");
static_assert(rules::BeginsWith(rules::kMarker, kFirstRemoval),
              "16-byte path: the marker is looked for behind the matches of the first removal, which it must begin "
              "with");

// The masks are of one type per line length (bytescan::ChunkMask): Bits
// below is std::uint64_t or, on a 32-bit target for lines of up to 32
// bytes, std::uint32_t.
template <typename Bits>
constexpr std::size_t kWidth = sizeof(Bits) * 8;

template <typename Bits>
constexpr Bits LowBits(std::size_t n) {
  return n >= kWidth<Bits> ? ~Bits{0} : (Bits{1} << n) - 1;
}

// The bits of `mask` in [start, start + length), moved to begin at `to`.
template <typename Bits>
inline Bits MoveBits(Bits mask, std::size_t start, std::size_t length, std::size_t to) {
  if (length == 0 || start >= kWidth<Bits> || to >= kWidth<Bits>) return 0;
  return ((mask >> start) & LowBits<Bits>(length)) << to;
}

// Copies the bytes of the line not marked in `removed` to `out`, run by
// run in whole chunks; moves each of the `marks` along with its bytes.
// Returns the new length.
template <typename Bits, std::size_t K>
__attribute__((always_inline)) inline std::size_t CompactInto(const char* line, std::size_t n, Bits removed, char* out,
                                                              Bits (&marks)[K]) {
  Bits keep = LowBits<Bits>(n) & ~removed;
  Bits moved[K] = {};
  std::size_t written = 0;
  while (keep != 0) {
    auto start = static_cast<std::size_t>(bytescan::LowestBit(keep));
    Bits gaps = ~(keep >> start);
    std::size_t run = gaps == 0 ? kWidth<Bits> - start : static_cast<std::size_t>(bytescan::LowestBit(gaps));
    bytescan::CopyChunks(out + written, line + start, run);
    for (std::size_t k = 0; k < K; ++k) moved[k] |= MoveBits(marks[k], start, run, written);
    written += run;
    keep &= ~(LowBits<Bits>(run) << start);
  }
  for (std::size_t k = 0; k < K; ++k) marks[k] = moved[k];
  return written;
}

// Removes the `length`-byte matches at `starts` from `text` in place, each
// only where no match kept before it overlaps it, as one left-to-right pass
// would (exact moves: nothing past the text is touched); moves the marks
// from marks[From] on.
template <std::size_t From, typename Bits, std::size_t K>
std::size_t RemoveInPlace(char* text, std::size_t n, Bits starts, std::size_t length, Bits (&marks)[K]) {
  std::size_t written = 0;
  std::size_t read = 0;
  Bits moved[K] = {};
  for (; starts != 0; starts &= starts - 1) {
    auto at = static_cast<std::size_t>(bytescan::LowestBit(starts));
    if (at < read) continue;
    std::memmove(text + written, text + read, at - read);
    for (std::size_t k = From; k < K; ++k) moved[k] |= MoveBits(marks[k], read, at - read, written);
    written += at - read;
    read = at + length;
  }
  std::memmove(text + written, text + read, n - read);
  for (std::size_t k = From; k < K; ++k) marks[k] = moved[k] | MoveBits(marks[k], read, n - read, written);
  return written + (n - read);
}

// The later removal `I` over the compacted line, its candidates (the places
// of its first byte) in marks[I].
template <std::size_t I, typename Bits, std::size_t K>
__attribute__((always_inline)) inline std::size_t RemoveLater(char* out, std::size_t size, Bits (&marks)[K]) {
  constexpr std::string_view removal = rules::kRemovals[rules::kSweptRemovals + I];
  Bits found = 0;
  for (Bits candidates = marks[I]; candidates != 0; candidates &= candidates - 1) {
    auto at = static_cast<std::size_t>(bytescan::LowestBit(candidates));
    if (at + removal.size() <= size && std::memcmp(out + at, removal.data(), removal.size()) == 0) {
      found |= Bits{1} << at;
    }
  }
  return found == 0 ? size : RemoveInPlace<I + 1>(out, size, found, removal.size(), marks);
}

template <std::size_t... I, typename Bits, std::size_t K>
__attribute__((always_inline)) inline std::size_t RemoveAllLater(char* out, std::size_t size, Bits (&marks)[K],
                                                                 std::index_sequence<I...>) {
  ((size = RemoveLater<I>(out, size, marks)), ...);
  return size;
}

struct RenameMatches {
  int count = 0;
  std::size_t at = 0;
  std::size_t rename = 0;  // in rules::kDistinctRenames
};

template <std::size_t R>
__attribute__((always_inline)) inline void Take(const char* text, std::size_t n, std::size_t at,
                                                RenameMatches* matches) {
  constexpr std::string_view find = rules::kDistinctRenames[R].find;
  if (at + find.size() <= n && std::memcmp(text + at, find.data(), find.size()) == 0) {
    ++matches->count;
    matches->at = at;
    matches->rename = R;
  }
}

// Tries at `at` every distinct pattern that begins with `First`.
template <char First, std::size_t... R>
__attribute__((always_inline)) inline void TakeWithFirstByte(const char* text, std::size_t n, std::size_t at,
                                                             RenameMatches* matches, std::index_sequence<R...>) {
  ((rules::kDistinctRenames[R].find[0] == First ? Take<R>(text, n, at, matches) : void()), ...);
}

// The patterns' first bytes in ascending order, for a search by halves.
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

// `c`, the byte at `at`, is one of kSortedFirstBytes[Low, High): halved
// until one is left, which needs no test.
template <std::size_t Low, std::size_t High>
__attribute__((always_inline)) inline void TakeAt(const char* text, std::size_t n, std::size_t at, unsigned char c,
                                                  RenameMatches* matches) {
  if constexpr (High - Low == 1) {
    TakeWithFirstByte<kSortedFirstBytes.bytes[Low]>(text, n, at, matches,
                                                    std::make_index_sequence<rules::kDistinctRenameCount>());
  } else {
    constexpr std::size_t kMiddle = (Low + High) / 2;
    if (c < static_cast<unsigned char>(kSortedFirstBytes.bytes[kMiddle])) {
      TakeAt<Low, kMiddle>(text, n, at, c, matches);
    } else {
      TakeAt<kMiddle, High>(text, n, at, c, matches);
    }
  }
}

// Every occurrence of every distinct rename pattern in `text`: each begins
// at one of the `starts`, the places of the patterns' first bytes.
template <typename Bits>
__attribute__((always_inline)) inline RenameMatches FindRenames(const char* text, std::size_t n, Bits starts) {
  RenameMatches matches;
  for (; starts != 0; starts &= starts - 1) {
    const auto at = static_cast<std::size_t>(bytescan::LowestBit(starts));
    TakeAt<0, kSortedFirstBytes.size>(text, n, at, static_cast<unsigned char>(text[at]), &matches);
  }
  return matches;
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
    if (at < before.size() || std::memcmp(out + at - before.size(), before.data(), before.size()) != 0) return false;
  }
  if constexpr (!kForming.after.empty()) {
    constexpr std::string_view after = kForming.after;
    if (at + kFindSize + after.size() > size || std::memcmp(out + at + kFindSize, after.data(), after.size()) != 0) {
      return false;
    }
  }
  return true;
}

template <std::size_t... E>
inline bool FormsLaterPattern(const char* out, std::size_t size, const RenameMatches& matches,
                              std::index_sequence<E...>) {
  return (Forms<E>(out, size, matches) || ...);
}

// Stage 3 on `out`, given every place where a rename pattern may begin.
// When a single match is all that the rows would find, it is renamed
// alone; otherwise the long-line path's stage 3 takes over.
template <typename Bits>
std::size_t ApplyRenames(char* out, std::size_t size, Bits renameStarts) {
  RenameMatches matches = FindRenames(out, size, renameStarts);
  if (matches.count == 0) return size;
  if (matches.count == 1 && !FormsLaterPattern(out, size, matches, std::make_index_sequence<rules::kFormingCount>())) {
    const rules::Rename& rename = rules::kDistinctRenames[matches.rename];
    const std::size_t at = matches.at;
    const std::size_t rest = at + rename.find.size();
    if (rename.with.size() != rename.find.size()) {
      std::memmove(out + at + rename.with.size(), out + rest, size - rest);
    }
    std::memcpy(out + at, rename.with.data(), rename.with.size());
    return size - rename.find.size() + rename.with.size();
  }
  return RenameRows(out, size);
}

template <std::size_t Chunks, std::size_t... I>
inline bytescan::ChunkMask<Chunks> SweptBytes(const bytescan::ShortText<Chunks>& text, std::index_sequence<I...>) {
  return text.template Mask<rules::kSweptBytes.bytes[I]...>();
}

template <std::size_t Chunks, std::size_t... I>
inline bytescan::ChunkMask<Chunks> RenameFirstBytes(const bytescan::ShortText<Chunks>& text,
                                                    std::index_sequence<I...>) {
  return text.template Mask<rules::kRenameFirstBytes.bytes[I]...>();
}

template <std::size_t Chunks, std::size_t... I>
inline void MarkLaterRemovals(const bytescan::ShortText<Chunks>& text, bytescan::ChunkMask<Chunks>* marks,
                              std::index_sequence<I...>) {
  ((marks[I] = text.template Mask<rules::kRemovals[rules::kSweptRemovals + I][0]>()), ...);
}

template <std::size_t Chunks>
std::size_t RewriteShortLineIn(const char* line, std::size_t n, char* out) {
  // Which bytes any row can act on: the line is loaded once.
  using Bits = bytescan::ChunkMask<Chunks>;
  const bytescan::ShortText<Chunks> text(line, n);
  constexpr std::string_view kMarkerRest = rules::kMarker.substr(kFirstRemoval.size());
  Bits firstMatches = 0;
  for (Bits candidates = text.template Mask<kFirstRemoval.front()>() &
                         (text.template Mask<kFirstRemoval.back()>() >> (kFirstRemoval.size() - 1));
       candidates != 0; candidates &= candidates - 1) {
    auto at = static_cast<std::size_t>(bytescan::LowestBit(candidates));
    if (at + kFirstRemoval.size() > n || std::memcmp(line + at, kFirstRemoval.data(), kFirstRemoval.size()) != 0) {
      continue;
    }
    if (at + rules::kMarker.size() <= n &&
        std::memcmp(line + at + kFirstRemoval.size(), kMarkerRest.data(), kMarkerRest.size()) == 0) {
      return RewriteMarkerLine(line, n, out);
    }
    firstMatches |= Bits{1} << at;
  }

  // The swept removals at once; the first bytes of the later removals and
  // of the renames are followed to where they land.
  Bits removed = SweptBytes(text, std::make_index_sequence<rules::kSweptBytes.size>());
  for (; firstMatches != 0; firstMatches &= firstMatches - 1) {
    removed |= LowBits<Bits>(kFirstRemoval.size()) << bytescan::LowestBit(firstMatches);
  }
  Bits marks[kLaterRemovals + 1];
  MarkLaterRemovals(text, marks, std::make_index_sequence<kLaterRemovals>());
  marks[kLaterRemovals] = RenameFirstBytes(text, std::make_index_sequence<rules::kRenameFirstBytes.size>());
  for (Bits& mark : marks) mark &= ~removed;
  std::size_t size;
  if (removed == 0) {
    bytescan::CopyChunks(out, line, n);
    size = n;
  } else {
    size = CompactInto(line, n, removed, out, marks);
  }

  // The later removals are looked for only once the rows before are done.
  size = RemoveAllLater(out, size, marks, std::make_index_sequence<kLaterRemovals>());
  return ApplyRenames(out, size, marks[kLaterRemovals]);
}

}  // namespace

std::size_t RewriteShortLine(const char* line, std::size_t n, char* out) {
  if (n <= 16) return RewriteShortLineIn<1>(line, n, out);
  if (n <= 32) return RewriteShortLineIn<2>(line, n, out);
  return RewriteShortLineIn<4>(line, n, out);
}
