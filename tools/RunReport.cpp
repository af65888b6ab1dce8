#include "tools/RunReport.h"

#include <cstddef>

#include "tools/CommandLine.h"

namespace {

using command_line::ShownText;

std::string WithReason(std::string text, platform::ErrorCode error) {
  if (error != 0) text += ": " + platform::DescribeError(error);
  return text;
}

// The file name alone: the box lists presets, and says which folder where
// it matters.
std::string NameOf(const std::string& path) {
  std::size_t end = path.size();
  while (end > 1 && (path[end - 1] == '/' || path[end - 1] == '\\')) --end;
  std::size_t cut = path.find_last_of("/\\", end - 1);
  return cut == std::string::npos ? path.substr(0, end) : path.substr(cut + 1, end - cut - 1);
}

// `error` is a reason (not 0).
std::string WithBoxReason(const std::string& text, platform::ErrorCode error) {
  return text + " (" + platform::DescribeError(error) + ")";
}

bool StartsCharacter(char byte) { return (static_cast<unsigned char>(byte) & 0xC0) != 0x80; }

std::size_t CharacterCount(const std::string& text) {
  std::size_t count = 0;
  for (char byte : text) count += StartsCharacter(byte) ? 1 : 0;
  return count;
}

// Where the character `characters` characters after the start begins.
std::size_t ByteOffset(const std::string& text, std::size_t characters) {
  std::size_t at = 0;
  for (std::size_t seen = 0; at < text.size(); ++at) {
    if (StartsCharacter(text[at]) && seen++ == characters) break;
  }
  return at;
}

const char kEllipsis[] = "\xE2\x80\xA6";

}  // namespace

std::string ShortenedInTheMiddle(const std::string& text, std::size_t width) {
  const std::size_t count = CharacterCount(text);
  if (count <= width || width < 3) return text;
  const std::size_t head = (width - 1) / 2;
  const std::size_t tail = width - 1 - head;
  return text.substr(0, ByteOffset(text, head)) + kEllipsis + text.substr(ByteOffset(text, count - tail));
}

int ExitStatus(const RunReport& report) { return report.problems.empty() ? 0 : 1; }

std::string ConsoleLine(const Problem& problem, bool utf8) {
  const std::string path = ShownText(problem.path, utf8);
  std::string line;
  switch (problem.step) {
    case Step::MissingFolder:
      line = WithReason(path + ": cannot use the folder", problem.error);
      // Said only where it helps: a folder that exists but cannot be used
      // needs no creating.
      if (platform::NamesNothing(problem.error)) line += " (the tool never creates folders)";
      break;
    case Step::OpenInput:
      line = WithReason(path + ": cannot open", problem.error);
      break;
    case Step::ReadInput:
      line = WithReason(path + ": read error", problem.error);
      break;
    case Step::OutOfMemory:
      line = path + ": out of memory";
      break;
    case Step::CreateOutput:
      line = WithReason(path + ": cannot create", problem.error);
      break;
    case Step::WriteOutput:
      line = WithReason(path + ": write failed", problem.error);
      break;
    case Step::ReplaceOutput:
      line = WithReason(path + ": cannot replace", problem.error);
      break;
    case Step::InputChanged:
      line = path + ": changed while being read";
      break;
    case Step::SameFile:
      line = path + ": is the input file itself, left as it is";
      break;
    case Step::SameFolder:
      line = path + ": is the folder convert itself, nothing converted";
      break;
    case Step::EnterFolder:
      line = WithReason(path, problem.error);
      break;
    case Step::InsideConvert:
      line = path + ": is a convert folder itself: run the tool from its parent folder, or name the parent (" +
             command_line::kProgramName + " ..)";
      break;
  }
  if (problem.olderKept) line += " (the older conversion is kept)";
  return std::string(command_line::kProgramName) + ": " + line;
}

