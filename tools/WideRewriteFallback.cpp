// Targets without 64-byte vectors: the run never takes the block path, and
// the block is rewritten line by line should it be asked to.
#include <string_view>

#include "tools/PresetLine.h"
#include "tools/WideRewrite.h"

bool WideVectorsSupported() { return false; }

std::size_t RewriteWholeLinesWide(const char* block, std::size_t size, char* out) {
  char* const begin = out;
  for (std::size_t pos = 0; pos < size;) {
    std::size_t end = pos;
    while (end < size && block[end] != '\n' && block[end] != '\r' && block[end] != '\0') ++end;
    if (end > pos) out += RewritePresetLineInto(std::string_view(block + pos, end - pos), out);
    out = EndLine(out);
    pos = end + (end + 1 < size && block[end] == '\r' && block[end + 1] == '\n' ? 2 : 1);
  }
  return static_cast<std::size_t>(out - begin);
}
