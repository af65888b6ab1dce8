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

Outcome ConvertPreset(const std::string& inputPath, const std::string& outputPath, LineList* lines) {
  platform::ErrorCode error = 0;
  if (!OpenForReading(kInput, inputPath.c_str(), &error)) return Outcome{Step::OpenInput, error, inputPath};
  if (!CreateForWriting(kOutput, outputPath.c_str(), kInput, &error)) {
    CloseChannel(kInput);
    if (error == platform::kSameFile) return Outcome{Step::SameFile, 0, outputPath};
    return Outcome{Step::CreateOutput, error, outputPath};
  }
  bool enoughMemory = RewriteChannelLines(kInput, kOutput, lines);
  bool read = CloseChannel(kInput, &error);
  if (lines->arena.capacity > kKeptRoom) ReleaseLineList(lines);
  // An output short of the input's last lines never takes the place of the
  // older conversion.
  if (!enoughMemory || !read) {
    AbandonChannel(kOutput);
    if (!read) return Outcome{Step::ReadInput, error, inputPath};
    return Outcome{Step::OutOfMemory, 0, inputPath};
  }
  if (!CloseChannel(kOutput, &error)) return Outcome{Step::WriteOutput, error, outputPath};
  return Outcome{};
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
    Outcome outcome;
    try {
      outcome = ConvertPreset(inputFolder + EntryName(scan), outputFolder + EntryName(scan), &lines);
    } catch (const std::bad_alloc&) {
      // Only the paths allocate from the heap; the file is skipped.
      AbandonChannel(kOutput);
      CloseChannel(kInput);
      ReleaseLineList(&lines);
      outcome = Outcome{Step::OutOfMemory, 0, inputFolder + EntryName(scan)};
    }
    if (outcome.converted()) {
      ++report.converted;
    } else {
      report.problems.push_back(Problem{outcome.path, outcome.step, outcome.error});
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
