// What a run tells the user about the presets it did not convert: one plain
// record per problem, turned into console lines or the notice box's text.
#pragma once

#include <string>
#include <vector>

#include "platform/Platform.h"

// The step at which a preset, or the run, stopped.
enum class Step {
  MissingFolder,  // "convert" or "Converted" cannot be used: nothing is done in it
  OpenInput,      // the preset cannot be opened (or is not a regular file)
  ReadInput,      // reading the preset failed
  OutOfMemory,    // the preset did not fit in memory
  CreateOutput,   // its output cannot be created
  WriteOutput,    // writing or replacing the output failed; the older one is kept
  SameFile,       // the output path names the input itself
};

struct Problem {
  std::string path;  // as the run named it: "convert/a.kvr", "Converted"
  Step step = Step::OpenInput;
  platform::ErrorCode error = 0;  // the system's reason, 0 when it has none
};

struct RunReport {
  int presets = 0;    // matching entries that are not folders
  int converted = 0;  // of them, those whose output is complete
  std::vector<Problem> problems;
};

// 0 when every preset was converted and both folders could be used (also
// when there was no preset), 1 otherwise.
int ExitStatus(const RunReport& report);

// One line per problem, "BrushPreset_Convertion: convert/a.kvr: cannot
// open: Permission denied", then how many presets were converted; nothing
// when there was no problem.
std::vector<std::string> ConsoleLines(const RunReport& report);

// The same for the notice box, in French like the notice: the file name and
// the reason, one per line, at most kBoxProblemLines of them and then how
// many more, then how many presets were converted. Empty when there was no
// problem. UTF-8: Windows' names are held so, and the box shows them as
// UTF-16.
std::string BoxText(const RunReport& report);
inline constexpr std::size_t kBoxProblemLines = 20;
