#include "tools/rewriting/LongLineRewrite.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <type_traits>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "runtime/ByteScan.h"
#include "tools/rewriting/PresetRuleFacts.h"
#include "tools/rewriting/RenameLookup.h"
#include "tools/rewriting/RowRewrite.h"

namespace {

using rules::kDistinctRenameCount;
using rules::kDistinctRenames;
using rules::kFirstRemoval;
using rules::kFormingCount;
using rules::kFormings;
using rules::kNoRename;
using rules::kShortestRename;

static_assert(kFirstRemoval.size() >= 2, "long-line path: the first removal is found by its first two bytes");
static_assert(!rules::OverlapsItself(kFirstRemoval),
              "long-line path: every match of the first removal in the line as read is dropped, so no two may "
              "overlap");
static_assert(rules::BeginsWith(rules::kMarker, kFirstRemoval) && rules::kMarker.size() > kFirstRemoval.size(),
              "long-line path: the marker is looked for behind the first removal's matches, which it must begin with");
static_assert(kFormingCount <= 64, "long-line path: the ways a rename forms a later pattern are one bit each");

// ---- 16 bytes at a time ----

#if defined(__SSE2__)
struct Chunk {
  __m128i bytes;
};
struct Bytes {
  __m128i bits;
};
inline Chunk Load(const char* from) { return {_mm_loadu_si128(reinterpret_cast<const __m128i*>(from))}; }
inline void Store(char* to, Chunk chunk) { _mm_storeu_si128(reinterpret_cast<__m128i*>(to), chunk.bytes); }
inline Bytes Equal(Chunk chunk, char c) { return {_mm_cmpeq_epi8(chunk.bytes, _mm_set1_epi8(c))}; }
inline Bytes operator&(Bytes a, Bytes b) { return {_mm_and_si128(a.bits, b.bits)}; }
inline Bytes operator|(Bytes a, Bytes b) { return {_mm_or_si128(a.bits, b.bits)}; }
inline Bytes NoBytes() { return {_mm_setzero_si128()}; }
inline std::uint32_t MaskOf(Bytes bytes) { return static_cast<std::uint32_t>(_mm_movemask_epi8(bytes.bits)); }
#else
struct Chunk {
  char bytes[16];
};
struct Bytes {
  std::uint32_t bits;
};
inline Chunk Load(const char* from) {
  Chunk chunk;
  std::memcpy(chunk.bytes, from, 16);
  return chunk;
}
inline void Store(char* to, const Chunk& chunk) { std::memcpy(to, chunk.bytes, 16); }
inline Bytes Equal(const Chunk& chunk, char c) {
  std::uint32_t bits = 0;
  for (int i = 0; i < 16; ++i) bits |= static_cast<std::uint32_t>(chunk.bytes[i] == c) << i;
  return {bits};
}
inline Bytes operator&(Bytes a, Bytes b) { return {a.bits & b.bits}; }
inline Bytes operator|(Bytes a, Bytes b) { return {a.bits | b.bits}; }
inline Bytes NoBytes() { return {0}; }
inline std::uint32_t MaskOf(Bytes bytes) { return bytes.bits; }
#endif

// The wider passes' masks are a register wide: 64 bytes at a time on a
// 64-bit target, 32 on a 32-bit one, where a 64-bit mask would take two
// registers and a library call to scan.
using BlockMask = std::conditional_t<(UINTPTR_MAX > 0xFFFFFFFFu), std::uint64_t, std::uint32_t>;
constexpr std::size_t kBlock = sizeof(BlockMask) * 8;
constexpr std::size_t kBlockChunks = kBlock / 16;

// Copies n bytes from `from` down to `to` (to <= from; the two may overlap)
// and writes nothing outside [to, to + n): the passes that shrink the text
// in place move each piece this way, with no call per piece. Every byte is
// read before a store could reach it: a chunk's store ends below where the
// next chunk is read, and the last chunk and the two halves of a short
// piece are read before anything is stored.
template <std::size_t Width>
inline void MoveHalves(char* to, const char* from, std::size_t n) {
  char first[Width];
  char last[Width];
  std::memcpy(first, from, Width);
  std::memcpy(last, from + n - Width, Width);
  std::memcpy(to, first, Width);
  std::memcpy(to + n - Width, last, Width);
}

inline void MoveDown(char* to, const char* from, std::size_t n) {
  if (n >= 16) {
    const Chunk last = Load(from + n - 16);
    for (std::size_t done = 0; done + 16 < n; done += 16) Store(to + done, Load(from + done));
    Store(to + n - 16, last);
  } else if (n >= 8) {
    MoveHalves<8>(to, from, n);
  } else if (n >= 4) {
    MoveHalves<4>(to, from, n);
  } else if (n >= 2) {
    MoveHalves<2>(to, from, n);
  } else if (n == 1) {
    *to = *from;
  }
}

// Where `pattern` may begin among the 16 bytes of `at` (whose next 16 are
// `next`, loaded one byte on): its first two bytes.
inline Bytes Starts(Chunk at, Chunk next, std::string_view pattern) {
  return pattern.size() == 1 ? Equal(at, pattern[0]) : Equal(at, pattern[0]) & Equal(next, pattern[1]);
}

// A net for where `pattern` may begin that catches it everywhere and few
// other places in the text of presets, which is mostly lower-case words:
// a first byte that is no lower-case letter stands out alone, at half the
// cost of the first two bytes, which a lower-case one needs.
constexpr bool StandsOutAlone(char first) { return first < 'a' || first > 'z'; }

inline Bytes NetStarts(Chunk at, Chunk next, std::string_view pattern) {
  return StandsOutAlone(pattern[0]) ? Equal(at, pattern[0]) : Starts(at, next, pattern);
}

inline bool MatchesAt(const char* text, std::size_t n, std::size_t at, std::string_view pattern) {
  return at + pattern.size() <= n && text[at] == pattern[0] &&
         std::memcmp(text + at + 1, pattern.data() + 1, pattern.size() - 1) == 0;
}

// True when `pattern` stands at `at`, whose first Known bytes are known to
// match; all of its bytes there must be readable.
template <std::size_t Known>
inline bool RestMatches(const char* at, std::string_view pattern) {
  return std::memcmp(at + Known, pattern.data() + Known, pattern.size() - Known) == 0;
}

// Calls visit(at + i) for each set bit i of `starts`, lowest first, until
// visit returns false. False when it did.
template <typename Mask, typename Visit>
__attribute__((always_inline)) inline bool VisitStarts(std::size_t at, Mask starts, Visit& visit) {
  for (; starts != 0; starts &= starts - 1) {
    if (!visit(at + static_cast<std::size_t>(bytescan::LowestBit(starts)))) return false;
  }
  return true;
}

// The places among the 16 bytes at `at` of the n bytes of `text` where
// `starts` (a function of two chunks) says a match may begin, as a mask,
// for a text with 16 readable bytes behind it: the chunk is read whole,
// and only the places where a pattern of `shortest` bytes would end in the
// text are kept, so that no start found depends on the bytes past it.
template <typename ChunkStarts>
inline std::uint32_t StartsInText(const char* text, std::size_t n, std::size_t at, std::size_t shortest,
                                  ChunkStarts&& chunkStarts) {
  std::uint32_t starts = MaskOf(chunkStarts(Load(text + at), Load(text + at + 1)));
  if (n - at < 15 + shortest) {
    const std::size_t places = n - at >= shortest ? n - at - shortest + 1 : 0;
    starts &= (std::uint32_t{1} << places) - 1;
  }
  return starts;
}

// Calls visit(at) for each place from `from` on where `starts` (a function
// of two chunks) says a match of a pattern of at least `shortest` bytes may
// begin, in order, until visit returns false. False when it did. The text
// has 16 readable bytes behind it: its last 1 to 16 bytes are read as one
// chunk (StartsInText).
template <typename ChunkStarts, typename Visit>
inline bool ForEachStart(const char* text, std::size_t n, std::size_t from, std::size_t shortest,
                         ChunkStarts&& chunkStarts, Visit&& visit) {
  std::size_t at = from;
  for (; at + 17 <= n; at += 16) {
    if (!VisitStarts(at, MaskOf(chunkStarts(Load(text + at), Load(text + at + 1))), visit)) return false;
  }
  return at == n || VisitStarts(at, StartsInText(text, n, at, shortest, chunkStarts), visit);
}

// A pass from a text into another buffer that drops or replaces matches
// as it copies, with no loop per piece between them, whose length would
// make the branch that ends it a guess: each chunk is stored where its
// first byte goes (or, where a match reaches into it, the byte behind the
// match), and behind each match the 16 bytes that follow it are stored, or
// a block's worth while the chunks go a block at a time. A store can carry
// bytes of a match that comes after it, but the store for that match, made
// later, writes over them. Writes up to 16 bytes past the result and reads
// 16 past the text.
struct Stream {
  const char* text;
  char* out;
  std::size_t read = 0;      // behind the last match: every byte in front is placed
  std::size_t shrunk = 0;    // bytes of the matches so far less those of their replacements
  bool blockBehind = false;  // a block is stored behind a match, not a chunk

