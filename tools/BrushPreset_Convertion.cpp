#include "tools/BrushPreset_Convertion.h"

#include <new>

#include "runtime/FileChannel.h"
#include "tools/DirectoryScan.h"

namespace {

constexpr int kInput = 0;
constexpr int kOutput = 1;
// Room kept between files; more, left by a long line, is given back.
constexpr std::size_t kKeptRoom = std::size_t{4} << 20;

// Converts what channel kInput holds into channel kOutput, then closes both.
std::optional<Problem> ConvertOpenPreset(const std::string& inputPath, const std::string& outputPath, LineList* lines) {
  platform::ErrorCode error = 0;
  const FileChannel* output = FindChannel(kOutput);
  const bool olderKept = output != nullptr && output->output.replacesFile;
  bool enoughMemory = RewriteChannelLines(kInput, kOutput, lines);
  bool read = CloseChannel(kInput, &error);
  if (lines->arena.capacity > kKeptRoom) ReleaseLineList(lines);
  // An output short of the input's last lines never takes the place of the
  // older conversion.
  if (!enoughMemory || !read) {
    AbandonChannel(kOutput);
    if (error == platform::kChanged) return Problem{inputPath, Step::InputChanged, 0, olderKept};
    if (!read) return Problem{inputPath, Step::ReadInput, error, olderKept};
    return Problem{inputPath, Step::OutOfMemory, 0, olderKept};
  }
  if (!CloseChannel(kOutput, &error)) return Problem{outputPath, Step::WriteOutput, error, olderKept};
  return std::nullopt;
}

std::optional<Problem> CreateFailure(const std::string& outputPath, platform::ErrorCode error) {
  CloseChannel(kInput);
  if (error == platform::kSameFile) return Problem{outputPath, Step::SameFile, 0};
  return Problem{outputPath, Step::CreateOutput, error};
}

}  // namespace

std::optional<Problem> ConvertPreset(const std::string& inputPath, const std::string& outputPath, LineList* lines) {
  platform::ErrorCode error = 0;
  if (!OpenForReading(kInput, inputPath.c_str(), &error)) {
    return Problem{inputPath, error == platform::kChanged ? Step::InputChanged : Step::OpenInput, error};
  }
  if (!CreateForWriting(kOutput, outputPath.c_str(), kInput, &error)) return CreateFailure(outputPath, error);
  return ConvertOpenPreset(inputPath, outputPath, lines);
}

std::optional<Problem> ConvertPresetIn(WorkingFolders* folders, const std::string& name, LineList* lines) {
  const std::string inputPath = folders->inputPath + name;
  const std::string outputPath = folders->outputPath + name;
  platform::ErrorCode error = 0;
  if (!OpenInFolder(kInput, folders->input, name.c_str(), &error)) return Problem{inputPath, Step::OpenInput, error};
  if (!CreateInFolder(kOutput, &folders->output, name.c_str(), kInput, &error)) {
    return CreateFailure(outputPath, error);
  }
  return ConvertOpenPreset(inputPath, outputPath, lines);
}

namespace {

// The outputs that failed once complete, each one counted as converted
// when its channel closed.
void TellFailedOutputs(WorkingFolders* folders, RunReport* report) {
  for (const OutputFailure& failure : folders->output.failures) {
    const Step step = failure.renaming ? Step::ReplaceOutput : Step::WriteOutput;
    report->problems.push_back(Problem{folders->outputPath + failure.name, step, failure.error, failure.replacesFile});
    --report->converted;
  }
  folders->output.failures.clear();
}

}  // namespace

void ConvertWorkingFolder(const std::string& folder, RunReport* report, LineList* lines) {
  WorkingFolders folders;
  folders.inputPath = std::string("convert") + platform::kPathSeparator;
  folders.outputPath = std::string("Converted") + platform::kPathSeparator;
  const std::string base = folder.empty() ? std::string() : folder + platform::kPathSeparator;
  const std::string outputFolder = base + "Converted";
  DirectoryScan scan;
  platform::ErrorCode scanError = 0;
  bool scanning = BeginScan(&scan, base + folders.inputPath, "*.kvr", &scanError);
  platform::FileIdentity inputIdentity;
  if (scanning) folders.input = platform::OpenFolder((base + "convert").c_str(), false, &inputIdentity, &scanError);
  if (scanning && folders.input == platform::kNoFolder) {
    FinishScan(&scan);
    scanning = false;
  }
  if (!scanning) report->problems.push_back(Problem{"convert", Step::MissingFolder, scanError});
  // Told once, not for every preset: nothing can be written without it.
  platform::FileIdentity outputIdentity;
  platform::ErrorCode outputError = 0;
  bool writable = OpenOutputFolder(&folders.output, outputFolder.c_str(), &outputIdentity, &outputError);
  if (!writable) {
    report->problems.push_back(Problem{"Converted", Step::MissingFolder, outputError});
  } else if (scanning && inputIdentity.volume == outputIdentity.volume && inputIdentity.index == outputIdentity.index) {
    report->problems.push_back(Problem{"Converted", Step::SameFolder, 0});
    writable = false;
  } else {
    SweepLeftovers(&folders.output, outputFolder.c_str());
  }
  while (scanning && NextEntry(&scan)) {
    if (EntryIsDirectory(scan)) continue;
    ++report->presets;
    if (!writable) continue;
    std::optional<Problem> problem;
    try {
      problem = ConvertPresetIn(&folders, EntryName(scan), lines);
    } catch (const std::bad_alloc&) {
      // Only the paths allocate from the heap; the file is skipped.
      AbandonChannel(kOutput);
      CloseChannel(kInput);
      ReleaseLineList(lines);
      problem = Problem{folders.inputPath + EntryName(scan), Step::OutOfMemory, 0};
    }
    if (problem) {
      report->problems.push_back(*problem);
    } else {
      ++report->converted;
    }
    TellFailedOutputs(&folders, report);
  }
  if (scanning) FinishScan(&scan);
  if (folders.output.folder != platform::kNoFolder) CloseOutputFolder(&folders.output);
  TellFailedOutputs(&folders, report);
  platform::CloseFolder(folders.input);
}

void RunConversion() {
  platform::StartUp();
  RunReport report;
  LineList lines;
  ConvertWorkingFolder("", &report, &lines);
  platform::NoticeDetails details{ConsoleLines(report), BoxText(report)};
  platform::ShowCompletionNotice("Finish",
                                 "Conversion termin\xE9"
                                 "e !",
                                 details);
  CloseAllChannels();
  ReleaseLineList(&lines);
  platform::EndProcess(ExitStatus(report));
}
