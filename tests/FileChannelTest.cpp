// The channel's promises, held against whichever platform backend is linked.
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "tests/FileChannelTestSupport.h"

namespace {

using namespace testing_support;

INSTANTIATE_TEST_SUITE_P(BufferedAndUnbuffered, FileChannelTest, ::testing::Values(false, true),
                         [](const auto& param) { return param.param ? "Unbuffered" : "Buffered"; });

TEST_P(FileChannelTest, EveryTerminatorEndsALine) {
  using Lines = std::vector<std::string>;
  const std::string longLine(5000, 'q');
  const std::string tabbed = std::string(500, 'q') + "\t" + std::string(499, 'q');
  Lines afterHole(8192, "");
  afterHole.push_back("a");
  struct Row {
    std::string bytes;
    Lines lines;
    std::uintmax_t hole = 0;  // NULs the file begins with, left unwritten where the file system allows
  } rows[] = {
      {"", {}},
      {std::string("a\r\nb"), {"a", "b"}},
      {"a\n", {"a"}},
      {"a\n\n", {"a", ""}},
      {"a\rb", {"a", "b"}},
      {"a\r", {"a"}},
      {"a\r\r\nb", {"a", "", "b"}},
      {std::string("a\0b\n", 4), {"a", "b"}},
      {"a\n\rb", {"a", "", "b"}},
      {std::string("a\0\nb", 4), {"a", "", "b"}},
      {std::string("\0", 1), {""}},
      {"\r\n", {""}},
      {"\n\r", {"", ""}},
      {longLine, {longLine}},
      // A terminator past the 64-byte scan, in the back half of a window
      // that bytes follow, behind a tab (a byte below 14 that ends no line):
      // the look that passes over windows must see it.
      {tabbed + "\r" + std::string(100, 'r'), {tabbed, std::string(100, 'r')}},
      {tabbed + "\n" + std::string(100, 'r'), {tabbed, std::string(100, 'r')}},
      {tabbed + std::string("\0", 1) + std::string(100, 'r'), {tabbed, std::string(100, 'r')}},
      {"a", afterHole, 8192},
  };
  for (const Row& row : rows) {
    std::string path = folder_ / "in.kvr";
    WriteFile(path, "");
    std::filesystem::resize_file(path, row.hole);
    std::ofstream(path, std::ios::binary | std::ios::app) << row.bytes;
    EXPECT_EQ(ReadAllLines(0, path), row.lines) << "bytes: " << row.bytes.substr(0, 20);
  }
}

// Terminators placed around the 4096-byte refills: a CR LF split across two
// refills, a CR as the last byte of a block or of the file, lines of 4095,
// 4096 and 4097 bytes and lines longer than the buffer.
TEST_P(FileChannelTest, FramingMatchesByteAtATimeAroundBlockEdges) {
  const std::string terminators[] = {"\r\n", "\n", "\r", std::string("\0", 1), "\r\r", "\n\r"};
  std::string path = folder_ / "edges.kvr";
  std::vector<std::string> contents;
  for (std::size_t length : {4094u, 4095u, 4096u, 4097u, 8191u, 8192u, 12289u}) {
    for (const std::string& term : terminators) {
      std::string line(length, 'x');
      contents.push_back(line + term + "next" + term);
      contents.push_back(line + term);
      contents.push_back(std::string(length - 1, 'y') + term + "z");
    }
  }
  std::mt19937 random(4096);
  const char alphabet[] = {'a', 'b', '\r', '\n', '\0'};
  for (int i = 0; i < 40; ++i) {
    std::string bytes(std::uniform_int_distribution<int>(4000, 9000)(random), 'a');
    for (char& c : bytes) c = alphabet[std::uniform_int_distribution<int>(0, 4)(random)];
    contents.push_back(bytes);
  }
  for (const std::string& bytes : contents) {
    WriteFile(path, bytes);
    ASSERT_EQ(ReadAllLines(0, path), FrameByBytes(bytes)) << "size " << bytes.size();
  }
}

TEST_P(FileChannelTest, ShortReadsFrameTheSameLines) {
  std::mt19937 random(77);
  const char alphabet[] = {'a', '\r', '\n', '\0', 'b'};
  std::string path = folder_ / "short.kvr";
  for (std::size_t cap : {1u, 2u, 3u, 100u, 4095u}) {
    platform::CapReads(cap);
    for (int i = 0; i < 10; ++i) {
      std::string bytes(std::uniform_int_distribution<int>(0, 9000)(random), 'a');
      for (char& c : bytes) c = alphabet[std::uniform_int_distribution<int>(0, 4)(random)];
      WriteFile(path, bytes);
      ASSERT_EQ(ReadAllLines(0, path), FrameByBytes(bytes)) << "reads capped at " << cap;
    }
  }
}

TEST_P(FileChannelTest, TheEndOnceMetStays) {
  std::string path = folder_ / "growing.kvr";
  WriteFile(path, "glob");
  ASSERT_TRUE(OpenForReading(0, path.c_str()));
  std::string_view line;
  ASSERT_TRUE(ReadLine(0, &line));
  EXPECT_EQ(line, "glob");
  // The file grows after its end was met: the line read stays whole, and
  // the close tells that the file changed. (Windows keeps other programs
  // from writing to a file being read: there it cannot grow.)
  bool grew = static_cast<bool>(std::ofstream(path, std::ios::binary | std::ios::app) << "al.SizeY=9;\n");
  EXPECT_TRUE(AtEnd(0));
  platform::ErrorCode error = 0;
  EXPECT_EQ(CloseChannel(0, &error), !grew);
  EXPECT_EQ(error, grew ? platform::kChanged : 0);
  // Rewritten to the same size: its change time tells.
  WriteFile(path, "glob");
  ASSERT_TRUE(OpenForReading(0, path.c_str()));
  ASSERT_TRUE(ReadLine(0, &line));
  const auto written = std::filesystem::last_write_time(path);
  bool rewritten = false;
  EXPECT_TRUE(WaitUntil([&] {
    rewritten = static_cast<bool>(std::ofstream(path, std::ios::binary) << "GLOB");
    return !rewritten || std::filesystem::last_write_time(path) != written;
  }));
  EXPECT_TRUE(AtEnd(0));
  // The close failing as well: the change, met first, is what is told.
  platform::PlanFault(platform::Call::Close, 1, 5);
  error = 0;
  EXPECT_FALSE(CloseChannel(0, &error));
  EXPECT_EQ(error, rewritten ? platform::kChanged : 5);
  platform::ClearFaults();
}

TEST_P(FileChannelTest, WrittenLinesEndInCrLf) {
  std::string path = folder_ / "out.kvr";
  ASSERT_TRUE(CreateForWriting(0, path.c_str()));
  EXPECT_EQ(WriteLine(0, "a"), 3);
  EXPECT_EQ(WriteLine(0, ""), 2);
  EXPECT_EQ(WriteLine(0, "b"), 3);
  EXPECT_EQ(WriteBytes(FindChannel(0), "lost", 0), 0);
  EXPECT_TRUE(CloseChannel(0));
  EXPECT_EQ(ReadFile(path), "a\r\n\r\nb\r\n");
}

TEST_P(FileChannelTest, AnExistingFileIsReplacedOnlyWhenTheNewOneIsComplete) {
  std::string path = folder_ / "old.kvr";
  WriteFile(path, std::string(10000, 'o'));
  ASSERT_TRUE(CreateForWriting(0, path.c_str()));
  WriteLine(0, std::string(5000, 'n'));
  EXPECT_EQ(ReadFile(path), std::string(10000, 'o'));  // untouched while written
  EXPECT_TRUE(CloseChannel(0));
  EXPECT_EQ(ReadFile(path), std::string(5000, 'n') + "\r\n");

  ASSERT_TRUE(CreateForWriting(0, path.c_str()));
  WriteLine(0, "abandoned");
  AbandonChannel(0);
  EXPECT_EQ(ReadFile(path), std::string(5000, 'n') + "\r\n");
  ExpectNothingLeftBehind(folder_, 1);

  // A file being read is closed as it stands.
  ASSERT_TRUE(OpenForReading(1, path.c_str()));
  AbandonChannel(1);
  EXPECT_EQ(FindChannel(1), nullptr);
  EXPECT_EQ(ReadFile(path), std::string(5000, 'n') + "\r\n");
}

// Bytes asked for in pieces smaller than what the buffer holds, across its
// refills, or larger than the whole buffer come out in the file's order.
TEST_P(FileChannelTest, ReadBytesHandsOutAnyPieceInOrder) {
  std::string bytes(10000, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7 % 251);
  const std::string path = folder_ / "pieces.kvr";
  WriteFile(path, bytes);
  for (std::int64_t piece : {1, 7, 4095, 4096, 4097, 20000}) {
    ASSERT_TRUE(OpenForReading(0, path.c_str()));
    std::vector<char> chunk(static_cast<std::size_t>(piece));
    std::string read;
    EXPECT_EQ(ReadBytes(FindChannel(0), chunk.data(), 0), 0);  // takes no byte
    for (std::int64_t got; (got = ReadBytes(FindChannel(0), chunk.data(), piece)) > 0;) {
      read.append(chunk.data(), static_cast<std::size_t>(got));
    }
    EXPECT_EQ(read, bytes) << "pieces of " << piece;
    EXPECT_TRUE(CloseChannel(0));
  }
}

// A number that is not open reads an empty last line, takes no byte, and
// is left alone by a close or an abandon.
TEST_F(ChannelFolder, ANumberNotOpenIsLeftAlone) {
  for (int number : {7, -1}) {
    std::string_view line = "stale";
    EXPECT_TRUE(ReadLine(number, &line));
    EXPECT_TRUE(line.empty());
    EXPECT_TRUE(AtEnd(number));
    EXPECT_EQ(WriteLine(number, "lost"), 0);
    AbandonChannel(number);
    EXPECT_TRUE(CloseChannel(number));
  }
  // A negative number is never opened.
  WriteFile(folder_ / "in.kvr", "a\n");
  EXPECT_FALSE(OpenForReading(-1, (folder_ / "in.kvr").c_str()));
  EXPECT_FALSE(CreateForWriting(-1, (folder_ / "out.kvr").c_str()));
  ExpectNothingLeftBehind(folder_, 1);
}

std::vector<std::size_t>* observedWrites = nullptr;

void RecordWrite(std::size_t size) { observedWrites->push_back(size); }

TEST_F(ChannelFolder, BufferedBlocksHoldAtMost4095Bytes) {
  std::vector<std::size_t> writes;
  observedWrites = &writes;
  platform::ObserveWrites(RecordWrite);
  std::string path = folder_ / "blocks.kvr";
  ASSERT_TRUE(CreateForWriting(0, path.c_str()));
  WriteLine(0, "x");  // 3 bytes pending, 4093 free
  EXPECT_TRUE(writes.empty());
  // Exactly the free space is not buffered: the 3 bytes go out first.
  std::string fits(4093, 'f');
  EXPECT_EQ(WriteBytes(FindChannel(0), fits.data(), 4093), 4093);
  EXPECT_EQ(writes, std::vector<std::size_t>{3});
  // A line of 4096 bytes or more is written straight after a flush; its CR
  // LF waits in the buffer.
  std::string big(4096, 'B');
  EXPECT_EQ(WriteLine(0, big), 4098);
  EXPECT_EQ(writes, (std::vector<std::size_t>{3, 4093, 4096}));
  EXPECT_TRUE(CloseChannel(0));
  EXPECT_EQ(writes, (std::vector<std::size_t>{3, 4093, 4096, 2}));
  EXPECT_EQ(ReadFile(path), "x\r\n" + fits + big + "\r\n");
}

TEST_F(ChannelFolder, UnbufferedWritesGoStraightToTheFile) {
  std::vector<std::size_t> writes;
  observedWrites = &writes;
  platform::ObserveWrites(RecordWrite);
  SetChannelBufferAllocationFailsForTesting(true);
  ASSERT_TRUE(CreateForWriting(0, (folder_ / "direct.kvr").c_str()));
  WriteLine(0, "x");
  EXPECT_EQ(writes, (std::vector<std::size_t>{1, 2}));
  EXPECT_TRUE(CloseChannel(0));
}

TEST_P(FileChannelTest, ReopeningANumberClosesAndFlushesItsChannel) {
  std::string first = folder_ / "first.kvr";
  ASSERT_TRUE(CreateForWriting(40, first.c_str()));  // beyond the first 16 slots
  WriteLine(40, "kept");
  EXPECT_FALSE(OpenForReading(40, (folder_ / "missing.kvr").c_str()));
  EXPECT_EQ(FindChannel(40), nullptr);
  EXPECT_EQ(ReadFile(first), "kept\r\n");
  EXPECT_EQ(ReadAllLines(40, first), std::vector<std::string>{"kept"});
  // A channel open while the table grows reads on.
  WriteFile(first, "one\ntwo\n");
  std::string_view line;
  ASSERT_TRUE(OpenForReading(1, first.c_str()));
  ASSERT_TRUE(ReadLine(1, &line));
  ASSERT_TRUE(OpenForReading(100, first.c_str()));
  ASSERT_TRUE(ReadLine(1, &line));
  EXPECT_EQ(line, "two");
  EXPECT_TRUE(CloseChannel(1));
  EXPECT_TRUE(CloseChannel(100));
}

TEST_P(FileChannelTest, NeverReplacesTheFileItIsMadeFrom) {
  std::string path = folder_ / "keep.kvr";
  std::string hardLink = folder_ / "hard.kvr";
  std::string other = folder_ / "other.kvr";
  WriteFile(path, "precious\n");
  WriteFile(other, "old\n");
  std::filesystem::create_hard_link(path, hardLink);
  ASSERT_TRUE(OpenForReading(5, path.c_str()));
  ExpectRefusedAsTheSource(0, hardLink, 5);
  ExpectRefusedAsTheSource(0, path, 5);
  EXPECT_EQ(ReadFile(path), "precious\n");
  ASSERT_TRUE(CreateForWriting(0, other.c_str(), 5));  // any other file is fine
  EXPECT_TRUE(CloseChannel(0));
  EXPECT_EQ(ReadFile(other), "");
  CloseChannel(5);
}

}  // namespace

