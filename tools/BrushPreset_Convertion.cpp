#include "tools/BrushPreset_Convertion.h"

#include <cstring>
#include <new>

#include "runtime/ByteScan.h"
#include "runtime/FileChannel.h"
#include "runtime/FileChannelBulk.h"

#if defined(__x86_64__) && defined(__GNUC__)
#define BRUSH_WIDE_VECTORS 1
#include <immintrin.h>
#else
#define BRUSH_WIDE_VECTORS 0
#endif

namespace {

constexpr std::size_t kNotFound = static_cast<std::size_t>(-1);

std::size_t Find(const char* text, std::size_t n, std::string_view what, std::size_t from = 0) {
  if (what.empty() || what.size() > n) return kNotFound;
  const std::size_t last = n - what.size();
  while (from <= last) {
    const void* hit = std::memchr(text + from, what[0], last - from + 1);
    if (hit == nullptr) return kNotFound;
    from = static_cast<std::size_t>(static_cast<const char*>(hit) - text);
    if (std::memcmp(text + from + 1, what.data() + 1, what.size() - 1) == 0) return from;
    ++from;
  }
  return kNotFound;
}

// ReplaceAll in place, for a replacement no longer than what it replaces:
// the write position never passes the read position.
std::size_t ReplaceAllInPlace(char* text, std::size_t n, std::string_view what, std::string_view with) {
  std::size_t hit = Find(text, n, what);
  if (hit == kNotFound) return n;
  std::size_t write = hit;
  std::size_t read = hit;
  while (hit != kNotFound) {
    std::memmove(text + write, text + read, hit - read);
    write += hit - read;
    if (!with.empty()) std::memcpy(text + write, with.data(), with.size());
    write += with.size();
    read = hit + what.size();
    hit = Find(text, n, what, read);
  }
  std::memmove(text + write, text + read, n - read);
  return write + (n - read);
}

std::size_t RemoveAllInPlace(char* text, std::size_t n, std::string_view what) {
  return ReplaceAllInPlace(text, n, what, std::string_view());
}

int DigitValue(char c, int base) {
  int value = 99;
  if (c >= '0' && c <= '9') value = c - '0';
  if (c >= 'A' && c <= 'F') value = c - 'A' + 10;
  if (c >= 'a' && c <= 'f') value = c - 'a' + 10;
  return value < base ? value : -1;
}

// ParseInteger over [p, end), optionally reading past every ";" as if it
// had been removed first.
std::int64_t ParseIntegerFrom(const char* p, const char* end, bool skipSemicolons) {
  auto next = [&]() {
    if (skipSemicolons) {
      while (p < end && *p == ';') ++p;
    }
    return p < end ? *p : '\0';
  };
  while (next() == ' ' || next() == '\t') ++p;
  bool negative = false;
  if (next() == '-' || next() == '+') {
    negative = *p == '-';
    ++p;
  }
  int base = 10;
  if (next() == '$' || next() == '%') {
    base = *p == '$' ? 16 : 2;
    ++p;
  }
  std::uint64_t value = 0;
  for (int digit; p < end && (digit = DigitValue(next(), base)) >= 0; ++p) {
    value = value * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(digit);
  }
  return static_cast<std::int64_t>(negative ? 0 - value : value);
}

std::size_t FormatIntegerInto(std::int64_t value, char* out) {
  char digits[20];
  std::size_t count = 0;
  auto magnitude = static_cast<std::uint64_t>(value);
  if (value < 0) magnitude = 0 - magnitude;
  do {
    digits[count++] = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  std::size_t length = 0;
  if (value < 0) out[length++] = '-';
  while (count > 0) out[length++] = digits[--count];
  return length;
}

constexpr std::string_view kTransparencyMarker = "global.Transp=";

// Stage 1 on a line holding the marker: the percentage as 0..255. It is
// read from the 15th byte of the line on, wherever the marker stood: stored
// presets were converted that way.
std::int32_t RescaledAlpha(const char* line, std::size_t n) {
  const char* value = line + (n < kTransparencyMarker.size() ? n : kTransparencyMarker.size());
  std::int64_t percent = ParseIntegerFrom(value, line + n, true);
  auto scaled = static_cast<std::int64_t>(static_cast<std::uint64_t>(percent) * 255u) / 100;
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(scaled));
}

// What all three stages make of a line holding the marker: stage 1 leaves
// the marker and a number, stage 2 takes "global." off, and stage 3 renames
// "Transp"; no other row finds anything in "alpha=" and a number.
std::size_t RewriteMarkerLine(const char* line, std::size_t n, char* out) {
  std::memcpy(out, "alpha=", 6);
  return 6 + FormatIntegerInto(RescaledAlpha(line, n), out + 6);
}

// Stage 2, rows "global.", "'" and ";" in one pass: the two single bytes
// never take part in a "global.", so removing them in the same pass as it
// gives what three passes in that order give.
std::size_t RemoveMarksInto(const char* line, std::size_t n, char* out) {
  std::size_t write = 0;
  for (std::size_t read = 0; read < n;) {
    char c = line[read];
    if (c == '\'' || c == ';') {
      ++read;
    } else if (c == 'g' && n - read >= 7 && std::memcmp(line + read, "global.", 7) == 0) {
      read += 7;
    } else {
      out[write++] = c;
      ++read;
    }
  }
  return write;
}

struct Rename {
  std::string_view find;
  std::string_view with;
};

// Applied in this order, each to the result of the one before. "dirbrush"
// is renamed twice on purpose: the second pass catches a "dirbrush" that the
// first one formed.
constexpr Rename kRenames[] = {
    {"Transp", "alpha"},   {"SizeY", "sizeY"},     {"SizeX", "sizeX"},       {"Rotate", "rotate"},
    {"brushname", "name"}, {"Scatter", "scatter"}, {"dirbrush", "brushdir"}, {"dirbrush", "brushdir"},
};

}  // namespace

