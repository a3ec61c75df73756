// SPDX-License-Identifier: GPL-3.0-or-later
// The whole scan of a card image through the headless engine: read, detect,
// write, store and delete, with the default settings of a selected drive.
// Prints seconds, MB/s and peak memory, one line.
//
//   scan_bench IMAGE DESTINATION [--all-types] [--check]
//
// --all-types ticks all nine types (the default is the window's: JPG only);
// --check ticks "Check headers and cut files at their end".
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>

#include "diskio/ldiskio.h"
#include "diskio/linuxplatform.h"
#include "engine/scan.h"

namespace {

class TQuietHost : public TScanHost {
 public:
  TDriveGeometry geometry{};
  std::string destination;
  TSearchTypes types;
  bool check = false;
  TZlibTool zlib;
  int stored = 0;

  std::uint8_t DriveNumber() override { return 3; }
  const TDriveGeometry& DriveGeometry() override { return geometry; }
  std::string FilenamePrefix() override { return "recovered"; }
  int RetryCount() override { return 1; }
  // As the drive panel sets it: a hundredth of the volume, within 1..4000.
  int SectorsAtOnce() override {
    return static_cast<int>(std::clamp<std::uint32_t>(geometry.TotalSectors / 100, 1,
                                                      kScanBufferSize / geometry.BytesPerSector));
  }
  std::string DestinationText() override { return destination; }
  const TSearchTypes& SearchTypes() override { return types; }
  bool CheckFiles() override { return check; }
  bool CancelRequested() override { return false; }
  void ClearCancelRequest() override {}
  TZlibTool& Compressor() override { return zlib; }
  void SearchStarting() override {}
  void ScanningStarted() override {}
  void Pump() override {}
  void SectorReached(std::uint32_t, std::uint32_t) override {}
  void FoundCountChanged(std::int32_t) override {}
  void ReadErrorsChanged(std::int32_t) override {}
  bool ConfirmOverwrite(const std::string&) override { return true; }
  void Warn(const std::string& text) override { std::fprintf(stderr, "%s\n", text.c_str()); }
  void FileStored(const std::string&, const std::string&) override { ++stored; }
  void ScanningEnded() override {}
  void SearchEnded(const TScanOutcome&) override {}
};

}  // namespace

int main(int argc, char** argv) {
  bool allTypes = false, check = false, usable = argc >= 3;
  for (int i = 3; usable && i < argc; ++i) {
    const std::string flag = argv[i];
    allTypes |= flag == "--all-types";
    check |= flag == "--check";
    usable = flag == "--all-types" || flag == "--check";
  }
  if (!usable) {
    std::fprintf(stderr, "usage: scan_bench IMAGE DESTINATION [--all-types] [--check]\n");
    return 1;
  }
  static LinuxPlatform platform({argv[1]}, LinuxPlatform::TSourcesOnly{});
  InitDiskAccess(platform);
  TQuietHost host;
  if (!GetDriveGeometry(3, host.geometry)) {
    std::fprintf(stderr, "scan_bench: cannot read %s\n", argv[1]);
    return 1;
  }
  host.destination = argv[2];
  if (allTypes) host.types = AllSearchTypes();
  host.check = check;
  std::filesystem::create_directories(host.destination);

  const auto start = std::chrono::steady_clock::now();
  RunScan(host);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  struct rusage usage {};
  getrusage(RUSAGE_SELF, &usage);
  const double megabytes = double(host.geometry.TotalSectors) * host.geometry.BytesPerSector / 1e6;
  std::printf("engine: %d files, %.2f s, %.0f MB/s, peak %.1f MB\n", host.stored, seconds,
              megabytes / seconds, usage.ru_maxrss / 1024.0);
  DoneDiskAccess();
  return 0;
}
