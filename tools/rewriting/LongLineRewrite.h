// The rows on a line of any length, in a few passes over it through 16-byte
// byte masks (SSE2, which every x86-64 and the 32-bit deliverable have;
// plain loops where the target has none): one pass finds the marker and
// makes the removals swept together, a register's width of bytes (64 or
// 32) at a time, one per later removal, and one finds every rename. Where
// the renames found cannot interact, each is made as it is found;
// otherwise the rename rows run one by one. A line of up to 64 KiB goes
// between the output and a room on the stack, each pass writing whole
// chunks into the other; where the first pass removed nothing, the later
// removal and the renames go in one pass, which copies nothing when they
// find nothing. A longer line is rewritten in place after the first pass,
// its renames found in one pass and made in another.
#pragma once

#include <cstddef>

// The rooms on the stack, the smaller one first: a line whose text after
// the first pass fits neither, with 16 bytes to spare, is rewritten in place.
inline constexpr std::size_t kLongLineRooms[] = {4096, 65536};

// All three stages over a line of n bytes. `out` has room for n +
// kRewriteGrowth bytes and does not overlap the line: the first pass
// writes whole chunks, which can reach bytes of the line not yet read.
// Returns the length.
std::size_t RewriteLongLine(const char* line, std::size_t n, char* out);

// Stage 3 alone over the n bytes of `text`, in place, with 16-byte masks:
// the renames found made in one pass where they cannot interact, the rename
// rows one by one otherwise. The 16 bytes behind the text must be readable.
// Returns the new length.
std::size_t RenameRows(char* text, std::size_t n);
