#include "runtime/FileChannel.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <utility>

#include "runtime/ByteScan.h"
#include "runtime/FileChannelBulk.h"
#include "runtime/FileChannelTesting.h"

namespace {

FileChannel* channelTable = nullptr;
int channelTableSize = 0;
bool bufferAllocationFails = false;
// Buffers given back by closed channels, kept for the next ones: a run
// opens two channels for each preset, and a fresh buffer costs an
// allocation and its zeroing each time. A kept buffer holds the bytes of
// its last channel, which no channel reads before it has put its own
// there; its slack past the end is never written, and stays zero.
char* spareBuffers[2] = {};

constexpr int kTableSlack = 16;
constexpr std::size_t kScanSlack = kChannelBufferSlack;

// Room for channel `number`: the table starts with 16 slots and grows to
// the number plus 16.
bool MakeRoomFor(int number) {
  if (number < channelTableSize) return true;
  int size = channelTable == nullptr && number < kTableSlack ? kTableSlack : number + kTableSlack;
  auto* grown = new (std::nothrow) FileChannel[size];
  if (grown == nullptr) return false;
  std::copy(channelTable, channelTable + channelTableSize, grown);
  delete[] channelTable;
  channelTable = grown;
  channelTableSize = size;
  return true;
}

// A kept buffer, or else a new one: zeroed, with room for the line-end
// scan to look past the last byte. Null when memory cannot be had.
char* TakeBuffer() {
  for (char*& spare : spareBuffers) {
    if (spare != nullptr) return std::exchange(spare, nullptr);
  }
  return static_cast<char*>(std::calloc(kChannelBufferSize + kScanSlack, 1));
}

// Opens `number` on `handle` in reading mode with an empty buffer. When the
// buffer cannot be had, the channel works unbuffered.
void Attach(int number, platform::FileHandle handle) {
  FileChannel& channel = channelTable[number];
  channel = FileChannel{};
  channel.handle = handle;
  channel.capacity = kChannelBufferSize;
  if (!bufferAllocationFails) channel.buffer = TakeBuffer();
}

bool PrepareSlot(int number) {
  if (number < 0) return false;
  CloseChannel(number);
  return MakeRoomFor(number);
}

// Bytes from the platform; a read error counts as the end, and is noted.
// Once the end is met it stays: the lines already handed out end there.
std::int64_t ReadIn(FileChannel* channel, char* destination, std::int64_t n) {
  if (channel->endSeen) return 0;
  std::int64_t got = platform::ReadFromFile(channel->handle, destination, static_cast<std::size_t>(n));
  if (got < 0) {
    channel->readFailed = true;
    if (channel->error == 0) channel->error = platform::LastError();
  } else if (channel->watchesChange) {
    // More bytes than the file had when opened, or fewer: it is changing
    // (or, like a kernel interface, its size never told its content).
    channel->bytesRead += static_cast<std::uint64_t>(got);
    if (channel->bytesRead > channel->opened.size || (got == 0 && channel->bytesRead < channel->opened.size)) {
      channel->readFailed = true;
      channel->error = platform::kChanged;
      got = 0;
    } else if (got < n && got > 0 && channel->bytesRead == channel->opened.size) {
      // A short read that ends where the file ended when opened: a further
      // read could only find bytes added since, and those change the size
      // that is looked at again when the channel closes. So the end is
      // taken as met, without a read to find nothing.
      channel->endSeen = true;
      return got;
    }
  }
  if (got <= 0) {
    channel->endSeen = true;
    return 0;
  }
  return got;
}

// Appends `n` bytes to a block of `*length` bytes, grown from at least
// `least` bytes by doubling: long contents stay linear in their length.
// False when memory for them cannot be had.
bool AppendGrowing(char** data, std::size_t* length, std::size_t* capacity, std::size_t least, const char* bytes,
                   std::size_t n) {
  const std::size_t needed = *length + n;
  if (needed < n) return false;
  if (needed > *capacity) {
    std::size_t grownCapacity = std::max(*capacity, least);
    while (grownCapacity < needed) grownCapacity = grownCapacity > SIZE_MAX / 2 ? needed : grownCapacity * 2;
    auto* grown = static_cast<char*>(std::realloc(*data, grownCapacity));
    if (grown == nullptr) return false;
    *data = grown;
    *capacity = grownCapacity;
  }
  std::memcpy(*data + *length, bytes, n);
  *length = needed;
  return true;
}

bool Holds(const FileChannel* channel) { return channel->outputs != nullptr && channel->output.comparing; }

void ReleaseHeld(FileChannel* channel) {
  std::free(channel->held);
  channel->held = nullptr;
  channel->heldLength = channel->heldCapacity = 0;
}

// Keeps written bytes back while the output may repeat its older one;
// false when they would make it longer than kMostHeld, or memory for them
// cannot be had.
bool Hold(FileChannel* channel, const char* bytes, std::size_t n) {
  if (channel->heldLength + n > kMostHeld) return false;
  return AppendGrowing(&channel->held, &channel->heldLength, &channel->heldCapacity, 8192, bytes, n);
}

std::int64_t WriteOut(FileChannel* channel, const char* bytes, std::size_t n);

// The output gets its file after all, and what was held goes there. False
// when the file cannot be made: every byte is then lost.
bool StopHolding(FileChannel* channel) {
  platform::ErrorCode error = 0;
  platform::FileHandle file = StopComparing(channel->outputs, &channel->output, channel->handle, &error);
  if (file == platform::kNoFile) {
    channel->lostBytes = true;
    if (channel->error == 0) channel->error = error;
    ReleaseHeld(channel);
    return false;
  }
  channel->handle = file;
  if (channel->heldLength > 0) WriteOut(channel, channel->held, channel->heldLength);
  ReleaseHeld(channel);
  return true;
}

// Hands bytes to the platform; a write that falls short loses bytes.
std::int64_t WriteOut(FileChannel* channel, const char* bytes, std::size_t n) {
  if (channel->output.noFile) return 0;
  if (Holds(channel)) {
    if (Hold(channel, bytes, n)) return static_cast<std::int64_t>(n);
    if (!StopHolding(channel)) return 0;
  }
  std::size_t written = platform::WriteToFile(channel->handle, bytes, n);
  if (written < n) {
    channel->lostBytes = true;
    if (channel->error == 0) channel->error = platform::LastError();
  }
  return static_cast<std::int64_t>(written);
}

// Puts back the byte last read, so that the next read returns it.
void GiveBackByte(FileChannel* channel) {
  if (channel->buffer != nullptr) {
    channel->count += 1;
  } else if (platform::MoveFilePosition(channel->handle, -1)) {
    channel->bytesRead -= 1;  // read again, not twice
  }
}

bool AppendToLine(FileChannel* channel, const char* bytes, std::size_t n) {
  if (n == 0) return true;
  return AppendGrowing(&channel->line, &channel->lineLength, &channel->lineCapacity, 256, bytes, n);
}

bool IsLineEnd(char c) { return c == '\n' || c == '\r' || c == '\0'; }

// The position of the first line end at or after `start` in the buffer,
// or `filled` when there is none; scans 64 bytes at a time and keeps the
// result for the lines that follow. A start below the window kept lies in
// a line that the bulk loop scanned ahead of, over bytes with no line end
// (every other scan begins at a line's start, and the lines that follow
// begin within its window): the scan goes on from that window.
std::int32_t NextLineEnd(FileChannel* channel, std::int32_t start) {
  if (start < channel->scanStart) start = channel->scanStart;
  for (;;) {
    if (start < channel->scanStart || start >= channel->scanStart + 64) {
      // Windows with no byte that a line end could be are passed over, not
      // kept.
      const char* const buffer = channel->buffer;
      start =
          static_cast<std::int32_t>(bytescan::SkipLineFreeWindows(buffer + start, buffer + channel->filled) - buffer);
      ScanLineEnds(channel, start);
    }
    std::uint64_t ahead = channel->lineEnds >> (start - channel->scanStart);
    if (ahead != 0) return start + bytescan::LowestBit(ahead);
    start = channel->scanStart + 64;
    if (start >= channel->filled) return channel->filled;
  }
}

bool HoldsUnreadBytes(const FileChannel* channel) {
  return channel->buffer != nullptr && channel->mode == ChannelMode::Reading && channel->count > 0;
}

// After a CR: an LF behind it belongs to the terminator; any other byte is
// given back; at the end of the file nothing is given back.
void ConsumeLfAfterCr(FileChannel* channel) {
  if (HoldsUnreadBytes(channel)) {
    if (channel->buffer[channel->filled - channel->count] == '\n') channel->count -= 1;
    return;
  }
  char next;
  if (ReadBytes(channel, &next, 1) == 1 && next != '\n') GiveBackByte(channel);
}

bool ReadLineUnbuffered(FileChannel* channel, std::string_view* line) {
  char byte = '\0';
  while (ReadBytes(channel, &byte, 1) == 1 && !IsLineEnd(byte)) {
    if (!AppendToLine(channel, &byte, 1)) return false;
    byte = '\0';
  }
  if (byte == '\r') ConsumeLfAfterCr(channel);
  *line = std::string_view(channel->line, channel->lineLength);
  return true;
}

}  // namespace

