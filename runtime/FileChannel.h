// Buffered file channels: byte access to files through a 4096-byte buffer,
// with the line framing of preset files.
//
// A line read ends at CR, LF, CR LF or NUL; a line written is followed by
// CR LF. Channels are named by small non-negative numbers that the caller
// chooses. One thread uses them; nothing is locked. The lines held in a
// channel's buffer can also be taken in bulk (FileChannelBulk.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/Platform.h"
#include "runtime/OutputFolder.h"

enum class ChannelMode { Reading, Writing };

inline constexpr std::int32_t kNoScan = -128;

struct FileChannel {
  platform::FileHandle handle = platform::kNoFile;  // kNoFile: not open
  // Created for writing: the file takes its name in `outputs` only once
  // closed complete. A folder opened for this channel alone is its own.
  OutputFolder* outputs = nullptr;
  bool ownsOutputs = false;
  PendingOutput output;
  // Opened for reading: what the file was then. Reading past its size,
  // stopping short of it, or a change seen at the close means the file
  // changed while it was read (platform::kChanged). An output made from it
  // takes its identity and permission bits from here.
  bool watchesChange = false;
  platform::FileStatus opened;
  std::uint64_t bytesRead = 0;
  char* buffer = nullptr;  // none when it could not be had: unbuffered mode
  std::int32_t capacity = 0;
  // Reading: bytes of the buffer not yet handed out, ending at `filled`.
  // Writing: free space left; the pending bytes are the first capacity - count.
  std::int32_t count = 0;
  std::int32_t filled = 0;  // reading: valid bytes of the last refill
  ChannelMode mode = ChannelMode::Reading;
  bool lostBytes = false;         // some byte written did not reach the file
  bool readFailed = false;        // a read failed: the lines after it are missing
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
  // Written bytes held back while the output is compared with its older
  // one (output.comparing), up to kMostHeld of them.
  char* held = nullptr;
  std::size_t heldLength = 0;
  std::size_t heldCapacity = 0;
};

inline constexpr std::int32_t kChannelBufferSize = 4096;
// Readable bytes past the buffer's end, so that scans may load whole
// vectors from any byte held.
inline constexpr std::size_t kChannelBufferSlack = 128;

// Opens an existing regular file for reading. A channel still open under
// `number` is closed first, also when the open then fails. False when the
// platform refuses, with the reason in `*error`; no channel is left behind.
bool OpenForReading(int number, const char* path, platform::ErrorCode* error = nullptr);
// The same for the file `name` of an open folder.
bool OpenInFolder(int number, platform::FolderHandle folder, const char* name, platform::ErrorCode* error = nullptr);

// Creates a file that replaces whatever stands at `path` (the older file,
// or a link, which is never followed) once the channel is closed with every
// byte written; until then `path` keeps what it held, and a channel closed
// incomplete leaves it so. `sourceNumber`, when open for reading, is the
// channel of the file this one is made from: a path that names that very file is refused
// (platform::kSameFile), and a new file gets its permission bits. False
// when refused, with the reason in `*error`; no channel is left behind.
bool CreateForWriting(int number, const char* path, int sourceNumber = -1, platform::ErrorCode* error = nullptr);
// The same for the output `name` of an open output folder: an output that
// replaces an older one may only be staged when its channel closes, and
// put in place with the folder's batch (OutputFolder.h).
bool CreateInFolder(int number, OutputFolder* outputs, const char* name, int sourceNumber = -1,
                    platform::ErrorCode* error = nullptr);

// The next line, without its terminator, in `*line`; the bytes stay valid
// until the next call on this channel. At the end of the file, or at a read
// error, the line ends where the bytes stop (CloseChannel then tells of the
// error). False only when memory for the line could not be had: the line is
// then incomplete.
bool ReadLine(int number, std::string_view* line);

// True when no further byte can be read (the end, or a read error).
bool AtEnd(int number);

// Writes the text, then CR LF. Returns the number of bytes taken.
std::int64_t WriteLine(int number, std::string_view text);

// Writes `size` bytes that are whole lines, each already followed by CR LF
// (the lines hold no CR or LF): the same bytes as WriteLine of each line in
// turn, without a call per line and in fewer, larger writes: what does not
// fit strictly in the buffer's free space goes out at once in whole
// buffers (4096 bytes each), in at most two writes, and the rest waits in
// the buffer. So a file written in blocks alone gets every write but its
// last in whole multiples of 4096 bytes.
void WriteLineBlock(int number, const char* lines, std::size_t size);

// An output that may repeat its older one holds this many bytes at most,
// then gets its file and writes on.
inline constexpr std::size_t kMostHeld = std::size_t{256} << 10;

// Ends the comparing of an output channel with its older output, if it
// holds its bytes for that: the same bytes, the older output stays as it
// is and becomes the channel's file (nothing is written; CloseChannel makes
// it durable); different ones go to the output's file, made now. False
// when that file could not be made, then or earlier, with the reason in
// `*error`: the channel is then left to be abandoned.
bool SettleHeldBytes(int number, platform::ErrorCode* error);

// Flushes, releases the buffer and closes the file; a file created for
// writing then takes its path (or is staged for it). True when every byte
// ever written through the channel reached the file, no read failed, a file
// read did not change meanwhile, the close succeeded and the file took its
// path or was staged; otherwise `*error` says why (and a file created for
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
