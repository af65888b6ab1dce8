// Whole blocks of buffered lines rewritten at once with 64-byte vectors,
// for processors that have them (AVX-512 BW and VBMI, with BMI2). The build
// compiles one of two sources, as it does for the platform:
// WideRewriteAvx512.cpp where the target is x86-64 and the compiler GCC or
// Clang, WideRewriteFallback.cpp elsewhere, where no processor has them and
// the block path is never taken.
#pragma once

#include <cstddef>

// True when this processor can run RewriteWholeLinesWide.
bool WideVectorsSupported();

// Rewrites the lines of `block` (whole lines with their terminators; a CR
// at its end is not followed by an LF; 128 bytes past it can be read) into
// `out`, each followed by CR LF. `out` has room for twice the block's size
// and 128 bytes more. Returns the bytes written. Only where
// WideVectorsSupported().
std::size_t RewriteWholeLinesWide(const char* block, std::size_t size, char* out);

// Writes the CR LF that ends every converted line at `out`; returns the
// position behind it.
inline char* EndLine(char* out) {
  out[0] = '\r';
  out[1] = '\n';
  return out + 2;
}
