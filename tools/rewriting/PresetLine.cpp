#include "tools/rewriting/PresetLine.h"

#include <cstring>

#include "tools/rewriting/PresetRuleFacts.h"
#include "tools/rewriting/LongLineRewrite.h"
#include "tools/rewriting/ShortLineRewrite.h"

// The longest line stage 1 writes: the marker's rewritten start and a
// 32-bit number with its sign, from a line at least as long as the marker.
static_assert(rules::kMarkerLineStart.size + 11 <= rules::kMarker.size() + kRewriteGrowth,
              "the rewritten marker is too long for kRewriteGrowth");

std::size_t RewritePresetLineInto(std::string_view line, char* out, bool readablePadding) {
  std::size_t n = line.size();
  if (n > kShortLine) return RewriteLongLine(line.data(), n, out);
  const char* text = line.data();
  char padded[kShortLine + 16];
  if (!readablePadding) {
    std::memset(padded, 0, sizeof padded);
    if (n > 0) std::memcpy(padded, text, n);
    text = padded;
  }
  return RewriteShortLine(text, n, out);
}

std::string RewritePresetLine(std::string_view line) {
  std::string result(line.size() + kRewriteGrowth, '\0');
  result.resize(RewritePresetLineInto(line, result.data()));
  return result;
}
