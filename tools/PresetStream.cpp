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
// bytes written do not force them to be reloaded for every line: where the
// next line goes and where the arena ends, two pointers.
class LineAppender {
 public:
  // `padded`: every line appended is followed by 64 readable bytes.
  explicit LineAppender(LineList* lines, bool padded = false)
      : lines_(lines),
        out_(lines->arena.data + lines->used),
        end_(lines->arena.data + lines->arena.capacity),
        padded_(padded) {}
  // Not a destructor: one would keep out_ in memory across every call of
  // the loop, for the unwinder.
  void Finish() { lines_->used = static_cast<std::size_t>(out_ - lines_->arena.data); }
  LineAppender(const LineAppender&) = delete;
  LineAppender& operator=(const LineAppender&) = delete;

  // `count` empty lines: CR LF each.
  bool AppendEmptyLines(std::int32_t count) {
    auto bytes = static_cast<std::size_t>(count) * 2;
    if (!HasRoom(bytes + 64)) return false;
    // CR LF pairs written 64 bytes at a time: up to 62 bytes past them, in
    // room asked for.
    static constexpr char kPairs[65] =
        "\r\n\r\n\r\n\r\n\r\n\r\n\r\n\r\n\r\n\r\n\r\n\r\n\r\n\r\n\r\n\r\n"
        "\r\n\r\n\r\n\r\n\r\n\r\n\r\n\r\n\r\n\r\n\r\n\r\n\r\n\r\n\r\n\r\n";
    for (std::size_t i = 0; i < bytes; i += 64) std::memcpy(out_ + i, kPairs, 64);
    out_ += bytes;
    return true;
  }

  // The line handed over `times` times: as TakeBufferedLines calls it. The
  // appender itself is the callable, so that once inlined nothing holds its
  // address and its fields live in registers: a field in memory would be
  // reloaded after every byte written, as a char may alias it.
  __attribute__((always_inline)) bool operator()(std::string_view line, std::int32_t times) {
    return times == 1 ? Append(line) : AppendEmptyLines(times);
  }

  __attribute__((always_inline)) bool Append(std::string_view line) {
    // A short line with readable bytes behind it goes straight to the
    // short-line path: no call layer per line, and room that cannot overflow.
    if (padded_ && line.size() <= kShortLine) {
      if (!HasRoom(kShortLine + kRewriteGrowth + 2)) return false;
      out_ += line.empty() ? 0 : RewriteShortLine(line.data(), line.size(), out_);
      EndLine(out_);
      out_ += 2;
      return true;
    }
    std::size_t room = line.size() + kRewriteGrowth + 2;
    if (room < line.size() || !HasRoom(room)) return false;
    out_ += line.empty() ? 0 : RewritePresetLineInto(line, out_, padded_);
    EndLine(out_);
    out_ += 2;
    return true;
  }

 private:
  // Whether `room` bytes are free at out_, after growing the arena if not.
  // The object's address goes to no call: its fields then stay in
  // registers across the rewriting's calls.
  __attribute__((always_inline)) bool HasRoom(std::size_t room) {
    if (static_cast<std::size_t>(end_ - out_) >= room) return true;
    const auto used = static_cast<std::size_t>(out_ - lines_->arena.data);
    if (!Grow(lines_, used, room)) return false;
    out_ = lines_->arena.data + used;
    end_ = lines_->arena.data + lines_->arena.capacity;
    return true;
  }

  static bool Grow(LineList* lines, std::size_t used, std::size_t room) {
    return used + room >= room && platform::GrowArena(&lines->arena, used + room);
  }

  LineList* lines_;
  char* out_;
  char* end_;
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

// The lines that lie whole in the channel's buffer, rewritten into `lines`;
// false when memory ran out. A function of its own, kept out of line: the
// loop over the lines then has the registers that must outlive a call to
// itself, where its caller's values would otherwise hold some of them and
// push the loop's own to the stack.
__attribute__((noinline)) bool RewriteBufferedLines(FileChannel* channel, LineList* lines) {
  LineAppender appender(lines, true);
  const bool enoughMemory = TakeBufferedLines(channel, appender);
  appender.Finish();
  return enoughMemory;
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
    if (!RewriteBufferedLines(channel, lines)) {
      enoughMemory = false;
      break;
    }
    if (lines->used >= kHandOver && !HandOver(lines, output)) break;
    if (AtEnd(input)) break;
    std::string_view line;
    if (!ReadLine(input, &line)) {
      enoughMemory = false;
      break;
    }
    LineAppender one(lines);
    enoughMemory = one.Append(line);
    one.Finish();
  }
  if (enoughMemory) {
    HandOver(lines, output);
  } else {
    lines->used = 0;
  }
  return enoughMemory;
}
