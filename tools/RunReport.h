// What a run tells the user about the presets it did not convert: one plain
// record per problem, turned into console lines or the notice box's text.
#pragma once

#include <string>
#include <vector>

#include "platform/Platform.h"

// The step at which a preset, a folder, or the run, stopped.
enum class Step {
  MissingFolder,  // "convert" or "Converted" cannot be used: nothing is done in it
  OpenInput,      // the preset cannot be opened (or is not a regular file)
  ReadInput,      // reading the preset failed
  OutOfMemory,    // the preset did not fit in memory
  CreateOutput,   // its output cannot be created
  WriteOutput,    // writing the output, or making it durable, failed
  ReplaceOutput,  // the complete output could not take the place of the older one
  InputChanged,   // the preset changed while it was read
  SameFile,       // the output path names the input itself
  EnterFolder,    // a FOLDER named on the command line cannot be used: nothing runs
  InsideConvert,  // the working folder is a convert folder itself: nothing is done in it
  SameFolder,     // "Converted" is "convert" itself: nothing is done
};

struct Problem {
  std::string path;  // as the user would type it: "m/convert/a.kvr", "Converted"
  Step step = Step::OpenInput;
  platform::ErrorCode error = 0;  // the system's reason, 0 when it has none
  bool olderKept = false;         // an older conversion stood there, and stays
};

struct RunReport {
  int presets = 0;    // matching entries that are not folders, in every folder
  int converted = 0;  // of them, those whose output is complete
  std::vector<Problem> problems;
  std::vector<std::string> emptyFolders;  // "convert" folders that held no preset
  bool utf8 = true;                       // how names are shown (ShownText)
};

// 0 when every preset was converted and every folder could be used (also
// when there was no preset), 1 otherwise.
int ExitStatus(const RunReport& report);

// One line for `problem`, "BrushPreset_Convertion: convert/a.kvr: cannot
// open: Permission denied", its path shown by ShownText.
std::string ConsoleLine(const Problem& problem, bool utf8);

// One line per problem, then one per folder without a preset, then (when
// something was not converted) how many presets were converted.
std::vector<std::string> ConsoleLines(const RunReport& report);

// The same for the notice box, in French like the notice: the file name and
// what failed, one short line each (long names shortened in the middle, the
// system's reason only where it fits), at
// most kBoxProblemLines of them and then how many more, then how many
// presets were converted. Empty when there is nothing to tell. UTF-8.
std::string BoxText(const RunReport& report);
inline constexpr std::size_t kBoxProblemLines = 20;
inline constexpr std::size_t kBoxNameWidth = 24;  // characters
inline constexpr std::size_t kBoxLineWidth = 48;  // characters, about 300 pixels

// One problem in the box's words: the name alone, shortened, or (for a list
// kept in a file) the whole path and always the reason.
std::string BoxLine(const Problem& problem, bool utf8, bool wholePath = false);

// Every line the box could not show, for a list kept in a file: all the
// problems with their whole paths. Empty when the box lists them all.
std::vector<std::string> FullList(const RunReport& report);

// `text` cut to at most `width` UTF-8 characters, what is left out of its
// middle replaced by "…".
std::string ShortenedInTheMiddle(const std::string& text, std::size_t width);
