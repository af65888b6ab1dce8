#include "tools/BrushPreset_Convertion.h"

#include <new>

#include "runtime/FileChannel.h"
#include "tools/DirectoryScan.h"

namespace {

constexpr int kInput = 0;
constexpr int kOutput = 1;
// Room kept between files; more, left by a long line, is given back.
constexpr std::size_t kKeptRoom = std::size_t{4} << 20;

}  // namespace

std::optional<Problem> ConvertPreset(const std::string& inputPath, const std::string& outputPath, LineList* lines) {
  platform::ErrorCode error = 0;
  if (!OpenForReading(kInput, inputPath.c_str(), &error)) return Problem{inputPath, Step::OpenInput, error};
  if (!CreateForWriting(kOutput, outputPath.c_str(), kInput, &error)) {
    CloseChannel(kInput);
    if (error == platform::kSameFile) return Problem{outputPath, Step::SameFile, 0};
    return Problem{outputPath, Step::CreateOutput, error};
  }
  bool enoughMemory = RewriteChannelLines(kInput, kOutput, lines);
  bool read = CloseChannel(kInput, &error);
  if (lines->arena.capacity > kKeptRoom) ReleaseLineList(lines);
  // An output short of the input's last lines never takes the place of the
  // older conversion.
  if (!enoughMemory || !read) {
    AbandonChannel(kOutput);
    if (!read) return Problem{inputPath, Step::ReadInput, error};
    return Problem{inputPath, Step::OutOfMemory, 0};
  }
  if (!CloseChannel(kOutput, &error)) return Problem{outputPath, Step::WriteOutput, error};
  return std::nullopt;
}

void RunConversion() {
  platform::StartUp();
  RunReport report;
  LineList lines;
  const std::string inputFolder = std::string("convert") + platform::kPathSeparator;
  const std::string outputFolder = std::string("Converted") + platform::kPathSeparator;
  DirectoryScan scan;
  platform::ErrorCode scanError = 0;
  bool scanning = BeginScan(&scan, inputFolder, "*.kvr", &scanError);
  if (!scanning) report.problems.push_back(Problem{"convert", Step::MissingFolder, scanError});
  // Told once, not for every preset: nothing can be written without it.
  platform::ErrorCode outputError = platform::CheckFolder("Converted", true);
  if (outputError != 0) report.problems.push_back(Problem{"Converted", Step::MissingFolder, outputError});
  while (scanning && NextEntry(&scan)) {
    if (EntryIsDirectory(scan)) continue;
    ++report.presets;
    if (outputError != 0) continue;
    std::optional<Problem> problem;
    try {
      problem = ConvertPreset(inputFolder + EntryName(scan), outputFolder + EntryName(scan), &lines);
    } catch (const std::bad_alloc&) {
      // Only the paths allocate from the heap; the file is skipped.
      AbandonChannel(kOutput);
      CloseChannel(kInput);
      ReleaseLineList(&lines);
      problem = Problem{inputFolder + EntryName(scan), Step::OutOfMemory, 0};
    }
    if (problem) {
      report.problems.push_back(*problem);
    } else {
      ++report.converted;
    }
  }
  if (scanning) FinishScan(&scan);
  platform::NoticeDetails details{ConsoleLines(report), BoxText(report)};
  platform::ShowCompletionNotice("Finish",
                                 "Conversion termin\xE9"
                                 "e !",
                                 details);
  CloseAllChannels();
  ReleaseLineList(&lines);
  platform::EndProcess(ExitStatus(report));
}