bool ContainsText(std::string_view text, std::string_view what) {
  return Find(text.data(), text.size(), what) != kNotFound;
}

std::string DropFirst(std::string_view text, std::int64_t n) {
  if (n <= 0) return std::string(text);
  if (static_cast<std::uint64_t>(n) >= text.size()) return std::string();
  return std::string(text.substr(static_cast<std::size_t>(n)));
}

std::string RemoveAll(std::string_view text, std::string_view what) {
  std::string result(text);
  result.resize(RemoveAllInPlace(result.data(), result.size(), what));
  return result;
}

std::string ReplaceAll(std::string_view text, std::string_view what, std::string_view with) {
  std::string result(text);
  if (with.size() <= what.size()) {
    result.resize(ReplaceAllInPlace(result.data(), result.size(), what, with));
    return result;
  }
  result.clear();
  std::size_t read = 0;
  for (std::size_t hit; (hit = Find(text.data(), text.size(), what, read)) != kNotFound;) {
    result.append(text.substr(read, hit - read)).append(with);
    read = hit + what.size();
  }
  return result.append(text.substr(read));
}

std::int64_t ParseInteger(std::string_view text) {
  return ParseIntegerFrom(text.data(), text.data() + text.size(), false);
}

std::string FormatInteger(std::int64_t value) {
  char text[24];
  return std::string(text, FormatIntegerInto(value, text));
}

namespace {

// Every row applied in turn with plain searches: right for any line.
// Every rename row in turn, in place.
std::size_t RenameRowByRow(char* text, std::size_t n) {
  for (const Rename& rename : kRenames) n = ReplaceAllInPlace(text, n, rename.find, rename.with);
  return n;
}

// The ".kvr" row and the renames, in place, on a line that has been through
// the rest of stage 2.
std::size_t FinishRowByRow(char* text, std::size_t n) {
  return RenameRowByRow(text, RemoveAllInPlace(text, n, ".kvr"));
}

std::size_t RewriteAnyLine(const char* text, std::size_t n, char* out) {
  if (Find(text, n, kTransparencyMarker) != kNotFound) return RewriteMarkerLine(text, n, out);
  return FinishRowByRow(out, RemoveMarksInto(text, n, out));
}

constexpr std::size_t kShortLine = 64;

constexpr std::uint64_t LowBits(std::size_t n) { return n >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << n) - 1; }

// The bits of `mask` in [start, start + length), moved to begin at `to`.
inline std::uint64_t MoveBits(std::uint64_t mask, std::size_t start, std::size_t length, std::size_t to) {
  if (length == 0 || start >= 64 || to >= 64) return 0;
  return ((mask >> start) & LowBits(length)) << to;
}

// True when the bytes at `text` begin with `literal`.
template <std::size_t N>
inline bool StartsWith(const char* text, const char (&literal)[N]) {
  return std::memcmp(text, literal, N - 1) == 0;
}

// Copies the bytes of the line not marked in `removed` to `out`, run by
// run in whole chunks; moves the marks of `first` and `second` along with
// their bytes. Returns the new length.
__attribute__((always_inline)) inline std::size_t CompactInto(const char* line, std::size_t n, std::uint64_t removed,
                                                              char* out, std::uint64_t* first, std::uint64_t* second) {
  std::uint64_t keep = LowBits(n) & ~removed;
  std::uint64_t movedFirst = 0, movedSecond = 0;
  std::size_t written = 0;
  while (keep != 0) {
    auto start = static_cast<std::size_t>(bytescan::LowestBit(keep));
    std::uint64_t gaps = ~(keep >> start);
    std::size_t run = gaps == 0 ? 64 - start : static_cast<std::size_t>(bytescan::LowestBit(gaps));
    bytescan::CopyChunks(out + written, line + start, run);
    movedFirst |= MoveBits(*first, start, run, written);
    movedSecond |= MoveBits(*second, start, run, written);
    written += run;
    keep &= ~(LowBits(run) << start);
  }
  *first = movedFirst;
  *second = movedSecond;
  return written;
}

