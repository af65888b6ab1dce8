// Vectorised byte scans for the hot paths: marking line ends in the channel
// buffer and the bytes the rewriting acts on in short lines. SSE2 where the compiler targets
// it (every x86-64), plain loops elsewhere; both give the same answers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace bytescan {

// The index of the lowest set bit of a mask that is not 0. A 32-bit target
// has no 64-bit bit scan: the compiler calls a library routine for
// __builtin_ctzll on every use, so there the mask is scanned half by half,
// inline.
inline int LowestBit(std::uint64_t mask) {
#if UINTPTR_MAX > 0xFFFFFFFFu
  return __builtin_ctzll(mask);
#else
  const auto low = static_cast<std::uint32_t>(mask);
  return low != 0 ? __builtin_ctz(low) : 32 + __builtin_ctz(static_cast<std::uint32_t>(mask >> 32));
#endif
}

// The same for a 32-bit mask: one instruction on every target.
inline int LowestBit(std::uint32_t mask) { return __builtin_ctz(mask); }

// The mask of one bit per byte for 16 * Chunks bytes: 64 bits where a
// register holds them (or the bytes need them), else 32. A 32-bit target
// then does each mask operation on short text in one register, not two.
template <std::size_t Chunks>
using ChunkMask = std::conditional_t<(Chunks <= 2 && UINTPTR_MAX <= 0xFFFFFFFFu), std::uint32_t, std::uint64_t>;

// One bit per CR, LF or NUL among the 64 bytes at `from`: all 64 must be
// readable.
inline std::uint64_t LineEndMask64(const char* from) {
#if defined(__SSE2__)
  const __m128i nul = _mm_setzero_si128();
  const __m128i lf = _mm_set1_epi8('\n');
  const __m128i cr = _mm_set1_epi8('\r');
  std::uint64_t mask = 0;
#pragma GCC unroll 4
  for (int chunk = 0; chunk < 4; ++chunk) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + chunk * 16));
    __m128i hits = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, nul), _mm_cmpeq_epi8(v, lf)), _mm_cmpeq_epi8(v, cr));
    mask |= static_cast<std::uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(hits))) << (chunk * 16);
  }
  return mask;
#else
  std::uint64_t mask = 0;
  for (int i = 0; i < 64; ++i) {
    if (from[i] == '\n' || from[i] == '\r' || from[i] == '\0') mask |= std::uint64_t{1} << i;
  }
  return mask;
#endif
}

// False when none of the 64 bytes at `from` can be a CR, LF or NUL: no
// byte of them is below 14. One answer for the 64, cheaper than their mask,
// for the long stretches of text that hold no line end. All 64 must be
// readable.
inline bool MayHoldLineEnd64(const char* from) {
#if defined(__SSE2__)
  const auto chunk = [from](int at) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + at)); };
  const __m128i lowest = _mm_min_epu8(_mm_min_epu8(chunk(0), chunk(16)), _mm_min_epu8(chunk(32), chunk(48)));
  return _mm_movemask_epi8(_mm_cmpeq_epi8(_mm_subs_epu8(lowest, _mm_set1_epi8(13)), _mm_setzero_si128())) != 0;
#else
  return LineEndMask64(from) != 0;
#endif
}

// `at` moved on, 64 bytes a step, past the windows of bytes below `end`
// that hold no byte a line end could be; the window it stops at is the
// first that may, or the last one that begins below `end`, which it does
// not look at.
inline const char* SkipLineFreeWindows(const char* at, const char* end) {
  while (end - at > 64 && !MayHoldLineEnd64(at)) at += 64;
  return at;
}

// One bit per byte equal to `value` among the 64 bytes at `from`: all 64
// must be readable.
inline std::uint64_t ByteMask64(const char* from, char value) {
#if defined(__SSE2__)
  const __m128i wanted = _mm_set1_epi8(value);
  std::uint64_t mask = 0;
#pragma GCC unroll 4
  for (int chunk = 0; chunk < 4; ++chunk) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + chunk * 16));
    mask |= static_cast<std::uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, wanted))))
            << (chunk * 16);
  }
  return mask;
#else
  std::uint64_t mask = 0;
  for (int i = 0; i < 64; ++i) {
    if (from[i] == value) mask |= std::uint64_t{1} << i;
  }
  return mask;
#endif
}

// How many bytes from `from` on, counted in whole 16-byte chunks up to
// `end`, are LF or NUL: the rest of a run of empty lines.
inline std::size_t EmptyLineRun(const char* from, const char* end) {
  const auto held = static_cast<std::size_t>(end - from);
  std::size_t run = 0;
#if defined(__SSE2__)
  const __m128i nul = _mm_setzero_si128();
  const __m128i lf = _mm_set1_epi8('\n');
  const auto endLines = [&](std::size_t at) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + at));
    return _mm_or_si128(_mm_cmpeq_epi8(v, nul), _mm_cmpeq_epi8(v, lf));
  };
  // 64 bytes a step while they last, then 16.
  for (; run + 64 <= held; run += 64) {
    const __m128i all = _mm_and_si128(_mm_and_si128(endLines(run), endLines(run + 16)),
                                      _mm_and_si128(endLines(run + 32), endLines(run + 48)));
    if (_mm_movemask_epi8(all) != 0xFFFF) break;
  }
  for (; run + 16 <= held; run += 16) {
    if (_mm_movemask_epi8(endLines(run)) != 0xFFFF) break;
  }
