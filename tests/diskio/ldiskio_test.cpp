// SPDX-License-Identifier: GPL-3.0-or-later
#include "diskio/ldiskio.h"

#include <gtest/gtest.h>

#include <cstring>
#include <tuple>

#include "tests/support/fakeplatform.h"

namespace {

class DiskAccessTest : public ::testing::Test {
 protected:
  void TearDown() override { DoneDiskAccess(); }

  void Start() {
    InitDiskAccess(platform,
                   [this](const std::string& caption, const std::string& text, unsigned type) {
                     messages.push_back({caption, text, type});
                   });
  }

  // A record full of a marker byte, to see which fields a call wrote.
  static TDriveGeometry Marked() {
    TDriveGeometry geometry;
    std::memset(&geometry, 0xAB, sizeof geometry);
    return geometry;
  }
  static bool Same(const TDriveGeometry& a, const TDriveGeometry& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
  }

  FakePlatform platform;
  std::vector<std::tuple<std::string, std::string, unsigned>> messages;
};

struct ProbeCase {
  std::uint32_t platformId, major, minor;
  const char* csd;
  bool winNT, fat32;
};

TEST_F(DiskAccessTest, ProbeChoosesTheAccessWayByVersion) {
  const ProbeCase cases[] = {
      {VER_PLATFORM_WIN32_NT, 4, 0, "", true, false},
      {VER_PLATFORM_WIN32_NT, 5, 1, "Service Pack 2", true, false},
      {VER_PLATFORM_WIN32_WINDOWS, 4, 0, " B", false, true},  // 95 OSR2
      {VER_PLATFORM_WIN32_WINDOWS, 4, 0, "\t B \r\n", false, true},
      {VER_PLATFORM_WIN32_WINDOWS, 4, 0, " C", false, false},  // 95 OSR2.5 text differs
      {VER_PLATFORM_WIN32_WINDOWS, 4, 0, "", false, false},    // 95 retail
      {VER_PLATFORM_WIN32_WINDOWS, 4, 0, " b", false, false},  // case-sensitive
      {VER_PLATFORM_WIN32_WINDOWS, 4, 0, " BB", false, false},
      {VER_PLATFORM_WIN32_WINDOWS, 4, 10, "", false, true},  // 98
      {VER_PLATFORM_WIN32_WINDOWS, 4, 90, "", false, true},  // ME
      {VER_PLATFORM_WIN32_WINDOWS, 5, 0, "", false, false},
      {VER_PLATFORM_WIN32_WINDOWS, 3, 95, "", false, false},
      {0, 4, 10, "", false, false},  // Win32s
  };
  for (const ProbeCase& c : cases) {
    platform.version = OSVERSIONINFOA{};
    platform.version.dwPlatformId = c.platformId;
    platform.version.dwMajorVersion = c.major;
    platform.version.dwMinorVersion = c.minor;
    std::strcpy(platform.version.szCSDVersion, c.csd);
    Start();
    EXPECT_EQ(IsWinNT(), c.winNT) << c.major << "." << c.minor << " '" << c.csd << "'";
    EXPECT_EQ(IsFat32Capable(), c.fat32) << c.major << "." << c.minor << " '" << c.csd << "'";
    EXPECT_EQ(DiskAccessState().UseNTAccess, c.winNT);
    EXPECT_EQ(DiskAccessState().UseFat32Access, c.fat32);
  }
}

TEST_F(DiskAccessTest, FailedVersionCallMeansNeitherFamily) {
  platform.SetWindows9x(4, 10);
  platform.versionFails = true;
  Start();
  EXPECT_FALSE(IsWinNT());
  EXPECT_FALSE(IsFat32Capable());
}

TEST_F(DiskAccessTest, ServicePackTextFillingTheWholeFieldIsReadSafely) {
  platform.SetWindows9x(4, 0);
  std::memset(platform.version.szCSDVersion, 'B', sizeof platform.version.szCSDVersion);
  Start();
  EXPECT_FALSE(IsFat32Capable());
}

TEST_F(DiskAccessTest, StartUpOpensVWin32OnlyOn9x) {
  Start();
  EXPECT_EQ(platform.vwin32Opens, 0);
  EXPECT_EQ(DiskAccessState().VWin32Handle, INVALID_HANDLE_VALUE);

  platform.SetWindows9x(4, 10);
  Start();
  EXPECT_EQ(platform.vwin32Opens, 1);
  EXPECT_NE(DiskAccessState().VWin32Handle, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(messages.empty());

  DoneDiskAccess();
  EXPECT_EQ(platform.closes, 1);
  DoneDiskAccess();  // the exit handler may run after an explicit shut-down
  EXPECT_EQ(platform.closes, 1);
}

TEST_F(DiskAccessTest, MissingVWin32WarnsOnceAndEveryQueryFails) {
  platform.SetWindows9x(4, 10);
  platform.vwin32OpenFails = true;
  FakeVolume& volume = platform.AddVolume('A', 2880);
  volume.deviceDefault.totalSectors16 = 2880;
  Start();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(std::get<0>(messages[0]), "Error");
  EXPECT_EQ(std::get<1>(messages[0]), "Error loading \"VWIN32.VXD (INT25/26)\"");
  EXPECT_EQ(std::get<2>(messages[0]), MB_ICONWARNING);

  TDriveGeometry geometry = Marked();
  EXPECT_FALSE(GetDriveGeometry(1, geometry));
  EXPECT_FALSE(GetDriveGeometry(1, geometry));
  EXPECT_EQ(messages.size(), 1u);
  DoneDiskAccess();
  EXPECT_EQ(platform.closes, 0);
}

// --- volume-handle way ---

TEST_F(DiskAccessTest, NTRemovableCardGeometry) {
  FakeVolume& volume = platform.AddVolume('E', 1008000);
  volume.geometry = {1000, kMediaRemovable, 16, 63, 512};
  Start();
  TDriveGeometry geometry = Marked();
  ASSERT_TRUE(GetDriveGeometry(5, geometry));
  EXPECT_EQ(geometry.TotalSectors, 1008000u);
  EXPECT_EQ(geometry.Cylinders, 1000u);
  EXPECT_EQ(geometry.Heads, 16u);
  EXPECT_EQ(geometry.SectorsPerTrack, 63u);
  EXPECT_EQ(geometry.BytesPerSector, 512u);
  EXPECT_EQ(geometry.MediaKind, mkRemovable);
  EXPECT_EQ(geometry.Removable, 1);
  // The query handle is its own, opened without read access, and closed again.
  EXPECT_EQ(platform.queryOpens, 1);
  EXPECT_EQ(platform.readOpens, 0);
  EXPECT_EQ(platform.OpenHandles(), 0);
}

TEST_F(DiskAccessTest, NTCylindersAndTotalKeepTheirLow32Bits) {
  FakeVolume& volume = platform.AddVolume('C', 10, DRIVE_FIXED);
  volume.geometry = {(std::int64_t{1} << 32) + 5, kMediaFixed, 255, 63, 512};
  Start();
  TDriveGeometry geometry = Marked();
  ASSERT_TRUE(GetDriveGeometry(3, geometry));
  EXPECT_EQ(geometry.Cylinders, 5u);
  EXPECT_EQ(geometry.TotalSectors, 5u * 255 * 63);

  volume.geometry = {300000, kMediaFixed, 255, 63, 512};  // product over 2^32
  ASSERT_TRUE(GetDriveGeometry(3, geometry));
  EXPECT_EQ(geometry.TotalSectors, static_cast<std::uint32_t>(300000ull * 255 * 63));
}

TEST_F(DiskAccessTest, NTMediaTypeTable) {
  FakeVolume& volume = platform.AddVolume('D', 100);
  Start();
  for (std::uint32_t type = 0; type <= 30; ++type) {
    volume.geometry = {100, type, 1, 1, 512};
    TDriveGeometry geometry = Marked();
    ASSERT_TRUE(GetDriveGeometry(4, geometry)) << type;
    std::uint16_t kind = 0xABAB, removable = 0;
    if (type == 0) kind = mkUnknown;
    if ((type >= 1 && type <= 10) || (type >= 13 && type <= 22)) kind = mkFloppy, removable = 1;
    if (type == 11) kind = mkRemovable, removable = 1;
    if (type == 12) kind = mkFixed;
    EXPECT_EQ(geometry.MediaKind, kind) << type;
    EXPECT_EQ(geometry.Removable, removable) << type;
    EXPECT_EQ(geometry.TotalSectors, 100u) << type;
  }
}

TEST_F(DiskAccessTest, NTFailuresLeaveTheRecordUntouched) {
  FakeVolume& volume = platform.AddVolume('F', 100);
  Start();
  const TDriveGeometry before = Marked();
  TDriveGeometry geometry = before;
  EXPECT_FALSE(GetDriveGeometry(7, geometry));  // G: has no device
  EXPECT_TRUE(Same(geometry, before));

  volume.failOpen = true;
  EXPECT_FALSE(GetDriveGeometry(6, geometry));
  EXPECT_TRUE(Same(geometry, before));

  volume.failOpen = false;
  volume.failGeometry = true;
  EXPECT_FALSE(GetDriveGeometry(6, geometry));
  EXPECT_TRUE(Same(geometry, before));
  EXPECT_EQ(platform.OpenHandles(), 0);  // closed whatever the outcome
}

TEST_F(DiskAccessTest, NTCdRomAnswersWithoutAskingTheDrive) {
  platform.AddVolume('R', 1000, DRIVE_CDROM);
  Start();
  TDriveGeometry geometry = Marked();
  ASSERT_TRUE(GetDriveGeometry('R' - 64, geometry));
  TDriveGeometry expected{};
  expected.MediaKind = mkCDROM;
  expected.Removable = 1;
  expected.BytesPerSector = 2048;
  EXPECT_TRUE(Same(geometry, expected));
  EXPECT_EQ(platform.geometryQueries, 0);
  EXPECT_EQ(platform.OpenHandles(), 0);
}

// --- VWIN32 way ---

class VWin32GeometryTest : public DiskAccessTest {
 protected:
  void SetUp() override {
    platform.SetWindows9x(4, 10);
    volume = &platform.AddVolume('A', 0);
    volume->currentMedium = Params(5, 0, 80, 2, 18, 512, 2880, 0);
    volume->deviceDefault = Params(5, 0, 80, 2, 18, 512, 2880, 0);
    Start();
  }
  static FakeDeviceParams Params(std::uint8_t type, std::uint16_t attributes,
                                 std::uint16_t cylinders, std::uint16_t heads, std::uint16_t spt,
                                 std::uint16_t bps, std::uint16_t total16, std::uint32_t total32) {
    FakeDeviceParams p;
    p.deviceType = type;
    p.attributes = attributes;
    p.cylinders = cylinders;
    p.heads = heads;
    p.sectorsPerTrack = spt;
    p.bytesPerSector = bps;
    p.totalSectors16 = total16;
    p.totalSectors32 = total32;
    return p;
  }
  FakeVolume* volume = nullptr;
};

TEST_F(VWin32GeometryTest, TwoPassesWithTheirRegisters) {
  TDriveGeometry geometry = Marked();
  ASSERT_TRUE(GetDriveGeometry(1, geometry));
  ASSERT_EQ(platform.dosCalls.size(), 2u);
  for (const auto& call : platform.dosCalls) {
    EXPECT_EQ(call.regs.reg_EAX, 0x440Du);
    EXPECT_EQ(call.regs.reg_EBX, 1u);
    EXPECT_EQ(call.regs.reg_ECX, 0x0860u);
    EXPECT_EQ(call.regs.reg_Flags, 1u);
  }
  EXPECT_EQ(platform.dosCalls[0].block[0], 1);  // current medium
  EXPECT_EQ(platform.dosCalls[1].block[0], 0);  // device default
  // One block for both passes: the second call sees what the first left.
  EXPECT_EQ(platform.dosCalls[1].block[DeviceParams::TotalSectors16], 2880 & 0xFF);
  EXPECT_EQ(geometry.TotalSectors, 2880u);
  EXPECT_EQ(geometry.Cylinders, 80u);
  EXPECT_EQ(geometry.Heads, 2u);
  EXPECT_EQ(geometry.SectorsPerTrack, 18u);
  EXPECT_EQ(geometry.BytesPerSector, 512u);
}

TEST_F(VWin32GeometryTest, LargerAnswerOfTheTwoPassesWins) {
  volume->currentMedium = Params(5, 0, 0, 0, 0, 2048, 0, 2000000);
  volume->deviceDefault = Params(5, 0, 0, 0, 0, 512, 0, 1000000);
  TDriveGeometry geometry = Marked();
  ASSERT_TRUE(GetDriveGeometry(1, geometry));
  EXPECT_EQ(geometry.TotalSectors, 2000000u);
  EXPECT_EQ(geometry.BytesPerSector, 2048u);

  // 16-bit total of 0 with a 32-bit total: the 32-bit value.
  volume->currentMedium = Params(5, 0, 0, 0, 0, 512, 0, 70000);
  volume->deviceDefault = volume->currentMedium;
  ASSERT_TRUE(GetDriveGeometry(1, geometry));
  EXPECT_EQ(geometry.TotalSectors, 70000u);

  // C x H x S larger than both counts.
  volume->currentMedium = Params(5, 0, 1000, 16, 63, 512, 100, 200);
  volume->deviceDefault = volume->currentMedium;
  ASSERT_TRUE(GetDriveGeometry(1, geometry));
  EXPECT_EQ(geometry.TotalSectors, 1008000u);
}

TEST_F(VWin32GeometryTest, PassFailures) {
  // First fails, second succeeds: the second pass's values only.
  volume->currentMedium = Params(5, 0, 0, 0, 0, 4096, 0, 9000000);
  volume->currentMedium.carry = true;
  volume->deviceDefault = Params(5, 0, 0, 0, 0, 512, 0, 1000);
  TDriveGeometry geometry = Marked();
  ASSERT_TRUE(GetDriveGeometry(1, geometry));
  EXPECT_EQ(geometry.TotalSectors, 1000u);
  EXPECT_EQ(geometry.BytesPerSector, 512u);

  // First succeeds, second fails: false, the first pass's counts, rest untouched.
  volume->currentMedium = Params(5, 0, 0, 0, 0, 1024, 0, 5000);
  volume->deviceDefault.callFails = true;
  geometry = Marked();
  EXPECT_FALSE(GetDriveGeometry(1, geometry));
  EXPECT_EQ(geometry.TotalSectors, 5000u);
  EXPECT_EQ(geometry.BytesPerSector, 1024u);
  EXPECT_EQ(geometry.Cylinders, 0xABABABABu);
  EXPECT_EQ(geometry.MediaKind, 0xABAB);

  // Both fail: zero counts.
  volume->currentMedium.callFails = true;
  geometry = Marked();
  EXPECT_FALSE(GetDriveGeometry(1, geometry));
  EXPECT_EQ(geometry.TotalSectors, 0u);
  EXPECT_EQ(geometry.BytesPerSector, 0u);
}

TEST_F(VWin32GeometryTest, DeviceTypeTable) {
  for (std::uint8_t type = 0; type <= 12; ++type) {
    for (std::uint16_t attributes : {0, 1}) {
      volume->currentMedium = Params(type, attributes, 10, 2, 9, 512, 180, 0);
      volume->deviceDefault = volume->currentMedium;
      TDriveGeometry geometry = Marked();
      ASSERT_TRUE(GetDriveGeometry(1, geometry));
      std::uint16_t kind = 0xABAB;
      if (type <= 4 || type == 7 || type == 8) kind = mkFloppy;
      if (type == 5) kind = mkFixed;
      if (type == 6 || type == 9) kind = attributes ? mkUnknown : mkRemovable;
      EXPECT_EQ(geometry.MediaKind, kind) << int(type) << "/" << attributes;
      EXPECT_EQ(geometry.Removable, attributes ? 0 : 1) << int(type) << "/" << attributes;
    }
  }
}

}  // namespace
