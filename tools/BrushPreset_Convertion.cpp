#include "tools/BrushPreset_Convertion.h"

#include <algorithm>
#include <new>

#include "runtime/FileChannel.h"
#include "tools/CommandLine.h"
#include "tools/DirectoryScan.h"

namespace {

constexpr int kInput = 0;
constexpr int kOutput = 1;
// Room kept between files; more, left by a long line, is given back.
constexpr std::size_t kKeptRoom = std::size_t{4} << 20;

// Whether channel kOutput is open to replace an older conversion, which
// stays where the preset then fails.
bool OutputReplacesOlder() {
  const FileChannel* output = FindChannel(kOutput);
  return output != nullptr && output->output.replacesFile;
}

// Converts what channel kInput holds into channel kOutput, then closes both.
std::optional<Problem> ConvertOpenPreset(const std::string& inputPath, const std::string& outputPath, LineList* lines) {
  platform::ErrorCode error = 0;
  const bool olderKept = OutputReplacesOlder();
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
  // An output held to be compared with its older one is made only now,
  // where it differs.
  if (!SettleHeldBytes(kOutput, &error)) {
    AbandonChannel(kOutput);
    return Problem{outputPath, Step::CreateOutput, error, olderKept};
  }
  if (!CloseChannel(kOutput, &error)) return Problem{outputPath, Step::WriteOutput, error, olderKept};
  return std::nullopt;
}

// An output refused where it was to be made, or as it was named: the
// input itself is told as such.
Problem RefusedOutput(const std::string& outputPath, platform::ErrorCode error) {
  if (error == platform::kSameFile) return Problem{outputPath, Step::SameFile, 0};
  return Problem{outputPath, Step::CreateOutput, error};
}

Problem CreateFailure(const std::string& outputPath, platform::ErrorCode error) {
  CloseChannel(kInput);
  return RefusedOutput(outputPath, error);
}

// Whether a file stands at `name` in Converted: an older conversion, which
// a preset that fails before its output is begun leaves as it is.
bool OlderConversionStands(const WorkingFolders& folders, const std::string& name) {
  platform::EntryStatus existing;
  platform::ErrorCode ignored = 0;
  return platform::StatusInFolder(folders.output.folder, name.c_str(), false, &existing, &ignored) &&
         existing.kind == platform::EntryKind::File;
}

}  // namespace

std::optional<Problem> ConvertPreset(const std::string& inputPath, const std::string& outputPath, LineList* lines) {
  platform::ErrorCode error = 0;
  if (!OpenForReading(kInput, inputPath.c_str(), &error)) return Problem{inputPath, Step::OpenInput, error};
  if (!CreateForWriting(kOutput, outputPath.c_str(), kInput, &error)) return CreateFailure(outputPath, error);
  return ConvertOpenPreset(inputPath, outputPath, lines);
}

std::optional<Problem> ConvertPresetIn(WorkingFolders* folders, const std::string& name, LineList* lines) {
  const std::string inputPath = folders->inputPath + name;
  const std::string outputPath = folders->outputPath + name;
  platform::ErrorCode error = 0;
  if (!OpenInFolder(kInput, folders->input, name.c_str(), &error)) {
    return Problem{inputPath, Step::OpenInput, error, OlderConversionStands(*folders, name)};
  }
  if (!CreateInFolder(kOutput, &folders->output, name.c_str(), kInput, &error)) {
    Problem problem = CreateFailure(outputPath, error);
    // (A read-only older output is told kept in its own words.)
    problem.olderKept =
        problem.step == Step::CreateOutput && error != platform::kReadOnly && OlderConversionStands(*folders, name);
    return problem;
  }
  return ConvertOpenPreset(inputPath, outputPath, lines);
}

namespace {

// The outputs that failed once complete, each one counted as converted
// when its channel closed.
void TellFailedOutputs(WorkingFolders* folders, RunReport* report) {
  for (const OutputFailure& failure : folders->output.failures) {
    const std::string path = folders->outputPath + failure.name;
    const Step step = failure.renaming ? Step::ReplaceOutput : Step::WriteOutput;
    report->problems.push_back(failure.refused ? RefusedOutput(path, failure.error)
                                               : Problem{path, step, failure.error, failure.replacesFile});
    --report->converted;
  }
  folders->output.failures.clear();
}

}  // namespace

