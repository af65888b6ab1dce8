// Rewritten lines on their way to the output, and the loop that streams a
// preset's lines through the rewriting into them.
#pragma once

#include <cstddef>

#include "platform/Platform.h"

// Held as one block of bytes, each line followed by CR LF (a rewritten line
// never holds CR or LF, so the terminators are also the boundaries).
struct LineList {
  platform::ByteArena arena;
  std::size_t used = 0;
};

void ReleaseLineList(LineList* lines);

// Streams every line of the channel `input` through the rewriting into the
// channel `output`, gathering them in `lines` on the way (which holds a few
// blocks and the longest line, whatever the file's size); stops early once
// a write has failed. The lines that lie whole in the input's buffer are
// taken without a call per line, and a short one goes straight to the
// short-line path.
// False when memory ran out: what was handed over is then incomplete.
bool RewriteChannelLines(int input, int output, LineList* lines);
