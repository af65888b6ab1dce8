// The current form of one legacy preset line, by the rules of
// tools/rewriting/PresetRules.h: transparency rescaled from percent to 0..255 on lines
// holding the marker, then the legacy marks removed, then keys renamed.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// The rewritten `line` (no CR, LF or NUL in it).
std::string RewritePresetLine(std::string_view line);

// Room that the rewriting needs past the length of the line read: the
// result can be a few bytes longer, and is written in whole chunks.
inline constexpr std::size_t kRewriteGrowth = 32;

// The same rewriting into `out`, which has room for line.size() +
// kRewriteGrowth bytes and does not overlap the line. Returns the length.
// With `readablePadding`, the 64 bytes from line.data(), and the 16 behind
// the line's end, can all be read, which lets short lines be copied in
// whole chunks.
std::size_t RewritePresetLineInto(std::string_view line, char* out, bool readablePadding = false);
