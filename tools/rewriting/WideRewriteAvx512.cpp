// Whole blocks of lines at once, for processors with 64-byte vectors and
// byte permutes (AVX-512 BW and VBMI, BMI2). The 64 bytes that begin a line
// are loaded once; the line ends among them and every row's matches are
// found there exactly by combining shifted byte masks, and each line that
// ends in them is written straight from that register: its kept bytes run
// by run, a lone rename blended in, CR LF behind. A line holding the
// marker, or one whose rows interact, takes the 16-byte path.
//
// Every pattern is looked for in the text as read. That equals looking for
// it row by row in the text the rows before have left, unless a removal
// joins two pieces into a new match: such a match has a removed gap between
// two pattern bytes, and a line with such a gap takes the 16-byte path too.
#include <immintrin.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <utility>

#include "runtime/ByteScan.h"
#include "tools/rewriting/LongLineRewrite.h"
#include "tools/rewriting/PresetRuleFacts.h"
#include "tools/rewriting/RowRewrite.h"
#include "tools/rewriting/ShortLineRewrite.h"
#include "tools/rewriting/WideRewrite.h"

#define BRUSH_WIDE_TARGET __attribute__((target("avx512f,avx512bw,avx512vbmi,bmi,bmi2,popcnt")))

namespace {

using rules::kDistinctRenameCount;
using rules::kDistinctRenames;
using rules::kFirstRemoval;
using rules::kFormingCount;
using rules::kFormings;
using rules::kRemovalCount;
using rules::kSweptRemovals;

constexpr std::size_t kLaterRemovals = kRemovalCount - kSweptRemovals;

// ---- What the rows must be for this path ----

static_assert(rules::kLongestPattern <= 64, "64-byte path: a pattern is longer than a window");
static_assert(!rules::OverlapsItself(kFirstRemoval),
              "64-byte path: the first removal's matches are spread to its length at once, so no two may overlap");
static_assert(rules::BeginsWith(rules::kMarker, kFirstRemoval) && rules::kMarker.size() > kFirstRemoval.size(),
              "64-byte path: the marker is looked for behind the first removal, which must begin it");
static_assert(rules::kLaterRemovalsApart,
              "64-byte path: the removals after the sweep are all dropped at once, so no two of their matches may "
              "overlap");
static_assert(rules::kRenamesApartFromRemovals,
              "64-byte path: renames are found in the text as read, so no rename pattern may share a byte with a "
              "removal");
static_assert(rules::kLongestReplacement <= 16, "64-byte path: a lone rename is blended in from a 16-byte register");

// ---- The texts whose exact places the masks hold ----

// The removals, the distinct rename patterns, and for each way a lone
// rename can form a later pattern, its neighbour in front and behind.
constexpr std::size_t kRenameText = kRemovalCount;
constexpr std::size_t kFormingText = kRenameText + kDistinctRenameCount;
constexpr std::size_t kTextCount = kFormingText + 2 * kFormingCount;

constexpr std::array<std::string_view, kTextCount> kTexts = [] {
  std::array<std::string_view, kTextCount> texts{};
  for (std::size_t i = 0; i < kRemovalCount; ++i) texts[i] = rules::kRemovals[i];
  for (std::size_t r = 0; r < kDistinctRenameCount; ++r) texts[kRenameText + r] = kDistinctRenames[r].find;
  for (std::size_t e = 0; e < kFormingCount; ++e) {
    texts[kFormingText + 2 * e] = kFormings[e].before;
    texts[kFormingText + 2 * e + 1] = kFormings[e].after;
  }
  return texts;
}();

// Every byte a window's masks compare with, 64 copies each, in memory: the
// compares take them from there instead of broadcasting each one anew.
constexpr rules::ByteList kMaskBytes = [] {
  rules::ByteList bytes;
  for (std::string_view text : kTexts) bytes.Add(text);
  bytes.Add(rules::kMarker.substr(kFirstRemoval.size(), 1));
  return bytes;
}();

struct alignas(64) ByteVectors {
  char copies[kMaskBytes.size][64];
  constexpr ByteVectors() : copies() {
    for (std::size_t i = 0; i < kMaskBytes.size; ++i) {
      for (char& copy : copies[i]) copy = kMaskBytes.bytes[i];
    }
  }
};
alignas(64) constexpr ByteVectors kByteVectors;

BRUSH_WIDE_TARGET inline std::uint64_t BytesEqual(__m512i text, char c) {
  return _mm512_cmpeq_epi8_mask(text, _mm512_set1_epi8(c));
}

template <char C>
BRUSH_WIDE_TARGET inline std::uint64_t Bytes(__m512i text) {
  constexpr std::size_t index = kMaskBytes.IndexOf(C);
  static_assert(index < kMaskBytes.size);
  __m512i copies = _mm512_load_si512(kByteVectors.copies[index]);
  // Opaque to the compiler, which would otherwise broadcast the byte.
  __asm__("" : "+v"(copies));
  return _mm512_cmpeq_epi8_mask(text, copies);
}

// The longest text of kTexts, at least two bytes long, that `text` begins
// with and is longer than; kTextCount when there is none. Its places are
// found anyway, so the longer text's are built on them.
constexpr std::size_t LongestKnownStart(std::string_view text) {
  std::size_t best = kTextCount;
  for (std::size_t i = 0; i < kTextCount; ++i) {
    const std::string_view known = kTexts[i];
    if (known.size() >= 2 && known.size() < text.size() && rules::BeginsWith(text, known) &&
        (best == kTextCount || known.size() > kTexts[best].size())) {
      best = i;
    }
  }
  return best;
}

// One bit for each place where bytes [Begin, End) of kTexts[T] begin: the
// byte masks shifted to line up and combined. Equal texts are combined the
// same way wherever they are needed, so the compiler keeps one of each.
template <std::size_t T, std::size_t Begin, std::size_t End>
BRUSH_WIDE_TARGET inline std::uint64_t Exact(__m512i text) {
  constexpr std::string_view kText = kTexts[T].substr(Begin, End - Begin);
  static_assert(!kText.empty());
  if constexpr (kText.size() == 1) {
    return Bytes<kText[0]>(text);
  } else {
    constexpr std::size_t kStart = LongestKnownStart(kText);
    if constexpr (kStart < kTextCount) {
      constexpr std::size_t kLength = kTexts[kStart].size();
      return Exact<kStart, 0, kLength>(text) & (Exact<T, Begin + kLength, End>(text) >> kLength);
    } else {
      return Exact<T, Begin, End - 1>(text) & (Bytes<kText.back()>(text) >> (kText.size() - 1));
    }
  }
}

template <std::size_t T>
BRUSH_WIDE_TARGET inline std::uint64_t Exact(__m512i text) {
  return Exact<T, 0, kTexts[T].size()>(text);
}

constexpr std::uint64_t Spread(std::size_t length) {
  return length >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << length) - 1;
}

