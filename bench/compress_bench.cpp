// SPDX-License-Identifier: GPL-3.0-or-later
// Store and expand of 256 MiB of JPEG-like (incompressible) data, the files
// on the local disk and in the page cache, one core.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "compress/zlibtool.h"

namespace {

constexpr std::size_t kBytes = 256u << 20;

std::string Dir() {
  const char* dir = std::getenv("FH_BENCH_DIR");
  const std::string path = std::string(dir != nullptr ? dir : "/var/tmp") + "/fernhollow-zstd";
  std::filesystem::create_directories(path);
  return path;
}

const std::string& Photo() {
  static const std::string path = [] {
    const std::string file = Dir() + "/photo.JPG";
    std::vector<std::uint8_t> block(1 << 20);
    std::mt19937_64 random(5);
    std::ofstream out(file, std::ios::binary);
    for (std::size_t done = 0; done < kBytes; done += block.size()) {
      for (std::size_t i = 0; i < block.size(); i += 8) {
        const std::uint64_t word = random();
        std::memcpy(block.data() + i, &word, 8);
      }
      if (done == 0) block[0] = 0xFF, block[1] = 0xD8, block[2] = 0xFF, block[3] = 0xE1;
      out.write(reinterpret_cast<const char*>(block.data()),
                static_cast<std::streamsize>(block.size()));
    }
    return file;
  }();
  return path;
}

void BM_Compress(benchmark::State& state) {
  TZlibTool zlib;
  for (auto _ : state) {
    // A store writes a new file; freeing an old one of 256 MiB is not its cost.
    state.PauseTiming();
    std::filesystem::remove(Photo() + ".rdf");
    state.ResumeTiming();
    zlib.InputFile = Photo();
    zlib.OutputFile = Photo() + ".rdf";
    zlib.Compress();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBytes));
}

void BM_Decompress(benchmark::State& state) {
  TZlibTool zlib;
  zlib.InputFile = Photo();
  zlib.OutputFile = Photo() + ".rdf";
  zlib.Compress();
  for (auto _ : state) {
    state.PauseTiming();
    std::filesystem::remove(Dir() + "/restored.JPG");
    state.ResumeTiming();
    zlib.InputFile = Photo() + ".rdf";
    zlib.OutputFile = Dir() + "/restored.JPG";
    zlib.Decompress();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBytes));
}

BENCHMARK(BM_Compress)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();
BENCHMARK(BM_Decompress)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
