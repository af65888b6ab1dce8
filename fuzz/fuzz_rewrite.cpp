// Fuzz target: the line rewriting. Each input is split at CR, LF and NUL
// into lines as the channel would deliver them; every line must rewrite
// without a crash, the same way twice, to no CR, LF or NUL, at most 3 bytes
// longer, and exactly as the plain reference does, through the path its
// length picks and through the long-line path.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "tests/ReferenceRewrite.h"
#include "tools/rewriting/LongLineRewrite.h"
#include "tools/rewriting/PresetLine.h"

namespace {

void Require(bool condition) {
  if (!condition) std::abort();
}

void CheckLine(const std::string& line) {
  std::string once = RewritePresetLine(line);
  Require(once == RewritePresetLine(line));
  Require(once.find_first_of(std::string("\r\n\0", 3)) == std::string::npos);
  Require(once.size() <= line.size() + 3);
  Require(once == reference::Rewrite(line));
  // As the channel hands lines out: with readable bytes behind them.
  std::string padded = line + std::string(64, '\0');
  std::string out(line.size() + kRewriteGrowth, '\0');
  std::size_t n = RewritePresetLineInto(std::string_view(padded.data(), line.size()), out.data(), true);
  Require(out.compare(0, n, once) == 0 && n == once.size());
  // ... with no readable byte past those promised: the sanitizer tells a
  // read past them.
  const std::size_t readable = std::max<std::size_t>(64, line.size() + 16);
  const std::unique_ptr<char[]> exact(new char[readable]);
  std::memcpy(exact.get(), padded.data(), readable);
  n = RewritePresetLineInto(std::string_view(exact.get(), line.size()), out.data(), true);
  Require(out.compare(0, n, once) == 0 && n == once.size());
  // The long-line path takes a line of any length: short ones too.
  n = RewriteLongLine(line.data(), line.size(), out.data());
  Require(out.compare(0, n, once) == 0 && n == once.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string bytes(reinterpret_cast<const char*>(data), size);
  for (const std::string& line : reference::Frame(bytes)) CheckLine(line);
  return 0;
}