BRUSH_WIDE_TARGET inline std::uint64_t LowMask(std::size_t n) {
  return _bzhi_u64(~std::uint64_t{0}, static_cast<unsigned>(n));
}

// The bytes of `bytes` at `indices`. (The unmasked intrinsic draws a false
// "may be used uninitialized" from GCC in sanitized builds.)
BRUSH_WIDE_TARGET inline __m512i Permute(__m512i indices, __m512i bytes) {
  return _mm512_maskz_permutexvar_epi8(~std::uint64_t{0}, indices, bytes);
}

// The byte indices 0 to 63.
BRUSH_WIDE_TARGET inline __m512i Ascending() {
  return _mm512_set_epi8(63, 62, 61, 60, 59, 58, 57, 56, 55, 54, 53, 52, 51, 50, 49, 48, 47, 46, 45, 44, 43, 42, 41, 40,
                         39, 38, 37, 36, 35, 34, 33, 32, 31, 30, 29, 28, 27, 26, 25, 24, 23, 22, 21, 20, 19, 18, 17, 16,
                         15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0);
}

// Writes the bytes of `text` marked in `keep` to `out`, in order; writes up
// to 64 bytes past the result. Returns its length. The first two runs of
// kept bytes are copied without a branch: most lines have one or two, and
// a loop whose count varies from line to line is mispredicted.
BRUSH_WIDE_TARGET std::size_t CompactWide(__m512i text, std::uint64_t keep, char* out) {
  const __m512i ascending = Ascending();
  std::size_t size = 0;
  auto copyRun = [&]() BRUSH_WIDE_TARGET {
    // With nothing left to keep, start is 64 and the run is empty.
    const auto start = static_cast<unsigned>(_tzcnt_u64(keep));
    const auto run = static_cast<unsigned>(_tzcnt_u64(~(keep >> (start & 63))));
    const __m512i from = Permute(_mm512_add_epi8(ascending, _mm512_set1_epi8(static_cast<char>(start))), text);
    _mm512_storeu_si512(out + size, from);
    size += run;
    keep &= ~LowMask(start + run);
  };
  copyRun();
  copyRun();
  while (keep != 0) copyRun();
  return size;
}

