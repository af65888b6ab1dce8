// The brush preset converter: every "*.kvr" preset in the folder "convert"
// is rewritten line by line into the current preset form and written under
// the same name into the folder "Converted", every line ending in CR LF.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/Platform.h"
#include "tools/RunReport.h"

// ---- Text operations on byte texts; all comparisons are exact bytes. ----

// True when `what` is not empty and occurs in `text`.
bool ContainsText(std::string_view text, std::string_view what);
// `text` without its first `n` bytes; n below 0 counts as 0.
std::string DropFirst(std::string_view text, std::int64_t n);
// One left-to-right pass that skips every match of `what`; occurrences that
// only form where two remaining pieces meet stay.
std::string RemoveAll(std::string_view text, std::string_view what);
// One left-to-right pass replacing each match; inserted text is never
// scanned again. An empty `what` changes nothing.
std::string ReplaceAll(std::string_view text, std::string_view what, std::string_view with);
// Blanks, one optional sign, then decimal digits, "$" and hexadecimal or "%"
// and binary; 64-bit wrapping arithmetic; stops at the first non-digit; no
// digit gives 0.
std::int64_t ParseInteger(std::string_view text);
// Plain decimal, "-" before a negative value.
std::string FormatInteger(std::int64_t value);

// ---- Preset line rewriting ----

// The current form of one legacy preset line (no CR, LF or NUL in it):
// transparency rescaled from percent to 0..255 on lines holding
// "global.Transp=", then the legacy marks removed, then keys renamed.
std::string RewritePresetLine(std::string_view line);

// Room that the rewriting needs past the length of the line read: the
// result can be a few bytes longer, and is written in whole chunks.
inline constexpr std::size_t kRewriteGrowth = 32;

// The same rewriting into `out`, which has room for line.size() +
// kRewriteGrowth bytes and may be line.data() itself. Returns the length.
// With `readablePadding`, the 64 bytes from line.data() can all be read
// even where the line is shorter, which lets short lines be copied in
// whole chunks.
std::size_t RewritePresetLineInto(std::string_view line, char* out, bool readablePadding = false);

// True when the run rewrites whole buffered blocks of lines with 64-byte
// vectors, which the processor is asked for once; otherwise it takes the
// lines one by one through 16-byte masks. Both give the same bytes. Tests
// switch the wide path off (where it is available) to check the other too.
bool WideVectorsInUse();
void SetWideVectorsForTesting(bool on);

// ---- Folder scan ----

// True when `name` as a whole matches `pattern`: "*" any run of bytes, the
// empty run included, "?" one byte; ASCII letters match either case, and a
// leading "." is matched like any other byte.
bool WildcardMatch(std::string_view pattern, std::string_view name);

struct DirectoryScan {
  platform::FolderSearch search;
  bool hasSearch = false;     // false: nothing matched, the scan is empty
  bool firstPending = false;  // the first entry is held, not yet handed out
  platform::FolderEntry current;
  std::string pattern;
};

// Starts enumerating the entries of `folder` whose names match `pattern`
// ("*.*" when empty). An empty result is a success; a folder that cannot be
// searched is a failure (the reason in `*error`), and the scan must then
// not be finished.
bool BeginScan(DirectoryScan* scan, std::string_view folder, std::string_view pattern,
               platform::ErrorCode* error = nullptr);
// True while there is another entry, which becomes the current one.
bool NextEntry(DirectoryScan* scan);
bool EntryIsDirectory(const DirectoryScan& scan);
const std::string& EntryName(const DirectoryScan& scan);
void FinishScan(DirectoryScan* scan);

// ---- Rewritten lines on their way to the output ----

// Held as one block of bytes, each line followed by CR LF (a rewritten line
// never holds CR or LF, so the terminators are also the boundaries).
struct LineList {
  platform::ByteArena arena;
  std::size_t used = 0;
};

// Rewrites `line` and appends it; false when memory ran out.
bool AppendRewrittenLine(LineList* lines, std::string_view line);
void ClearLineList(LineList* lines);
void ReleaseLineList(LineList* lines);

// Streams every line of the channel `input` through the rewriting into the
// channel `output`, gathering them in `lines` on the way (which holds a few
// blocks and the longest line, whatever the file's size); stops early once
// a write has failed. False when memory ran out: what was handed over is
// then incomplete.
bool RewriteChannelLines(int input, int output, LineList* lines);

// ---- The run ----

// How the conversion of one preset ended.
struct Outcome {
  Step step = Step::OpenInput;
  platform::ErrorCode error = 0;
  std::string path;  // empty: converted
  bool converted() const { return path.empty(); }
};

// Converts the preset at `inputPath` into a file that replaces `outputPath`
// once complete: on any failure what stood at `outputPath` stays as it
// was, and the input is never modified.
Outcome ConvertPreset(const std::string& inputPath, const std::string& outputPath, LineList* lines);

// Converts every preset of "convert" into "Converted", shows the completion
// notice, and ends the process: exit status 0 when every preset was
// converted, 1 when one was not or a folder cannot be used, each problem
// told with the notice. Reads no argument, environment or setting. The
// inputs are never modified, and an older output is only ever replaced
// whole by a complete one.
[[noreturn]] void RunConversion();