// Removes the `length`-byte matches at `starts` from `text` in place (exact
// moves: nothing past the text is touched); moves the marks of `kept`.
std::size_t RemoveInPlace(char* text, std::size_t n, std::uint64_t starts, std::size_t length, std::uint64_t* kept) {
  std::size_t written = 0;
  std::size_t read = 0;
  std::uint64_t moved = 0;
  for (; starts != 0; starts &= starts - 1) {
    auto at = static_cast<std::size_t>(bytescan::LowestBit(starts));
    std::memmove(text + written, text + read, at - read);
    moved |= MoveBits(*kept, read, at - read, written);
    written += at - read;
    read = at + length;
  }
  std::memmove(text + written, text + read, n - read);
  moved |= MoveBits(*kept, read, n - read, written);
  *kept = moved;
  return written + (n - read);
}

struct RenameMatches {
  int count = 0;
  std::size_t at = 0;
  const Rename* rename = nullptr;
};

// Every occurrence of every rename pattern in `text`: each begins at one of
// the `starts`, the positions of the patterns' first bytes.
__attribute__((always_inline)) inline RenameMatches FindRenames(const char* text, std::size_t n, std::uint64_t starts) {
  RenameMatches matches;
  auto take = [&](std::size_t at, const Rename& row) {
    if (at + row.find.size() <= n && std::memcmp(text + at, row.find.data(), row.find.size()) == 0) {
      ++matches.count;
      matches.at = at;
      matches.rename = &row;
    }
  };
  for (; starts != 0; starts &= starts - 1) {
    auto at = static_cast<std::size_t>(bytescan::LowestBit(starts));
    switch (text[at]) {
      case 'T':
        take(at, kRenames[0]);
        break;
      case 'S':
        take(at, kRenames[1]);
        take(at, kRenames[2]);
        take(at, kRenames[5]);
        break;
      case 'R':
        take(at, kRenames[3]);
        break;
      case 'b':
        take(at, kRenames[4]);
        break;
      default:
        take(at, kRenames[6]);
        break;
    }
  }
  return matches;
}

// The rows on a line of at most 64 bytes, found through byte masks: a row
// whose pattern does not occur changes nothing, so only the rows that find
// something are applied. The 64 bytes from `line` must be readable; `out`
// has room for n + kRewriteGrowth bytes and does not overlap the line.
template <std::size_t Chunks>
std::size_t RewriteShortLineIn(const char* line, std::size_t n, char* out);
std::size_t ApplyRenames(char* out, std::size_t size, std::uint64_t renameStarts);

std::size_t RewriteShortLine(const char* line, std::size_t n, char* out) {
  if (n <= 16) return RewriteShortLineIn<1>(line, n, out);
  if (n <= 32) return RewriteShortLineIn<2>(line, n, out);
  return RewriteShortLineIn<4>(line, n, out);
}

template <std::size_t Chunks>
std::size_t RewriteShortLineIn(const char* line, std::size_t n, char* out) {
  // Which bytes any row can act on: the line is loaded once.
  const bytescan::ShortText<Chunks> text(line, n);
  std::uint64_t g = text.template Mask<'g'>();
  std::uint64_t dots = text.template Mask<'.'>();
  std::uint64_t globals = 0;
  for (std::uint64_t candidates = g & (dots >> 6); candidates != 0; candidates &= candidates - 1) {
    auto at = static_cast<std::size_t>(bytescan::LowestBit(candidates));
    if (at + 7 > n || !StartsWith(line + at, "global.")) continue;
    // The transparency marker is a "global." followed by "Transp=".
    if (at + 14 <= n && StartsWith(line + at + 7, "Transp=")) return RewriteMarkerLine(line, n, out);
    globals |= std::uint64_t{1} << at;
  }

  // "global.", "'" and ";" in one sweep: "global." never overlaps itself
  // nor holds the other two marks, so this equals the three passes. The
  // dots and the renames' first bytes are followed to where they land.
  std::uint64_t removed = text.template Mask<'\'', ';'>();
  for (; globals != 0; globals &= globals - 1) removed |= LowBits(7) << bytescan::LowestBit(globals);
  std::uint64_t renameStarts = text.template Mask<'T', 'S', 'R', 'b', 'd'>() & ~removed;
  dots &= ~removed;
  std::size_t size;
  if (removed == 0) {
    bytescan::CopyChunks(out, line, n);
    size = n;
  } else {
    size = CompactInto(line, n, removed, out, &dots, &renameStarts);
  }

  // ".kvr" is looked for only once the other marks are gone.
  std::uint64_t kvr = 0;
  for (; dots != 0; dots &= dots - 1) {
    auto at = static_cast<std::size_t>(bytescan::LowestBit(dots));
    if (at + 4 <= size && StartsWith(out + at, ".kvr")) kvr |= std::uint64_t{1} << at;
  }
  if (kvr != 0) size = RemoveInPlace(out, size, kvr, 4, &renameStarts);

  return ApplyRenames(out, size, renameStarts);
}

