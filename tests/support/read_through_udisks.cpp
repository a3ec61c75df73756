// SPDX-License-Identifier: GPL-3.0-or-later
// Reads a whole device the way the window does for a user who may not open
// it: the device's drive from the drive list, its geometry from sysfs, read
// access asked for through udisks2 (as at the pick of the drive), then
// ReadSectors to the end. The bytes go to standard output, what happens to
// standard error.
//
//   read_through_udisks BUS_ADDRESS|--system DEVICE > copy
//
// Exit status 0 when every sector was read.
#include <fcntl.h>
#include <unistd.h>

#include <QCoreApplication>
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "diskio/ldiskio.h"
#include "diskio/linuxplatform.h"
#include "ui/udisksopener.h"

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  if (argc != 3) {
    std::fprintf(stderr, "usage: read_through_udisks BUS_ADDRESS|--system DEVICE > copy\n");
    return 2;
  }
  const std::string bus = argv[1];
  const std::string device = argv[2];
  auto udisks = bus == "--system" ? std::make_unique<TUdisksOpener>()
                                  : std::make_unique<TUdisksOpener>(QString::fromStdString(bus));
  udisks->SetStatusDisplay([](const QString& text) {
    if (!text.isEmpty()) std::fprintf(stderr, "status: %s\n", qPrintable(text));
  });

  LinuxPlatform platform({});
  platform.SetDeviceOpener(
      [&udisks](const std::string& path, std::string& why) { return udisks->Open(path, why); });
  InitDiskAccess(platform);

  char letter = 0;
  for (const std::string& root : platform.LogicalDriveRoots()) {
    if (platform.Describe(root[0]).path == device) {
      letter = static_cast<char>(std::toupper(static_cast<unsigned char>(root[0])));
    }
  }
  if (letter == 0) {
    std::fprintf(stderr, "%s is not among the drives\n", device.c_str());
    return 3;
  }
  const int direct = ::open(device.c_str(), O_RDONLY | O_CLOEXEC);
  std::fprintf(stderr, "uid %u opening %s directly: %s\n", static_cast<unsigned>(::getuid()),
               device.c_str(), direct >= 0 ? "allowed" : std::strerror(errno));
  if (direct >= 0) ::close(direct);

  const auto drive = static_cast<std::uint8_t>(letter - 64);
  TDriveGeometry geometry{};
  if (!GetDriveGeometry(drive, geometry)) {
    std::fprintf(stderr, "%c: not ready\n", letter);
    return 4;
  }
  std::fprintf(stderr, "%c: %u sectors of %u bytes\n", letter, geometry.TotalSectors,
               geometry.BytesPerSector);
  std::string why;
  if (!platform.PrepareToRead(letter, why)) {
    std::fprintf(stderr, "%c: not ready: %s\n", letter, why.c_str());
    return 5;
  }

  constexpr std::uint32_t kRun = 64;
  std::vector<std::uint8_t> buffer(std::size_t{kRun} * geometry.BytesPerSector);
  for (std::uint32_t first = 0; first < geometry.TotalSectors;) {
    const auto count = static_cast<std::uint16_t>(std::min(kRun, geometry.TotalSectors - first));
    if (!ReadSectors(drive, first, count, buffer.data(), buffer.size())) {
      std::fprintf(stderr, "%c: reading sector %u failed\n", letter, first);
      return 6;
    }
    std::fwrite(buffer.data(), geometry.BytesPerSector, count, stdout);
    first += count;
  }
  DoneDiskAccess();
  std::fprintf(stderr, "%c: read to the end\n", letter);
  return 0;
}
