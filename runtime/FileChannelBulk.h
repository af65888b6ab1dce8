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

// The line ends among the buffer bytes from `start` (below `filled`) up to
// `filled`, at most 64 of them, one bit each, kept in the channel as the
// window last scanned.
inline std::uint64_t ScanLineEnds(FileChannel* channel, std::int32_t start) {
  std::uint64_t ends = bytescan::LineEndMask64(channel->buffer + start);
  const std::int32_t valid = channel->filled - start;
  if (valid <= 64) ends &= ~std::uint64_t{0} >> (64 - valid);
  channel->scanStart = start;
  channel->lineEnds = ends;
  return ends;
}

// ScanLineEnds from `start` (below the end of the bytes held), less a CR
// that is the last byte held: the look past that one needs a refill, so
// ReadLine takes its line, and the lines taken in bulk need not ask whether
// they end there. (The window kept has its bit: ReadLine asks it.)
inline std::uint64_t ScanUntakenLineEnds(FileChannel* channel, const char* start) {
  const auto scanStart = static_cast<std::int32_t>(start - channel->buffer);
  const std::uint64_t ends = ScanLineEnds(channel, scanStart);
  const std::int32_t valid = channel->filled - scanStart;
  if (valid > 64) return ends;
  const auto lastIsCr = static_cast<std::uint64_t>(start[valid - 1] == '\r');
  return ends & ~(lastIsCr << (valid - 1));
}

// The length of a line at `line` (below the end of the bytes held) that
// has no end in the 64 bytes from it, found 64 bytes at a time, when it
// ends within the bytes held and not at a CR that is the last of them; 0
// when it runs past them or ends at that CR (ReadLine then takes it, and its
// scan goes on from the last window, the one kept).
inline std::size_t LongLineLength(FileChannel* channel, const char* line) {
  const char* const end = channel->buffer + channel->filled;
  for (const char* at = line + 64; at < end; at += 64) {
    // Windows with no byte that a line end could be are passed over, not
    // kept; the last one is always scanned, so a line that runs past the
    // bytes held leaves it kept.
    at = bytescan::SkipLineFreeWindows(at, end);
    const std::uint64_t ends = ScanUntakenLineEnds(channel, at);
    if (ends != 0) return static_cast<std::size_t>(at - line) + static_cast<unsigned>(bytescan::LowestBit(ends));
  }
  return 0;
}

// The common case of AtEnd then ReadLine, without a call per line: takes,
// one after the other, the lines that lie whole in the buffer with their
// terminators, exactly as AtEnd then ReadLine would, and hands them to
// `take(std::string_view line, std::int32_t times)`, which returns false to
// stop. `times` is 1 but for a run of empty lines ended by LF or NUL, handed
// over at once. Lines longer than the 64-byte scan are handed over too, one
// at a time. Stops where a line runs past the buffer or a CR is the last
// byte held: AtEnd and ReadLine then take over. False when `take` refused.
// Each line handed out lies in the buffer with 64 readable bytes from its
// start and 64 behind its end (the buffer's slack), whatever its length.
template <typename Take>
__attribute__((always_inline)) inline bool TakeBufferedLines(FileChannel* channel, Take&& take) {
  if (channel->buffer == nullptr || channel->mode != ChannelMode::Reading) return true;
  // The loop keeps one pointer into the buffer, a local copy that the bytes
  // the caller writes cannot alias, and the line ends ahead of it: the
  // fewer values it holds across the calls of `take`, the fewer it stores
  // and reloads per line. The end of the bytes held is asked of the channel
  // where it is needed, once every few lines.
  const auto heldEnd = [channel] { return channel->buffer + channel->filled; };
  const char* const end = heldEnd();
  const char* line = end - channel->count;  // where the next line starts
  // The line ends from `line` on, one bit each, less a final CR (as
  // ScanUntakenLineEnds leaves it out), from the window kept if it holds
  // `line`.
  std::uint64_t ends = 0;
  const std::int32_t offset = channel->filled - channel->count - channel->scanStart;
  if (offset >= 0 && offset < 64) {
    ends = channel->lineEnds >> offset;
    const auto last = static_cast<std::uint64_t>(end - 1 - line);
    if (ends != 0 && last < 64 && end[-1] == '\r') ends &= ~(std::uint64_t{1} << last);
  }
  bool accepted = true;
  // (Through an unsigned value: widening it to a length costs nothing.)
  const auto firstEnd = [](std::uint64_t mask) -> std::size_t {
    return static_cast<unsigned>(bytescan::LowestBit(mask));
  };
  for (;;) {
    std::size_t length;
    if (__builtin_expect(ends != 0, 1)) {
      length = firstEnd(ends);
    } else {
      // (Only where no line end is left can the bytes held have run out.)
      if (line >= heldEnd()) break;
      ends = ScanUntakenLineEnds(channel, line);
      if (ends != 0) {
        length = firstEnd(ends);
      } else {
        // A line longer than the scan: taken here where it ends within the
        // bytes held, and by ReadLine where it runs past them.
        length = LongLineLength(channel, line);
        if (length == 0) break;
      }
    }
    // The bytes passed: the line and its terminator, or a run of empty lines.
    std::size_t taken = 0;
    std::int32_t times = 1;
    // (A CR at the start begins no run: it may pair with the LF behind it.)
    if (__builtin_expect(length == 0, 0) && (ends & 2) != 0 && *line != '\r') {
      // Empty lines back to back: as many as there are LF and NUL bytes in
      // a row (a CR may pair with an LF, so it ends the run). `ends` marks
      // no byte past those held, so neither does the run. (The 64 bytes
      // from `line` are readable: the buffer's slack.)
      const std::uint64_t gaps = ~ends;
      const std::uint64_t crs = bytescan::ByteMask64(line, '\r');
      std::ptrdiff_t run = gaps == 0 ? 64 : bytescan::LowestBit(gaps);
      if (crs != 0) run = std::min<std::ptrdiff_t>(run, bytescan::LowestBit(crs));
      // A run that fills the scan goes on in whole chunks up to the bytes
      // held: a file of blank lines or NULs is taken a buffer at a time.
      if (run == 64) run += static_cast<std::ptrdiff_t>(bytescan::EmptyLineRun(line + 64, heldEnd()));
      if (run >= 2) {
        taken = static_cast<std::size_t>(run);
        times = static_cast<std::int32_t>(run);
      }
    }
    if (times == 1) {
      // No branch on which terminator it is: files mix LF and CR LF, and a
      // mispredicted branch per line costs more than the look past the
      // terminator, which stays within the buffer's slack. Both bytes are
      // read as one word. (A CR here is not the last byte held.)
      std::uint16_t pair;
      std::uint16_t crLf;
      std::memcpy(&pair, line + length, sizeof pair);
      std::memcpy(&crLf, "\r\n", sizeof crLf);
      taken = length + 1 + static_cast<std::size_t>(pair == crLf);
    }
    const char* const start = line;
    line += taken;
    ends = taken < 64 ? ends >> taken : 0;
    // One place hands every line over: a `take` inlined here is inlined
    // once. (A run's lines are empty: `length` is 0.)
    if (!take(std::string_view(start, length), times)) {
      accepted = false;
      break;
    }
  }
  channel->count = static_cast<std::int32_t>(heldEnd() - line);
  return accepted;
}
