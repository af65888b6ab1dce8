// What the run tells about presets it did not convert: the console lines,
// the box text and the exit status, from the records alone.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/RunReport.h"

namespace {

TEST(RunReport, ACleanRunSaysNothingAndExitsZero) {
  RunReport report;
  EXPECT_EQ(ExitStatus(report), 0);
  report.presets = report.converted = 3;
  EXPECT_EQ(ExitStatus(report), 0);
  EXPECT_TRUE(ConsoleLines(report).empty());
  EXPECT_EQ(BoxText(report), "");
}

TEST(RunReport, EachStepHasItsConsoleLineAndBoxLine) {
  const platform::ErrorCode denied = platform::kNotARegularFile;
  const std::string reason = platform::DescribeError(denied);
  auto check = [](const Problem& problem, const std::string& console, const std::string& box) {
    RunReport report;
    report.presets = 2;
    report.converted = 1;
    report.problems = {problem};
    EXPECT_EQ(ExitStatus(report), 1);
    EXPECT_EQ(ConsoleLines(report), (std::vector<std::string>{"BrushPreset_Convertion: " + console,
                                                              "BrushPreset_Convertion: 1 of 2 presets converted"}));
    EXPECT_EQ(BoxText(report), box + "\nFichiers convertis : 1 sur 2.");
  };
  check({"convert", Step::MissingFolder, denied},
        "convert: cannot use the folder: " + reason + " (the tool never creates folders)",
        "Dossier \"convert\" introuvable ou inutilisable (" + reason + ") : l'outil ne cr\xC3\xA9" "e aucun dossier.");
  check({"convert/a.kvr", Step::OpenInput, denied}, "convert/a.kvr: cannot open: " + reason,
        "a.kvr : ouverture impossible (" + reason + ")");
  check({"convert/a.kvr", Step::ReadInput, denied},
        "convert/a.kvr: read error: " + reason + " (the older conversion is kept)",
        "a.kvr : erreur de lecture (" + reason + ")");
  check({"convert/a.kvr", Step::OutOfMemory, 0}, "convert/a.kvr: out of memory (the older conversion is kept)",
        "a.kvr : m\xC3\xA9moire insuffisante");
  check({"Converted/a.kvr", Step::CreateOutput, denied}, "Converted/a.kvr: cannot create: " + reason,
        "a.kvr : cr\xC3\xA9" "ation impossible dans Converted (" + reason + ")");
  check({"Converted/a.kvr", Step::WriteOutput, denied},
        "Converted/a.kvr: write failed: " + reason + " (the older conversion is kept)",
        "a.kvr : \xC3\xA9" "criture impossible, l'ancienne conversion est gard\xC3\xA9" "e (" + reason + ")");
  // In Shift-JIS the second byte of each of these is that of "\\".
  check({"Converted\\\xE8\xA1\xA8\xE3\x82\xBD.kvr", Step::SameFile, 0},
        "Converted\\\xE8\xA1\xA8\xE3\x82\xBD.kvr: is the input file itself, left as it is",
        "\xE8\xA1\xA8\xE3\x82\xBD.kvr : la sortie serait le fichier d'entr\xC3\xA9" "e lui-m\xC3\xAAme");
}

TEST(RunReport, TheBoxListsAtMostTwentyAndCountsTheRest) {
  for (std::size_t problems : {kBoxProblemLines, kBoxProblemLines + 1, kBoxProblemLines + 7}) {
    RunReport report;
    report.presets = 40;
    report.converted = 40 - static_cast<int>(problems);
    for (std::size_t i = 0; i < problems; ++i) {
      report.problems.push_back(Problem{"convert/p" + std::to_string(i) + ".kvr", Step::OutOfMemory, 0});
    }
    std::string text = BoxText(report);
    std::size_t lines = 0;
    for (char c : text) lines += c == '\n' ? 1 : 0;
    std::size_t more = problems - kBoxProblemLines;
    EXPECT_EQ(lines, kBoxProblemLines + (more > 0 ? 1 : 0)) << text;
    EXPECT_EQ(text.find("p" + std::to_string(kBoxProblemLines) + ".kvr"), std::string::npos);
    const std::string tail = more == 0 ? "" : more == 1 ? "\n... et 1 autre.\n" : "\n... et 7 autres.\n";
    EXPECT_NE(text.find(tail + "Fichiers convertis"), std::string::npos) << text;
    EXPECT_EQ(ConsoleLines(report).size(), problems + 1) << "the console lists every one";
  }
}

}  // namespace