// The bytes that a removal can join into a later row's pattern: those of
// the removals after the sweep and of the rename patterns (the neighbours
// a lone rename is checked against are parts of those). For each, the bit
// of its high nibble in the entry of its low nibble; each high nibble met
// has a bit of its own, and past eight the last bit is shared, which only
// sends more lines the 16-byte way.
struct PatternByteTable {
  alignas(16) char low[16] = {};
  alignas(16) char high[16] = {};
  constexpr PatternByteTable() {
    rules::ByteList bytes;
    for (std::size_t i = kSweptRemovals; i < kRemovalCount; ++i) bytes.Add(rules::kRemovals[i]);
    for (const rules::Rename& rename : kDistinctRenames) bytes.Add(rename.find);
    int nextBit = 1;
    for (std::size_t i = 0; i < bytes.size; ++i) {
      const auto byte = static_cast<unsigned char>(bytes.bytes[i]);
      if (high[byte >> 4] == 0) {
        high[byte >> 4] = static_cast<char>(nextBit);
        if (nextBit < 128) nextBit <<= 1;
      }
      low[byte & 15] = static_cast<char>(low[byte & 15] | high[byte >> 4]);
    }
  }
};
constexpr PatternByteTable kPatternBytes;

BRUSH_WIDE_TARGET inline std::uint64_t PatternBytes(__m512i text) {
  const __m512i nibble = _mm512_set1_epi8(15);
  // The zeroing form of the broadcast: GCC's sanitized build reads the
  // unmasked one as using an uninitialized vector.
  const __mmask16 all = 0xFFFF;
  const __m512i low =
      _mm512_maskz_broadcast_i32x4(all, _mm_load_si128(reinterpret_cast<const __m128i*>(kPatternBytes.low)));
  const __m512i high =
      _mm512_maskz_broadcast_i32x4(all, _mm_load_si128(reinterpret_cast<const __m128i*>(kPatternBytes.high)));
  return _mm512_test_epi8_mask(_mm512_shuffle_epi8(low, _mm512_and_si512(text, nibble)),
                               _mm512_shuffle_epi8(high, _mm512_and_si512(_mm512_srli_epi16(text, 4), nibble)));
}

// ---- The renames by number ----

// The distinct renames by the number their matches carry in
// WindowMasks::which: rename r is number r + 1, and number 0 renames
// nothing.
constexpr std::size_t kRenameBits = [] {
  std::size_t bits = 0;
  while ((std::size_t{1} << bits) <= kDistinctRenameCount) ++bits;
  return bits;
}();

