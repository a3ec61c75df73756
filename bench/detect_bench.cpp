// SPDX-License-Identifier: GPL-3.0-or-later
// Header detection over 64 MiB of random sectors: the per-sector cost of the
// scan's detector, with every type searched for and with JPEG only.
#include <benchmark/benchmark.h>

#include <sys/mman.h>

#include <cstdlib>
#include <new>
#include <random>
#include <string>
#include <vector>

#include "engine/filedet.h"
#include "engine/scan.h"

namespace {

constexpr std::size_t kSectorSize = 512;
constexpr std::size_t kVolumeBytes = 64u << 20;

// Huge pages where the kernel offers them: the detector touches one cache line
// per 4 KiB page eight times, and TLB misses would dominate the figure.
struct HugeAllocation {
  std::uint8_t* bytes;
  HugeAllocation() {
    void* memory = std::aligned_alloc(2u << 20, kVolumeBytes);
    if (memory == nullptr) throw std::bad_alloc();
    madvise(memory, kVolumeBytes, MADV_HUGEPAGE);
    bytes = static_cast<std::uint8_t*>(memory);
  }
  std::size_t size() const { return kVolumeBytes; }
  const std::uint8_t* data() const { return bytes; }
  std::uint8_t& operator[](std::size_t i) { return bytes[i]; }
};

const HugeAllocation& RandomVolume() {
  static const HugeAllocation volume = [] {
    HugeAllocation bytes;
    std::mt19937_64 random(20261209);
    for (std::size_t i = 0; i < bytes.size(); i += 8) {
      const std::uint64_t word = random();
      for (int b = 0; b < 8; ++b) bytes[i + b] = static_cast<std::uint8_t>(word >> (8 * b));
    }
    return bytes;
  }();
  return volume;
}

// bytes: how much of the volume one pass covers. The whole 64 MiB comes from
// memory; the scan's own 2,048,000-byte buffer, just filled by the read, sits
// in the cache.
void Detect(benchmark::State& state, const TSearchTypes& types, std::size_t bytes) {
  const HugeAllocation& volume = RandomVolume();
  std::string tag;
  std::size_t found = 0;
  for (auto _ : state) {
    for (std::size_t at = 0; at < bytes; at += kSectorSize) {
      found += DetectFileType(types, volume.data() + at, kSectorSize, tag) ? 1 : 0;
    }
    benchmark::DoNotOptimize(found);
  }
  const auto sectors = static_cast<double>(bytes / kSectorSize);
  state.counters["sectors/s"] = benchmark::Counter(
      sectors * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
  state.counters["found"] = static_cast<double>(found) / static_cast<double>(state.iterations());
}

constexpr TSearchTypes kAllTypes = AllSearchTypes();

void BM_DetectAllTypes(benchmark::State& state) {
  Detect(state, kAllTypes, kVolumeBytes);
}
void BM_DetectJpegOnly(benchmark::State& state) {
  Detect(state, TSearchTypes{}, kVolumeBytes);
}
void BM_DetectAllTypesInScanBuffer(benchmark::State& state) {
  Detect(state, kAllTypes, kScanBufferSize);
}
void BM_DetectJpegOnlyInScanBuffer(benchmark::State& state) {
  Detect(state, TSearchTypes{}, kScanBufferSize);
}

BENCHMARK(BM_DetectAllTypes)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DetectJpegOnly)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DetectAllTypesInScanBuffer)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_DetectJpegOnlyInScanBuffer)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