FileChannel* FindChannel(int number) {
  if (number < 0 || number >= channelTableSize) return nullptr;
  FileChannel* channel = &channelTable[number];
  return channel->handle == platform::kNoFile ? nullptr : channel;
}

void SetChannelBufferAllocationFailsForTesting(bool fails) { bufferAllocationFails = fails; }

bool OpenForReading(int number, const char* path, platform::ErrorCode* error) {
  return OpenInFolder(number, platform::kNoFolder, path, error);
}

bool OpenInFolder(int number, platform::FolderHandle folder, const char* name, platform::ErrorCode* error) {
  platform::ErrorCode ignored = 0;
  if (error == nullptr) error = &ignored;
  if (!PrepareSlot(number)) {
    *error = ENOMEM;
    return false;
  }
  platform::FileStatus status;
  platform::FileHandle handle = platform::OpenFileForReading(folder, name, &status, error);
  if (handle == platform::kNoFile) return false;
  Attach(number, handle);
  FileChannel& channel = channelTable[number];
  channel.watchesChange = true;
  channel.opened = status;
  return true;
}

namespace {

// The folder part of `path` ("." for a bare name) and the name in it.
std::string FolderOf(const std::string& path, std::string* name) {
  std::size_t cut = path.find_last_of(platform::kPathSeparator == '/' ? "/" : "\\/");
  *name = cut == std::string::npos ? path : path.substr(cut + 1);
  if (cut == std::string::npos) return ".";
  return cut == 0 ? path.substr(0, 1) : path.substr(0, cut);
}

}  // namespace