struct WideRename {
  std::uint8_t findSize = 0;
  std::uint8_t withSize = 0;
  alignas(16) char with[16] = {};
};

constexpr std::array<WideRename, std::size_t{1} << kRenameBits> kWideRenames = [] {
  std::array<WideRename, std::size_t{1} << kRenameBits> renames{};
  for (std::size_t r = 0; r < kDistinctRenameCount; ++r) {
    renames[r + 1].findSize = static_cast<std::uint8_t>(kDistinctRenames[r].find.size());
    renames[r + 1].withSize = static_cast<std::uint8_t>(kDistinctRenames[r].with.size());
    for (std::size_t i = 0; i < kDistinctRenames[r].with.size(); ++i) {
      renames[r + 1].with[i] = kDistinctRenames[r].with[i];
    }
  }
  return renames;
}();

// ---- The masks of a window ----

// The masks of 64 bytes that begin a line, found once for all the whole
// lines among them: no pattern holds a line terminator, so a line's matches
// are the window's matches inside it.
struct WindowMasks {
  // Where the first removal is followed by the marker's next byte.
  std::uint64_t markers;
  // What takes a line off the quick way: a marker, a removed gap with
  // pattern bytes on both sides, or a rename that may form a later row's
  // pattern.
  std::uint64_t special;
  // The bytes stage 2 keeps (terminators are not kept).
  std::uint64_t keep;
  // Where a rename pattern begins, and bit k of the rename's number there.
  std::uint64_t renames;
  std::uint64_t which[kRenameBits];
};

template <std::size_t... I>
BRUSH_WIDE_TARGET inline std::uint64_t SweptBytes(__m512i text, std::index_sequence<I...>) {
  return (std::uint64_t{0} | ... | Exact<1 + I>(text));
}

// Drops the later removals' matches from `kept`: those found in the text
// as read whose every byte the rows before kept.
template <std::size_t... I>
BRUSH_WIDE_TARGET inline std::uint64_t DropLaterRemovals(__m512i text, std::uint64_t kept, std::index_sequence<I...>) {
  auto drop = [&](auto index) BRUSH_WIDE_TARGET {
    constexpr std::size_t kRow = kSweptRemovals + decltype(index)::value;
    constexpr std::size_t kLength = rules::kRemovals[kRow].size();
    std::uint64_t found = Exact<kRow>(text);
    for (std::size_t shift = 0; shift < kLength; ++shift) found &= kept >> shift;
    kept &= ~(found * Spread(kLength));
  };
  (drop(std::integral_constant<std::size_t, I>()), ...);
  return kept;
}

template <std::size_t... R>
BRUSH_WIDE_TARGET inline void FindRenames(__m512i text, std::uint64_t (&found)[kDistinctRenameCount],
                                          std::index_sequence<R...>) {
  ((found[R] = Exact<kRenameText + R>(text)), ...);
}

// Where a lone rename has a neighbour with which it forms a later pattern,
// for the rename of each kFormings entry.
template <std::size_t... E>
BRUSH_WIDE_TARGET inline std::uint64_t FindFormings(__m512i text, const std::uint64_t (&renames)[kDistinctRenameCount],
                                                    std::index_sequence<E...>) {
  std::uint64_t near[kDistinctRenameCount] = {};
  auto add = [&](auto entry) BRUSH_WIDE_TARGET {
    constexpr std::size_t kEntry = decltype(entry)::value;
    constexpr rules::Forming kForming = kFormings[kEntry];
    std::uint64_t here = ~std::uint64_t{0};
    if constexpr (!kForming.before.empty()) {
      here &= Exact<kFormingText + 2 * kEntry>(text) << kForming.before.size();
    }
    if constexpr (!kForming.after.empty()) {
      here &= Exact<kFormingText + 2 * kEntry + 1>(text) >> kDistinctRenames[kForming.rename].find.size();
    }
    near[kForming.rename] |= here;
  };
  (add(std::integral_constant<std::size_t, E>()), ...);
  std::uint64_t forms = 0;
  for (std::size_t r = 0; r < kDistinctRenameCount; ++r) forms |= renames[r] & near[r];
  return forms;
}

