// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <numeric>
#include <vector>

#include "diskio/ldiskio.h"
#include "tests/support/fakeplatform.h"

namespace {

// Sector n of a fake volume holds the byte n + 1 throughout, so a misplaced
// chunk shows.
void FillBySector(FakeVolume& volume, std::uint32_t bytesPerSector) {
  for (std::size_t i = 0; i < volume.data.size(); ++i) {
    volume.data[i] = static_cast<std::uint8_t>(i / bytesPerSector + 1);
  }
}

class ReadSectorsTest : public ::testing::Test {
 protected:
  void TearDown() override { DoneDiskAccess(); }

  FakeVolume& Card(char letter, std::uint32_t sectors, std::uint32_t bytesPerSector = 512) {
    FakeVolume& volume = platform.AddVolume(letter, sectors, DRIVE_REMOVABLE, bytesPerSector);
    FillBySector(volume, bytesPerSector);
    return volume;
  }

  static std::vector<std::uint8_t> Filled(std::size_t size) {
    return std::vector<std::uint8_t>(size, 0xEE);
  }

  FakePlatform platform;
};

TEST_F(ReadSectorsTest, RunsGoInChunksOf128SectorsInOrder) {
  Card('E', 1000);
  InitDiskAccess(platform);
  std::vector<std::uint8_t> buffer = Filled(300 * 512);
  ASSERT_TRUE(ReadSectors(5, 10, 300, buffer.data()));
  ASSERT_EQ(platform.reads.size(), 3u);
  EXPECT_EQ(platform.reads[0].offset, 10u * 512);
  EXPECT_EQ(platform.reads[0].size, 65536u);
  EXPECT_EQ(platform.reads[1].offset, 10u * 512 + 65536);
  EXPECT_EQ(platform.reads[1].size, 65536u);
  EXPECT_EQ(platform.reads[2].size, 22528u);
  for (std::size_t sector = 0; sector < 300; ++sector) {
    ASSERT_EQ(buffer[sector * 512], static_cast<std::uint8_t>(sector + 10 + 1)) << sector;
    ASSERT_EQ(buffer[sector * 512 + 511], static_cast<std::uint8_t>(sector + 10 + 1)) << sector;
  }
}

TEST_F(ReadSectorsTest, OneOpenAndOneGeometryQueryPerDriveChange) {
  Card('E', 100);
  Card('F', 100);
  InitDiskAccess(platform);
  std::vector<std::uint8_t> buffer = Filled(512);
  ASSERT_TRUE(ReadSectors(5, 0, 1, buffer.data()));
  ASSERT_TRUE(ReadSectors(5, 1, 1, buffer.data()));
  EXPECT_EQ(platform.readOpens, 1);
  EXPECT_EQ(platform.geometryQueries, 1);

  ASSERT_TRUE(ReadSectors(6, 0, 1, buffer.data()));
  ASSERT_TRUE(ReadSectors(5, 0, 1, buffer.data()));
  EXPECT_EQ(platform.readOpens, 3);
  EXPECT_EQ(platform.geometryQueries, 3);
  EXPECT_EQ(platform.OpenHandles(), 1);  // each change closed the handle before
  EXPECT_EQ(DiskAccessState().VolumeDrive, 5);

  DoneDiskAccess();
  EXPECT_EQ(platform.OpenHandles(), 0);
}

TEST_F(ReadSectorsTest, FailingChunkLeavesItsBytesAndAllAfterThemAlone) {
  FakeVolume& card = Card('E', 1000);
  card.unreadable.insert(10 + 200);  // inside the second chunk
  InitDiskAccess(platform);
  std::vector<std::uint8_t> buffer = Filled(300 * 512);
  EXPECT_FALSE(ReadSectors(5, 10, 300, buffer.data()));
  EXPECT_EQ(platform.reads.size(), 2u);  // stops at the failing chunk
  for (std::size_t i = 0; i < buffer.size(); ++i) {
    const std::uint8_t expected = i < 65536 ? static_cast<std::uint8_t>(i / 512 + 10 + 1) : 0xEE;
    ASSERT_EQ(buffer[i], expected) << i;
  }

  // A failed read keeps the handle: the next read of the drive reuses it.
  std::vector<std::uint8_t> one = Filled(512);
  EXPECT_TRUE(ReadSectors(5, 0, 1, one.data()));
  EXPECT_EQ(platform.readOpens, 1);
}

TEST_F(ReadSectorsTest, RunPastTheEndKeepsTheWholeChunksBeforeIt) {
  Card('E', 300);
  InitDiskAccess(platform);
  std::vector<std::uint8_t> buffer = Filled(250 * 512);
  EXPECT_FALSE(ReadSectors(5, 100, 250, buffer.data()));  // 100 + 250 > 300
  EXPECT_EQ(buffer[0], 101);
  EXPECT_EQ(buffer[128 * 512 - 1], 228 & 0xFF);
  EXPECT_EQ(buffer[128 * 512], 0xEE);  // the short chunk was not copied

  std::vector<std::uint8_t> last = Filled(512);
  EXPECT_TRUE(ReadSectors(5, 299, 1, last.data()));
  EXPECT_EQ(last[0], 300 & 0xFF);
  EXPECT_FALSE(ReadSectors(5, 300, 1, last.data()));
}

TEST_F(ReadSectorsTest, MediumTakenOutAndFailedOpens) {
  FakeVolume& card = Card('E', 100);
  card.failOpen = true;
  InitDiskAccess(platform);
  std::vector<std::uint8_t> buffer = Filled(512);
  EXPECT_FALSE(ReadSectors(5, 0, 1, buffer.data()));
  EXPECT_EQ(buffer, Filled(512));
  EXPECT_TRUE(platform.reads.empty());
  card.failOpen = false;  // the next call tries to open again
  EXPECT_TRUE(ReadSectors(5, 0, 1, buffer.data()));
  EXPECT_EQ(platform.readOpens, 2);

  platform.mediumRemoved = true;
  EXPECT_FALSE(ReadSectors(5, 1, 1, buffer.data()));
  EXPECT_FALSE(ReadSectors(5, 2, 1, buffer.data()));
  EXPECT_EQ(platform.readOpens, 2);  // no reopen: the handle stays until another drive
}

TEST_F(ReadSectorsTest, OffsetsAreComputedIn64Bits) {
  platform.AddVolume('E', 1);
  InitDiskAccess(platform);
  std::uint8_t buffer[512];
  EXPECT_FALSE(ReadSectors(5, 8388608, 1, buffer));  // past this tiny volume
  ASSERT_EQ(platform.reads.size(), 1u);
  EXPECT_EQ(platform.reads[0].offset, 4294967296u);
  EXPECT_FALSE(ReadSectors(5, 4294967295u, 1, buffer));
  EXPECT_EQ(platform.reads[1].offset, 0x1FFFFFFFE00u);  // high part 511, low 0xFFFFFE00
}

TEST_F(ReadSectorsTest, LargeZeroAndUnknownSectorSizes) {
  Card('E', 300, 2048);
  FakeVolume& unknown = Card('F', 10);
  unknown.failGeometry = true;
  InitDiskAccess(platform);

  // 2048-byte sectors: chunks of 32 sectors, never more than the buffer.
  std::vector<std::uint8_t> buffer = Filled(100 * 2048);
  ASSERT_TRUE(ReadSectors(5, 0, 100, buffer.data()));
  EXPECT_EQ(platform.reads.size(), 4u);
  for (const auto& read : platform.reads) EXPECT_LE(read.size, 65536u);
  EXPECT_EQ(buffer[99 * 2048], 100);
  EXPECT_EQ(DiskAccessState().SectorShift, 11);

  // No sector size ever known for F: fail without positioning.
  DoneDiskAccess();
  InitDiskAccess(platform);
  platform.reads.clear();
  EXPECT_FALSE(ReadSectors(6, 0, 1, buffer.data()));
  EXPECT_TRUE(platform.reads.empty());
}

TEST_F(ReadSectorsTest, StaleSectorSizeNeverOverrunsTheCallersBuffer) {
  Card('E', 300, 2048);
  FakeVolume& next = Card('F', 300);
  next.failGeometry = true;
  InitDiskAccess(platform);
  std::vector<std::uint8_t> buffer = Filled(8 * 2048);
  ASSERT_TRUE(ReadSectors(5, 0, 8, buffer.data()));

  // F's query fails after E's 2048-byte sectors were read: a read sized from
  // them would write four times what a 512-byte caller passed.
  std::vector<std::uint8_t> small = Filled(8 * 512);
  EXPECT_FALSE(ReadSectors(6, 0, 8, small.data(), small.size()));
  EXPECT_EQ(small, Filled(8 * 512));
  EXPECT_EQ(DiskAccessState().VolumeGeometry.BytesPerSector, 0u);
  EXPECT_EQ(LastReadFailure(), rfDriveGone);

  // A caller's buffer too small for the drive's sectors: refused untouched.
  EXPECT_FALSE(ReadSectors(5, 0, 8, small.data(), small.size()));
  EXPECT_EQ(small, Filled(8 * 512));
}

TEST_F(ReadSectorsTest, FailuresTellBadSectorsFromAVanishedDrive) {
  FakeVolume& card = Card('E', 100);
  card.unreadable.insert(7);
  InitDiskAccess(platform);
  std::vector<std::uint8_t> buffer = Filled(10 * 512);
  EXPECT_FALSE(ReadSectors(5, 0, 10, buffer.data(), buffer.size()));
  EXPECT_EQ(LastReadFailure(), rfBadSector);
  // Uncached single sectors: the neighbours of a bad one still read.
  EXPECT_TRUE(ReadSectorsUncached(5, 6, 1, buffer.data(), 512));
  EXPECT_EQ(buffer[0], 7);
  EXPECT_FALSE(ReadSectorsUncached(5, 7, 1, buffer.data(), 512));
  EXPECT_EQ(LastReadFailure(), rfBadSector);
  EXPECT_TRUE(platform.reads.back().uncached);
  EXPECT_EQ(platform.OpenHandles(), 1);

  // The device goes away: the handle is let go at once, and the next read
  // opens the drive afresh.
  platform.deviceGone = true;
  EXPECT_FALSE(ReadSectors(5, 20, 1, buffer.data(), buffer.size()));
  EXPECT_EQ(LastReadFailure(), rfDriveGone);
  EXPECT_EQ(platform.OpenHandles(), 0);
  platform.deviceGone = false;
  EXPECT_TRUE(ReadSectors(5, 20, 1, buffer.data(), buffer.size()));
  EXPECT_EQ(LastReadFailure(), rfNone);
  EXPECT_EQ(platform.readOpens, 2);

  // A handle that no longer reaches its device is released on request only.
  platform.MakeOpenHandlesStale();
  EXPECT_FALSE(ReleaseStaleDriveHandle(6));  // not the cached drive
  EXPECT_TRUE(ReleaseStaleDriveHandle(5));
  EXPECT_FALSE(ReleaseStaleDriveHandle(5));
  EXPECT_TRUE(ReadSectors(5, 21, 1, buffer.data(), buffer.size()));
  EXPECT_EQ(platform.readOpens, 3);

  // A drive that cannot be opened at all counts as gone.
  card.failOpen = true;
  platform.MakeOpenHandlesStale();
  ReleaseStaleDriveHandle(5);
  EXPECT_FALSE(ReadSectors(5, 0, 1, buffer.data(), buffer.size()));
  EXPECT_EQ(LastReadFailure(), rfDriveGone);
}

TEST_F(ReadSectorsTest, CountZeroIsOneEmptyRead) {
  Card('E', 10);
  InitDiskAccess(platform);
  std::uint8_t buffer[1] = {0xEE};
  EXPECT_TRUE(ReadSectors(5, 3, 0, buffer));
  ASSERT_EQ(platform.reads.size(), 1u);
  EXPECT_EQ(platform.reads[0].offset, 3u * 512);
  EXPECT_EQ(platform.reads[0].size, 0u);
  EXPECT_EQ(buffer[0], 0xEE);
}

TEST_F(ReadSectorsTest, Int25WayOnWindows95) {
  platform.SetWindows9x(4, 0, "");
  FakeVolume& card = Card('E', 100);
  InitDiskAccess(platform);
  std::vector<std::uint8_t> buffer = Filled(20 * 512);
  ASSERT_TRUE(ReadSectors(5, 7, 20, buffer.data()));
  ASSERT_EQ(platform.vwin32Reads.size(), 1u);  // the whole run in one call
  const auto& call = platform.vwin32Reads[0];
  EXPECT_EQ(call.controlCode, VWIN32_DIOC_DOS_INT25);
  EXPECT_EQ(call.regs.reg_EAX, 4u);  // 0 = A:
  EXPECT_EQ(call.regs.reg_ECX, 0xFFFFu);
  EXPECT_EQ(call.regs.reg_EDX, 0u);
  EXPECT_EQ(call.regs.reg_Flags, 0u);
  EXPECT_EQ(call.packet.diStartSector, 7u);
  EXPECT_EQ(call.packet.diSectors, 20u);
  EXPECT_EQ(buffer[0], 8);
  EXPECT_EQ(buffer[19 * 512], 27);
  EXPECT_TRUE(platform.reads.empty());

  card.unreadable.insert(50);
  EXPECT_FALSE(ReadSectors(5, 40, 20, buffer.data()));  // carry set
  platform.vwin32ReadFails = true;
  EXPECT_FALSE(ReadSectors(5, 0, 1, buffer.data()));
  EXPECT_TRUE(ReadSectors(5, 0, 0, buffer.data()));  // nothing to transfer
}

TEST_F(ReadSectorsTest, Fat32WayOnWindows98AndMissingDevice) {
  platform.SetWindows9x(4, 10);
  Card('E', 100);
  InitDiskAccess(platform);
  std::vector<std::uint8_t> buffer = Filled(5 * 512);
  ASSERT_TRUE(ReadSectors(5, 90, 5, buffer.data()));
  ASSERT_EQ(platform.vwin32Reads.size(), 1u);
  const auto& call = platform.vwin32Reads[0];
  EXPECT_EQ(call.controlCode, VWIN32_DIOC_DOS_DRIVEINFO);
  EXPECT_EQ(call.regs.reg_EAX, 0x7305u);
  EXPECT_EQ(call.regs.reg_ECX, 0xFFFFFFFFu);
  EXPECT_EQ(call.regs.reg_EDX, 5u);
  EXPECT_EQ(call.regs.reg_ESI, 0u);
  EXPECT_EQ(buffer[4 * 512], 95);
  EXPECT_FALSE(ReadSectors(5, 98, 5, buffer.data()));  // past the end

  DoneDiskAccess();
  platform.vwin32OpenFails = true;
  InitDiskAccess(platform);
  EXPECT_FALSE(ReadSectors(5, 0, 1, buffer.data()));
}

}  // namespace
