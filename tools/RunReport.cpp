#include "tools/RunReport.h"

#include <cstddef>

namespace {

std::string WithReason(std::string text, platform::ErrorCode error) {
  if (error != 0) text += ": " + platform::DescribeError(error);
  return text;
}

std::string ConsoleText(const Problem& problem) {
  const std::string& path = problem.path;
  switch (problem.step) {
    case Step::MissingFolder:
      return WithReason(path + ": cannot use the folder", problem.error) + " (the tool never creates folders)";
    case Step::OpenInput:
      return WithReason(path + ": cannot open", problem.error);
    case Step::ReadInput:
      return WithReason(path + ": read error", problem.error);
    case Step::OutOfMemory:
      return path + ": out of memory";
    case Step::CreateOutput:
      return WithReason(path + ": cannot create", problem.error);
    case Step::WriteOutput:
      return WithReason(path + ": write failed", problem.error);
    case Step::ReplaceOutput:
      return WithReason(path + ": cannot replace", problem.error);
    case Step::InputChanged:
      return path + ": changed while being read";
    case Step::SameFile:
      return path + ": is the input file itself, left as it is";
    case Step::SameFolder:
      return path + ": is the folder convert itself, nothing converted";
  }
  return path;
}

std::string ConsoleLine(const Problem& problem) {
  return ConsoleText(problem) + (problem.olderKept ? " (the older conversion is kept)" : "");
}

// The file name alone: the box lists presets, and says which folder where
// it matters.
std::string NameOf(const std::string& path) {
  std::size_t cut = path.find_last_of("/\\");
  return cut == std::string::npos ? path : path.substr(cut + 1);
}

std::string WithBoxReason(std::string text, platform::ErrorCode error) {
  if (error != 0) text += " (" + platform::DescribeError(error) + ")";
  return text;
}

// French, in Latin-1 bytes like the notice itself.
std::string BoxWords(const Problem& problem) {
  const std::string name = NameOf(problem.path);
  switch (problem.step) {
    case Step::MissingFolder:
      return WithBoxReason("Dossier \"" + name + "\" introuvable ou inutilisable", problem.error) +
             " : l'outil ne cr\xE9"
             "e aucun dossier.";
    case Step::OpenInput:
      return WithBoxReason(name + " : ouverture impossible", problem.error);
    case Step::ReadInput:
      return WithBoxReason(name + " : erreur de lecture", problem.error);
    case Step::OutOfMemory:
      return name + " : m\xE9moire insuffisante";
    case Step::CreateOutput:
      return WithBoxReason(name +
                               " : cr\xE9"
                               "ation impossible dans Converted",
                           problem.error);
    case Step::WriteOutput:
      return WithBoxReason(name +
                               " : \xE9"
                               "criture impossible",
                           problem.error);
    case Step::ReplaceOutput:
      return WithBoxReason(name + " : remplacement impossible", problem.error);
    case Step::InputChanged:
      return name + " : modifi\xE9 pendant la lecture";
    case Step::SameFile:
      return name +
             " : la sortie serait le fichier d'entr\xE9"
             "e lui-m\xEAme";
    case Step::SameFolder:
      return "Dossier \"" + name + "\" : c'est le dossier convert lui-m\xEAme, rien n'est converti.";
  }
  return name;
}

std::string BoxLine(const Problem& problem) {
  return BoxWords(problem) + (problem.olderKept ? ", l'ancienne conversion est gard\xE9"
                                                  "e"
                                                : "");
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
