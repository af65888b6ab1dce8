// Fuzz target: line framing through the file channel. The input's first
// byte picks how short the platform's reads are and whether the channel has
// a buffer; the rest is the file. The lines must be those of a byte-at-a-
// time reference whatever the read sizes, and line bytes plus terminators
// must add up to the file, and the converted lines must be the plain
// conversion of the file.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "runtime/FileChannel.h"
#include "runtime/FileChannelBulk.h"
#include "platform/PlatformTesting.h"
#include "runtime/FileChannelTesting.h"
#include "tests/ReferenceRewrite.h"
#include "tools/BrushPreset_Convertion.h"

namespace {

void Require(bool condition) {
  if (!condition) std::abort();
}

const std::string& ScratchPath() {
  static const std::string path = [] {
    const char* base = std::getenv("TMPDIR");
    return std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/fuzz_framing." + std::to_string(getpid()) +
           ".kvr";
  }();
  return path;
}

std::string ReadWhole(const std::string& path) {
  std::string bytes;
  FILE* file = std::fopen(path.c_str(), "rb");
  Require(file != nullptr);
  char chunk[4096];
  for (std::size_t got; (got = std::fread(chunk, 1, sizeof chunk, file)) > 0;) bytes.append(chunk, got);
  std::fclose(file);
  return bytes;
}

// The lines as the conversion run reads them: whole buffered lines in bulk,
// the rest through AtEnd and ReadLine.
std::vector<std::string> ReadAll(const std::string& path) {
  std::vector<std::string> lines;
  Require(OpenForReading(0, path.c_str()));
  FileChannel* channel = FindChannel(0);
  for (;;) {
    TakeBufferedLines(channel, [&](std::string_view line, std::int32_t times) {
      lines.insert(lines.end(), static_cast<std::size_t>(times), std::string(line));
      return true;
    });
    if (AtEnd(0)) break;
    std::string_view line;
    Require(ReadLine(0, &line));
    lines.emplace_back(line);
  }
  Require(CloseChannel(0));
  return lines;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  static const std::size_t kCaps[] = {0, 1, 2, 3, 7, 64, 4095, 4097};
  platform::CapReads(kCaps[data[0] % 8]);
  SetChannelBufferAllocationFailsForTesting((data[0] & 0x80) != 0);
  std::string bytes(reinterpret_cast<const char*>(data + 1), size - 1);

  FILE* file = std::fopen(ScratchPath().c_str(), "wb");
  Require(file != nullptr);
  Require(std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size());
  Require(std::fclose(file) == 0);

  std::vector<std::string> lines = ReadAll(ScratchPath());
  Require(lines == reference::Frame(bytes));
  std::size_t lineBytes = 0;
  for (const std::string& line : lines) lineBytes += line.size();
  std::size_t terminators = 0;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    char c = bytes[i];
    if (c == '\n' || c == '\0' || (c == '\r')) ++terminators;
  }
  Require(lineBytes + terminators == bytes.size());

  // The run's own reading loop gives the plain conversion.
  const std::string expected = reference::Convert(bytes);
  LineList converted;
  const std::string output = ScratchPath() + ".converted";
  Require(!ConvertPreset(ScratchPath(), output, &converted));
  Require(ReadWhole(output) == expected);
  ReleaseLineList(&converted);
  std::remove(output.c_str());

  platform::ClearFaults();
  SetChannelBufferAllocationFailsForTesting(false);
  CloseAllChannels();
  std::remove(ScratchPath().c_str());
  return 0;
}