void ConvertWorkingFolder(const std::string& folder, RunReport* report, LineList* lines,
                          const std::vector<platform::FileIdentity>& inputFolders) {
  WorkingFolders folders;
  folders.inputPath = std::string("convert") + platform::kPathSeparator;
  folders.outputPath = std::string("Converted") + platform::kPathSeparator;
  const std::string base = folder.empty() ? std::string() : folder + platform::kPathSeparator;
  const std::string outputFolder = base + "Converted";
  DirectoryScan scan;
  platform::ErrorCode scanError = 0;
  // The folder is opened first and the one opened is listed: a folder put
  // in its place meanwhile is neither listed nor read.
  platform::FileIdentity inputIdentity;
  folders.input = platform::OpenFolder((base + "convert").c_str(), false, &inputIdentity, &scanError);
  const bool scanning = folders.input != platform::kNoFolder &&
                        BeginScan(&scan, base + folders.inputPath, "*.kvr", &scanError, folders.input);
  if (!scanning) {
    // Not held while Converted is opened: with few descriptors left, that
    // would fail for this one alone.
    platform::CloseFolder(folders.input);
    folders.input = platform::kNoFolder;
    report->problems.push_back(Problem{"convert", Step::MissingFolder, scanError});
  }
  // Told once, not for every preset: nothing can be written without it.
  platform::FileIdentity outputIdentity;
  platform::ErrorCode outputError = 0;
  bool writable = OpenOutputFolder(&folders.output, outputFolder.c_str(), &outputIdentity, &outputError);
  if (!writable) {
    report->problems.push_back(Problem{"Converted", Step::MissingFolder, outputError});
  } else if ((scanning && platform::SameIdentity(inputIdentity, outputIdentity)) ||
             std::any_of(inputFolders.begin(), inputFolders.end(), [&](const platform::FileIdentity& input) {
               return platform::SameIdentity(input, outputIdentity);
             })) {
    report->problems.push_back(Problem{"Converted", Step::SameFolder, 0});
    writable = false;
  } else {
    SweepLeftovers(&folders.output, outputFolder.c_str());
  }
  const int presetsBefore = report->presets;
  while (scanning && NextEntry(&scan)) {
    if (EntryIsDirectory(scan)) continue;
    ++report->presets;
    if (!writable) continue;
    std::optional<Problem> problem;
    try {
      // A pipe, device or socket that the listing found (behind a link
      // too) is refused unopened: opening a pipe lets a writer waiting for
      // its reader go on into a pipe nobody reads, and opening a device can
      // act on it. (One put in an entry's place after the listing is
      // opened, without waiting, and then refused.)
      if (EntryIsSpecial(scan)) {
        problem = Problem{folders.inputPath + EntryName(scan), Step::OpenInput, platform::kNotARegularFile,
                          OlderConversionStands(folders, EntryName(scan))};
      } else {
        problem = ConvertPresetIn(&folders, EntryName(scan), lines);
      }
    } catch (const std::bad_alloc&) {
      // Only the paths and the output folder's batch allocate from the
      // heap; the file is skipped, and an older conversion it would have
      // replaced stays.
      const bool olderKept = OutputReplacesOlder();
      AbandonChannel(kOutput);
      CloseChannel(kInput);
      ReleaseLineList(lines);
      problem = Problem{folders.inputPath + EntryName(scan), Step::OutOfMemory, 0, olderKept};
    }
    if (problem) {
      report->problems.push_back(*problem);
    } else {
      ++report->converted;
    }
    TellFailedOutputs(&folders, report);
  }
  if (scanning) FinishScan(&scan);
  // The presets past the point where the folder could not be read on are
  // neither counted nor converted: the folder is told instead.
  if (scan.error != 0) {
    report->problems.push_back(Problem{"convert", Step::ReadInput, scan.error});
  } else if (scanning && report->presets == presetsBefore) {
    report->emptyFolders.push_back("convert");
  }
  if (folders.output.folder != platform::kNoFolder) CloseOutputFolder(&folders.output);
  TellFailedOutputs(&folders, report);
  platform::CloseFolder(folders.input);
}

namespace {

command_line::PathStyle PlatformPathStyle() {
  return platform::kPathSeparator == '\\' ? command_line::PathStyle::Windows : command_line::PathStyle::Posix;
}

// A run started inside a convert folder (or a Converted one) finds neither
// folder there: one piece of advice says more than two missing folders.
bool InsideConvertFolder() {
  platform::FileIdentity ignored;
  platform::ErrorCode error = platform::IdentifyFolder("convert", &ignored);
  return platform::NamesNothing(error) &&
         command_line::IsWorkingSubfolderName(platform::CurrentFolderName(), PlatformPathStyle());
}

}  // namespace

void RunConversion(const std::vector<std::string>& workingFolders) {
  RunReport report;
  report.utf8 = platform::TextIsUtf8();
  LineList lines;
  // No working folder's output may land in another's inputs: each
  // Converted is refused where it is any of their convert folders.
  std::vector<platform::FileIdentity> inputFolders;
  for (std::size_t i = 0; workingFolders.size() > 1 && i < workingFolders.size(); ++i) {
    platform::FileIdentity identity;
    if (platform::EnterFolder(workingFolders[i].c_str()) == 0 && platform::IdentifyFolder("convert", &identity) == 0) {
      inputFolders.push_back(identity);
    }
  }
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
      ConvertWorkingFolder("", &report, &lines, inputFolders);
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
      again = again || platform::SameIdentity(earlier, identity);
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