namespace {

using namespace testing_support;

// Writes `lines` under the observer, as blocks of lines split before line
// `split` (as the run hands them over), or line by line; returns the file's
// bytes.
std::string WriteObserved(const std::string& path, const std::vector<std::string>& lines, bool asBlock,
                          std::vector<std::size_t>* writes, std::size_t split = 0) {
  // A new file each time: over an older one, the bytes would be held back
  // for the comparison with it and written at once.
  std::filesystem::remove(path);
  observedWrites = writes;
  platform::ObserveWrites(RecordWrite);
  EXPECT_TRUE(CreateForWriting(0, path.c_str()));
  if (asBlock) {
    std::string blocks[2];
    for (std::size_t i = 0; i < lines.size(); ++i) blocks[i < split ? 0 : 1] += lines[i] + "\r\n";
    for (const std::string& block : blocks) WriteLineBlock(0, block.data(), block.size());
  } else {
    for (const std::string& line : lines) WriteLine(0, line);
  }
  EXPECT_TRUE(CloseChannel(0));
  platform::ObserveWrites(nullptr);
  return ReadFile(path);
}

// Blocks of lines give the bytes of line by line. Buffered, they go out in
// whole pages of the file but for the last write, two writes at most per
// block and one at the close; unbuffered, piece by piece as lines do.
TEST_P(FileChannelTest, ABlockOfLinesGivesTheBytesOfLineByLineInWholePages) {
  const auto asLinesOrInPages = [this](const std::vector<std::size_t>& blockWrites,
                                       const std::vector<std::size_t>& lineWrites) {
    if (GetParam()) return blockWrites == lineWrites;
    std::size_t at = 0;
    for (std::size_t i = 0; i + 1 < blockWrites.size(); ++i) {
      if ((at += blockWrites[i]) % 4096 != 0) return false;
    }
    return blockWrites.size() <= 5;
  };
  // A second block that fills exactly what the first one left free.
  const std::vector<std::string> filling = {std::string(10, 'f'), std::string(4096 - 12 - 2, 'g')};
  std::vector<std::size_t> lineWrites, blockWrites;
  ASSERT_EQ(WriteObserved(folder_ / "block.kvr", filling, true, &blockWrites, 1),
            WriteObserved(folder_ / "line.kvr", filling, false, &lineWrites));
  ASSERT_TRUE(asLinesOrInPages(blockWrites, lineWrites));
  std::mt19937 random(4095);
  for (int round = 0; round < 300; ++round) {
    std::vector<std::string> lines;
    int count = std::uniform_int_distribution<int>(0, 400)(random);
    for (int i = 0; i < count; ++i) {
      // Mostly short lines, now and then a long one, or one around or
      // beyond the buffer.
      int kind = std::uniform_int_distribution<int>(0, 40)(random);
      std::size_t length = kind == 0   ? std::uniform_int_distribution<std::size_t>(4090, 4100)(random)
                           : kind == 1 ? std::uniform_int_distribution<std::size_t>(4101, 9000)(random)
                           : kind == 2 ? std::uniform_int_distribution<std::size_t>(61, 3000)(random)
                                       : std::uniform_int_distribution<std::size_t>(0, 60)(random);
      lines.emplace_back(length, static_cast<char>('a' + i % 26));
    }
    lineWrites.clear();
    blockWrites.clear();
    std::string byLine = WriteObserved(folder_ / "line.kvr", lines, false, &lineWrites);
    std::string byBlock = WriteObserved(folder_ / "block.kvr", lines, true, &blockWrites,
                                        std::uniform_int_distribution<std::size_t>(0, lines.size())(random));
    ASSERT_EQ(byBlock, byLine);
    ASSERT_TRUE(asLinesOrInPages(blockWrites, lineWrites)) << "round " << round;
  }
}

}  // namespace