// True when the one match found is all that stage 3 changes: it is renamed
// alone, unless the renamed text can form a later row's pattern with its
// neighbours: "Scatte" + "rotate" forms "Scatter", "dir" + "brushdir" or
// "brushdir" + "brush" form "dirbrush".
bool RenamedAlone(const char* out, std::size_t size, const RenameMatches& matches) {
  if (matches.count != 1) return false;
  std::size_t at = matches.at;
  const Rename* rename = matches.rename;
  return !((rename == &kRenames[3] && at >= 6 && StartsWith(out + at - 6, "Scatte")) ||
           (rename == &kRenames[6] &&
            ((at >= 3 && StartsWith(out + at - 3, "dir")) || (at + 13 <= size && StartsWith(out + at + 8, "brush")))));
}

// Stage 3 on `out`, given every place where a rename pattern may begin.
std::size_t ApplyRenames(char* out, std::size_t size, std::uint64_t renameStarts) {
  RenameMatches matches = FindRenames(out, size, renameStarts);
  if (matches.count == 0) return size;
  std::size_t at = matches.at;
  const Rename& rename = *matches.rename;
  if (RenamedAlone(out, size, matches)) {
    std::size_t rest = at + rename.find.size();
    if (rename.with.size() != rename.find.size()) {
      std::memmove(out + at + rename.with.size(), out + rest, size - rest);
    }
    std::memcpy(out + at, rename.with.data(), rename.with.size());
    return size - rename.find.size() + rename.with.size();
  }
  return RenameRowByRow(out, size);
}

// Writes the CR LF that ends every converted line at `out`; returns the
// position behind it.
inline char* EndLine(char* out) {
  out[0] = '\r';
  out[1] = '\n';
  return out + 2;
}

#if BRUSH_WIDE_VECTORS
// Whole blocks of lines at once, for processors with 64-byte vectors and
// byte permutes (AVX-512 BW and VBMI, BMI2). The 64 bytes that begin a line
// are loaded once; the line ends among them and every row's matches are
// found there exactly by combining shifted byte masks, and each line that
// ends in them is written straight from that register: its kept bytes run
// by run, a lone rename blended in, CR LF behind. A line holding the
// transparency marker, or one whose rows interact, takes the plain way.
#define BRUSH_WIDE_TARGET __attribute__((target("avx512f,avx512bw,avx512vbmi,bmi,bmi2,popcnt")))

BRUSH_WIDE_TARGET inline std::uint64_t BytesEqual(__m512i text, char c) {
  return _mm512_cmpeq_epi8_mask(text, _mm512_set1_epi8(c));
}

// Every byte a line's masks compare with, 64 copies each, in memory: the
// compares take them from there instead of broadcasting each one anew.
struct alignas(64) ByteVectors {
  static constexpr char kBytes[] = ".lbrioTSga';kvcRdnspzeYXtuhm";
  char copies[sizeof kBytes - 1][64];
  constexpr ByteVectors() : copies() {
    for (std::size_t i = 0; i + 1 < sizeof kBytes; ++i) {
      for (char& copy : copies[i]) copy = kBytes[i];
    }
  }
};
alignas(64) constexpr ByteVectors kByteVectors;

