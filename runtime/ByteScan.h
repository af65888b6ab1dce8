// Vectorised byte scans for the hot paths: finding line ends in the channel
// buffer and marking bytes in short lines. SSE2 where the compiler targets
// it (every x86-64), plain loops elsewhere; both give the same answers.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace bytescan {

inline int LowestBit(std::uint64_t mask) { return __builtin_ctzll(mask); }

// The first CR, LF or NUL in [from, end), or end. Reads up to 15 bytes past
// `end`: the caller's allocation must hold them.
inline const char* FindLineEnd(const char* from, const char* end) {
#if defined(__SSE2__)
  const __m128i nul = _mm_setzero_si128();
  const __m128i lf = _mm_set1_epi8('\n');
  const __m128i cr = _mm_set1_epi8('\r');
  for (; from < end; from += 16) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from));
    __m128i hits = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, nul), _mm_cmpeq_epi8(v, lf)),
                                _mm_cmpeq_epi8(v, cr));
    int mask = _mm_movemask_epi8(hits);
    if (mask != 0) {
      const char* hit = from + __builtin_ctz(static_cast<unsigned>(mask));
      return hit < end ? hit : end;
    }
  }
  return end;
#else
  while (from < end && *from != '\n' && *from != '\r' && *from != '\0') ++from;
  return from;
#endif
}

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
    __m128i hits = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, nul), _mm_cmpeq_epi8(v, lf)),
                                _mm_cmpeq_epi8(v, cr));
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

// Up to 64 bytes held with 16 bytes of room behind them, so that whole
// 16-byte chunks can be read and copied. Bytes past size() are left over;
// masks cover only the first size() bytes.
class ShortBlock {
 public:
  static constexpr std::size_t kCapacity = 64;

  const char* bytes() const { return bytes_; }
  std::size_t size() const { return size_; }

  // Takes n <= kCapacity bytes.
  void Assign(const char* text, std::size_t n) {
    __builtin_memcpy(bytes_, text, n);
    size_ = n;
  }

  // Takes n <= kCapacity bytes from a text followed by at least
  // kCapacity - n more readable bytes: copied in whole chunks.
  void AssignPadded(const char* text, std::size_t n) {
    for (std::size_t done = 0; done < n; done += 16) CopyChunk(bytes_ + done, text + done);
    size_ = n;
  }

  // Copies the bytes to `out`, which has room for 15 bytes more.
  void CopyTo(char* out, std::size_t from = 0) const {
    for (std::size_t done = from; done < size_; done += 16) CopyChunk(out + done - from, bytes_ + done);
  }

  void Clear() { size_ = 0; }

  // Appends n bytes of another block (the total stays within kCapacity);
  // may copy up to 15 bytes more, which land past the new size.
  void AppendFrom(const ShortBlock& other, std::size_t from, std::size_t n) {
    for (std::size_t done = 0; done < n; done += 16) CopyChunk(bytes_ + size_ + done, other.bytes_ + from + done);
    size_ += n;
  }

  // One bit per byte that equals any of `values`.
  template <std::size_t N>
  std::uint64_t MaskOfAny(const char (&values)[N]) const {
    if (size_ <= 16) return AnyOf<1>(values);
    if (size_ <= 32) return AnyOf<2>(values);
    return AnyOf<4>(values);
  }

 private:
  template <std::size_t Chunks, std::size_t N>
  std::uint64_t AnyOf(const char (&values)[N]) const {
    std::uint64_t valid = size_ >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << size_) - 1;
    std::uint64_t mask = 0;
#if defined(__SSE2__)
#pragma GCC unroll 4
    for (std::size_t c = 0; c < Chunks; ++c) {
      const __m128i chunk = _mm_load_si128(reinterpret_cast<const __m128i*>(bytes_ + c * 16));
      __m128i hits = _mm_cmpeq_epi8(chunk, _mm_set1_epi8(values[0]));
#pragma GCC unroll 8
      for (std::size_t k = 1; k < N; ++k) hits = _mm_or_si128(hits, _mm_cmpeq_epi8(chunk, _mm_set1_epi8(values[k])));
      mask |= static_cast<std::uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(hits))) << (c * 16);
    }
#else
    for (std::size_t i = 0; i < Chunks * 16; ++i) {
      for (char value : values) {
        if (bytes_[i] == value) mask |= std::uint64_t{1} << i;
      }
    }
#endif
    return mask & valid;
  }

  static void CopyChunk(char* to, const char* from) {
#if defined(__SSE2__)
    _mm_storeu_si128(reinterpret_cast<__m128i*>(to),
                     _mm_loadu_si128(reinterpret_cast<const __m128i*>(from)));
#else
    __builtin_memcpy(to, from, 16);
#endif
  }

  alignas(16) char bytes_[kCapacity + 16] = {};
  std::size_t size_ = 0;
};

}  // namespace bytescan