bool CreateForWriting(int number, const char* path, int sourceNumber, platform::ErrorCode* error) {
  platform::ErrorCode ignored = 0;
  if (error == nullptr) error = &ignored;
  std::string name;
  const std::string folder = FolderOf(path, &name);
  auto* outputs = new (std::nothrow) OutputFolder;
  platform::FileIdentity identity;
  if (outputs == nullptr) {
    *error = ENOMEM;
    return false;
  }
  if (!OpenOutputFolder(outputs, folder.c_str(), &identity, error)) {
    delete outputs;
    return false;
  }
  if (!CreateInFolder(number, outputs, name.c_str(), sourceNumber, error)) {
    CloseOutputFolder(outputs);
    delete outputs;
    return false;
  }
  channelTable[number].ownsOutputs = true;
  return true;
}

bool CreateInFolder(int number, OutputFolder* outputs, const char* name, int sourceNumber, platform::ErrorCode* error) {
  platform::ErrorCode ignored = 0;
  if (error == nullptr) error = &ignored;
  const FileChannel* source = FindChannel(sourceNumber);
  const platform::FileStatus* sourceStatus = source != nullptr && source->watchesChange ? &source->opened : nullptr;
  if (!PrepareSlot(number)) {
    *error = ENOMEM;
    return false;
  }
  PendingOutput output;
  platform::FileHandle handle = BeginOutput(outputs, name, sourceStatus, &output, error, true);
  if (handle == platform::kNoFile) return false;
  Attach(number, handle);
  channelTable[number].outputs = outputs;
  channelTable[number].output = std::move(output);
  return true;
}