std::string BoxLine(const Problem& problem, bool utf8, bool wholePath) {
  const std::string name = wholePath ? ShownText(problem.path, utf8)
                                     : ShortenedInTheMiddle(ShownText(NameOf(problem.path), utf8), kBoxNameWidth);
  std::string line;
  bool reasonFits = true;  // the system's reason is told where the line has room
  switch (problem.step) {
    case Step::MissingFolder:
      if (platform::NamesNothing(problem.error)) {
        line = name + " : dossier introuvable (jamais cr\xC3\xA9\xC3\xA9)";
        reasonFits = false;
      } else {
        line = name + " : dossier inutilisable";
      }
      break;
    case Step::OpenInput:
      line = name + " : ouverture impossible";
      break;
    case Step::ReadInput:
      line = name + " : erreur de lecture";
      break;
    case Step::OutOfMemory:
      line = name + " : m\xC3\xA9moire insuffisante";
      break;
    case Step::CreateOutput:
      line = name + " : cr\xC3\xA9" "ation impossible";
      break;
    case Step::WriteOutput:
      line = name + " : \xC3\xA9" "criture impossible";
      break;
    case Step::ReplaceOutput:
      line = name + " : remplacement impossible";
      break;
    case Step::InputChanged:
      line = name + " : modifi\xC3\xA9 pendant la lecture";
      break;
    case Step::SameFile:
      line = name + " : serait l'entr\xC3\xA9" "e elle-m\xC3\xAAme";
      break;
    case Step::SameFolder:
      line = name + " : c'est le dossier convert lui-m\xC3\xAAme";
      break;
    case Step::EnterFolder:
      line = name + " : " + platform::DescribeError(problem.error);
      reasonFits = false;
      break;
    case Step::InsideConvert:
      line = "Lancez l'outil depuis le dossier parent de " + name + ".";
      break;
  }
  if (problem.error != 0 && reasonFits) {
    const std::string withReason = WithBoxReason(line, problem.error);
    if (wholePath || CharacterCount(withReason) <= kBoxLineWidth) line = withReason;
  }
  if (problem.olderKept) {
    const std::string withKept = line + ", ancienne conversion gard\xC3\xA9" "e";
    if (wholePath || CharacterCount(withKept) <= kBoxLineWidth) line = withKept;
  }
  if (wholePath) return line;
  // One line each: a line the box wraps makes it taller than a small
  // screen, and one without spaces makes it wider.
  return CharacterCount(line) <= kBoxLineWidth ? line : line.substr(0, ByteOffset(line, kBoxLineWidth - 1)) + kEllipsis;
}

std::vector<std::string> ConsoleLines(const RunReport& report) {
  std::vector<std::string> lines;
  const std::string program = std::string(command_line::kProgramName) + ": ";
  for (const Problem& problem : report.problems) lines.push_back(ConsoleLine(problem, report.utf8));
  for (const std::string& folder : report.emptyFolders) {
    lines.push_back(program + ShownText(folder, report.utf8) + ": no preset found (*.kvr)");
  }
  if (report.problems.empty()) return lines;
  lines.push_back(program + std::to_string(report.converted) + " of " + std::to_string(report.presets) +
                  (report.presets == 1 ? " preset" : " presets") + " converted");
  return lines;
}

std::string BoxText(const RunReport& report) {
  std::string text;
  std::size_t shown = 0;
  for (const Problem& problem : report.problems) {
    if (shown == kBoxProblemLines) break;
    text += BoxLine(problem, report.utf8) + "\n";
    ++shown;
  }
  std::size_t more = report.problems.size() - shown;
  if (more > 0) text += "... et " + std::to_string(more) + (more == 1 ? " autre.\n" : " autres.\n");
  for (const std::string& folder : report.emptyFolders) {
    text += "Aucun preset dans " + ShortenedInTheMiddle(ShownText(folder, report.utf8), kBoxNameWidth) + "\n";
  }
  if (report.problems.empty()) {
    if (!text.empty()) text.pop_back();
    return text;
  }
  text += "Fichiers convertis : " + std::to_string(report.converted) + " sur " + std::to_string(report.presets) + ".";
  return text;
}

std::vector<std::string> FullList(const RunReport& report) {
  std::vector<std::string> lines;
  if (report.problems.size() <= kBoxProblemLines) return lines;
  for (const Problem& problem : report.problems) lines.push_back(BoxLine(problem, report.utf8, true));
  return lines;
}