  void PlaceChunk(std::size_t at) {
    const std::size_t from = at > read ? at : read;
    Store(out + from - shrunk, Load(text + from));
  }
  // The match of `length` bytes at `at`, not in front of `read`, replaced by
  // the `count` bytes at `with`, which can be read to a whole chunk.
  void Replace(std::size_t at, std::size_t length, const char* with, std::size_t count) {
    bytescan::CopyChunks(out + at - shrunk, with, count);
    shrunk += length - count;
    read = at + length;
    Store(out + read - shrunk, Load(text + read));
    if (blockBehind) {
      for (std::size_t c = 1; c < kBlockChunks; ++c) Store(out + read - shrunk + 16 * c, Load(text + read + 16 * c));
    }
  }
};

static_assert(rules::kLongestPattern <= 17,
              "long-line path: the block stored behind a match begun in a block ends within the bytes readable "
              "past the text");

// ForEachStart over the n bytes of a stream's text, placing the bytes as
// the visits go on, which call stream.Replace for each match they take.
// Where the text goes on for another block, the chunks of a block are
// placed at once and their starts visited from one mask: a match in the
// block stores a block behind it, over the chunks placed before it moved
// them. A loop per chunk would end on a guess in most chunks of a text
// dense with matches; one per block ends on one in fewer. The last chunk,
// too, is read whole (StartsInText).
template <typename ChunkStarts, typename Visit>
inline bool ForEachStartPlaced(Stream& stream, std::size_t n, std::size_t shortest, ChunkStarts&& chunkStarts,
                               Visit&& visit) {
  const char* text = stream.text;
  std::size_t at = 0;
  stream.blockBehind = true;
  for (; at + 2 * kBlock <= n; at += kBlock) {
    BlockMask starts = 0;
    for (std::size_t c = 0; c < kBlockChunks; ++c) {
      stream.PlaceChunk(at + 16 * c);
      starts |= BlockMask{MaskOf(chunkStarts(Load(text + at + 16 * c), Load(text + at + 16 * c + 1)))} << (16 * c);
    }
    if (!VisitStarts(at, starts, visit)) return false;
  }
  stream.blockBehind = false;
  for (; at < n; at += 16) {
    stream.PlaceChunk(at);
    if (!VisitStarts(at, StartsInText(text, n, at, shortest, chunkStarts), visit)) return false;
  }
  return true;
}

// ---- Stage 1 and the removals swept together ----

constexpr std::size_t kMarkerSeen = static_cast<std::size_t>(-1);

template <std::size_t... I>
inline Bytes SweptBytes(Chunk chunk, std::index_sequence<I...>) {
  return (NoBytes() | ... | Equal(chunk, rules::kSweptBytes.bytes[I]));
}

// Bytes read past a block: the chunk loaded one byte on, and a run of kept
// bytes that ends in the block copied in whole chunks.
constexpr std::size_t kBlockReach = 16;

constexpr BlockMask LowBlockBits(std::size_t n) { return n >= kBlock ? ~BlockMask{0} : (BlockMask{1} << n) - 1; }

static_assert(kFirstRemoval.size() <= kBlock, "long-line path: a match of the first removal spreads into one block after its own");
static_assert(
    kFirstRemoval.size() <= kBlockReach + 1,
    "long-line path: the last byte of the first removal begun in a block is among the bytes readable past it");
static_assert(rules::kMarker.size() <= kBlockReach + 1,
              "long-line path: the marker behind a match begun in a block is compared among the bytes readable past "
              "it");

// The bits of a block's mask, chunk by chunk: `chunkBytes(offset)` gives
// the chunk's bytes found at that offset in the block.
template <typename ChunkBytes>
inline BlockMask BlockBits(ChunkBytes&& chunkBytes) {
  BlockMask bits = 0;
  for (std::size_t c = 0; c < kBlockChunks; ++c) bits |= BlockMask{MaskOf(chunkBytes(16 * c))} << (16 * c);
  return bits;
}

// The places among the kBlock bytes at `from` where the bytes of the first
// removal between its first two and its last stand.
template <std::size_t... I>
inline BlockMask FirstRemovalAt(const char* from, std::index_sequence<I...>) {
  if constexpr (sizeof...(I) == 0) {
    return ~BlockMask{0};
  } else {
    return BlockBits([from](std::size_t offset) {
      return (Equal(Load(from + offset + 2), kFirstRemoval[2]) & ... &
              Equal(Load(from + offset + 2 + I), kFirstRemoval[2 + I]));
    });
  }
}

// The places among the kBlock bytes at `from` where the marker's first
// byte past the first removal and its last byte stand, counted from where
// the marker would begin.
inline BlockMask MarkerEndsAt(const char* from) {
  constexpr std::size_t kNext = kFirstRemoval.size();
  constexpr std::size_t kLast = rules::kMarker.size() - 1;
  return BlockBits([from](std::size_t offset) {
    return Equal(Load(from + offset + kNext), rules::kMarker[kNext]) &
           Equal(Load(from + offset + kLast), rules::kMarker[kLast]);
  });
}

// Each bit of `starts` spread over the Width bits from it on, within the
// mask (each bit spread over Covered already), in a few shifts.
template <std::size_t Width, std::size_t Covered = 1>
constexpr BlockMask Spread(BlockMask starts) {
  if constexpr (Covered >= Width) {
    return starts;
  } else {
    constexpr std::size_t kStep = Covered < Width - Covered ? Covered : Width - Covered;
    return Spread<Width, Covered + kStep>(starts | starts << kStep);
  }
}

// The removals swept together (rules::kSweptRemovals) from `line` into
// `out`, which does not overlap it; kMarkerSeen when the line holds the
// marker. Blocks without a byte to remove are copied whole; in the others,
// each run of kept bytes is copied in whole chunks, so up to 16 bytes past
// the result are written.
std::size_t SweepRemovals(const char* line, std::size_t n, char* out) {
  constexpr std::string_view kFirst = kFirstRemoval;
  constexpr std::string_view kMarkerRest = rules::kMarker.substr(kFirst.size());
  constexpr std::size_t kChunks = kBlock / 16;
  // The first removal's bytes between its first two and its last.
  constexpr std::size_t kMiddle = kFirst.size() < 3 ? 0 : kFirst.size() - 3;
  std::size_t written = 0;
  BlockMask carried = 0;  // bytes of a first-removal match begun in the block before
  // The kBlock bytes at `from` (kBlock + kBlockReach readable), of which
  // `valid` and those behind them are the line's; false at the marker.
  auto sweep = [&](const char* from, std::size_t valid) {
    BlockMask starts = 0;
    BlockMask removed = carried;
    for (std::size_t c = 0; c < kChunks; ++c) {
      const Chunk chunk = Load(from + 16 * c);
      // The net holds the removal's last byte too: its first two stand
      // together in words of plain text.
      Bytes net = Starts(chunk, Load(from + 16 * c + 1), kFirst);
      if constexpr (kFirst.size() > 2) net = net & Equal(Load(from + 16 * c + kFirst.size() - 1), kFirst.back());
      starts |= BlockMask{MaskOf(net)} << (16 * c);
      removed |= BlockMask{MaskOf(SweptBytes(chunk, std::make_index_sequence<rules::kSweptBytes.size>()))}
                 << (16 * c);
    }
    if (valid < kBlock) removed |= ~LowBlockBits(valid);
    carried = 0;
    if ((starts | removed) == 0) {
      for (std::size_t c = 0; c < kChunks; ++c) Store(out + written + 16 * c, Load(from + 16 * c));
      written += kBlock;
      return true;
    }
    if (starts != 0) {
      // Every start is checked at once, its other bytes compared a chunk at
      // a time: one loop per start would end on a guess in most blocks of a
      // line dense with the removal. Read without bounds: the bytes past
      // the line are zeros in the tail, which no pattern holds.
      const BlockMask matches = starts & FirstRemovalAt(from, std::make_index_sequence<kMiddle>());
      // The marker stands behind a match only where its next and last bytes
      // do; those few are compared whole.
      for (BlockMask marks = matches & MarkerEndsAt(from); marks != 0; marks &= marks - 1) {
        const auto at = static_cast<std::size_t>(bytescan::LowestBit(marks));
        if (RestMatches<0>(from + at + kFirst.size(), kMarkerRest)) return false;
      }
      removed |= Spread<kFirst.size()>(matches);
      // The bytes past the block of a match begun in its last bytes (one
      // match at most: two cannot overlap) fall off here and go on in the
      // next.
      const BlockMask spill = matches >> (kBlock - (kFirst.size() - 1));
      carried = (spill << 1) - static_cast<BlockMask>(spill != 0);
    }
    // Each run of kept bytes: from a bit of `first` to the same-numbered bit
    // of `last`.
    const BlockMask kept = ~removed;
    for (BlockMask first = kept & ~(kept << 1), last = kept & ~(kept >> 1); first != 0;
         first &= first - 1, last &= last - 1) {
      const auto start = static_cast<std::size_t>(bytescan::LowestBit(first));
      const std::size_t run = static_cast<std::size_t>(bytescan::LowestBit(last)) + 1 - start;
      Store(out + written, Load(from + start));
      for (std::size_t done = 16; done < run; done += 16) Store(out + written + done, Load(from + start + done));
      written += run;
    }
    return true;
  };
  std::size_t at = 0;
  for (; at + kBlock + kBlockReach <= n; at += kBlock) {
    if (!sweep(line + at, n - at)) return kMarkerSeen;
  }
  // The last bytes from a copy with zeros behind, which no pattern holds.
  char tail[2 * kBlock + kBlockReach] = {};
  std::memcpy(tail, line + at, n - at);
  for (std::size_t done = 0; at + done < n; done += kBlock) {
    if (!sweep(tail + done, n - at - done)) return kMarkerSeen;
  }
  return written;
}

// Drops every match of removal row `Row` from the n bytes of `text` (16
// readable bytes behind them) in one left-to-right pass, in place, each
// piece moved down exactly (MoveDown). Returns the new length.
template <std::size_t Row>
std::size_t RemoveAll(char* text, std::size_t n) {
  constexpr std::string_view removal = rules::kRemovals[Row];
  std::size_t write = 0;
  std::size_t read = 0;
  ForEachStart(
      text, n, 0, removal.size(), [removal](Chunk at, Chunk next) { return NetStarts(at, next, removal); },
      [&](std::size_t at) {
        if (at < read || !MatchesAt(text, n, at, removal)) return true;
        MoveDown(text + write, text + read, at - read);
        write += at - read;
        read = at + removal.size();
        return true;
      });
  if (read == 0) return n;
  MoveDown(text + write, text + read, n - read);
  return write + (n - read);
}

// The same from `text` (16 readable bytes behind it) into `to`, a buffer
// with room for n + 16 bytes.
template <std::size_t Row>
std::size_t RemoveAllInto(const char* text, std::size_t n, char* to) {
  constexpr std::string_view removal = rules::kRemovals[Row];
  Stream stream{text, to};
  ForEachStartPlaced(
      stream, n, removal.size(), [removal](Chunk at, Chunk next) { return NetStarts(at, next, removal); },
      [&](std::size_t at) {
        if (at >= stream.read && MatchesAt(text, n, at, removal)) stream.Replace(at, removal.size(), nullptr, 0);
        return true;
      });
  return n - stream.shrunk;
}

constexpr std::size_t kLaterRemovalCount = rules::kRemovalCount - rules::kSweptRemovals;

template <std::size_t... Row>
std::size_t RemoveLater([[maybe_unused]] char* text, std::size_t n, std::index_sequence<Row...>) {
  ((n = RemoveAll<rules::kSweptRemovals + Row>(text, n)), ...);
  return n;
}

// The later removals over the n bytes of `text` (16 readable bytes behind
// them), the result in `to`, which has room for n + 16 bytes: every row but
// the last in place, the last into `to`.
template <std::size_t Count = kLaterRemovalCount>
std::size_t RemoveLaterInto(char* text, std::size_t n, char* to) {
  if constexpr (Count == 0) {
    bytescan::CopyChunks(to, text, n);
    return n;
  } else {
    n = RemoveLater(text, n, std::make_index_sequence<Count - 1>());
    return RemoveAllInto<rules::kSweptRemovals + Count - 1>(text, n, to);
  }
}

// ---- Stage 3 ----

// The longest neighbours of each rename with which it can form a later
// row's pattern.
struct Reach {
  std::size_t before = 0;
  std::size_t after = 0;
};

// A rename pattern may begin where its net (NetStarts) catches it: the
// first bytes alone of the patterns that begin in lower case would catch
// a candidate in most chunks of plain text.
template <std::size_t... R>
inline Bytes RenameStarts(Chunk at, Chunk next, std::index_sequence<R...>) {
  return (NoBytes() | ... | NetStarts(at, next, kDistinctRenames[R].find));
}

// rules::RenameAt, for a text with 16 readable bytes from `at`: the one
// pattern that may stand there looked up, then compared whole. Its answer
// is a branch, on which every caller here branches anyway.
inline std::size_t RenameAtPadded(const char* text, std::size_t n, std::size_t at) {
  if constexpr (rules::kRenamesLookedUp) {
    const std::size_t rename = rules::LookUpRename(text, at);
    return rules::RenameStands(text, n, at, rename) ? rename : kNoRename;
  } else {
    return rules::RenameAt(text, n, at, std::make_index_sequence<kDistinctRenameCount>());
  }
}

template <typename Visit>
inline bool ForEachRename(const char* text, std::size_t n, std::size_t from, Visit&& visit) {
  using Renames = std::make_index_sequence<kDistinctRenameCount>;
  return ForEachStart(
      text, n, from, kShortestRename, [](Chunk at, Chunk next) { return RenameStarts(at, next, Renames()); },
      [&](std::size_t at) {
        const std::size_t rename = RenameAtPadded(text, n, at);
        return rename == kNoRename || visit(at, rename);
      });
}

// True when `side`, a neighbour that must stand right in front of (or, with
// `behind`, right behind) a match, agrees with the `gap` of unchanged bytes
// there, the part of it that the gap holds: it may then stand there once
// the rows before have run.
inline bool MayStand(std::string_view side, std::string_view gap, bool behind, bool gapEndsTheText) {
  if (side.size() <= gap.size()) {
    return behind ? gap.substr(0, side.size()) == side : gap.substr(gap.size() - side.size()) == side;
  }
  // The neighbour reaches past the gap: into the end of the text (where it
  // cannot stand) or into another match (where it may, once that is renamed).
  if (gapEndsTheText) return false;
  return behind ? side.substr(0, gap.size()) == gap : side.substr(side.size() - gap.size()) == gap;
}

// Follows the rename matches found in a text, in order, and tells whether
// every rename row's matches in it are those found in it as it is, none of
// them sharing a byte with another, and no renamed text can form a later
// row's pattern with what stands around it then: the rows together then
// make each match's rename alone.
class ApartCheck {
 public:
  // The next match, of distinct rename `rename`, with `gap` the text between
  // the match before it (or the start of the text) and it; false once the
  // matches so far may interact.
  bool Take(std::string_view gap, std::size_t rename) {
    const bool first = lastRename_ == kNoRename;
    if (!first && FormingBehind(gap, false)) return false;
    lastFormings_ = 0;
    for (std::size_t e = 0; e < kFormingCount; ++e) {
      // At the start of the text nothing can come to stand in front.
      if (kFormings[e].rename == rename && MayStand(kFormings[e].before, gap, false, first)) {
        lastFormings_ |= std::uint64_t{1} << e;
      }
    }
    lastRename_ = rename;
    return true;
  }