std::int64_t ReadBytes(FileChannel* channel, char* destination, std::int64_t n) {
  if (n <= 0) return 0;
  if (Holds(channel)) {
    // Reading an output channel reads its own file (opened for writing
    // alone, so the read fails, as for any output), never the older one.
    FlushChannel(channel);  // which may stop the holding itself
    if (Holds(channel)) StopHolding(channel);
  }
  if (channel->output.noFile) return 0;
  if (channel->buffer == nullptr) return ReadIn(channel, destination, n);
  if (channel->mode == ChannelMode::Writing) {
    FlushChannel(channel);
    channel->mode = ChannelMode::Reading;
    channel->count = 0;
    channel->filled = 0;
  }
  const char* held = channel->buffer + (channel->filled - channel->count);
  if (channel->count >= n) {
    std::memcpy(destination, held, static_cast<std::size_t>(n));
    channel->count -= static_cast<std::int32_t>(n);
    return n;
  }
  std::int64_t copied = channel->count;
  std::memcpy(destination, held, static_cast<std::size_t>(copied));
  std::int64_t need = n - copied;
  channel->count = 0;
  channel->scanStart = kNoScan;
  if (need < channel->capacity) {
    auto obtained = static_cast<std::int32_t>(ReadIn(channel, channel->buffer, channel->capacity));
    channel->filled = channel->count = obtained;
    std::int32_t taken = static_cast<std::int32_t>(std::min<std::int64_t>(need, obtained));
    std::memcpy(destination + copied, channel->buffer, static_cast<std::size_t>(taken));
    channel->count -= taken;
    return copied + taken;
  }
  return copied + ReadIn(channel, destination + copied, need);
}

std::int64_t WriteBytes(FileChannel* channel, const char* source, std::int64_t n) {
  if (n <= 0) return 0;
  channel->endSeen = false;  // what is written may extend the file
  if (channel->buffer == nullptr) return WriteOut(channel, source, static_cast<std::size_t>(n));
  if (channel->mode == ChannelMode::Reading) {
    // The read-ahead not handed out goes back to the file.
    if (channel->count > 0) platform::MoveFilePosition(channel->handle, -channel->count);
    channel->mode = ChannelMode::Writing;
    channel->count = channel->capacity;
  }
  // Strictly less: data that would exactly fill the free space is not
  // buffered, so a buffered block written out here holds at most 4095
  // bytes (WriteLineBlock fills the buffer whole).
  if (n < channel->count) {
    std::memcpy(channel->buffer + (channel->capacity - channel->count), source, static_cast<std::size_t>(n));
    channel->count -= static_cast<std::int32_t>(n);
    return n;
  }
  FlushChannel(channel);
  if (n >= channel->capacity) return WriteOut(channel, source, static_cast<std::size_t>(n));
  std::memcpy(channel->buffer, source, static_cast<std::size_t>(n));
  channel->count -= static_cast<std::int32_t>(n);
  return n;
}

void FlushChannel(FileChannel* channel) {
  if (channel->buffer == nullptr || channel->mode != ChannelMode::Writing) return;
  auto pending = static_cast<std::size_t>(channel->capacity - channel->count);
  if (pending > 0) WriteOut(channel, channel->buffer, pending);
  channel->count = channel->capacity;
}

