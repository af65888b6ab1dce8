// Linked into the benchmark build of the converter only: with
// BRUSH_BENCH_WIDE=off in its environment, that build leaves the 64-byte
// block rewriting off, so that bench/run.py can time both paths on one
// machine. The program itself reads no such variable.
#include <cstdlib>
#include <cstring>

#include "tools/PresetStreamTesting.h"

namespace {

const bool kWideSwitched = [] {
  const char* wide = std::getenv("BRUSH_BENCH_WIDE");
  const bool off = wide != nullptr && std::strcmp(wide, "off") == 0;
  if (off) SetWideVectorsForTesting(false);
  return off;
}();

}  // namespace
