// The rows of PresetRules.h applied one after the other with plain
// searches, exactly as they are stated: the marker line's rewriting, and
// the renames of a line whose matches interact. The faster paths hand
// these over.
#pragma once

#include <cstddef>

// A line of n bytes that holds the marker, through all three stages:
// rules::kMarkerLineStart and the rescaled number behind it. `out` has room
// for n + kRewriteGrowth bytes and may be `line` itself. Returns the length.
std::size_t RewriteMarkerLine(const char* line, std::size_t n, char* out);

// Every rename row in turn over the n bytes of `text`, in place. Returns
// the new length.
std::size_t RenameRowByRow(char* text, std::size_t n);
