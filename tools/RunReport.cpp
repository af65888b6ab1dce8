#include "tools/RunReport.h"

#include <cstddef>

namespace {

std::string WithReason(std::string text, platform::ErrorCode error) {
  if (error != 0) text += ": " + platform::DescribeError(error);
  return text;
}

std::string ConsoleLine(const Problem& problem) {
  const std::string& path = problem.path;
  switch (problem.step) {
    case Step::MissingFolder:
      return WithReason(path + ": cannot use the folder", problem.error) + " (the tool never creates folders)";
    case Step::OpenInput:
      return WithReason(path + ": cannot open", problem.error);
    case Step::ReadInput:
      return WithReason(path + ": read error", problem.error) + " (the older conversion is kept)";
    case Step::OutOfMemory:
      return path + ": out of memory (the older conversion is kept)";
    case Step::CreateOutput:
      return WithReason(path + ": cannot create", problem.error);
    case Step::WriteOutput:
      return WithReason(path + ": write failed", problem.error) + " (the older conversion is kept)";
    case Step::SameFile:
      return path + ": is the input file itself, left as it is";
  }
  return path;
}

// The file name alone: the box lists presets, and says which folder where
// it matters. Paths are UTF-8 in the box, where the bytes of "/" and "\\"
// never occur inside another character: the cut falls between characters.
std::string NameOf(const std::string& path) {
  std::size_t cut = path.find_last_of("/\\");
  return cut == std::string::npos ? path : path.substr(cut + 1);
}

std::string WithBoxReason(std::string text, platform::ErrorCode error) {
  if (error != 0) text += " (" + platform::DescribeError(error) + ")";
  return text;
}

// French, in UTF-8 like the names it lists.
std::string BoxLine(const Problem& problem) {
  const std::string name = NameOf(problem.path);
  switch (problem.step) {
    case Step::MissingFolder:
      return WithBoxReason("Dossier \"" + name + "\" introuvable ou inutilisable", problem.error) +
             " : l'outil ne cr\xC3\xA9" "e aucun dossier.";
    case Step::OpenInput:
      return WithBoxReason(name + " : ouverture impossible", problem.error);
    case Step::ReadInput:
      return WithBoxReason(name + " : erreur de lecture", problem.error);
    case Step::OutOfMemory:
      return name + " : m\xC3\xA9moire insuffisante";
    case Step::CreateOutput:
      return WithBoxReason(name + " : cr\xC3\xA9" "ation impossible dans Converted", problem.error);
    case Step::WriteOutput:
      return WithBoxReason(name + " : \xC3\xA9" "criture impossible, l'ancienne conversion est gard\xC3\xA9" "e", problem.error);
    case Step::SameFile:
      return name + " : la sortie serait le fichier d'entr\xC3\xA9" "e lui-m\xC3\xAAme";
  }
  return name;
}

}  // namespace

int ExitStatus(const RunReport& report) { return report.problems.empty() ? 0 : 1; }

std::vector<std::string> ConsoleLines(const RunReport& report) {
  std::vector<std::string> lines;
  if (report.problems.empty()) return lines;
  const std::string program = "BrushPreset_Convertion: ";
  for (const Problem& problem : report.problems) lines.push_back(program + ConsoleLine(problem));
  lines.push_back(program + std::to_string(report.converted) + " of " + std::to_string(report.presets) +
                  (report.presets == 1 ? " preset" : " presets") + " converted");
  return lines;
}

std::string BoxText(const RunReport& report) {
  std::string text;
  if (report.problems.empty()) return text;
  std::size_t shown = 0;
  for (const Problem& problem : report.problems) {
    if (shown == kBoxProblemLines) break;
    text += BoxLine(problem) + "\n";
    ++shown;
  }
  std::size_t more = report.problems.size() - shown;
  if (more > 0) text += "... et " + std::to_string(more) + (more == 1 ? " autre.\n" : " autres.\n");
  text += "Fichiers convertis : " + std::to_string(report.converted) + " sur " + std::to_string(report.presets) + ".";
  return text;
}
