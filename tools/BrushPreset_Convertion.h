// The brush preset converter: every "*.kvr" preset in the folder "convert"
// is rewritten line by line into the current preset form and written under
// the same name into the folder "Converted", every line ending in CR LF.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/Platform.h"
#include "runtime/OutputFolder.h"
#include "tools/PresetStream.h"
#include "tools/RunReport.h"

// Converts the preset at `inputPath` into a file that replaces `outputPath`
// once complete: on any failure what stood at `outputPath` stays as it
// was, and the input is never modified. `lines` holds the rewritten lines
// on their way; it may be kept from one preset to the next. Nothing when
// the preset was converted, otherwise the problem that stopped it.
std::optional<Problem> ConvertPreset(const std::string& inputPath, const std::string& outputPath, LineList* lines);

// The two folders of one working folder, held open while it is converted.
struct WorkingFolders {
  platform::FolderHandle input = platform::kNoFolder;  // "convert"
  OutputFolder output;                                 // "Converted"
  std::string inputPath;                               // "convert/" as told in messages
  std::string outputPath;                              // "Converted/"
};

// Converts the preset `name` of `folders.input` into the output of the same
// name, as ConvertPreset does. An output that replaces an older one may be
// staged: what then fails is told by ConvertWorkingFolder.
std::optional<Problem> ConvertPresetIn(WorkingFolders* folders, const std::string& name, LineList* lines);

// Converts every preset of "convert" into "Converted" inside `folder` (""
// for the current folder), adding what happened to `report`. Each folder is
// opened once; "Converted" is refused when it is "convert" itself, or one
// of `inputFolders` (the convert folders of the run's other working
// folders). Leftover temporary files of earlier runs in "Converted" are
// removed first.
void ConvertWorkingFolder(const std::string& folder, RunReport* report, LineList* lines,
                          const std::vector<platform::FileIdentity>& inputFolders = {});

// Converts every preset of "convert" into "Converted" in each of
// `workingFolders` in turn (each taken from the folder the process started
// in), shows the completion notice, and ends the process: exit status 0
// when every preset was converted, 1 when one was not or a folder cannot be
// used, each problem told with the notice, its path as the user would type
// it from where the tool was started. Reads no environment or setting. The
// inputs are never modified, and an older output is only ever replaced
// whole by a complete one.
[[noreturn]] void RunConversion(const std::vector<std::string>& workingFolders);

// The program: reads `arguments` (those after the program's name, UTF-8 on
// Windows), answers help, version and usage errors without touching a
// file, checks every FOLDER (one that cannot be used is told and nothing
// runs), then converts each working folder once (RunConversion).
[[noreturn]] void RunCommandLine(const std::vector<std::string>& arguments);