// Where two rename patterns of which one begins the other both match: no
// lone rename.
template <std::size_t... P>
BRUSH_WIDE_TARGET inline std::uint64_t SharedPlaces(const std::uint64_t (&renames)[kDistinctRenameCount],
                                                    std::index_sequence<P...>) {
  return (std::uint64_t{0} | ... | (renames[rules::kSharedStarts[P].first] & renames[rules::kSharedStarts[P].second]));
}

BRUSH_WIDE_TARGET inline WindowMasks FindWindowMasks(__m512i text, std::uint64_t ends) {
  const std::uint64_t first = Exact<0>(text);
  std::uint64_t kept =
      ~(first * Spread(kFirstRemoval.size()) | SweptBytes(text, std::make_index_sequence<kSweptRemovals - 1>()) | ends);
  WindowMasks masks;
  masks.markers = first & (Bytes<rules::kMarker[kFirstRemoval.size()]>(text) >> kFirstRemoval.size());
  masks.keep = DropLaterRemovals(text, kept, std::make_index_sequence<kLaterRemovals>());
  // Adding a bit at a gap's start carries to the byte behind the gap.
  const std::uint64_t patternBytes = PatternBytes(text) & masks.keep;
  const std::uint64_t gaps = ~masks.keep & ~ends;
  const std::uint64_t joined = (((patternBytes << 1) & gaps) + gaps) & patternBytes;

  // The renames, exactly. No pattern can share a byte with a removed mark,
  // so where no gap joins pattern bytes they are the matches stage 3 sees.
  std::uint64_t renames[kDistinctRenameCount];
  FindRenames(text, renames, std::make_index_sequence<kDistinctRenameCount>());
  masks.renames = 0;
  for (std::uint64_t& bits : masks.which) bits = 0;
  for (std::size_t r = 0; r < kDistinctRenameCount; ++r) {
    masks.renames |= renames[r];
    for (std::size_t bit = 0; bit < kRenameBits; ++bit) {
      if (((r + 1) >> bit) & 1) masks.which[bit] |= renames[r];
    }
  }
  const std::uint64_t forms = FindFormings(text, renames, std::make_index_sequence<kFormingCount>());
  masks.special =
      masks.markers | joined | forms | SharedPlaces(renames, std::make_index_sequence<rules::kSharedStartCount>());
  return masks;
}

// The line at [from, to) of the window `text` (loaded from `window`, 64
// bytes readable there), rewritten into `out`; up to 64 bytes past the
// result may be written. Returns its length.
BRUSH_WIDE_TARGET std::size_t RewriteWindowLine(__m512i text, const char* window, const WindowMasks& masks,
                                                std::size_t from, std::size_t to, char* out) {
  const std::uint64_t bits = LowMask(to) & ~LowMask(from);
  const std::uint64_t renames = masks.renames & bits;
  if (((masks.special & bits) | (renames & (renames - 1))) != 0) {
    const char* line = window + from;
    const std::size_t n = to - from;
    constexpr std::string_view kMarkerRest = rules::kMarker.substr(kFirstRemoval.size());
    for (std::uint64_t found = masks.markers & bits; found != 0; found &= found - 1) {
      const auto at = static_cast<std::size_t>(_tzcnt_u64(found));
      if (at + rules::kMarker.size() <= to &&
          std::memcmp(window + at + kFirstRemoval.size(), kMarkerRest.data(), kMarkerRest.size()) == 0) {
        return RewriteMarkerLine(line, n, out);
      }
    }
    return RewriteShortLine(line, n, out);
  }
  // At most one rename: made in the register (none is rename number 0).
  std::size_t number = 0;
  for (std::size_t bit = 0; bit < kRenameBits; ++bit) {
    number |= (masks.which[bit] & renames) != 0 ? std::size_t{1} << bit : 0;
  }
  const WideRename& rename = kWideRenames[number];
  const auto at = static_cast<unsigned>(_tzcnt_u64(renames) & 63);
  const __m512i with = _mm512_zextsi128_si512(_mm_load_si128(reinterpret_cast<const __m128i*>(rename.with)));
  const __m512i replacement = Permute(_mm512_sub_epi8(Ascending(), _mm512_set1_epi8(static_cast<char>(at))), with);
  text = _mm512_mask_blend_epi8(LowMask(rename.withSize) << at, text, replacement);
  // The replacement over the pattern's first bytes, the rest dropped.
  const std::uint64_t dropped = LowMask(rename.findSize - rename.withSize) << ((at + rename.withSize) & 63);
  return CompactWide(text, masks.keep & bits & ~dropped, out);
}

}  // namespace

