// The rows of PresetRules.h applied one after the other with plain
// searches, exactly as they are stated: right for a line of any length and
// any content. The faster paths hand over the lines they do not rewrite
// themselves.
#pragma once

#include <cstddef>

// A line of n bytes that holds the marker, through all three stages:
// rules::kMarkerLineStart and the rescaled number behind it. `out` has room
// for n + kRewriteGrowth bytes and may be `line` itself. Returns the length.
std::size_t RewriteMarkerLine(const char* line, std::size_t n, char* out);

// Every rename row in turn over the n bytes of `text`, in place. Returns
// the new length.
std::size_t RenameRowByRow(char* text, std::size_t n);

// All three stages over a line of n bytes. `out` has room for n +
// kRewriteGrowth bytes and may be `line` itself. Returns the length.
std::size_t RewriteAnyLine(const char* line, std::size_t n, char* out);
