// The channel's bulk operations: the lines that lie whole in a reading
// channel's buffer, taken without a call per line. For the run's streaming
// loop and the tests of the framing; callers that read line by line use
// ReadLine and AtEnd (FileChannel.h).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "runtime/ByteScan.h"
#include "runtime/FileChannel.h"

// The line ends among the buffer bytes from `start` up to `filled`, at most
// 64 of them, one bit each.
inline std::uint64_t ScanLineEnds(const FileChannel& channel, std::int32_t start) {
  std::uint64_t ends = bytescan::LineEndMask64(channel.buffer + start);
  std::int32_t valid = channel.filled - start;
  return valid >= 64 ? ends : ends & ((std::uint64_t{1} << valid) - 1);
}

// The common case of AtEnd then ReadLine, without a call per line: takes,
// one after the other, the lines that lie whole in the buffer with their
// terminators, exactly as AtEnd then ReadLine would, and hands them to
// `take(std::string_view line, std::int32_t times)`, which returns false to
// stop. `times` is 1 but for a run of empty lines ended by LF or NUL, handed
// over at once. Stops where a line runs past the buffer or a CR is the last
// byte held: AtEnd and ReadLine then take over. False when `take` refused.
// Each line handed out lies in the buffer with 64 readable bytes from its
// start, whatever its length.
template <typename Take>
__attribute__((always_inline)) inline bool TakeBufferedLines(FileChannel* channel, Take&& take) {
  if (channel->buffer == nullptr || channel->mode != ChannelMode::Reading) return true;
  // Local copies: the bytes the caller writes cannot then alias them.
  const char* const buffer = channel->buffer;
  const std::int32_t filled = channel->filled;
  std::int32_t position = filled - channel->count;  // where the next line starts
  std::int32_t windowStart = channel->scanStart;
  std::uint64_t window = channel->lineEnds;
  std::int32_t offset = position - windowStart;
  // The line ends from `position` on, one bit each.
  std::uint64_t ends = offset >= 0 && offset < 64 ? window >> offset : 0;
  bool accepted = true;
  while (position < filled) {
    if (ends == 0) {
      windowStart = position;
      window = ScanLineEnds(*channel, position);
      ends = window;
      if (ends == 0) break;  // a line longer than the scan: ReadLine takes it
    }
    std::int32_t length = bytescan::LowestBit(ends);
    // (A CR at the start begins no run: it may pair with the LF behind it.)
    if (length == 0 && (ends & 2) != 0 && buffer[position] != '\r') {
      // Empty lines back to back: as many as there are LF and NUL bytes in
      // a row (a CR may pair with an LF, so it ends the run).
      std::uint64_t gaps = ~ends;
      std::int32_t run = gaps == 0 ? 64 : bytescan::LowestBit(gaps);
      run = std::min(run, filled - position);
      const void* cr = std::memchr(buffer + position, '\r', static_cast<std::size_t>(run));
      if (cr != nullptr) run = static_cast<std::int32_t>(static_cast<const char*>(cr) - (buffer + position));
      if (run >= 2) {
        position += run;
        ends = run < 64 ? ends >> run : 0;
        if (!take(std::string_view(buffer + position - run, 0), run)) {
          accepted = false;
          break;
        }
        continue;
      }
    }
    std::int32_t stop = position + length;
    // The look past a final CR needs a refill (rarely the last byte held).
    if (stop + 1 >= filled && buffer[stop] == '\r') break;
    // No branch on which terminator it is: files mix LF and CR LF, and a
    // mispredicted branch per line costs more than the look past the
    // terminator, which stays within the buffer's slack. Both bytes are
    // read as one word.
    std::uint16_t pair;
    std::uint16_t crLf;
    std::memcpy(&pair, buffer + stop, sizeof pair);
    std::memcpy(&crLf, "\r\n", sizeof crLf);
    const std::int32_t taken = length + 1 + static_cast<std::int32_t>(pair == crLf);
    const char* line = buffer + position;
    position += taken;
    ends = taken < 64 ? ends >> taken : 0;
    if (!take(std::string_view(line, static_cast<std::size_t>(length)), 1)) {
      accepted = false;
      break;
    }
  }
  channel->count = filled - position;
  channel->scanStart = windowStart;
  channel->lineEnds = window;
  return accepted;
}

