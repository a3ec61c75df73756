// SPDX-License-Identifier: GPL-3.0-or-later
// ReadSectors over a 1 GiB card image in the page cache, in the scan's runs
// of 4000 sectors, against dd reading the same file with 2 MB blocks.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "diskio/ldiskio.h"
#include "diskio/linuxplatform.h"

namespace {

constexpr std::uint64_t kImageBytes = 1ull << 30;
constexpr std::uint16_t kRunSectors = 4000;

std::string ImagePath() {
  const char* dir = std::getenv("FH_BENCH_DIR");
  return std::string(dir != nullptr ? dir : "/var/tmp") + "/fernhollow-read-bench.img";
}

void MakeImage(const std::string& path) {
  if (std::filesystem::exists(path) && std::filesystem::file_size(path) == kImageBytes) return;
  std::vector<std::uint8_t> block(2 << 20);
  std::uint64_t state = 88172645463325252ull;
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) std::exit(1);
  for (std::uint64_t done = 0; done < kImageBytes; done += block.size()) {
    for (auto& b : block) {
      state ^= state << 13, state ^= state >> 7, state ^= state << 17;
      b = static_cast<std::uint8_t>(state);
    }
    if (::write(fd, block.data(), block.size()) != static_cast<ssize_t>(block.size())) std::exit(1);
  }
  ::close(fd);
}

// One pass over the image as the scan reads it; returns the bytes read.
std::uint64_t ReadWholeImage(std::vector<std::uint8_t>& buffer) {
  const std::uint32_t total = static_cast<std::uint32_t>(kImageBytes / 512);
  for (std::uint32_t sector = 0; sector < total;) {
    const auto count =
        static_cast<std::uint16_t>(std::min<std::uint32_t>(kRunSectors, total - sector));
    if (!ReadSectors(3, sector, count, buffer.data())) std::exit(2);
    sector += count;
  }
  return kImageBytes;
}

void BM_ReadSectors(benchmark::State& state) {
  std::vector<std::uint8_t> buffer(2048000);
  for (auto _ : state) benchmark::DoNotOptimize(ReadWholeImage(buffer));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kImageBytes));
}
BENCHMARK(BM_ReadSectors)->Unit(benchmark::kMillisecond)->Iterations(5);

double Seconds(const auto& work) {
  const auto start = std::chrono::steady_clock::now();
  work();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  const std::string image = ImagePath();
  MakeImage(image);
  static LinuxPlatform platform({image}, LinuxPlatform::TSourcesOnly{});  // the image alone, as C:
  InitDiskAccess(platform);
  const std::string dd = "dd if=" + image + " of=/dev/null bs=2M status=none";
  if (std::system(dd.c_str()) != 0) return 1;  // into the page cache

  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();

  // Side by side in one run: the best of three passes each.
  std::vector<std::uint8_t> buffer(2048000);
  double readBest = 1e9, ddBest = 1e9;
  for (int pass = 0; pass < 3; ++pass) {
    readBest = std::min(readBest, Seconds([&] { ReadWholeImage(buffer); }));
    ddBest = std::min(ddBest, Seconds([&] {
                        if (std::system(dd.c_str()) != 0) std::exit(1);
                      }));
  }
  const double gb = static_cast<double>(kImageBytes) / 1e9;
  std::printf("ReadSectors %.2f GB/s, dd bs=2M %.2f GB/s, ratio %.2f\n", gb / readBest, gb / ddBest,
              ddBest / readBest);
  DoneDiskAccess();
  return 0;
}