template <char C>
BRUSH_WIDE_TARGET inline std::uint64_t Bytes(__m512i text) {
  constexpr std::size_t index = std::string_view(ByteVectors::kBytes).find(C);
  static_assert(index != std::string_view::npos);
  __m512i copies = _mm512_load_si512(kByteVectors.copies[index]);
  // Opaque to the compiler, which would otherwise broadcast the byte.
  __asm__("" : "+v"(copies));
  return _mm512_cmpeq_epi8_mask(text, copies);
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

// The bytes that can be part of a ".kvr" or rename pattern, or of the
// neighbours a lone rename is checked against: for each, the bit of its
// high nibble (2, 5, 6 or 7) in the entry of its low nibble.
struct PatternByteTable {
  alignas(16) char low[16] = {};
  alignas(16) char high[16] = {};
  constexpr PatternByteTable() {
    constexpr std::string_view kBytes = ".kvrTranspSizeYXRotatebrushnameScatterdir";
    for (char c : kBytes) {
      auto byte = static_cast<unsigned char>(c);
      int bit = byte >> 4 == 2 ? 1 : byte >> 4 == 5 ? 2 : byte >> 4 == 6 ? 4 : 8;
      low[byte & 15] = static_cast<char>(low[byte & 15] | bit);
      high[byte >> 4] = static_cast<char>(bit);
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

// The masks of 64 bytes that begin a line, found once for all the whole
// lines among them: no pattern holds a line terminator, so a line's matches
// are the window's matches inside it.
//
// Every pattern is looked for in the text as read, where it is found
// exactly by combined byte masks. That equals looking for it row by row in
// the text the rows before have left, unless a removal joins two pieces
// into a new match; such a match has a removed gap between two bytes of
// the patterns, and a line with such a gap goes through the plain rows.
struct WindowMasks {
  std::uint64_t markers;   // "global.T", where the transparency marker may stand
  std::uint64_t special;   // what takes a line off the quick way: a marker, a
                           // removed gap with pattern bytes on both sides, or a
                           // rename that may form a later row's pattern
  std::uint64_t keep;      // the bytes stage 2 keeps (terminators are not kept)
  std::uint64_t renames;   // where a rename pattern begins
  std::uint64_t which[3];  // bit k of the rename's number (kWideRenames) there
};

// The renames by the number their matches carry in WindowMasks::which;
// number 0 renames nothing. "dirbrush" stands once: a line whose rename
// could form another one does not take the quick way.
struct WideRename {
  std::uint8_t findSize;
  std::uint8_t withSize;
  alignas(16) char with[16];
};
constexpr WideRename kWideRenames[8] = {
    {0, 0, ""},       {6, 5, "alpha"}, {5, 5, "sizeY"},   {5, 5, "sizeX"},
    {6, 6, "rotate"}, {9, 4, "name"},  {7, 7, "scatter"}, {8, 8, "brushdir"},
};

BRUSH_WIDE_TARGET inline WindowMasks FindWindowMasks(__m512i text, std::uint64_t ends) {
  const std::uint64_t dot = Bytes<'.'>(text);
  const std::uint64_t l = Bytes<'l'>(text);
  const std::uint64_t a = Bytes<'a'>(text);
  const std::uint64_t b = Bytes<'b'>(text);
  const std::uint64_t e = Bytes<'e'>(text);
  const std::uint64_t i = Bytes<'i'>(text);
  const std::uint64_t o = Bytes<'o'>(text);
  const std::uint64_t r = Bytes<'r'>(text);
  const std::uint64_t t = Bytes<'t'>(text);
  const std::uint64_t upperS = Bytes<'S'>(text);
  const std::uint64_t upperT = Bytes<'T'>(text);
  const std::uint64_t globals = Bytes<'g'>(text) & (l >> 1) & (o >> 2) & (b >> 3) & (a >> 4) & (l >> 5) & (dot >> 6);
  // "global." cannot overlap itself: its matches spread to seven bits each.
  const std::uint64_t kept = ~(globals * 0x7F | Bytes<'\''>(text) | Bytes<';'>(text) | ends);
  const std::uint64_t kvr = dot & (Bytes<'k'>(text) >> 1) & (Bytes<'v'>(text) >> 2) & (r >> 3) & kept & (kept >> 1) &
                            (kept >> 2) & (kept >> 3);
  WindowMasks masks;
  masks.markers = globals & (upperT >> 7);
  masks.keep = kept & ~(kvr * 0xF);
  // Adding a bit at a gap's start carries to the byte behind the gap.
  const std::uint64_t patternBytes = PatternBytes(text) & masks.keep;
  const std::uint64_t gaps = ~masks.keep & ~ends;
  const std::uint64_t joined = (((patternBytes << 1) & gaps) + gaps) & patternBytes;

  // The renames, exactly. No pattern can share a byte with a removed mark,
  // so where no gap joins pattern bytes they are the matches stage 3 sees.
  const std::uint64_t s = Bytes<'s'>(text);
  const std::uint64_t h = Bytes<'h'>(text);
  const std::uint64_t size = upperS & (i >> 1) & (Bytes<'z'>(text) >> 2) & (e >> 3);
  const std::uint64_t scatte = upperS & (Bytes<'c'>(text) >> 1) & (a >> 2) & (t >> 3) & (t >> 4) & (e >> 5);
  const std::uint64_t brush = b & (r >> 1) & (Bytes<'u'>(text) >> 2) & (s >> 3) & (h >> 4);
  const std::uint64_t dir = Bytes<'d'>(text) & (i >> 1) & (r >> 2);
  const std::uint64_t n = Bytes<'n'>(text);
  const std::uint64_t transp = upperT & (r >> 1) & (a >> 2) & (n >> 3) & (s >> 4) & (Bytes<'p'>(text) >> 5);
  const std::uint64_t sizeY = size & (Bytes<'Y'>(text) >> 4);
  const std::uint64_t sizeX = size & (Bytes<'X'>(text) >> 4);
  const std::uint64_t rotate = Bytes<'R'>(text) & (o >> 1) & (t >> 2) & (a >> 3) & (t >> 4) & (e >> 5);
  const std::uint64_t brushname = brush & (n >> 5) & (a >> 6) & (Bytes<'m'>(text) >> 7) & (e >> 8);
  const std::uint64_t scatter = scatte & (r >> 6);
  const std::uint64_t dirbrush = dir & (brush >> 3);
  masks.renames = transp | sizeY | sizeX | rotate | brushname | scatter | dirbrush;
  masks.which[0] = transp | sizeX | brushname | dirbrush;
  masks.which[1] = sizeY | sizeX | scatter | dirbrush;
  masks.which[2] = rotate | brushname | scatter | dirbrush;
  // "Scatte" + "rotate" forms "Scatter"; "dir" + "brushdir" and "brushdir"
  // + "brush" form "dirbrush".
  const std::uint64_t forms = (rotate & (scatte << 6)) | (dirbrush & ((dir << 3) | (brush >> 8)));
  masks.special = masks.markers | joined | forms;
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
    for (std::uint64_t found = masks.markers & bits; found != 0; found &= found - 1) {
      const auto at = static_cast<std::size_t>(_tzcnt_u64(found));
      if (at + 14 <= to && StartsWith(window + at + 7, "Transp=")) return RewriteMarkerLine(line, n, out);
    }
    return RewriteShortLine(line, n, out);
  }
  // At most one rename: made in the register (none is rename number 0).
  const WideRename& rename =
      kWideRenames[((masks.which[0] & renames) != 0 ? 1 : 0) | ((masks.which[1] & renames) != 0 ? 2 : 0) |
                   ((masks.which[2] & renames) != 0 ? 4 : 0)];
  const auto at = static_cast<unsigned>(_tzcnt_u64(renames) & 63);
  const __m512i with = _mm512_zextsi128_si512(_mm_load_si128(reinterpret_cast<const __m128i*>(rename.with)));
  const __m512i replacement = Permute(_mm512_sub_epi8(Ascending(), _mm512_set1_epi8(static_cast<char>(at))), with);
  text = _mm512_mask_blend_epi8(LowMask(rename.withSize) << at, text, replacement);
  // The replacement over the pattern's first bytes, the rest dropped.
  const std::uint64_t dropped = LowMask(rename.findSize - rename.withSize) << ((at + rename.withSize) & 63);
  return CompactWide(text, masks.keep & bits & ~dropped, out);
}

// Rewrites the lines of `block` (whole lines with their terminators; a CR
// at its end is not followed by an LF; 128 bytes past it can be read) into
// `out`, each followed by CR LF. `out` has room for twice the block's size
// and 128 bytes more. Returns the bytes written.
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
      out = EndLine(out + RewriteAnyLine(window, n, out));
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
#else
bool WideVectorsSupported() { return false; }
std::size_t RewriteWholeLinesWide(const char*, std::size_t, char*) { return 0; }
#endif

bool gWideVectors = WideVectorsSupported();

}  // namespace

std::size_t RewritePresetLineInto(std::string_view line, char* out, bool readablePadding) {
  std::size_t n = line.size();
  if (n > kShortLine) return RewriteAnyLine(line.data(), n, out);
  const char* text = line.data();
  bool overlaps = out < text + n + kShortLine && text < out + n + kRewriteGrowth;
  char padded[kShortLine + 16];
  if (!readablePadding || overlaps) {
    std::memset(padded, 0, sizeof padded);
    if (n > 0) std::memcpy(padded, text, n);
    text = padded;
  }
  return RewriteShortLine(text, n, out);
}

std::string RewritePresetLine(std::string_view line) {
  std::string result(line.size() + kRewriteGrowth, '\0');
  result.resize(RewritePresetLineInto(line, result.data()));
  return result;
}

bool WildcardMatch(std::string_view pattern, std::string_view name) {
  auto fold = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
  // Greedy match with one backtrack point at the last "*": linear in
  // practice, never exponential.
  std::size_t p = 0, n = 0;
  std::size_t starP = std::string_view::npos, starN = 0;
  while (n < name.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      starP = p++;
      starN = n;
    } else if (p < pattern.size() && (pattern[p] == '?' || fold(pattern[p]) == fold(name[n]))) {
      ++p;
      ++n;
    } else if (starP != std::string_view::npos) {
      p = starP + 1;
      n = ++starN;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

bool BeginScan(DirectoryScan* scan, std::string_view folder, std::string_view pattern, platform::ErrorCode* error) {
  scan->pattern = pattern.empty() ? std::string("*.*") : std::string(pattern);
  std::string searchText(folder);
  if (!searchText.empty() && searchText.back() != platform::kPathSeparator) {
    searchText += platform::kPathSeparator;
  }
  searchText += scan->pattern;
  platform::ErrorCode ignored = 0;
  switch (platform::StartFolderSearch(searchText.c_str(), &scan->search, &scan->current, error ? error : &ignored)) {
    case platform::SearchStart::Found:
      scan->hasSearch = true;
      scan->firstPending = true;
      return true;
    case platform::SearchStart::NothingMatched:
      scan->hasSearch = false;
      scan->firstPending = false;
      return true;
    case platform::SearchStart::Failed:
      break;
  }
  return false;
}

bool NextEntry(DirectoryScan* scan) {
  if (!scan->hasSearch) return false;
  for (;;) {
    if (scan->firstPending) {
      scan->firstPending = false;
    } else if (!platform::ContinueFolderSearch(&scan->search, &scan->current)) {
      return false;
    }
    // The platform may offer more than the pattern matches (short names,
    // or no matching of its own): only whole long names count.
    if (WildcardMatch(scan->pattern, scan->current.name)) return true;
  }
}

bool EntryIsDirectory(const DirectoryScan& scan) { return scan.current.isDirectory; }

const std::string& EntryName(const DirectoryScan& scan) { return scan.current.name; }

void FinishScan(DirectoryScan* scan) {
  if (scan->hasSearch) platform::FinishFolderSearch(&scan->search);
  scan->hasSearch = false;
}

namespace {

// Appends to a LineList through local copies of its fields, so that the
// bytes written do not force them to be reloaded for every line.
class LineAppender {
 public:
  // `padded`: every line appended is followed by 64 readable bytes.
  explicit LineAppender(LineList* lines, bool padded = false)
      : lines_(lines),
        data_(lines->arena.data),
        used_(lines->used),
        capacity_(lines->arena.capacity),
        padded_(padded) {}
  ~LineAppender() { lines_->used = used_; }
  LineAppender(const LineAppender&) = delete;
  LineAppender& operator=(const LineAppender&) = delete;

  // `count` empty lines: CR LF each.
  bool AppendEmptyLines(std::int32_t count) {
    auto bytes = static_cast<std::size_t>(count) * 2;
    if (used_ + bytes + kRewriteGrowth > capacity_ && !Grow(used_ + bytes + kRewriteGrowth)) return false;
    char* out = data_ + used_;
    for (std::size_t i = 0; i < bytes; i += 2) {
      out[i] = '\r';
      out[i + 1] = '\n';
    }
    used_ += bytes;
    return true;
  }

  // Every line of `block` (whole lines with their terminators, as the
  // channel holds them), rewritten with wide vectors.
  bool AppendWholeLines(std::string_view block) {
    // A byte read gives at most two (a terminator becomes CR LF), and the
    // wide stores reach 128 bytes past what they leave.
    std::size_t room = 2 * block.size() + 128;
    if (used_ + room > capacity_ && !Grow(used_ + room)) return false;
    used_ += RewriteWholeLinesWide(block.data(), block.size(), data_ + used_);
    return true;
  }

  __attribute__((always_inline)) bool Append(std::string_view line) {
    std::size_t room = line.size() + kRewriteGrowth + 2;
    if (room < line.size() || used_ + room < room) return false;
    if (used_ + room > capacity_ && !Grow(used_ + room)) return false;
    char* out = data_ + used_;
    std::size_t length = line.empty() ? 0 : RewritePresetLineInto(line, out, padded_);
    used_ += length + 2;
    EndLine(out + length);
    return true;
  }

 private:
  bool Grow(std::size_t capacity) {
    if (!platform::GrowArena(&lines_->arena, capacity)) return false;
    data_ = lines_->arena.data;
    capacity_ = lines_->arena.capacity;
    return true;
  }

  LineList* lines_;
  char* data_;
  std::size_t used_;
  std::size_t capacity_;
  bool padded_;
};

}  // namespace

bool WideVectorsInUse() { return gWideVectors; }

void SetWideVectorsForTesting(bool on) { gWideVectors = on && WideVectorsSupported(); }

bool AppendRewrittenLine(LineList* lines, std::string_view line) { return LineAppender(lines).Append(line); }

void ClearLineList(LineList* lines) { lines->used = 0; }

void ReleaseLineList(LineList* lines) {
  platform::ReleaseArena(&lines->arena);
  lines->used = 0;
}

namespace {

constexpr int kInput = 0;
constexpr int kOutput = 1;
// Rewritten lines go to the output channel once this many bytes have
// gathered: few calls per file, and memory that does not grow with it.
constexpr std::size_t kHandOver = std::size_t{64} << 10;
// Room kept between files; more, left by a long line, is given back.
constexpr std::size_t kKeptRoom = std::size_t{4} << 20;

// False once a write to the output has failed: the rest would be lost too.
bool HandOver(LineList* lines, int output) {
  WriteLineBlock(output, lines->arena.data, lines->used);
  lines->used = 0;
  const FileChannel* channel = FindChannel(output);
  return channel == nullptr || !channel->lostBytes;
}

}  // namespace

bool RewriteChannelLines(int input, int output, LineList* lines) {
  FileChannel* channel = FindChannel(input);
  bool enoughMemory = channel != nullptr;
  while (enoughMemory) {
    if (gWideVectors) {
      std::string_view block = BufferedWholeLines(*channel);
      if (!block.empty()) {
        enoughMemory = LineAppender(lines).AppendWholeLines(block);
        if (enoughMemory) TakeBufferedBytes(channel, block.size());
      }
    } else {
      LineAppender appender(lines, true);
      enoughMemory = TakeBufferedLines(channel, [&](std::string_view line, std::int32_t times) {
        return times == 1 ? appender.Append(line) : appender.AppendEmptyLines(times);
      });
    }
    if (!enoughMemory) break;
    if (lines->used >= kHandOver && !HandOver(lines, output)) break;
    if (AtEnd(input)) break;
    std::string_view line;
    enoughMemory = ReadLine(input, &line) && AppendRewrittenLine(lines, line);
  }
  if (enoughMemory) {
    HandOver(lines, output);
  } else {
    ClearLineList(lines);
  }
  return enoughMemory;
}

Outcome ConvertPreset(const std::string& inputPath, const std::string& outputPath, LineList* lines) {
  platform::ErrorCode error = 0;
  if (!OpenForReading(kInput, inputPath.c_str(), &error)) return Outcome{Step::OpenInput, error, inputPath};
  if (!CreateForWriting(kOutput, outputPath.c_str(), kInput, &error)) {
    CloseChannel(kInput);
    if (error == platform::kSameFile) return Outcome{Step::SameFile, 0, outputPath};
    return Outcome{Step::CreateOutput, error, outputPath};
  }
  bool enoughMemory = RewriteChannelLines(kInput, kOutput, lines);
  bool read = CloseChannel(kInput, &error);
  if (lines->arena.capacity > kKeptRoom) ReleaseLineList(lines);
  // An output short of the input's last lines never takes the place of the
  // older conversion.
  if (!enoughMemory || !read) {
    AbandonChannel(kOutput);
    if (!read) return Outcome{Step::ReadInput, error, inputPath};
    return Outcome{Step::OutOfMemory, 0, inputPath};
  }
  if (!CloseChannel(kOutput, &error)) return Outcome{Step::WriteOutput, error, outputPath};
  return Outcome{};
}

void RunConversion() {
  platform::StartUp();
  RunReport report;
  LineList lines;
  const std::string inputFolder = std::string("convert") + platform::kPathSeparator;
  const std::string outputFolder = std::string("Converted") + platform::kPathSeparator;
  DirectoryScan scan;
  platform::ErrorCode scanError = 0;
  bool scanning = BeginScan(&scan, inputFolder, "*.kvr", &scanError);
  if (!scanning) report.problems.push_back(Problem{"convert", Step::MissingFolder, scanError});
  // Told once, not for every preset: nothing can be written without it.
  platform::ErrorCode outputError = platform::CheckFolder("Converted", true);
  if (outputError != 0) report.problems.push_back(Problem{"Converted", Step::MissingFolder, outputError});
  while (scanning && NextEntry(&scan)) {
    if (EntryIsDirectory(scan)) continue;
    ++report.presets;
    if (outputError != 0) continue;
    Outcome outcome;
    try {
      outcome = ConvertPreset(inputFolder + EntryName(scan), outputFolder + EntryName(scan), &lines);
    } catch (const std::bad_alloc&) {
      // Only the paths allocate from the heap; the file is skipped.
      AbandonChannel(kOutput);
      CloseChannel(kInput);
      ReleaseLineList(&lines);
      outcome = Outcome{Step::OutOfMemory, 0, inputFolder + EntryName(scan)};
    }
    if (outcome.converted()) {
      ++report.converted;
    } else {
      report.problems.push_back(Problem{outcome.path, outcome.step, outcome.error});
    }
  }
  if (scanning) FinishScan(&scan);
  platform::NoticeDetails details{ConsoleLines(report), BoxText(report)};
  platform::ShowCompletionNotice("Finish",
                                 "Conversion termin\xE9"
                                 "e !",
                                 details);
  CloseAllChannels();
  ReleaseLineList(&lines);
  platform::EndProcess(ExitStatus(report));
}