bool ReadLine(int number, std::string_view* line) {
  *line = std::string_view();
  FileChannel* channel = FindChannel(number);
  if (channel == nullptr) return true;
  channel->lineLength = 0;
  if (channel->buffer == nullptr) return ReadLineUnbuffered(channel, line);
  for (;;) {
    if (channel->count == 0 || channel->mode == ChannelMode::Writing) {
      // Refill through the ordinary byte read, then put the byte back.
      char first;
      if (ReadBytes(channel, &first, 1) == 0) break;
      channel->count += 1;
    }
    const char* start = channel->buffer + (channel->filled - channel->count);
    const char* end = channel->buffer + channel->filled;
    const char* stop = channel->buffer + NextLineEnd(channel, channel->filled - channel->count);
    auto length = static_cast<std::size_t>(stop - start);
    if (stop == end) {
      if (!AppendToLine(channel, start, length)) return false;
      channel->count = 0;
      continue;
    }
    channel->count -= static_cast<std::int32_t>(length + 1);
    // A line found whole in the buffer is handed out in place, unless the
    // look behind a final CR is about to refill the buffer under it.
    bool inPlace = channel->lineLength == 0 && !(*stop == '\r' && channel->count == 0);
    if (!inPlace && !AppendToLine(channel, start, length)) return false;
    if (*stop == '\r') ConsumeLfAfterCr(channel);
    *line = inPlace ? std::string_view(start, length) : std::string_view(channel->line, channel->lineLength);
    return true;
  }
  *line = std::string_view(channel->line, channel->lineLength);
  return true;
}

bool AtEnd(int number) {
  FileChannel* channel = FindChannel(number);
  if (channel == nullptr) return true;
  if (HoldsUnreadBytes(channel)) return false;  // what a one-byte read and give-back would say
  char byte;
  if (ReadBytes(channel, &byte, 1) == 0) return true;
  GiveBackByte(channel);
  return false;
}

std::int64_t WriteLine(int number, std::string_view text) {
  FileChannel* channel = FindChannel(number);
  if (channel == nullptr) return 0;
  std::int64_t taken = 0;
  if (!text.empty()) taken = WriteBytes(channel, text.data(), static_cast<std::int64_t>(text.size()));
  return taken + WriteBytes(channel, "\r\n", 2);
}

void WriteLineBlock(int number, const char* lines, std::size_t size) {
  FileChannel* channel = FindChannel(number);
  if (channel == nullptr || size == 0) return;
  channel->endSeen = false;  // what is written may extend the file
  if (channel->buffer == nullptr) {
    // Unbuffered: piece by piece, straight to the file.
    for (const char* const end = lines + size; lines < end;) {
      auto* cr = static_cast<const char*>(std::memchr(lines, '\r', static_cast<std::size_t>(end - lines)));
      WriteLine(number, std::string_view(lines, static_cast<std::size_t>(cr - lines)));
      lines = cr + 2;
    }
    return;
  }
  if (channel->mode == ChannelMode::Reading) {
    // The read-ahead not handed out goes back to the file.
    if (channel->count > 0) platform::MoveFilePosition(channel->handle, -channel->count);
    channel->mode = ChannelMode::Writing;
    channel->count = channel->capacity;
  }
  const auto capacity = static_cast<std::size_t>(channel->capacity);
  const std::size_t waiting = capacity - static_cast<std::size_t>(channel->count);
  if (size < static_cast<std::size_t>(channel->count)) {
    // Fits strictly in the free space: waits with the bytes already there.
    std::memcpy(channel->buffer + waiting, lines, size);
    channel->count -= static_cast<std::int32_t>(size);
    return;
  }
  // What reaches past the free space goes out in whole buffers: the waiting
  // bytes topped up to a full buffer, then as many whole buffers' worth as
  // `lines` still holds, straight from there; the rest waits. So a file
  // written in blocks alone takes a write per 64 KiB or so, not one per
  // 4095 bytes, and every write but its last ends on a 4096-byte page of
  // the file. A write that ended inside a page the file did not have yet
  // made ext4 fill the rest of that page with zeros, only for the next
  // write to cover them: in 4095-byte writes, a file of short lines spent
  // 15% of its run's samples on that filling.
  if (waiting > 0) {
    const std::size_t topUp = capacity - waiting;
    std::memcpy(channel->buffer + waiting, lines, topUp);
    WriteOut(channel, channel->buffer, capacity);
    lines += topUp;
    size -= topUp;
  }
  const std::size_t direct = size / capacity * capacity;
  if (direct > 0) WriteOut(channel, lines, direct);
  const std::size_t rest = size - direct;
  std::memcpy(channel->buffer, lines + direct, rest);
  channel->count = static_cast<std::int32_t>(capacity - rest);
}