  // After the last match, with `rest` the text behind it: true when none of
  // them can interact.
  bool Apart(std::string_view rest) const { return lastRename_ == kNoRename || !FormingBehind(rest, true); }

 private:
  bool FormingBehind(std::string_view gap, bool endsTheText) const {
    for (std::size_t e = 0; e < kFormingCount; ++e) {
      if (((lastFormings_ >> e) & 1) != 0 && MayStand(kFormings[e].after, gap, true, endsTheText)) return true;
    }
    return false;
  }

  std::size_t lastRename_ = kNoRename;
  std::uint64_t lastFormings_ = 0;  // the formings of the last match that its front allows
};

struct Match {
  std::size_t at;
  std::size_t rename;
};

// The first matches found, kept so that renaming them needs no second
// search; `count` goes on past the room.
struct Matches {
  static constexpr std::size_t kRoom = 128;
  Match kept[kRoom];
  std::size_t count = 0;
};

bool RenamesAreApart(const char* text, std::size_t n, Matches* matches) {
  ApartCheck check;
  std::size_t lastEnd = 0;
  const bool taken = ForEachRename(text, n, 0, [&](std::size_t at, std::size_t rename) {
    if (rename > kNoRename || at < lastEnd) return false;
    if (!check.Take(std::string_view(text + lastEnd, at - lastEnd), rename)) return false;
    lastEnd = at + kDistinctRenames[rename].find.size();
    if (matches->count < Matches::kRoom) matches->kept[matches->count] = Match{at, rename};
    ++matches->count;
    return true;
  });
  return taken && check.Apart(std::string_view(text + lastEnd, n - lastEnd));
}

// Each distinct rename's replacement with zeros behind it to a whole
// chunk, so that it can be copied in whole chunks.
constexpr std::size_t kPaddedReplacement = (rules::kLongestReplacement / 16 + 1) * 16;
struct PaddedReplacements {
  char bytes[kDistinctRenameCount][kPaddedReplacement] = {};
};
constexpr PaddedReplacements kPaddedReplacements = [] {
  PaddedReplacements padded;
  for (std::size_t r = 0; r < kDistinctRenameCount; ++r) {
    for (std::size_t i = 0; i < kDistinctRenames[r].with.size(); ++i) padded.bytes[r][i] = kDistinctRenames[r].with[i];
  }
  return padded;
}();

// Stage 3 from the n bytes of `text` into `out`, in one pass where the
// renames found cannot interact, each match renamed by its own row as it
// is found. Otherwise the rename rows run one by one over `text` (still as
// it was: nothing is written to it before), which then goes to `out`.
// `text` has 16 readable bytes behind it and `out` room for n + 16 bytes.
std::size_t RenameInto(char* text, std::size_t n, char* out) {
  using Renames = std::make_index_sequence<kDistinctRenameCount>;
  ApartCheck check;
  Stream stream{text, out};
  const bool taken = ForEachStartPlaced(
      stream, n, kShortestRename, [](Chunk at, Chunk next) { return RenameStarts(at, next, Renames()); },
      [&](std::size_t at) {
        const std::size_t rename = RenameAtPadded(text, n, at);
        if (rename == kNoRename) return true;
        if (rename > kNoRename || at < stream.read) return false;
        if (!check.Take(std::string_view(text + stream.read, at - stream.read), rename)) return false;
        stream.Replace(at, kDistinctRenames[rename].find.size(), kPaddedReplacements.bytes[rename],
                       kDistinctRenames[rename].with.size());
        return true;
      });
  if (!taken || !check.Apart(std::string_view(text + stream.read, n - stream.read))) {
    n = RenameRowByRow(text, n);
    std::memcpy(out, text, n);
    return n;
  }
  return n - stream.shrunk;
}

// ---- Stages 2 and 3 together ----

// Where one removal runs after the sweep and no rename pattern shares a
// byte with a removal, that removal and the renames go in one pass: a
// rename match in the text as swept is one in the text that the removal
// leaves, and the only ones missed are those the removal joins from two
// pieces (no rename pattern begins with the removal's first byte either,
// so a place where that byte stands is looked at for the removal alone).
// Such a joined match holds two bytes of its pattern that stand side by
// side in it across the join: a pair of the pattern's neighbours.
constexpr bool kOnePassAfterSweep = kLaterRemovalCount == 1 && rules::kRenamesApartFromRemovals &&
                                    !rules::kRenameFirstBytes.Holds(rules::kRemovals[rules::kSweptRemovals][0]);

// Which bytes stand next to each other in a rename pattern.
constexpr auto kRenameNeighbours = [] {
  rules::NeighbourBytes<std::uint64_t> pairs;
  for (const rules::Rename& rename : kDistinctRenames) pairs.Add(rename.find);
  return pairs;
}();
static_assert(!kOnePassAfterSweep || kRenameNeighbours.Complete(),
              "long-line path: the bytes of the rename patterns are numbered below 64");

constexpr std::size_t kApartOnly = static_cast<std::size_t>(-1);

// True when dropping the removal's match at [at, end) of the n bytes of
// `text` may join a rename pattern, whose bytes in front of the drop must
// then stand in [from, at), those behind it in [end, n). Where they could
// reach in front of `from` (a drop before, whose neighbour lies further
// back) it may.
[[gnu::noinline]] bool JoinFormsRename(const char* text, std::size_t n, std::size_t from, std::size_t at,
                                        std::size_t end) {
  for (const rules::Rename& rename : kDistinctRenames) {
    const std::string_view find = rename.find;
    for (std::size_t front = 1; front < find.size(); ++front) {
      if (find[front - 1] != text[at - 1] || find[front] != text[end]) continue;
      if (front > at - from) {
        if (from != 0) return true;
        continue;
      }
      if (std::string_view(text + at - front, front) == find.substr(0, front) &&
          std::string_view(text + end, n - end).substr(0, find.size() - front) == find.substr(front)) {
        return true;
      }
    }
  }
  return false;
}

inline bool JoinMayFormRename(const char* text, std::size_t n, std::size_t from, std::size_t at, std::size_t end) {
  if (at == 0 || end == n) return false;
  if (at == from) return true;
  return kRenameNeighbours.Holds(text[at - 1], text[end]) && JoinFormsRename(text, n, from, at, end);
}

// Removal row `Row`, the one after the sweep, and stage 3 over the n bytes
// of `text` (16 readable bytes behind them) in one pass, through `room`
// (n + 16 bytes); the result in `text`. A text with nothing to change is
// left as it is, uncopied. kApartOnly, with `text` unchanged, where the
// rows one by one could give another result: renames that may interact,
// judged on the text as the removal leaves it (what `room` holds between
// the renames), or a drop that joins a rename pattern or may.
template <std::size_t Row>
[[gnu::noinline]] std::size_t RemoveAndRename(char* text, std::size_t n, char* room) {
  using Renames = std::make_index_sequence<kDistinctRenameCount>;
  constexpr std::string_view removal = rules::kRemovals[Row];
  ApartCheck check;
  std::size_t write = 0;
  std::size_t read = 0;
  std::size_t renamedEnd = 0;  // in `room`, behind the last replacement
  std::size_t dropEnd = 0;  // behind the last drop
  auto copyTo = [&](std::size_t at) {
    bytescan::CopyChunks(room + write, text + read, at - read);
    write += at - read;
    read = at;
  };
  const bool taken = ForEachStart(
      text, n, 0, std::min(removal.size(), kShortestRename),
      [removal](Chunk at, Chunk next) { return NetStarts(at, next, removal) | RenameStarts(at, next, Renames()); },
      [&](std::size_t at) __attribute__((always_inline)) {
        if (text[at] == removal[0]) {
          if (at < read || at + removal.size() > n) return true;
          for (std::size_t i = 1; i < removal.size(); ++i) {
            if (text[at + i] != removal[i]) return true;
          }
          const std::size_t end = at + removal.size();
          if (JoinMayFormRename(text, n, dropEnd, at, end)) return false;
          copyTo(at);
          read = dropEnd = end;
          return true;
        }
        // (Where no rename fits, the removal's shorter pattern may: the
        // place was kept for it.)
        if (at + kShortestRename > n) return true;
        const std::size_t rename = RenameAtPadded(text, n, at);
        if (rename == kNoRename) return true;
        if (rename > kNoRename || at < read) return false;
        copyTo(at);
        if (!check.Take(std::string_view(room + renamedEnd, write - renamedEnd), rename)) return false;
        bytescan::CopyChunks(room + write, kPaddedReplacements.bytes[rename], kDistinctRenames[rename].with.size());
        write += kDistinctRenames[rename].with.size();
        renamedEnd = write;
        read = at + kDistinctRenames[rename].find.size();
        return true;
      });
  if (!taken) return kApartOnly;
  if (read == 0) return n;
  copyTo(n);
  if (!check.Apart(std::string_view(room + renamedEnd, write - renamedEnd))) return kApartOnly;
  std::memcpy(text, room, write);
  return write;
}

// Each match renamed by its own row, in place, in one left-to-right pass:
// those kept, then those found past them.
std::size_t RenameApart(char* text, std::size_t n, const Matches& matches) {
  std::size_t write = 0;
  std::size_t read = 0;
  auto rename = [&](std::size_t at, std::size_t index) {
    const rules::Rename& row = kDistinctRenames[index];
    MoveDown(text + write, text + read, at - read);
    write += at - read;
    // The replacement lies outside the text: any copy is exact.
    MoveDown(text + write, row.with.data(), row.with.size());
    write += row.with.size();
    read = at + row.find.size();
    return true;
  };
  const std::size_t kept = matches.count < Matches::kRoom ? matches.count : Matches::kRoom;
  for (std::size_t i = 0; i < kept; ++i) rename(matches.kept[i].at, matches.kept[i].rename);
  if (matches.count > kept) ForEachRename(text, n, read, rename);
  if (read == 0) return n;
  MoveDown(text + write, text + read, n - read);
  return write + (n - read);
}

// Whether the `size` bytes that the sweep left fit a room of Room bytes
// with a chunk to spare: the passes write whole chunks.
template <std::size_t Room>
constexpr bool FitsRoom(std::size_t size) {
  return size + 16 <= Room;
}

// The later passes over the `size` bytes that the sweep left in `out`, of
// a line of n bytes, between `out` and a room of Room bytes on the stack,
// each pass writing whole chunks into the other.
template <std::size_t Room>
__attribute__((always_inline)) inline std::size_t RewriteThroughRoom(char* out, std::size_t size, std::size_t n) {
  char scratch[Room];
  // A line the sweep left as it was (one no row may act on, most often)
  // is only read once more, in the one pass. On a line it shortened, the
  // two passes below cost fewer instructions: the removal's own pass is
  // cheap, and the one pass's visits weigh more than the copy it saves.
  if constexpr (kOnePassAfterSweep) {
    if (size == n) {
      const std::size_t rewritten = RemoveAndRename<rules::kSweptRemovals>(out, size, scratch);
      if (rewritten != kApartOnly) return rewritten;
    }
  }
  size = RemoveLaterInto(out, size, scratch);
  return RenameInto(scratch, size, out);
}

// The larger room, out of line: only the lines that outgrow the smaller
// one enter its frame (which a Windows build touches page by page).
[[gnu::noinline]] std::size_t RewriteThroughLargeRoom(char* out, std::size_t size, std::size_t n) {
  return RewriteThroughRoom<kLongLineRooms[1]>(out, size, n);
}

}  // namespace

std::size_t RewriteLongLine(const char* line, std::size_t n, char* out) {
  std::size_t size = SweepRemovals(line, n, out);
  if (size == kMarkerSeen) return RewriteMarkerLine(line, n, out);
  if (FitsRoom<kLongLineRooms[0]>(size)) return RewriteThroughRoom<kLongLineRooms[0]>(out, size, n);
  if (FitsRoom<kLongLineRooms[1]>(size)) return RewriteThroughLargeRoom(out, size, n);
  size = RemoveLater(out, size, std::make_index_sequence<kLaterRemovalCount>());
  return RenameRows(out, size);
}

std::size_t RenameRows(char* text, std::size_t n) {
  Matches matches;
  if (!RenamesAreApart(text, n, &matches)) return RenameRowByRow(text, n);
  return matches.count == 0 ? n : RenameApart(text, n, matches);
}