#else
  for (; run + 16 <= held; run += 16) {
    for (std::size_t i = run; i < run + 16; ++i) {
      if (from[i] != '\n' && from[i] != '\0') return run;
    }
  }
#endif
  return run;
}

// Up to 16 * Chunks bytes of text, loaded once to be asked for several
// byte masks. The 16 * Chunks bytes from `text` must be readable; only the
// first n <= 16 * Chunks count.
template <std::size_t Chunks>
class ShortText {
 public:
  using Bits = ChunkMask<Chunks>;
  static constexpr std::size_t kBits = sizeof(Bits) * 8;
  static_assert(Chunks * 16 <= kBits, "a byte of the text has no bit in the mask");

  // n <= 16 * Chunks: where the mask is wider than the chunks, no test.
  ShortText(const char* text, std::size_t n)
      : text_(text), valid_(Chunks * 16 < kBits || n < kBits ? (Bits{1} << n) - 1 : ~Bits{0}) {
#if defined(__SSE2__)
#pragma GCC unroll 4
    for (std::size_t c = 0; c < Chunks; ++c)
      chunks_[c] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + c * 16));
#endif
  }

  // One bit per byte that equals any of `Values`.
  template <char... Values>
  Bits Mask() const {
    return AllMask<Values...>() & valid_;
  }

  // The same over all 16 * Chunks bytes read, the n that count and those
  // behind them: for a caller that limits the mask otherwise.
  template <char... Values>
  Bits AllMask() const {
    return RangesOverAll<static_cast<unsigned char>(Values) * 256 ...>();
  }

  // One bit per byte within any of the `Ranges`, each of them the bytes
  // from Low to Low + Span (unsigned) given as Low * 256 + Span: a range of
  // several bytes costs about what one byte does.
  template <int... Ranges>
  Bits RangeMask() const {
    return RangesOverAll<Ranges...>() & valid_;
  }

 private:
  template <int... Ranges>
  Bits RangesOverAll() const {
    Bits mask = 0;
#if defined(__SSE2__)
#pragma GCC unroll 4
    for (std::size_t c = 0; c < Chunks; ++c) {
      __m128i hits = _mm_setzero_si128();
      ((hits = _mm_or_si128(hits, InRange<Ranges / 256, Ranges % 256>(chunks_[c]))), ...);
      mask |= static_cast<Bits>(static_cast<unsigned>(_mm_movemask_epi8(hits))) << (c * 16);
    }
#else
    for (std::size_t i = 0; i < Chunks * 16; ++i) {
      const auto byte = static_cast<unsigned char>(text_[i]);
      if (((static_cast<unsigned char>(byte - Ranges / 256) <= Ranges % 256) || ...)) mask |= Bits{1} << i;
    }
#endif
    return mask;
  }

#if defined(__SSE2__)
  template <int Low, int Span>
  static __m128i InRange(__m128i chunk) {
    if constexpr (Span == 0) {
      return _mm_cmpeq_epi8(chunk, _mm_set1_epi8(static_cast<char>(Low)));
    } else {
      // Byte minus Low, wrapping, is at most Span where max(that, Span) is Span.
      const __m128i span = _mm_set1_epi8(static_cast<char>(Span));
      const __m128i offset = _mm_sub_epi8(chunk, _mm_set1_epi8(static_cast<char>(Low)));
      return _mm_cmpeq_epi8(_mm_max_epu8(offset, span), span);
    }
  }
#endif

  [[maybe_unused]] const char* text_;
  Bits valid_;
#if defined(__SSE2__)
  __m128i chunks_[Chunks];
#endif
};

// `value`, hidden from the optimiser: a choice made from it stays
// arithmetic instead of becoming a branch, which would be a guess on the
// lines of a preset file, whose kinds come in no order a processor could
// predict.
inline std::size_t Opaque(std::size_t value) {
  asm("" : "+r"(value));
  return value;
}

// `ifTrue` where `condition` holds, else `ifFalse`, without a branch.
inline std::size_t Choose(bool condition, std::size_t ifTrue, std::size_t ifFalse) {
  const std::size_t all = Opaque(std::size_t{0} - static_cast<std::size_t>(condition));
  return (ifTrue & all) | (ifFalse & ~all);
}

// One bit per byte of the 16 at `a` that equals the byte at the same place
// of the 16 at `b`: the 16 bytes at each must be readable.
inline std::uint32_t SameBytes16(const char* a, const char* b) {
#if defined(__SSE2__)
  return static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(
      _mm_loadu_si128(reinterpret_cast<const __m128i*>(a)), _mm_loadu_si128(reinterpret_cast<const __m128i*>(b)))));
#else
  std::uint32_t bits = 0;
  for (int i = 0; i < 16; ++i) bits |= static_cast<std::uint32_t>(a[i] == b[i]) << i;
  return bits;
#endif
}

// Copies n bytes in whole 16-byte chunks, front to back: reads and writes
// up to 15 bytes past n. Each chunk is read before it is written, so `to`
// may also lie before `from` in the same buffer (or be `from`): a move
// down within one buffer is exact too.
inline void CopyChunks(char* to, const char* from, std::size_t n) {
  for (std::size_t done = 0; done < n; done += 16) {
#if defined(__SSE2__)
    _mm_storeu_si128(reinterpret_cast<__m128i*>(to + done),
                     _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + done)));
#else
    __builtin_memmove(to + done, from + done, 16);
#endif
  }
}

}  // namespace bytescan
