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

// Up to 64 bytes held in a zero-padded block, with one bit per byte for the
// bytes equal to a given value. The zero padding never equals a searched
// byte, so no mask needs trimming.
class ShortBlock {
 public:
  static constexpr std::size_t kCapacity = 64;

  const char* bytes() const { return bytes_; }
  char* bytes() { return bytes_; }
  std::size_t size() const { return size_; }

  // Takes n <= kCapacity bytes.
  void Assign(const char* text, std::size_t n) {
    Clear();
    __builtin_memcpy(bytes_, text, n);
    size_ = n;
  }

  void Clear() {
    __builtin_memset(bytes_, 0, sizeof bytes_);
    size_ = 0;
  }

  // Appends n bytes; the total stays within kCapacity.
  void Append(const char* source, std::size_t n) {
    __builtin_memcpy(bytes_ + size_, source, n);
    size_ += n;
  }

  std::uint64_t Mask(char value) const {
#if defined(__SSE2__)
    const __m128i wanted = _mm_set1_epi8(value);
    std::uint64_t mask = 0;
    for (std::size_t chunk = 0; chunk * 16 < size_; ++chunk) {
      __m128i v = _mm_load_si128(reinterpret_cast<const __m128i*>(bytes_ + chunk * 16));
      auto bits = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, wanted)));
      mask |= static_cast<std::uint64_t>(bits) << (chunk * 16);
    }
    return mask;
#else
    std::uint64_t mask = 0;
    for (std::size_t i = 0; i < size_; ++i) {
      if (bytes_[i] == value) mask |= std::uint64_t{1} << i;
    }
    return mask;
#endif
  }

 private:
  alignas(16) char bytes_[kCapacity + 16];
  std::size_t size_ = 0;
};

}  // namespace bytescan
