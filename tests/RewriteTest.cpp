#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "platform/PlatformTesting.h"
#include "runtime/FileChannelTesting.h"
#include "tests/ReferenceRewrite.h"
#include "tests/TestSupport.h"
#include "tools/BrushPreset_Convertion.h"
#include "tools/rewriting/LongLineRewrite.h"
#include "tools/rewriting/PresetLine.h"
#include "tools/rewriting/PresetRuleFacts.h"

namespace {

struct Row {
  std::string read, written;
};

const std::vector<Row>& KnownLines() {
  static const std::vector<Row> rows = {
      {"global.Transp=50;", "alpha=127"},
      {"global.Transp=100;", "alpha=255"},
      {"global.SizeX=12;", "sizeX=12"},
      {"global.SizeY=7;", "sizeY=7"},
      {"global.Rotate=90;", "rotate=90"},
      {"global.Scatter=0;", "scatter=0"},
      {"global.brushname='round.kvr';", "name=round"},
      {"global.dirbrush='soft';", "brushdir=soft"},
      {"global.mixing=3;", "mixing=3"},
      {"global.Transp=0", "alpha=0"},
      {"global.Transp=3", "alpha=7"},
      {"global.Transp=1", "alpha=2"},
      {"global.Transp=99", "alpha=252"},
      {"global.Transp=", "alpha=0"},
      {"global.Transp=$64;", "alpha=255"},
      {"global.Transp=%110010", "alpha=127"},
      {"global.Transp=-50;", "alpha=-127"},
      {"global.Transp=150;", "alpha=382"},
      {"x global.Transp=50", "alpha=0"},
      {"global.Transp=5;0", "alpha=127"},
      {"global.Transp=;-;5;0", "alpha=-127"},
      {"global.Transp=+100", "alpha=255"},
      {"global.Transp= 50", "alpha=127"},
      {"global.Transp=50 % opaque", "alpha=127"},
      {"global.Transp2=3;", "alpha2=3"},
      {"GLOBAL.transp=5", "GLOBAL.transp=5"},
      {"global.brushname='Rotated';", "name=rotated"},
      {"dirbrushname=1", "dirname=1"},
      {"global.dirdirbrush=1;", "brushdirdir=1"},
      {"dirbrushbrush=2", "brushbrushdir=2"},
      {"dirdirdirbrush=1", "dirbrushdirdir=1"},
      {"globglobal.al.x=1", "global.x=1"},
      {"glo'bal.x=1", "global.x=1"},
      {"a;;b'c", "abc"},
      {".k;vr", ""},  // ";" goes before ".kvr" is looked for
      {"..kvrkvr", ".kvr"},
      {"", ""},
      // Only the low 32 bits of the quotient stay: 4294967297 becomes 1.
      {"global.Transp=1684300901", "alpha=1"},
      {"global.Transp=842150450", "alpha=2147483647"},
      {"global.Transp=842150451", "alpha=-2147483646"},
      {"global.Transp=4210752251", "alpha=-2147483648"},
      // The product wraps in 64 bits before the division.
      {"global.Transp=9223372036854775807", "alpha=2061584299"},
      {"key=v\xE9rit\xE9 \x01\x7F", "key=v\xE9rit\xE9 \x01\x7F"},
  };
  return rows;
}

TEST(RewritePresetLine, KnownLines) {
  for (const Row& row : KnownLines()) {
    EXPECT_EQ(RewritePresetLine(row.read), row.written) << "line: " << row.read;
    EXPECT_EQ(reference::Rewrite(row.read), row.written) << "reference, line: " << row.read;
  }
}

// Lines around the widths of the short-line masks (16, 32 and 64 bytes),
// and with rests of that size behind a leading first removal, with a
// removal at each end and a rename between them; marker lines and others.
TEST(RewritePresetLine, LinesAsLongAsAMaskIsWide) {
  for (std::size_t length : {15, 16, 17, 23, 24, 31, 32, 33, 34, 63, 64, 65}) {
    for (std::string line : {std::string("global.Transp="), std::string("global.SizeX='")}) {
      line += std::string(length - line.size() - 1, '5') + ";";
      EXPECT_EQ(RewritePresetLine(line), reference::Rewrite(line)) << line;
    }
  }
}

// More renames in one line than the long-line path keeps track of (128):
// every one is renamed, on that path and on the one the line takes (8,000
// make a line longer than the larger room, renamed in place).
TEST(RewritePresetLine, HundredsOfRenamesInOneLine) {
  for (int count : {128, 129, 300, 8000}) {
    std::string line;
    for (int i = 0; i < count; ++i) line += "Transp=" + std::to_string(i) + ",";
    const std::string expected = reference::Rewrite(line);
    EXPECT_EQ(RewritePresetLine(line), expected) << count;
    std::string out(line.size() + kRewriteGrowth, '\0');
    out.resize(RewriteLongLine(line.data(), line.size(), out.data()));
    EXPECT_EQ(out, expected) << count;
  }
}

// The pieces the rows act on, taken from the rows themselves: every
// pattern with each of its starts and ends, every replacement, the marker
// and its halves, and the neighbours with which a rename forms a later
// row's pattern. A row changed or added is exercised by the tests below
// without a word here.
const std::vector<std::string>& RuleFragments() {
  static const std::vector<std::string> fragments = [] {
    std::vector<std::string> all;
    auto add = [&all](std::string_view piece) {
      std::string text(piece);
      if (!text.empty() && std::find(all.begin(), all.end(), text) == all.end()) all.push_back(text);
    };
    auto addPattern = [&add](std::string_view pattern) {
      for (std::size_t length = 1; length <= pattern.size(); ++length) {
        add(pattern.substr(0, length));
        add(pattern.substr(pattern.size() - length));
      }
    };
    add(rules::kMarker);
    add(rules::kMarker.substr(0, rules::kMarker.size() / 2));
    add(rules::kMarker.substr(rules::kMarker.size() / 2));
    for (std::string_view removal : rules::kRemovals) addPattern(removal);
    for (const rules::Rename& rename : rules::kRenames) {
      addPattern(rename.find);
      add(rename.with);
    }
    for (const rules::Forming& forming : rules::kFormings) {
      add(forming.before);
      add(forming.after);
    }
    return all;
  }();
  return fragments;
}

// Lines built from the rules' fragments and, one time in three, from bytes
// of numbers and other text, so that matches overlap, form and break in
// every way and marker lines hold every kind of value; checked against the
// plain rules.
std::string RandomLine(std::mt19937_64& random) {
  static const std::vector<std::string> others = {
      "=", "-", "+", "$", "%", " ", "\t", "0", "1", "5", "9", "FF", "ff", "100", "99999999999999999999", "842150451",
      "x", "\xE9", "\x01",
  };
  const std::vector<std::string>& fragments = RuleFragments();
  std::uniform_int_distribution<std::size_t> pickRule(0, fragments.size() - 1);
  std::uniform_int_distribution<std::size_t> pickOther(0, others.size() - 1);
  std::uniform_int_distribution<int> length(0, 12);
  std::string line;
  for (int i = length(random); i > 0; --i) {
    line += random() % 3 == 0 ? others[pickOther(random)] : fragments[pickRule(random)];
  }
  return line;
}

TEST(RewritePresetLine, AgreesWithThePlainRulesOnGeneratedLines) {
  std::mt19937_64 random(20261207);
  std::string padded, out;
  for (int i = 0; i < 1000000; ++i) {
    std::string line = RandomLine(random);
    std::string expected = reference::Rewrite(line);
    ASSERT_EQ(RewritePresetLine(line), expected) << "line: " << line;
    // The same line with readable bytes behind it, as the channel hands out,
    // into the room promised and not a byte past it. The bytes behind begin
    // with the marker's end, cut anywhere: a look past the line would find
    // the marker whole.
    padded = line + std::string(rules::kMarker.substr(static_cast<std::size_t>(i) % rules::kMarker.size())) +
             std::string(64, 'T');
    out.assign(line.size() + kRewriteGrowth, '\0');
    out.append(64, '#');
    std::size_t n = RewritePresetLineInto(std::string_view(padded.data(), line.size()), out.data(), true);
    ASSERT_EQ(out.substr(0, n), expected) << "padded line: " << line;
    ASSERT_EQ(out.substr(line.size() + kRewriteGrowth), std::string(64, '#')) << "written past its room: " << line;
    // ... and with no readable byte past those promised, so that the
    // sanitized build tells a read past them.
    const std::size_t readable = std::max<std::size_t>(64, line.size() + 16);
    const std::unique_ptr<char[]> exact(new char[readable]);
    std::memcpy(exact.get(), padded.data(), readable);
    n = RewritePresetLineInto(std::string_view(exact.get(), line.size()), out.data(), true);
    ASSERT_EQ(out.substr(0, n), expected) << "line with the bytes promised: " << line;
  }
}

// Every mark of the rules at every edge of the 16-byte chunks and of the
// 64-byte short lines: each pattern, a marker line, each rename with the
// neighbours that make it form a later row's pattern, a lone first or last
// byte, and patterns that only a removal makes whole.
TEST(RewritePresetLine, MarksAtChunkEdgesAgreeWithThePlainRules) {
  std::vector<std::string> marks = {std::string(rules::kMarker) + "5"};
  for (std::string_view removal : rules::kRemovals) marks.emplace_back(removal);
  for (const rules::Rename& rename : rules::kDistinctRenames) marks.emplace_back(rename.find);
  for (const rules::Forming& forming : rules::kFormings) {
    const std::string formed = std::string(forming.before) + std::string(rules::kDistinctRenames[forming.rename].find) +
                               std::string(forming.after);
    // Also behind and before bytes the sweep drops: the short-line path's
    // ways for kept bytes in runs then ask whether the rename forms one.
    for (const std::string& mark :
         {formed, std::string(rules::kRemovals[1]) + formed, formed + std::string(rules::kRemovals[2]) + "x"}) {
      marks.push_back(mark);
    }
  }
  marks.emplace_back(rules::kMarker.substr(0, 1));
  marks.emplace_back(rules::kFirstRemoval.substr(rules::kFirstRemoval.size() - 1));
  // Patterns split by a removal, which the rows join again.
  std::vector<std::string_view> joined = {rules::kRemovals[std::size(rules::kRemovals) - 1]};
  for (const rules::Rename& rename : rules::kDistinctRenames) joined.push_back(rename.find);
  for (std::string_view removal : {rules::kRemovals[1], rules::kRemovals[std::size(rules::kRemovals) - 1]}) {
    for (std::string_view pattern : joined) {
      std::string split(pattern);
      marks.push_back(split.insert(split.size() / 2, removal));
    }
  }
  // Renames behind a byte the sweep drops, with digits behind them that
  // show any byte out of place: the line then takes the passes that copy as
  // they replace, a block at a time where the text goes on for two blocks.
  std::string digits;
  for (int i = 0; i < 64; ++i) digits += static_cast<char>('0' + i % 10);
  for (const rules::Rename& rename : rules::kDistinctRenames) {
    marks.push_back(std::string(rules::kRemovals[1]) + std::string(rename.find) + digits);
  }
  // ... and by the last one twice, side by side or apart: a join whose
  // neighbour lies behind another drop.
  const std::string last(rules::kRemovals[std::size(rules::kRemovals) - 1]);
  for (const rules::Rename& rename : rules::kDistinctRenames) {
    std::string twice(rename.find), apart(rename.find);
    marks.push_back(twice.insert(twice.size() / 2, last + last));
    marks.push_back(apart.insert(2 * apart.size() / 3, last).insert(apart.size() / 3, last));
  }
  // Around the 16-byte chunks, the 64-byte short lines, the long-line
  // sweep's blocks of 32 or 64 bytes with the bytes it reads past them, the
  // 4096-byte channel buffer and the long-line path's rooms.
  std::vector<std::size_t> lengths;
  for (std::size_t length = 1; length <= 160; ++length) lengths.push_back(length);
  for (std::size_t room : kLongLineRooms) {
    for (std::size_t length = room - 16; length <= room + 16; ++length) lengths.push_back(length);
  }
  for (std::size_t length : lengths) {
    for (const std::string& mark : marks) {
      if (mark.size() > length) continue;
      std::string filler(length - mark.size(), 'x');
      for (const std::string& line : {filler + mark, mark + filler,
                                      filler.substr(0, filler.size() / 2) + mark + filler.substr(filler.size() / 2)}) {
        ASSERT_EQ(RewritePresetLine(line), reference::Rewrite(line)) << "line: " << line;
      }
    }
  }
}

// The pieces of lines where rows interact: every start and end of every
// pattern, and the bytes that end a removal or make a number.
std::vector<std::string> InteractingFragments() {
  std::vector<std::string> all = {";", "'", "12", "$", "%", "-", "+", " "};
  auto addPattern = [&all](std::string_view pattern) {
    for (std::size_t length = 1; length <= pattern.size(); ++length) {
      for (std::string_view piece : {pattern.substr(0, length), pattern.substr(pattern.size() - length)}) {
        if (std::find(all.begin(), all.end(), piece) == all.end()) all.emplace_back(piece);
      }
    }
  };
  addPattern(rules::kMarker);
  for (std::string_view removal : rules::kRemovals) addPattern(removal);
  for (const rules::Rename& rename : rules::kRenames) addPattern(rename.find);
  return all;
}

// Every line of up to three fragments, and a sample of four, on every path:
// as a short line, through the long-line path, and in a long line behind
// bytes no row acts on that shift it across the 16-byte chunks.
TEST(RewritePresetLine, EveryPathAgreesOnEveryLineOfFewFragments) {
  const std::vector<std::string> fragments = InteractingFragments();
  const std::size_t count = fragments.size();
  const std::string filler(77, 'x');
  std::string line, padded, out(filler.size() + 4 * rules::kLongestPattern + kRewriteGrowth, '\0');
  auto check = [&]() {
    const std::string expected = reference::Rewrite(line);
    ASSERT_EQ(RewritePresetLine(line), expected) << "line: " << line;
    ASSERT_EQ(out.substr(0, RewriteLongLine(line.data(), line.size(), out.data())), expected) << "line: " << line;
    // No pattern holds the filler's byte: only a marker line reads it.
    const std::size_t shift = line.size() % 16 + 65;
    padded.assign(filler, 0, shift);
    padded += line;
    ASSERT_EQ(out.substr(0, RewriteLongLine(padded.data(), padded.size(), out.data())),
              reference::Contains(line, std::string(rules::kMarker)) ? reference::Rewrite(padded)
                                                                    : filler.substr(0, shift) + expected)
        << "line: " << padded;
  };
  for (std::size_t i = 0; i < count * count * count + count * count + count; ++i) {
    line.clear();
    for (std::size_t rest = i, pieces = i < count ? 1 : i < count + count * count ? 2 : 3; pieces > 0; --pieces) {
      line += fragments[rest % count];
      rest /= count;
    }
    check();
    // An assertion inside the lambdas ends only the lambda: stop at the first
    // difference rather than report every later line.
    if (HasFatalFailure()) return;
  }
  std::mt19937_64 random(16);
  for (int i = 0; i < 300000; ++i) {
    line.clear();
    for (int piece = 0; piece < 4; ++piece) line += fragments[static_cast<std::size_t>(random() % count)];
    check();
    if (HasFatalFailure()) return;
  }
}

}  // namespace

