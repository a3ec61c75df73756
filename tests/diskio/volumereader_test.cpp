// SPDX-License-Identifier: GPL-3.0-or-later
// Reading open volumes: what a read returns, and what a failed one means.
#include "diskio/volumereader.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "diskio/ldiskio.h"
#include "diskio/linuxplatform.h"
#include "tests/diskio/fixtures.h"
#include "tests/support/tempdir.h"

namespace fs = std::filesystem;
using namespace diskio_test;

namespace {

class VolumeReadTest : public ::testing::Test {
 protected:
  void SetUp() override { WriteImage(image_, kImageBytes); }

  static constexpr std::uint64_t kImageBytes = 512 * 10 + 100;
  LinuxPlatform Make() { return LinuxPlatform({image_.string()}, sys_.string(), dev_.string()); }

  TTempDir tmp_;
  fs::path sys_ = tmp_.Path() / "sys";
  fs::path dev_ = tmp_.Path() / "dev";
  fs::path image_ = tmp_.Path() / "card.img";
};

TEST_F(VolumeReadTest, ImageGeometryFloorsToWholeSectors) {
  for (const auto& [bytes, sectors] : std::vector<std::pair<std::uint64_t, std::uint64_t>>{
           {512, 1}, {512 * 6151, 6151}, {512 * 4096 + 100, 4096}, {511, 0}, {0, 0}}) {
    WriteImage(image_, bytes);
    LinuxPlatform platform = Make();
    const Handle volume = platform.OpenVolume(LetterOf(platform, image_.string()), false);
    ASSERT_NE(volume, INVALID_HANDLE_VALUE);
    DISK_GEOMETRY g{};
    EXPECT_EQ(platform.QueryGeometry(volume, g), sectors != 0) << bytes;
    if (sectors != 0) {
      EXPECT_EQ(static_cast<std::uint64_t>(g.Cylinders) * g.TracksPerCylinder * g.SectorsPerTrack,
                sectors);
      EXPECT_EQ(g.BytesPerSector, 512u);
      EXPECT_EQ(g.MediaType, kMediaRemovable);
    }
    platform.CloseHandle(volume);
  }
}

TEST_F(VolumeReadTest, MediaTypeFollowsTheDriveKind) {
  AddDisk(sys_, "sda", 0);
  AddDisk(sys_, "sdb", 1);
  AddPartition(sys_, "sdb1");
  AddDisk(sys_, "zram0", 0);
  for (const char* node : {"sda", "sdb", "zram0"}) WriteImage(dev_ / node, 512 * 8);
  LinuxPlatform platform = Make();
  for (const auto& [node, media] : std::vector<std::pair<std::string, std::uint32_t>>{
           {"sda", kMediaFixed}, {"sdb", kMediaRemovable}, {"zram0", kMediaUnknown}}) {
    const Handle volume = platform.OpenVolume(LetterOf(platform, (dev_ / node).string()), true);
    DISK_GEOMETRY g{};
    ASSERT_TRUE(platform.QueryGeometry(volume, g)) << node;
    EXPECT_EQ(g.MediaType, media) << node;
    platform.CloseHandle(volume);
  }
  const char noNode = LetterOf(platform, (dev_ / "sdb1").string());
  ASSERT_NE(noNode, 0);
  EXPECT_EQ(platform.OpenVolume(noNode, true), INVALID_HANDLE_VALUE);
  EXPECT_EQ(platform.OpenVolume('Y', true), INVALID_HANDLE_VALUE);
}

TEST_F(VolumeReadTest, ReadsStopShortAtTheEnd) {
  LinuxPlatform platform = Make();
  const Handle volume = platform.OpenVolume(LetterOf(platform, image_.string()), true);
  ASSERT_NE(volume, INVALID_HANDLE_VALUE);
  const std::uint64_t size = kImageBytes;
  std::vector<std::uint8_t> buffer(4096, 0xEE);
  for (const auto& [offset, want] : std::vector<std::pair<std::uint64_t, std::uint32_t>>{
           {0, 4096}, {777, 4096}, {size - 100, 100}, {size, 0}, {size + 512, 0}}) {
    std::uint32_t got = 12345;
    ASSERT_TRUE(platform.ReadAt(volume, offset, buffer.data(), 4096, got)) << offset;
    ASSERT_EQ(got, want) << offset;
    for (std::uint32_t i = 0; i < got; ++i) ASSERT_EQ(buffer[i], PatternByte(offset + i)) << i;
  }
  platform.CloseHandle(volume);
  std::uint32_t got = 0;
  EXPECT_FALSE(platform.ReadAt(volume, 0, buffer.data(), 512, got));
  DISK_GEOMETRY g{};
  EXPECT_FALSE(platform.QueryGeometry(volume, g));
}

TEST_F(VolumeReadTest, VolumesAreOpenedReadOnly) {
  LinuxPlatform platform = Make();
  for (bool forReading : {false, true}) {
    const Handle volume = platform.OpenVolume(LetterOf(platform, image_.string()), forReading);
    ASSERT_NE(volume, INVALID_HANDLE_VALUE);
    const int fd = static_cast<int>(volume);
    EXPECT_EQ(::fcntl(fd, F_GETFL) & O_ACCMODE, O_RDONLY);
    EXPECT_TRUE(::fcntl(fd, F_GETFD) & FD_CLOEXEC);
    platform.CloseHandle(volume);
  }
}

// A failed open of some other drive, or an ordinary short read, must not pass
// for a drive gone: the scan would stop as if the card had been taken out.
TEST_F(VolumeReadTest, OnlyTheReadsOwnFailureSaysTheDriveIsGone) {
  const std::uint64_t size = kImageBytes;
  AddDisk(sys_, "sdq", 1);  // listed, but no node to open
  LinuxPlatform platform = Make();
  const char card = LetterOf(platform, image_.string());
  const char noNode = LetterOf(platform, (dev_ / "sdq").string());
  ASSERT_NE(noNode, 0);

  EXPECT_EQ(platform.OpenVolume(noNode, true), INVALID_HANDLE_VALUE);
  EXPECT_TRUE(platform.LastFailureWasGone());  // a read open that fails: nothing to read
  const Handle volume = platform.OpenVolume(card, true);
  ASSERT_NE(volume, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(platform.LastFailureWasGone());
  EXPECT_EQ(platform.OpenVolume(noNode, false), INVALID_HANDLE_VALUE);
  EXPECT_EQ(platform.OpenVolume(noNode, true), INVALID_HANDLE_VALUE);
  std::vector<std::uint8_t> buffer(1024);
  std::uint32_t got = 0;
  ASSERT_TRUE(platform.ReadAt(volume, size - 100, buffer.data(), 1024, got));
  EXPECT_EQ(got, 100u);
  EXPECT_FALSE(platform.LastFailureWasGone());
  EXPECT_EQ(platform.OpenVolume(noNode, true), INVALID_HANDLE_VALUE);
  EXPECT_FALSE(platform.ReadAtUncached(volume, 0, nullptr, 512, got));
  EXPECT_FALSE(platform.LastFailureWasGone());
  platform.CloseHandle(volume);

  // As the disk unit sees it: a short read is a bad sector, a drive that
  // cannot be opened for the read is gone.
  InitDiskAccess(platform);
  TDriveGeometry geometry{};
  EXPECT_FALSE(GetDriveGeometry(static_cast<std::uint8_t>(noNode - 64), geometry));
  EXPECT_FALSE(ReadSectors(static_cast<std::uint8_t>(card - 64), 9, 2, buffer.data(), 1024));
  EXPECT_EQ(LastReadFailure(), rfBadSector);
  EXPECT_FALSE(ReadSectors(static_cast<std::uint8_t>(noNode - 64), 0, 1, buffer.data(), 1024));
  EXPECT_EQ(LastReadFailure(), rfDriveGone);
  DoneDiskAccess();
}

TEST(VolumeRead, FailureMeansGoneWhenTheNodeIsNotTheOneOpened) {
  TTempDir tmp;
  const fs::path node = tmp.Path() / "mmcblk0";
  WriteImage(node, 512);
  const int fd = ::open(node.c_str(), O_RDONLY | O_CLOEXEC);  // keeps the old inode in use
  ASSERT_GE(fd, 0);
  const TNodeId opened = *NodeIdAt(node.string());
  for (int error : {ENOMEDIUM, ENODEV, ENXIO}) {
    EXPECT_TRUE(FailureMeansGone(error, node.string(), opened)) << error;
  }
  EXPECT_FALSE(FailureMeansGone(EIO, node.string(), opened));  // a bad sector
  WriteImage(tmp.Path() / "new", 512);
  fs::rename(tmp.Path() / "new", node);  // a reader put back: a new node, same name
  EXPECT_TRUE(FailureMeansGone(EIO, node.string(), opened));
  fs::remove(node);
  EXPECT_TRUE(FailureMeansGone(EIO, node.string(), opened));
  ::close(fd);
}

// A reader replugged during a scan: its old descriptor fails while a new node
// stands at the path. A folder named as the image stands in for it: reading
// it fails (EISDIR) like a device answering EIO.
TEST_F(VolumeReadTest, FailingReadAfterTheNodeWasRecreatedIsADriveGone) {
  const fs::path node = tmp_.Path() / "reader";
  fs::create_directories(node);
  LinuxPlatform platform({node.string()}, sys_.string(), dev_.string());
  const char reader = LetterOf(platform, node.string());
  const Handle volume = platform.OpenVolume(reader, true);
  ASSERT_NE(volume, INVALID_HANDLE_VALUE);
  std::vector<std::uint8_t> buffer(512);
  std::uint32_t got = 0;
  EXPECT_FALSE(platform.ReadAt(volume, 0, buffer.data(), 512, got));
  EXPECT_FALSE(platform.LastFailureWasGone());
  EXPECT_TRUE(platform.StillReachesDevice(volume));

  fs::create_directories(tmp_.Path() / "replugged");
  fs::remove(node);
  fs::rename(tmp_.Path() / "replugged", node);
  EXPECT_FALSE(platform.StillReachesDevice(volume));
  EXPECT_FALSE(platform.ReadAt(volume, 0, buffer.data(), 512, got));
  EXPECT_TRUE(platform.LastFailureWasGone());
  EXPECT_FALSE(platform.ReadAtUncached(volume, 0, buffer.data(), 512, got));
  EXPECT_TRUE(platform.LastFailureWasGone());
  platform.CloseHandle(volume);
}

}  // namespace