namespace {

// A channel's own output folder settles its one output and goes with it;
// what failed there is the channel's failure.
bool ReleaseOwnFolder(FileChannel* channel, platform::ErrorCode* reason) {
  if (!channel->ownsOutputs) return true;
  CloseOutputFolder(channel->outputs);
  bool complete = channel->outputs->failures.empty();
  if (!complete) *reason = channel->outputs->failures.front().error;
  delete channel->outputs;
  return complete;
}

// Keeps `buffer` for a later channel where there is room, or frees it.
void GiveBackBuffer(char* buffer) {
  for (char*& spare : spareBuffers) {
    if (spare == nullptr) {
      spare = buffer;
      return;
    }
  }
  std::free(buffer);
}

void ReleaseChannel(FileChannel* channel) {
  GiveBackBuffer(channel->buffer);
  std::free(channel->line);
  ReleaseHeld(channel);
  *channel = FileChannel{};
}

}  // namespace

bool SettleHeldBytes(int number, platform::ErrorCode* error) {
  FileChannel* channel = FindChannel(number);
  if (channel == nullptr) return true;
  if (Holds(channel)) FlushChannel(channel);  // which may stop the holding, the last bytes being too many
  if (channel->output.noFile) {
    *error = channel->error;
    return false;
  }
  if (!Holds(channel)) return true;
  if (KeepOlderOutput(channel->outputs, &channel->output, channel->handle, channel->held, channel->heldLength)) {
    // Closing the channel finishes it: the older file is made durable
    // with the batch, and stays at its name.
    ReleaseHeld(channel);
    return true;
  }
  if (StopHolding(channel)) return true;
  *error = channel->error;
  return false;
}

bool CloseChannel(int number, platform::ErrorCode* error) {
  FileChannel* channel = FindChannel(number);
  if (channel == nullptr) return true;
  platform::ErrorCode ignored = 0;
  if (!SettleHeldBytes(number, &ignored)) {
    if (error != nullptr) *error = channel->error;
    AbandonChannel(number);
    return false;
  }
  FlushChannel(channel);
  bool complete = !channel->lostBytes && !channel->readFailed;
  platform::ErrorCode reason = channel->error;
  if (channel->outputs != nullptr) {
    if (complete) {
      FinishOutput(channel->outputs, &channel->output, channel->handle);
    } else {
      AbandonOutput(channel->outputs, &channel->output, channel->handle);
    }
    if (!ReleaseOwnFolder(channel, &reason)) complete = false;
  } else {
    // A file read whole may still have been changed under the reads (a
    // channel without an output folder is one opened for reading).
    platform::FileStatus now;
    if (complete) {
      if (!platform::StatusOfFile(channel->handle, &now, &reason)) {
        complete = false;
      } else if (now.size != channel->opened.size || now.changeTime != channel->opened.changeTime) {
        reason = platform::kChanged;
        complete = false;
      }
    }
    if (!platform::CloseFile(channel->handle) && complete) {
      reason = platform::LastError();
      complete = false;
    }
  }
  if (!complete && error != nullptr) *error = reason;
  ReleaseChannel(channel);
  return complete;
}

void AbandonChannel(int number) {
  FileChannel* channel = FindChannel(number);
  if (channel == nullptr) return;
  if (channel->outputs != nullptr) {
    AbandonOutput(channel->outputs, &channel->output, channel->handle);
    platform::ErrorCode ignored = 0;
    ReleaseOwnFolder(channel, &ignored);
  } else {
    FlushChannel(channel);
    platform::CloseFile(channel->handle);
  }
  ReleaseChannel(channel);
}

void CloseAllChannels() {
  for (int number = 0; number < channelTableSize; ++number) CloseChannel(number);
  delete[] channelTable;
  channelTable = nullptr;
  channelTableSize = 0;
}