namespace {

// A file of generated lines with every kind of terminator, runs of empty
// lines (some longer than a buffer), lines far longer than a vector, and
// lines longer than the 64-byte scan whose CR LF a 4096-byte refill splits.
std::string RandomFile(std::mt19937_64& random) {
  static const char* const terminators[] = {"\r\n", "\n", "\r", std::string_view("\0", 1).data()};
  std::uniform_int_distribution<int> kind(0, 19);
  std::string bytes;
  for (int lines = std::uniform_int_distribution<int>(0, 400)(random); lines > 0; --lines) {
    switch (kind(random)) {
      case 0: {  // empty lines: NULs, LFs or both, now and then past the 64-byte scan to a refill
        const std::size_t run = std::uniform_int_distribution<std::size_t>(1, random() % 8 == 0 ? 5000 : 150)(random);
        const int mix = kind(random);
        for (std::size_t i = 0; i < run; ++i) bytes += mix < 8 ? '\0' : mix < 16 ? '\n' : "\n"[random() & 1];
        continue;
      }
      case 1:
        for (int i = 0; i < 8; ++i) bytes += RandomLine(random);
        break;
      case 2:  // now and then, a line about as long as the channel's buffer
        for (std::size_t end = bytes.size() + static_cast<std::size_t>(random() % 8 == 0 ? 4000 + random() % 200 : 0); bytes.size() < end;) {
          bytes += RandomLine(random);
        }
        break;
      case 3:
        if (const std::size_t toEdge = 4095 - bytes.size() % 4096; toEdge >= 64 && random() % 8 == 0) {
          std::string line = RandomLine(random);
          line.resize(toEdge, 'x');
          bytes += line + "\r\n";
          continue;
        }
        [[fallthrough]];
      default:
        bytes += RandomLine(random);
    }
    int terminator = kind(random) % 4;
    bytes.append(terminators[terminator], terminator == 3 ? 1 : std::strlen(terminators[terminator]));
  }
  if (kind(random) < 10) bytes += RandomLine(random);  // a last line without terminator
  return bytes;
}

}  // namespace

