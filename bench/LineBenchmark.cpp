// Throughput of the line rewriting and of the line framing, beside the
// plain implementations that the tests keep as the reference ("before").
#include <benchmark/benchmark.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "runtime/FileChannel.h"
#include "runtime/FileChannelBulk.h"
#include "tests/ReferenceRewrite.h"
#include "tools/BrushPreset_Convertion.h"
#include "tools/rewriting/PresetLine.h"

namespace {

// Lines as legacy presets hold them.
const std::vector<std::string>& TypicalLines() {
  static const std::vector<std::string> lines = [] {
    std::vector<std::string> result;
    std::mt19937 random(5);
    const char* keys[] = {"SizeX", "SizeY", "Rotate", "Scatter", "mixing", "spacing", "hardness", "flow"};
    const char* names[] = {"round", "soft", "chalk", "ink", "wet edge"};
    for (int i = 0; i < 4096; ++i) {
      std::string name = names[random() % 5];
      switch (random() % 6) {
        case 0:
          result.push_back("global.brushname='" + name + ".kvr';");
          break;
        case 1:
          result.push_back("global.dirbrush='" + name + "';");
          break;
        case 2:
          result.push_back("global.Transp=" + std::to_string(random() % 101) + ";");
          break;
        case 3:
          result.push_back("global.texture='" + name + ".kvr';");
          break;
        default:
          result.push_back(std::string("global.") + keys[random() % 8] + "=" + std::to_string(random() % 360) + ";");
      }
    }
    return result;
  }();
  return lines;
}

std::size_t TotalBytes(const std::vector<std::string>& lines) {
  std::size_t bytes = 0;
  for (const std::string& line : lines) bytes += line.size() + 1;
  return bytes;
}

void BM_RewritePresetLine(benchmark::State& state) {
  const auto& lines = TypicalLines();
  std::string out(256, '\0');
  for (auto _ : state) {
    for (const std::string& line : lines) {
      benchmark::DoNotOptimize(RewritePresetLineInto(line, out.data()));
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * TotalBytes(lines)));
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * lines.size()));
}
BENCHMARK(BM_RewritePresetLine);

void BM_RewritePresetLineReference(benchmark::State& state) {
  const auto& lines = TypicalLines();
  for (auto _ : state) {
    for (const std::string& line : lines) benchmark::DoNotOptimize(reference::Rewrite(line));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * TotalBytes(lines)));
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * lines.size()));
}
BENCHMARK(BM_RewritePresetLineReference);

// A 4 MiB file of preset lines with mixed terminators, read back in full.
const std::string& FramingFile() {
  static const std::string path = [] {
    std::string file = "/tmp/brush_framing_bench." + std::to_string(getpid()) + ".kvr";
    std::string bytes;
    const char* endings[] = {"\r\n", "\n", "\r", "\r\n"};
    std::size_t i = 0;
    while (bytes.size() < (4u << 20)) {
      for (const std::string& line : TypicalLines()) bytes += line + endings[i++ % 4];
    }
    FILE* out = std::fopen(file.c_str(), "wb");
    std::fwrite(bytes.data(), 1, bytes.size(), out);
    std::fclose(out);
    return file;
  }();
  return path;
}

void BM_FramingLineByLine(benchmark::State& state) {
  const std::string& path = FramingFile();
  std::size_t bytes = 0;
  for (auto _ : state) {
    OpenForReading(0, path.c_str());
    while (!AtEnd(0)) {
      std::string_view line;
      ReadLine(0, &line);
      bytes += line.size() + 1;
    }
    CloseChannel(0);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
}
BENCHMARK(BM_FramingLineByLine);

void BM_FramingBufferedLines(benchmark::State& state) {
  const std::string& path = FramingFile();
  std::size_t bytes = 0;
  for (auto _ : state) {
    OpenForReading(0, path.c_str());
    FileChannel* channel = FindChannel(0);
    for (;;) {
      TakeBufferedLines(channel, [&](std::string_view line, std::int32_t times) {
        bytes += (line.size() + 1) * static_cast<std::size_t>(times);
        return true;
      });
      if (AtEnd(0)) break;
      std::string_view line;
      ReadLine(0, &line);
      bytes += line.size() + 1;
    }
    CloseChannel(0);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
}
BENCHMARK(BM_FramingBufferedLines);

// The run's streaming loop on the same file: framing, rewriting and
// writing together.
void BM_ConvertPreset(benchmark::State& state) {
  const std::string& path = FramingFile();
  LineList lines;
  struct stat file;
  stat(path.c_str(), &file);
  const std::string output = path + ".converted";
  for (auto _ : state) {
    benchmark::DoNotOptimize(ConvertPreset(path, output, &lines).has_value());
  }
  std::remove(output.c_str());
  ReleaseLineList(&lines);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(file.st_size));
}
BENCHMARK(BM_ConvertPreset);

void BM_FramingReference(benchmark::State& state) {
  const std::string& path = FramingFile();
  FILE* in = std::fopen(path.c_str(), "rb");
  std::string content;
  char chunk[65536];
  for (std::size_t got; (got = std::fread(chunk, 1, sizeof chunk, in)) > 0;) content.append(chunk, got);
  std::fclose(in);
  for (auto _ : state) benchmark::DoNotOptimize(reference::Frame(content));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * content.size()));
}
BENCHMARK(BM_FramingReference);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::remove(FramingFile().c_str());
  return 0;
}
