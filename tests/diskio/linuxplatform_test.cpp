// SPDX-License-Identifier: GPL-3.0-or-later
#include "diskio/linuxplatform.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <initializer_list>
#include <vector>

#include "tests/diskio/fixtures.h"
#include "tests/support/loopdevice.h"
#include "tests/support/tempdir.h"

namespace fs = std::filesystem;
using namespace diskio_test;

namespace {

TEST(LinuxPlatformGeometry, ShapeCoversEverySector) {
  constexpr std::uint64_t kMax = 0xFFFFFFFFull;
  for (std::uint64_t total : std::initializer_list<std::uint64_t>{
           1ull,        2ull,         62ull,        63ull,          64ull,       127ull,
           6151ull,     8191ull,      65537ull,     1ull << 20,     1ull << 31,  kMax - 1,
           kMax,        1ull << 32,   1ull << 40,   3964928ull,     15523840ull, 31116288ull,
           62333952ull, 124735488ull, 250347520ull, 16065ull * 1000}) {
    const DISK_GEOMETRY g = ExactGeometry(total, 512);
    EXPECT_EQ(static_cast<std::uint64_t>(g.Cylinders) * g.TracksPerCylinder * g.SectorsPerTrack,
              std::min(total, kMax))
        << total;
    EXPECT_GE(g.SectorsPerTrack, 1u);
    EXPECT_LE(g.SectorsPerTrack, 63u);
    EXPECT_GE(g.TracksPerCylinder, 1u);
    EXPECT_LE(g.TracksPerCylinder, 255u);
    EXPECT_GE(g.Cylinders, 1);
    EXPECT_LE(g.Cylinders, static_cast<std::int64_t>(kMax));
    EXPECT_EQ(g.BytesPerSector, 512u);
  }
  const DISK_GEOMETRY prime = ExactGeometry(8191, 4096);
  EXPECT_EQ(prime.Cylinders, 8191);
  EXPECT_EQ(prime.TracksPerCylinder, 1u);
  EXPECT_EQ(prime.BytesPerSector, 4096u);
  const DISK_GEOMETRY classic = ExactGeometry(16065ull * 1000, 512);
  EXPECT_EQ(classic.SectorsPerTrack, 63u);
  EXPECT_EQ(classic.TracksPerCylinder, 255u);
  EXPECT_EQ(classic.Cylinders, 1000);
}

TEST(LinuxPlatformVersion, ReportsNtAndNoVWin32) {
  LinuxPlatform platform({}, "/nonexistent", "/dev");
  OSVERSIONINFOA info{};
  std::fill(std::begin(info.szCSDVersion), std::end(info.szCSDVersion), 'x');
  ASSERT_TRUE(platform.GetVersion(info));
  EXPECT_EQ(info.dwPlatformId, VER_PLATFORM_WIN32_NT);
  EXPECT_EQ(info.dwMajorVersion, 5u);
  EXPECT_EQ(info.dwMinorVersion, 1u);
  EXPECT_EQ(info.szCSDVersion[0], '\0');
  EXPECT_EQ(platform.OpenVWin32(), INVALID_HANDLE_VALUE);
  DIOC_REGISTERS regs{};
  DISKIO packet{};
  std::uint8_t block[kDeviceParamsSize] = {};
  EXPECT_FALSE(platform.VWin32DosIoctl(INVALID_HANDLE_VALUE, regs, block));
  EXPECT_FALSE(platform.VWin32Int25(INVALID_HANDLE_VALUE, regs, packet, block));
  EXPECT_FALSE(platform.VWin32DriveInfo(INVALID_HANDLE_VALUE, regs, packet, block));
}

// The machine's own listing, from the real sysfs (the contract test reads a
// loop device named as a source).
TEST(LinuxPlatformLoopDevice, ReadOnlyLoopIsARemovableDriveOfExactSize) {
  if (const std::string missing = TLoopDevice::MissingPrerequisite(); !missing.empty()) {
    GTEST_SKIP() << missing;
  }
  TTempDir tmp;
  const fs::path image = tmp.Path() / "card.img";
  const std::uint64_t bytes = 3 * 1024 * 1024 + 7 * 512;
  WriteImage(image, bytes);
  TLoopDevice loop(image);
  if (!loop.Ready()) GTEST_SKIP() << loop.Problem();

  LinuxPlatform platform({});
  const char letter = LetterOf(platform, loop.Device());
  ASSERT_NE(letter, 0) << loop.Device() << " not listed";
  EXPECT_EQ(platform.DriveType(std::string{letter, ':', '\\'}), DRIVE_REMOVABLE);
  EXPECT_EQ(platform.Describe(letter).sizeBytes, bytes);

  const Handle volume = platform.OpenVolume(letter, false);
  ASSERT_NE(volume, INVALID_HANDLE_VALUE);
  DISK_GEOMETRY g{};
  ASSERT_TRUE(platform.QueryGeometry(volume, g));
  EXPECT_EQ(static_cast<std::uint64_t>(g.Cylinders) * g.TracksPerCylinder * g.SectorsPerTrack,
            bytes / 512);
  EXPECT_EQ(g.BytesPerSector, 512u);
  EXPECT_EQ(g.MediaType, kMediaRemovable);
  platform.CloseHandle(volume);
}

}  // namespace
