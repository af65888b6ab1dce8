// What the run tells about presets it did not convert: the console lines,
// the box text and the exit status, from the records alone.
#include <gtest/gtest.h>

#include <cerrno>
#include <set>
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
  // A folder without a preset is told, and is no failure.
  report.emptyFolders = {"m/convert"};
  EXPECT_EQ(ExitStatus(report), 0);
  EXPECT_EQ(ConsoleLines(report),
            std::vector<std::string>{"BrushPreset_Convertion: m/convert: no preset found (*.kvr)"});
  EXPECT_EQ(BoxText(report), "Aucun preset dans m/convert");
}

TEST(RunReport, EachStepHasItsConsoleLineAndBoxLine) {
  const platform::ErrorCode denied = platform::kNotARegularFile;
  const std::string reason = platform::DescribeError(denied);
  // Whatever the words, a user can tell the steps apart, and reads the
  // system's reason on the console wherever there is one (the box where it
  // has room, the complete list always).
  std::set<std::string> consoleSeen, boxSeen;
  auto check = [&](const Problem& problem, const std::string& console, const std::string& box) {
    RunReport report;
    report.presets = 2;
    report.converted = 1;
    report.problems = {problem};
    EXPECT_EQ(ExitStatus(report), 1);
    EXPECT_TRUE(consoleSeen.insert(ConsoleLines(report).front()).second) << console;
    EXPECT_TRUE(boxSeen.insert(BoxText(report)).second) << box;
    if (problem.error != 0) {
      const std::string own = platform::DescribeError(problem.error);
      EXPECT_NE(ConsoleLines(report).front().find(own), std::string::npos) << console;
      // A missing folder says so in its own words.
      if (!platform::NamesNothing(problem.error)) {
        EXPECT_NE(BoxLine(problem, true, true).find(own), std::string::npos) << box;
      }
    }
    EXPECT_EQ(ConsoleLines(report), (std::vector<std::string>{"BrushPreset_Convertion: " + console,
                                                              "BrushPreset_Convertion: 1 of 2 presets converted"}));
    EXPECT_EQ(BoxText(report), box + "\nFichiers convertis : 1 sur 2.");
  };
  // The system's reason follows in the box only where the line has room.
  auto fitting = [&](const std::string& line) {
    const std::string longer = line + " (" + reason + ")";
    std::size_t characters = 0;
    for (char byte : longer) characters += (static_cast<unsigned char>(byte) & 0xC0) != 0x80 ? 1 : 0;
    return characters <= kBoxLineWidth ? longer : line;
  };
  // The hint about creating folders only where the folder is missing.
  const std::string missing = platform::DescribeError(ENOENT);
  check({"m/Converted", Step::MissingFolder, ENOENT},
        "m/Converted: cannot use the folder: " + missing + " (the tool never creates folders)",
        "Converted : dossier introuvable (jamais cr\xC3\xA9\xC3\xA9)");
  check({"convert", Step::MissingFolder, denied}, "convert: cannot use the folder: " + reason,
        fitting("convert : dossier inutilisable"));
  check({"m/convert/a\nb.kvr", Step::OpenInput, denied}, "'m/convert/a'$'\\n''b.kvr': cannot open: " + reason,
        fitting("'a'$'\\n''b.kvr' : ouverture impossible"));
  check({".", Step::InsideConvert, 0},
        ".: is a convert folder itself: run the tool from its parent folder, or name the parent "
        "(BrushPreset_Convertion ..)",
        "Lancez l'outil depuis le dossier parent de ..");
  // Long names are shortened in the middle, and a line never grows past
  // the box's width.
  check({"convert/" + std::string(100, 'n') + ".kvr", Step::OutOfMemory, 0, true},
        "convert/" + std::string(100, 'n') + ".kvr: out of memory (the older conversion is kept)",
        std::string(11, 'n') + "\xE2\x80\xA6" + std::string(8, 'n') + ".kvr : m\xC3\xA9moire insuffisante");
  check({"convert/a.kvr", Step::ReadInput, denied, true},
        "convert/a.kvr: read error: " + reason + " (the older conversion is kept)",
        fitting("a.kvr : erreur de lecture"));
  check({"convert/a.kvr", Step::ReadInput, 5},
        "convert/a.kvr: read error: " + platform::DescribeError(5),
        "a.kvr : erreur de lecture (" + platform::DescribeError(5) + ")");
  check({"Converted/a.kvr", Step::CreateOutput, denied}, "Converted/a.kvr: cannot create: " + reason,
        fitting("a.kvr : cr\xC3\xA9" "ation impossible"));
  check({"Converted/a.kvr", Step::WriteOutput, denied, true},
        "Converted/a.kvr: write failed: " + reason + " (the older conversion is kept)",
        fitting("a.kvr : \xC3\xA9" "criture impossible"));
  // "Kept" is said only where an older conversion stood.
  check({"Converted/a.kvr", Step::ReplaceOutput, denied}, "Converted/a.kvr: cannot replace: " + reason,
        fitting("a.kvr : remplacement impossible"));
  check({"convert/a.kvr", Step::InputChanged, 0, true},
        "convert/a.kvr: changed while being read (the older conversion is kept)",
        "a.kvr : modifi\xC3\xA9 pendant la lecture");
  check({"Converted", Step::SameFolder, 0}, "Converted: is the folder convert itself, nothing converted",
        "Converted : c'est le dossier convert lui-m\xC3\xAAme");
  // A failure the system gave no reason for is told without an empty one.
  check({"Converted/b.kvr", Step::WriteOutput, 0}, "Converted/b.kvr: write failed",
        "b.kvr : \xC3\xA9" "criture impossible");
  // A FOLDER typed with trailing separators is named in the box all the same.
  check({"m/brushes//", Step::EnterFolder, ENOENT}, "m/brushes//: " + missing, "brushes : " + missing);
  check({"D:\\brushes\\", Step::EnterFolder, denied}, "D:\\brushes\\: " + reason, "brushes : " + reason);
  check({"Converted\\a.kvr", Step::SameFile, 0}, "Converted\\a.kvr: is the input file itself, left as it is",
        "a.kvr : serait l'entr\xC3\xA9" "e elle-m\xC3\xAAme");
  // A reason as long as Windows' own is left to the list kept in a file.
  RunReport report;
  report.problems = {{"convert/" + std::string(30, 'n') + ".kvr", Step::OpenInput, denied}};
  EXPECT_EQ(BoxLine(report.problems[0], true), std::string(11, 'n') + "\xE2\x80\xA6" + std::string(8, 'n') +
                                                   ".kvr : ouverture impossible");
  EXPECT_EQ(BoxLine(report.problems[0], true, true),
            "convert/" + std::string(30, 'n') + ".kvr : ouverture impossible (" + reason + ")");
  // In Shift-JIS the second byte of each of these is that of "\\": the name stays whole.
  EXPECT_EQ(BoxLine({"Converted\\\xE8\xA1\xA8\xE3\x82\xBD.kvr", Step::SameFile, 0}, true),
            "\xE8\xA1\xA8\xE3\x82\xBD.kvr : serait l'entr\xC3\xA9" "e elle-m\xC3\xAAme");
  // A line still longer than the box once the name is shortened is cut at
  // the box's width.
  const Problem busy{std::string(30, 'f'), Step::EnterFolder, platform::kBusy};
  const std::string cut = BoxLine(busy, true);
  const std::string name = std::string(11, 'f') + "\xE2\x80\xA6" + std::string(12, 'f') + " : ";
  EXPECT_EQ(cut.substr(0, name.size()), name) << cut;
  EXPECT_EQ(cut.substr(cut.size() - 3), "\xE2\x80\xA6") << cut;
  std::size_t characters = 0;
  for (char byte : cut) characters += (static_cast<unsigned char>(byte) & 0xC0) != 0x80 ? 1 : 0;
  EXPECT_EQ(characters, kBoxLineWidth) << cut;
  report.problems[0].olderKept = true;
  EXPECT_EQ(BoxLine(report.problems[0], true, true), "convert/" + std::string(30, 'n') +
                                                         ".kvr : ouverture impossible (" + reason +
                                                         "), ancienne conversion gard\xC3\xA9" "e");
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
    // The file gets every one, with its whole path, when the box cannot.
    const std::vector<std::string> full = FullList(report);
    EXPECT_EQ(full.size(), more > 0 ? problems : 0u);
    if (more > 0) {
      EXPECT_EQ(full.back(), "convert/p" + std::to_string(problems - 1) + ".kvr : m\xC3\xA9moire insuffisante");
    }
  }
}

}  // namespace