// Whole files through the channels and the run's streaming loop, on every
// rewriting path, with reads cut short anywhere and now and then without a
// buffer, give what the plain framing and rewriting give.
class ConvertedFiles : public testing_support::HookedTest {};

TEST_F(ConvertedFiles, AgreeWithThePlainRulesOnEveryPath) {
  testing_support::ScratchFolder folder;
  const std::string path = folder / "generated.kvr";
  const std::string output = folder / "converted.kvr";
  std::mt19937_64 random(4);
  LineList lines;
  for (int file = 0; file < 1000; ++file) {
    const std::string bytes = RandomFile(random);
    const std::string expected = reference::Convert(bytes);
    testing_support::WriteFile(path, bytes);
    for (std::size_t cap : {0, 61, 4095}) {
      const bool unbuffered = cap == 61 && file % 50 == 0;  // as when its memory cannot be had
      SetChannelBufferAllocationFailsForTesting(unbuffered);
      platform::CapReads(cap);
      ASSERT_FALSE(ConvertPreset(path, output, &lines).has_value());
      ASSERT_EQ(testing_support::ReadFile(output), expected)
          << "file " << file << ", reads of at most " << cap << (unbuffered ? ", unbuffered" : "");
    }
  }
  ReleaseLineList(&lines);
}
