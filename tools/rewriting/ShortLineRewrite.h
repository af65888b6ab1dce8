// The rows on a line of at most kShortLine bytes, found through 16-byte
// byte masks: the line is loaded once, a row whose pattern does not occur
// changes nothing, and only the rows that find something are applied.
#pragma once

#include <cstddef>

inline constexpr std::size_t kShortLine = 64;

// All three stages over a line of n <= kShortLine bytes. The 64 bytes from
// `line`, and the 16 behind its end, must be readable; `out` has room for
// n + kRewriteGrowth bytes and does not overlap them. Returns the length.
std::size_t RewriteShortLine(const char* line, std::size_t n, char* out);