BRUSH_WIDE_TARGET std::size_t RewriteWholeLinesWide(const char* block, std::size_t size, char* out) {
  char* const begin = out;
  const __m512i crlf = _mm512_set1_epi16(0x0A0D);
  const __m512i zero = _mm512_setzero_si512();
  // Each window begins where the first line not yet rewritten begins, and
  // serves every line that ends in it.
  for (std::size_t pos = 0; pos < size;) {
    const char* window = block + pos;
    const __m512i text = _mm512_loadu_si512(window);
    const std::uint64_t held = LowMask(std::min<std::size_t>(size - pos, 64));
    const std::uint64_t cr = BytesEqual(text, '\r') & held;
    const std::uint64_t lf = BytesEqual(text, '\n') & held;
    const std::uint64_t lfOrNul = lf | (_mm512_cmpeq_epi8_mask(text, zero) & held);
    if (lfOrNul == held) {
      // Empty lines only: CR LF for each byte.
      _mm512_storeu_si512(out, crlf);
      _mm512_storeu_si512(out + 64, crlf);
      const auto count = static_cast<std::size_t>(_mm_popcnt_u64(held));
      out += 2 * count;
      pos += count;
      continue;
    }
    // A CR followed by an LF: the LF ends the line for both.
    const std::uint64_t lfNext = pos + 64 < size && window[64] == '\n' ? 1 : 0;
    const std::uint64_t pairCr = cr & ((lf >> 1) | (lfNext << 63));
    const std::uint64_t lineEnds = (cr & ~pairCr) | lfOrNul;
    if (lineEnds == 0) {
      // A line of 63 bytes or more: it ends at the first terminator.
      std::size_t n = 64;
      std::uint64_t ends = 0;
      for (;; n += 64) {
        ends = bytescan::LineEndMask64(window + n) & LowMask(std::min<std::size_t>(size - pos - n, 64));
        if (ends != 0) break;
      }
      n += static_cast<std::size_t>(_tzcnt_u64(ends));
      if (pairCr != 0) n = 63;
      out = EndLine(out + RewriteLongLine(window, n, out));
      pos += n + (window[n] == '\r' && window[n + 1] == '\n' ? 2 : 1);
      continue;
    }
    const WindowMasks masks = FindWindowMasks(text, cr | lfOrNul);
    const std::uint64_t pairBefore = pairCr << 1;  // bit e: byte e - 1 is a pair's CR
    std::size_t from = 0;
    for (std::uint64_t pending = lineEnds; pending != 0; pending &= pending - 1) {
      const auto end = static_cast<std::size_t>(_tzcnt_u64(pending));
      out = EndLine(out + RewriteWindowLine(text, window, masks, from, end - ((pairBefore >> end) & 1), out));
      from = end + 1;
    }
    pos += from;
  }
  return static_cast<std::size_t>(out - begin);
}

bool WideVectorsSupported() {
  return __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vbmi") && __builtin_cpu_supports("bmi2");
}
