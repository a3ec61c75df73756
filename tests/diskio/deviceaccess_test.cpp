// SPDX-License-Identifier: GPL-3.0-or-later
// Opening drives: directly where the user may, through the opener where not,
// and never for writing.
#include "diskio/deviceaccess.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

#include "diskio/ldiskio.h"
#include "diskio/linuxplatform.h"
#include "tests/diskio/fixtures.h"
#include "tests/support/norights.h"
#include "tests/support/refusednodes.h"
#include "tests/support/tempdir.h"

namespace fs = std::filesystem;
using namespace diskio_test;

namespace {

// A handle reaches its device while the same node is there: a card taken out
// and put back comes back under a new node.
TEST(DeviceAccess, StillReachesOnlyTheNodeItWasOpenedThrough) {
  TTempDir tmp;
  const fs::path card = tmp.Path() / "card";
  WriteImage(card, 4096);
  const int fd = ::open(card.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  const std::optional<TNodeId> node = NodeIdAt(card.string());
  ASSERT_TRUE(node);
  EXPECT_TRUE(StillReaches(fd, card.string(), *node));
  fs::remove(card);
  EXPECT_FALSE(StillReaches(fd, card.string(), *node));
  WriteImage(card, 4096);
  EXPECT_NE(NodeIdAt(card.string()), node);
  EXPECT_FALSE(StillReaches(fd, card.string(), *node));
  ::close(fd);
}

TEST(DeviceAccess, QueryHandlesTellTheNodeButReadNothing) {
  TTempDir tmp;
  const fs::path card = tmp.Path() / "card";
  WriteImage(card, 4096);
  const TOpenedNode query = TDeviceAccess::OpenForQuery(card.string());
  ASSERT_GE(query.fd, 0);
  EXPECT_EQ(query.node, NodeIdAt(card.string()));
  EXPECT_FALSE(query.blockDevice);
  char byte = 0;
  EXPECT_LT(::pread(query.fd, &byte, 1, 0), 0);
  std::uint32_t sectorBytes = 0;
  EXPECT_EQ(BytesOfFd(query.fd, sectorBytes), 4096u);
  EXPECT_EQ(sectorBytes, 512u);
  ::close(query.fd);
  EXPECT_EQ(TDeviceAccess::OpenForQuery((tmp.Path() / "missing").string()).fd, -1);
  EXPECT_EQ(BytesAtPath(card.string()), 4096u);
  EXPECT_EQ(BytesAtPath(tmp.Path().string()), 0u);  // a folder is no image
}

// A card reader whose nodes the test user may not open, as /dev/mmcblk0 is
// for a user outside the disk group: the drive panel must still know the
// card, and reading asks the opener, once.
class LinuxPlatformAccessTest : public ::testing::Test {
 protected:
  static constexpr std::uint64_t kCardBytes = 1 << 20;

  void SetUp() override {
    AddDisk(sys_, "mmcblk0", 0, kCardBytes / 512, "", 4096);
    AddPartition(sys_, "mmcblk0p1", kCardBytes / 2 / 512);
    AddDisk(sys_, "sdz", 1, 0);  // a reader slot without a card
    WriteImage(dev_ / "mmcblk0", kCardBytes);
    WriteImage(dev_ / "mmcblk0p1", kCardBytes / 2);
    WriteText(dev_ / "sdz", "");
    // Descriptors the opener hands over, taken while the test may still open the nodes.
    card_ = ::open((dev_ / "mmcblk0").c_str(), O_RDONLY | O_CLOEXEC);
    writable_ = ::open((dev_ / "mmcblk0").c_str(), O_RDWR | O_CLOEXEC);
    other_ = ::open((dev_ / "mmcblk0p1").c_str(), O_RDONLY | O_CLOEXEC);
    for (const char* node : {"mmcblk0", "mmcblk0p1", "sdz"}) {
      fs::permissions(dev_ / node, fs::perms::none);
    }
    if (!TWithoutFileRights::Denied(tmp_.Path() / "scratch")) {
      GTEST_SKIP() << "this test user can open files nobody may read";
    }
  }

  void TearDown() override {
    for (int fd : {card_, writable_, other_}) {
      if (fd >= 0) ::close(fd);
    }
  }

  // Gives the descriptor (a copy of it) and counts the calls.
  void HandOver(LinuxPlatform& platform, const int& fd) {
    platform.SetDeviceOpener([this, &fd](const std::string& path, std::string& why) {
      asked_.push_back(path);
      if (fd < 0) {
        why = "Access refused: not now";
        return -1;
      }
      handedOver_ = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
      return handedOver_;
    });
  }

  LinuxPlatform Make() { return LinuxPlatform({}, sys_.string(), dev_.string()); }

  char LetterOfNode(LinuxPlatform& platform, const std::string& node) {
    return LetterOf(platform, (dev_ / node).string());
  }

  static std::uint8_t Drive(char letter) { return static_cast<std::uint8_t>(letter - 64); }

  // The disk unit works on the platform until the end of the scope.
  struct BoundUnit {
    explicit BoundUnit(LinuxPlatform& platform) { InitDiskAccess(platform); }
    ~BoundUnit() { DoneDiskAccess(); }
  };

  TTempDir tmp_;
  fs::path sys_ = tmp_.Path() / "sys";
  fs::path dev_ = tmp_.Path() / "dev";
  TWithoutFileRights userRights_;
  int card_ = -1;
  int writable_ = -1;
  int other_ = -1;
  int handedOver_ = -1;
  std::vector<std::string> asked_;
};

TEST_F(LinuxPlatformAccessTest, GeometryComesFromSysfsWithoutRightsToTheDevice) {
  LinuxPlatform platform = Make();
  HandOver(platform, card_);
  BoundUnit unit(platform);
  TDriveGeometry geometry{};
  ASSERT_TRUE(GetDriveGeometry(Drive(LetterOfNode(platform, "mmcblk0")), geometry));
  EXPECT_EQ(geometry.BytesPerSector, 4096u);
  EXPECT_EQ(geometry.TotalSectors, kCardBytes / 4096);
  EXPECT_EQ(geometry.MediaKind, mkRemovable);
  // A partition has its disk's sector size.
  ASSERT_TRUE(GetDriveGeometry(Drive(LetterOfNode(platform, "mmcblk0p1")), geometry));
  EXPECT_EQ(geometry.BytesPerSector, 4096u);
  EXPECT_EQ(geometry.TotalSectors, kCardBytes / 2 / 4096);
  EXPECT_EQ(platform.Describe(LetterOfNode(platform, "mmcblk0p1")).sectorBytes, 4096u);
  // An empty slot stays not ready, and a device without a node is not there.
  EXPECT_FALSE(GetDriveGeometry(Drive(LetterOfNode(platform, "sdz")), geometry));
  fs::remove(dev_ / "mmcblk0p1");
  EXPECT_FALSE(GetDriveGeometry(Drive(LetterOfNode(platform, "mmcblk0p1")), geometry));
  EXPECT_TRUE(asked_.empty());

  // The query handle reads nothing.
  const Handle query = platform.OpenVolume(LetterOfNode(platform, "mmcblk0"), false);
  ASSERT_NE(query, INVALID_HANDLE_VALUE);
  std::vector<std::uint8_t> buffer(4096);
  std::uint32_t got = 0;
  EXPECT_FALSE(platform.ReadAt(query, 0, buffer.data(), 4096, got));
  platform.CloseHandle(query);
}

TEST_F(LinuxPlatformAccessTest, TheOpenerIsAskedOnceAndItsDescriptorServesEveryRead) {
  LinuxPlatform platform = Make();
  HandOver(platform, card_);
  BoundUnit unit(platform);
  const char letter = LetterOfNode(platform, "mmcblk0");
  std::string why = "stale";
  ASSERT_TRUE(platform.PrepareToRead(letter, why)) << why;
  EXPECT_EQ(why, "");
  EXPECT_EQ(asked_, std::vector<std::string>{(dev_ / "mmcblk0").string()});

  TDriveGeometry geometry{};
  ASSERT_TRUE(GetDriveGeometry(Drive(letter), geometry));
  std::vector<std::uint8_t> card(kCardBytes);
  for (std::uint32_t first = 0; first < geometry.TotalSectors; first += 16) {
    ASSERT_TRUE(ReadSectors(Drive(letter), first, 16, card.data() + first * 4096, 16 * 4096))
        << first;
  }
  for (std::uint64_t i = 0; i < kCardBytes; ++i) ASSERT_EQ(card[i], PatternByte(i)) << i;
  std::vector<std::uint8_t> sector(4096);
  ASSERT_TRUE(ReadSectorsUncached(Drive(letter), 7, 1, sector.data(), sector.size()));
  EXPECT_EQ(sector[0], PatternByte(7 * 4096));

  // Later opens, and a later pick of the drive, reuse what was handed over.
  for (int i = 0; i < 2; ++i) {
    const Handle volume = platform.OpenVolume(letter, true);
    ASSERT_NE(volume, INVALID_HANDLE_VALUE);
    EXPECT_EQ(::fcntl(static_cast<int>(volume), F_GETFL) & O_ACCMODE, O_RDONLY);
    EXPECT_TRUE(::fcntl(static_cast<int>(volume), F_GETFD) & FD_CLOEXEC);
    platform.CloseHandle(volume);
  }
  EXPECT_TRUE(platform.PrepareToRead(letter, why));
  EXPECT_EQ(asked_.size(), 1u);
}

TEST_F(LinuxPlatformAccessTest, RefusalIsTheReasonAndOnlyTheNextPickAsksAgain) {
  LinuxPlatform platform = Make();
  const int none = -1;
  HandOver(platform, none);
  BoundUnit unit(platform);
  const char letter = LetterOfNode(platform, "mmcblk0");
  std::string why;
  EXPECT_FALSE(platform.PrepareToRead(letter, why));
  EXPECT_EQ(why, "Access refused: not now");
  // A scan's reads do not bring the prompt back.
  std::vector<std::uint8_t> sector(4096);
  EXPECT_FALSE(ReadSectors(Drive(letter), 0, 1, sector.data(), sector.size()));
  EXPECT_EQ(LastReadFailure(), rfDriveGone);
  EXPECT_EQ(asked_.size(), 1u);
  EXPECT_FALSE(platform.PrepareToRead(letter, why));
  EXPECT_EQ(asked_.size(), 2u);

  // Without an opener there is no one to ask.
  platform.SetDeviceOpener({});
  EXPECT_FALSE(platform.PrepareToRead(letter, why));
  EXPECT_EQ(why, "No permission to read " + (dev_ / "mmcblk0").string());
  EXPECT_EQ(platform.OpenVolume(letter, true), INVALID_HANDLE_VALUE);
}

TEST_F(LinuxPlatformAccessTest, OnlyAReadOnlyDescriptorOfThatVeryDeviceIsKept) {
  ASSERT_GE(writable_, 0);
  LinuxPlatform platform = Make();
  const char letter = LetterOfNode(platform, "mmcblk0");
  std::string why;
  HandOver(platform, writable_);
  EXPECT_FALSE(platform.PrepareToRead(letter, why));
  EXPECT_NE(why.find("not read-only"), std::string::npos) << why;
  EXPECT_EQ(::fcntl(handedOver_, F_GETFD), -1);  // closed at once, never used

  HandOver(platform, other_);
  EXPECT_FALSE(platform.PrepareToRead(letter, why));
  EXPECT_NE(why.find("is not " + (dev_ / "mmcblk0").string()), std::string::npos) << why;
  EXPECT_EQ(::fcntl(handedOver_, F_GETFD), -1);
}

TEST_F(LinuxPlatformAccessTest, AccessGoesAwayWithTheDevice) {
  LinuxPlatform platform = Make();
  HandOver(platform, card_);
  const char letter = LetterOfNode(platform, "mmcblk0");
  std::string why;
  ASSERT_TRUE(platform.PrepareToRead(letter, why)) << why;

  // The card came back under a new node: the old grant does not reach it.
  fs::remove(dev_ / "mmcblk0");
  WriteImage(dev_ / "mmcblk0", kCardBytes);
  ::close(card_);
  card_ = ::open((dev_ / "mmcblk0").c_str(), O_RDONLY | O_CLOEXEC);
  fs::permissions(dev_ / "mmcblk0", fs::perms::none);
  const Handle volume = platform.OpenVolume(letter, true);
  EXPECT_NE(volume, INVALID_HANDLE_VALUE);
  platform.CloseHandle(volume);
  EXPECT_EQ(asked_.size(), 2u);

  // A device gone from the system takes its access along, even if it comes back.
  fs::remove_all(sys_ / "mmcblk0");
  platform.LogicalDriveRoots();
  AddDisk(sys_, "mmcblk0", 0, kCardBytes / 512, "", 4096);
  platform.LogicalDriveRoots();
  ASSERT_TRUE(platform.PrepareToRead(letter, why)) << why;
  EXPECT_EQ(asked_.size(), 3u);
}

TEST_F(LinuxPlatformAccessTest, ReadableDevicesAndImagesAreOpenedDirectly) {
  fs::permissions(dev_ / "mmcblk0", fs::perms::owner_read);
  const fs::path image = tmp_.Path() / "card.img";
  WriteImage(image, 4096);
  LinuxPlatform platform({image.string()}, sys_.string(), dev_.string());
  HandOver(platform, card_);
  std::string why;
  EXPECT_TRUE(platform.PrepareToRead(LetterOfNode(platform, "mmcblk0"), why)) << why;
  const char imageLetter = LetterOf(platform, image.string());  // after the card reader
  ASSERT_NE(imageLetter, 0);
  EXPECT_TRUE(platform.PrepareToRead(imageLetter, why)) << why;
  // An image file is nobody else's to open: its own error is the reason.
  fs::permissions(image, fs::perms::none);
  EXPECT_FALSE(platform.PrepareToRead(imageLetter, why));
  EXPECT_EQ(why, "Cannot open " + image.string() + ": Permission denied");
  EXPECT_TRUE(asked_.empty());
}

// A device the system refuses to root (a nodev mount here; a container's
// device rules or a security module elsewhere) is not udisks2's to open: the
// reason is the system's own. Root without its file rights is as a user is,
// and goes through the opener.
TEST(DeviceAccess, RootRefusedByTheSystemHearsTheSystemsReason) {
  TTempDir tmp;
  const fs::path sys = tmp.Path() / "sys";
  TRefusedNodes dev(tmp.Path() / "dev");
  if (!dev.Add("sdq")) GTEST_SKIP() << "needs root, tmpfs mounts and device nodes";
  AddDisk(sys, "sdq", 1, 2048);
  LinuxPlatform platform({}, sys.string(), dev.Folder().string());
  std::vector<std::string> asked;
  platform.SetDeviceOpener([&asked](const std::string& path, std::string& why) {
    asked.push_back(path);
    why = "udisks2 is not running";
    return -1;
  });
  const std::string node = (dev.Folder() / "sdq").string();
  const char letter = LetterOf(platform, node);
  ASSERT_NE(letter, 0);
  ASSERT_TRUE(PassesOverFilePermissions());
  std::string why;
  EXPECT_FALSE(platform.PrepareToRead(letter, why));
  EXPECT_EQ(why, "The system refuses to open " + node + ": Permission denied");
  EXPECT_EQ(why, SystemRefusal(node, EACCES));
  EXPECT_TRUE(asked.empty());

  TWithoutFileRights userRights;
  EXPECT_FALSE(PassesOverFilePermissions());
  EXPECT_FALSE(platform.PrepareToRead(letter, why));
  EXPECT_EQ(why, "udisks2 is not running");
  EXPECT_EQ(asked, std::vector<std::string>{node});
}

TEST(DeviceAccess, TheSystemsRefusalGivesItsOwnWords) {
  EXPECT_EQ(SystemRefusal("/dev/sdb", EPERM),
            "The system refuses to open /dev/sdb: Operation not permitted");
  EXPECT_EQ(SystemRefusal("/dev/mmcblk0", EACCES),
            "The system refuses to open /dev/mmcblk0: Permission denied");
}

}  // namespace
