// Buffered file channels: byte access to files through a 4096-byte buffer,
// with the line framing of preset files.
//
// A line read ends at CR, LF, CR LF or NUL; a line written is followed by
// CR LF. Channels are named by small non-negative numbers that the caller
// chooses. One thread uses them; nothing is locked.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "platform/Platform.h"
#include "runtime/ByteScan.h"

enum class ChannelMode { Reading, Writing };

inline constexpr std::int32_t kNoScan = -128;

struct FileChannel {
  platform::FileHandle handle = platform::kNoFile;  // kNoFile: not open
  // Created for writing: the file takes its path only once closed complete.
  bool replacing = false;
  platform::Replacement replacement;
  char* buffer = nullptr;                           // none when it could not be had: unbuffered mode
  std::int32_t capacity = 0;
  // Reading: bytes of the buffer not yet handed out, ending at `filled`.
  // Writing: free space left; the pending bytes are the first capacity - count.
  std::int32_t count = 0;
  std::int32_t filled = 0;  // reading: valid bytes of the last refill
  ChannelMode mode = ChannelMode::Reading;
  bool lostBytes = false;   // some byte written did not reach the file
  bool readFailed = false;  // a read failed: the lines after it are missing
  platform::ErrorCode error = 0;  // why the first read or write failed
  // The end of the file was met: no further read is asked of the platform,
  // so a file that grows meanwhile is not read on past a line it cut short.
  bool endSeen = false;
  // Where the line ends lie among the 64 buffer bytes from `scanStart` (one
  // bit each, only bytes below `filled`); redone after every refill.
  std::int32_t scanStart = kNoScan;
  std::uint64_t lineEnds = 0;
  // Storage of a line that did not lie whole in the buffer.
  char* line = nullptr;
  std::size_t lineLength = 0;
  std::size_t lineCapacity = 0;
};

inline constexpr std::int32_t kChannelBufferSize = 4096;
// Readable bytes past the buffer's end, so that scans may load whole
// vectors from any byte held.
inline constexpr std::size_t kChannelBufferSlack = 128;

// Opens an existing regular file for reading. A channel still open under
// `number` is closed first, also when the open then fails. False when the
// platform refuses, with the reason in `*error`; no channel is left behind.
bool OpenForReading(int number, const char* path, platform::ErrorCode* error = nullptr);

// Creates a file that replaces whatever stands at `path` (the older file,
// or a link, which is never followed) once the channel is closed with every
// byte written; until then `path` keeps what it held, and a channel closed
// incomplete leaves it so. `sourceNumber`, when open, is the channel of the
// file this one is made from: a path that names that very file is refused
// (platform::kSameFile), and a new file gets its permission bits. False
// when refused, with the reason in `*error`; no channel is left behind.
bool CreateForWriting(int number, const char* path, int sourceNumber = -1, platform::ErrorCode* error = nullptr);

// The next line, without its terminator, in `*line`; the bytes stay valid
// until the next call on this channel. At the end of the file, or at a read
// error, the line ends where the bytes stop (CloseChannel then tells of the
// error). False only when memory for the line could not be had: the line is
// then incomplete.
bool ReadLine(int number, std::string_view* line);

// True when no further byte can be read (the end, or a read error).
bool AtEnd(int number);

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
bool TakeBufferedLines(FileChannel* channel, Take&& take) {
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
    if (length == 0 && (ends & 2) != 0) {
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
    std::int32_t taken = length + 1;
    if (buffer[stop] == '\r') {
      if (stop + 1 >= filled) break;  // the look past a final CR needs a refill
      if (buffer[stop + 1] == '\n') ++taken;
    }
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

// The lines that lie whole in the buffer, from the next byte to be read on,
// with their terminators, as one block: it ends right behind a terminator,
// short of a CR that is the last byte held (an LF may follow it), so a CR
// inside the block pairs only with an LF inside it. Empty when no line lies
// whole in the buffer. kChannelBufferSlack bytes past the block can be read.
inline std::string_view BufferedWholeLines(const FileChannel& channel) {
  if (channel.buffer == nullptr || channel.mode != ChannelMode::Reading) return std::string_view();
  const char* const first = channel.buffer + (channel.filled - channel.count);
  const char* end = channel.buffer + channel.filled;
  if (end > first && end[-1] == '\r') --end;
  while (end > first && end[-1] != '\n' && end[-1] != '\r' && end[-1] != '\0') --end;
  return std::string_view(first, static_cast<std::size_t>(end - first));
}

// Takes the first `n` buffered bytes as read: the block above, once its
// lines are dealt with.
inline void TakeBufferedBytes(FileChannel* channel, std::size_t n) { channel->count -= static_cast<std::int32_t>(n); }

// Writes the text, then CR LF. Returns the number of bytes taken.
std::int64_t WriteLine(int number, std::string_view text);

// Writes `size` bytes that are whole lines, each already followed by CR LF
// (the lines hold no CR or LF): the same bytes and the same writes to the
// platform as WriteLine of each line in turn, without a call per line.
void WriteLineBlock(int number, const char* lines, std::size_t size);

// Flushes, releases the buffer and closes the file; a file created for
// writing then takes its path. True when every byte ever written through the
// channel reached the file, no read failed, the close succeeded and the file
// took its path; otherwise `*error` says why (and a file created for
// writing is removed, leaving its path as it was). A number that is not
// open is left alone (true).
bool CloseChannel(int number, platform::ErrorCode* error = nullptr);

// Closes the channel without finishing its file: a file created for
// writing is removed and its path keeps what it held.
void AbandonChannel(int number);

// Closes every open channel in ascending order, then releases the table.
void CloseAllChannels();

// The inner operations the above are built on.
std::int64_t ReadBytes(FileChannel* channel, char* destination, std::int64_t n);
std::int64_t WriteBytes(FileChannel* channel, const char* source, std::int64_t n);
void FlushChannel(FileChannel* channel);

// The channel open under `number`, or null.
FileChannel* FindChannel(int number);

// For tests: every read asks the platform for at most `bytes` (0: no cap),
// as a file that gives short reads would.
void SetReadSizeCapForTesting(std::size_t bytes);

// For tests: called with the size of every write handed to the platform.
void SetWriteObserverForTesting(void (*observer)(std::size_t size));

// For tests: makes every later buffer allocation fail, so channels open in
// unbuffered mode.
void SetChannelBufferAllocationFailsForTesting(bool fails);
