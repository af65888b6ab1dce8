// Targets without 64-byte vectors: WideVectorsSupported() is false, so the
// run never takes the block path (nor can the tests' switch turn it on),
// and there is no second block rewriting here to keep equal to the first.
#include <cstdlib>

#include "tools/rewriting/WideRewrite.h"

bool WideVectorsSupported() { return false; }

std::size_t RewriteWholeLinesWide(const char*, std::size_t, char*) { std::abort(); }
