#include "tools/PresetStream.h"

#include <cstdint>
#include <cstring>
#include <string_view>

#include "runtime/FileChannel.h"
#include "runtime/FileChannelBulk.h"
#include "tools/rewriting/PresetLine.h"
#include "tools/rewriting/ShortLineRewrite.h"

namespace {

// Writes the CR LF that ends every converted line at `out`.
inline void EndLine(char* out) {
  out[0] = '\r';
  out[1] = '\n';
}

// Appends to a LineList through local copies of its fields, so that the
// bytes written do not force them to be reloaded for every line.
class LineAppender {
 public:
  // `padded`: every line appended is followed by 64 readable bytes.
  explicit LineAppender(LineList* lines, bool padded = false)
      : lines_(lines),
        data_(lines->arena.data),
        used_(lines->used),
        capacity_(lines->arena.capacity),
        padded_(padded) {}
  ~LineAppender() { lines_->used = used_; }
  LineAppender(const LineAppender&) = delete;
  LineAppender& operator=(const LineAppender&) = delete;

  // `count` empty lines: CR LF each.
  bool AppendEmptyLines(std::int32_t count) {
    auto bytes = static_cast<std::size_t>(count) * 2;
    if (used_ + bytes + kRewriteGrowth > capacity_ && !Grow(used_ + bytes + kRewriteGrowth)) return false;
    // CR LF pairs written 16 bytes at a time: up to 14 bytes past them,
    // within the kRewriteGrowth bytes of room.
    static constexpr char kPairs[17] = "\r\n\r\n\r\n\r\n\r\n\r\n\r\n\r\n";
    char* out = data_ + used_;
    for (std::size_t i = 0; i < bytes; i += 16) std::memcpy(out + i, kPairs, 16);
    used_ += bytes;
    return true;
  }

  __attribute__((always_inline)) bool Append(std::string_view line) {
    // A short line with readable bytes behind it goes straight to the
    // short-line path: no call layer per line, and room that cannot overflow.
    if (padded_ && line.size() <= kShortLine) {
      constexpr std::size_t kRoom = kShortLine + kRewriteGrowth + 2;
      if (used_ + kRoom > capacity_ && !Grow(used_ + kRoom)) return false;
      char* out = data_ + used_;
      std::size_t length = line.empty() ? 0 : RewriteShortLine(line.data(), line.size(), out);
      used_ += length + 2;
      EndLine(out + length);
      return true;
    }
    std::size_t room = line.size() + kRewriteGrowth + 2;
    if (room < line.size() || used_ + room < room) return false;
    if (used_ + room > capacity_ && !Grow(used_ + room)) return false;
    char* out = data_ + used_;
    std::size_t length = line.empty() ? 0 : RewritePresetLineInto(line, out, padded_);
    used_ += length + 2;
    EndLine(out + length);
    return true;
  }

 private:
  bool Grow(std::size_t capacity) {
    if (!platform::GrowArena(&lines_->arena, capacity)) return false;
    data_ = lines_->arena.data;
    capacity_ = lines_->arena.capacity;
    return true;
  }

  LineList* lines_;
  char* data_;
  std::size_t used_;
  std::size_t capacity_;
  bool padded_;
};

// Rewritten lines go to the output channel once this many bytes have
// gathered: few calls per file, and memory that does not grow with it.
constexpr std::size_t kHandOver = std::size_t{64} << 10;

// False once a write to the output has failed: the rest would be lost too.
bool HandOver(LineList* lines, int output) {
  WriteLineBlock(output, lines->arena.data, lines->used);
  lines->used = 0;
  const FileChannel* channel = FindChannel(output);
  return channel == nullptr || !channel->lostBytes;
}

}  // namespace

void ReleaseLineList(LineList* lines) {
  platform::ReleaseArena(&lines->arena);
  lines->used = 0;
}

bool RewriteChannelLines(int input, int output, LineList* lines) {
  FileChannel* channel = FindChannel(input);
  bool enoughMemory = channel != nullptr;
  while (enoughMemory) {
    {
      LineAppender appender(lines, true);
      enoughMemory = TakeBufferedLines(channel, [&](std::string_view line, std::int32_t times) {
        return times == 1 ? appender.Append(line) : appender.AppendEmptyLines(times);
      });
    }
    if (!enoughMemory) break;
    if (lines->used >= kHandOver && !HandOver(lines, output)) break;
    if (AtEnd(input)) break;
    std::string_view line;
    enoughMemory = ReadLine(input, &line) && LineAppender(lines).Append(line);
  }
  if (enoughMemory) {
    HandOver(lines, output);
  } else {
    lines->used = 0;
  }
  return enoughMemory;
}
