#include "tools/BrushPreset_Convertion.h"

#include <new>

#include "runtime/FileChannel.h"
#include "tools/CommandLine.h"
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

namespace {

// Converts every preset of "convert" into "Converted" in the current
// folder; the problems name paths from there.
void ConvertWorkingFolder(RunReport* report, LineList* lines) {
  const std::string inputFolder = std::string("convert") + platform::kPathSeparator;
  const std::string outputFolder = std::string("Converted") + platform::kPathSeparator;
  DirectoryScan scan;
  platform::ErrorCode scanError = 0;
  bool scanning = BeginScan(&scan, inputFolder, "*.kvr", &scanError);
  if (!scanning) report->problems.push_back(Problem{"convert", Step::MissingFolder, scanError});
  // Told once, not for every preset: nothing can be written without it.
  platform::ErrorCode outputError = platform::CheckFolder("Converted", true);
  if (outputError != 0) report->problems.push_back(Problem{"Converted", Step::MissingFolder, outputError});
  const int presetsBefore = report->presets;
  while (scanning && NextEntry(&scan)) {
    if (EntryIsDirectory(scan)) continue;
    ++report->presets;
    if (outputError != 0) continue;
    std::optional<Problem> problem;
    try {
      problem = ConvertPreset(inputFolder + EntryName(scan), outputFolder + EntryName(scan), lines);
    } catch (const std::bad_alloc&) {
      // Only the paths allocate from the heap; the file is skipped.
      AbandonChannel(kOutput);
      CloseChannel(kInput);
      ReleaseLineList(lines);
      problem = Problem{inputFolder + EntryName(scan), Step::OutOfMemory, 0};
    }
    if (problem) {
      report->problems.push_back(*problem);
    } else {
      ++report->converted;
    }
  }
  if (scanning) FinishScan(&scan);
  if (scanning && report->presets == presetsBefore) report->emptyFolders.push_back("convert");
}

command_line::PathStyle PlatformPathStyle() {
  return platform::kPathSeparator == '\\' ? command_line::PathStyle::Windows : command_line::PathStyle::Posix;
}

// A run started inside a convert folder (or a Converted one) finds neither
// folder there: one piece of advice says more than two missing folders.
bool InsideConvertFolder() {
  platform::ErrorCode error = platform::CheckFolder("convert", false);
  return platform::NamesNothing(error) &&
         command_line::IsWorkingSubfolderName(platform::CurrentFolderName(), PlatformPathStyle());
}

}  // namespace

void RunConversion(const std::vector<std::string>& workingFolders) {
  RunReport report;
  report.utf8 = platform::TextIsUtf8();
  LineList lines;
  for (const std::string& folder : workingFolders) {
    const std::string shown = command_line::ShownPrefix(folder, PlatformPathStyle());
    const std::size_t problemsBefore = report.problems.size();
    const std::size_t emptyBefore = report.emptyFolders.size();
    platform::ErrorCode error = platform::EnterFolder(folder.c_str());
    if (error != 0) {
      report.problems.push_back(Problem{folder, Step::EnterFolder, error});
    } else if (InsideConvertFolder()) {
      report.problems.push_back(Problem{shown.empty() ? "." : folder, Step::InsideConvert, 0});
    } else {
      ConvertWorkingFolder(&report, &lines);
    }
    for (std::size_t i = problemsBefore; i < report.problems.size(); ++i) {
      if (report.problems[i].step != Step::EnterFolder && report.problems[i].step != Step::InsideConvert) {
        report.problems[i].path = shown + report.problems[i].path;
      }
    }
    for (std::size_t i = emptyBefore; i < report.emptyFolders.size(); ++i) {
      report.emptyFolders[i] = shown + report.emptyFolders[i];
    }
  }
  platform::EnterFolder(".");
  platform::NoticeDetails details{ConsoleLines(report), BoxText(report), FullList(report), workingFolders};
  platform::ShowCompletionNotice("Finish",
                                 "Conversion termin\xC3\xA9"
                                 "e !",
                                 details);
  CloseAllChannels();
  ReleaseLineList(&lines);
  platform::EndProcess(ExitStatus(report));
}

void RunCommandLine(const std::vector<std::string>& arguments) {
  using namespace command_line;
  platform::StartUp();
  const bool utf8 = platform::TextIsUtf8();
  const Invocation invocation = ReadArguments(arguments, utf8);
  switch (invocation.request) {
    case Request::Help:
      platform::EndProcess(platform::ShowMessage(UsageText(), UsageText(), false) ? kExitSuccess : kExitFailure);
    case Request::Version:
      platform::EndProcess(platform::ShowMessage(VersionText(), VersionText(), false) ? kExitSuccess : kExitFailure);
    case Request::UsageError: {
      const std::string text = std::string(kProgramName) + ": " + invocation.problem + "\n" + TryHelpText();
      platform::ShowMessage(text, text, true);
      platform::EndProcess(kExitUsage);
    }
    case Request::Convert:
      break;
  }
  if (invocation.folders.empty()) RunConversion({"."});
  // Every FOLDER is looked at before any is converted: one that cannot be
  // used stops the whole run, so that nothing is half done.
  std::vector<std::string> workingFolders;
  std::vector<platform::FileIdentity> seen;
  std::string consoleText, boxText;
  auto isFolder = [](const std::string& path) {
    platform::FileIdentity ignored;
    return platform::IdentifyFolder(path.c_str(), &ignored) == 0;
  };
  for (const std::string& folder : invocation.folders) {
    platform::FileIdentity identity;
    platform::ErrorCode error = platform::IdentifyFolder(folder.c_str(), &identity);
    std::string working = folder;
    if (error == 0) {
      working = WorkingFolderFor<char>(folder, PlatformPathStyle(), isFolder);
      error = platform::IdentifyFolder(working.c_str(), &identity);
    }
    // Entered once here, so that a folder that cannot be entered stops the
    // run before anything is converted; the next FOLDER is read from the
    // starting folder again.
    if (error == 0) error = platform::EnterFolder(working.c_str());
    platform::EnterFolder(".");
    if (error != 0) {
      const Problem problem{folder, Step::EnterFolder, error};
      consoleText += ConsoleLine(problem, utf8) + "\n";
      boxText += BoxLine(problem, utf8) + "\n";
      continue;
    }
    // Folders that reach the same working folder are converted once.
    bool again = false;
    for (const platform::FileIdentity& earlier : seen) {
      again = again || (earlier.volume == identity.volume && earlier.index == identity.index);
    }
    if (again) continue;
    seen.push_back(identity);
    workingFolders.push_back(working);
  }
  if (!consoleText.empty()) {
    platform::ShowMessage(consoleText, "Rien n'a \xC3\xA9t\xC3\xA9 converti.\n\n" + boxText, true);
    platform::EndProcess(kExitFailure);
  }
  RunConversion(workingFolders);
}
