// SPDX-License-Identifier: GPL-3.0-or-later
// Which drives are listed, in which order, under which letters.
#include "diskio/drivelist.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <tuple>

#include "diskio/linuxplatform.h"
#include "tests/diskio/fixtures.h"
#include "tests/support/tempdir.h"

namespace fs = std::filesystem;
using namespace diskio_test;

namespace {

class DriveListTest : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteImage(image_, 512 * 10 + 100);
    AddDisk(sys_, "fd0", 1, 2880);
    BindLoop(sys_, "loop0");
    AddDisk(sys_, "loop1", 0);  // unbound: no loop/backing_file
    AddDisk(sys_, "mmcblk0", 0);
    AddPartition(sys_, "mmcblk0p1");
    AddDisk(sys_, "nbd0", 0);
    AddDisk(sys_, "sda", 0, 1000, "Samsung SSD ");
    AddPartition(sys_, "sda1", 900);
    AddDisk(sys_, "sdb", 1);
    AddPartition(sys_, "sdb1");
    AddDisk(sys_, "sr0", 1);
    AddDisk(sys_, "zram0", 0);
  }

  LinuxPlatform Make() { return LinuxPlatform({image_.string()}, sys_.string(), dev_.string()); }

  std::string Dev(const std::string& name) { return (dev_ / name).string(); }

  TTempDir tmp_;
  fs::path sys_ = tmp_.Path() / "sys";
  fs::path dev_ = tmp_.Path() / "dev";
  fs::path image_ = tmp_.Path() / "card.img";
};

TEST_F(DriveListTest, ListsReadersThenImagesThenTheRest) {
  LinuxPlatform platform = Make();
  EXPECT_EQ(
      Letters(platform),
      (std::vector<std::string>{
          "A: " + Dev("fd0"), "C: " + Dev("mmcblk0"), "D: " + Dev("mmcblk0p1"), "E: " + Dev("sdb"),
          "F: " + Dev("sdb1"), "G: " + image_.string(), "H: " + Dev("loop0"), "I: " + Dev("nbd0"),
          "J: " + Dev("sda"), "K: " + Dev("sda1"), "L: " + Dev("sr0"), "M: " + Dev("zram0")}));
  EXPECT_EQ(platform.LogicalDriveRoots().front(), "a:\\");
}

TEST_F(DriveListTest, KindsFollowTheDeviceFamilyAndRemovableFlag) {
  LinuxPlatform platform = Make();
  const std::vector<std::pair<std::string, unsigned>> expected = {
      {"a:\\", DRIVE_REMOVABLE},   {"C:\\", DRIVE_REMOVABLE},   {"d:\\", DRIVE_REMOVABLE},
      {"E:\\", DRIVE_REMOVABLE},   {"f:\\", DRIVE_REMOVABLE},   {"G:\\", DRIVE_REMOVABLE},
      {"h:\\", DRIVE_REMOVABLE},   {"I:\\", DRIVE_UNKNOWN},     {"j:\\", DRIVE_FIXED},
      {"K:\\", DRIVE_FIXED},       {"L:\\", DRIVE_CDROM},       {"m:\\", DRIVE_RAMDISK},
      {"N:\\", DRIVE_NO_ROOT_DIR}, {"B:\\", DRIVE_NO_ROOT_DIR}, {"", DRIVE_NO_ROOT_DIR}};
  for (const auto& [root, kind] : expected) EXPECT_EQ(platform.DriveType(root), kind) << root;
}

TEST_F(DriveListTest, DescribeGivesModelOfTheDiskAndSize) {
  LinuxPlatform platform = Make();
  const DriveDescription sda = platform.Describe('J');
  EXPECT_EQ(sda.model, "Samsung SSD");
  EXPECT_EQ(sda.sizeBytes, 1000u * 512);
  const DriveDescription sda1 = platform.Describe('k');
  EXPECT_EQ(sda1.path, Dev("sda1"));
  EXPECT_EQ(sda1.model, "Samsung SSD");
  EXPECT_EQ(sda1.sizeBytes, 900u * 512);
  EXPECT_EQ(sda1.sectorBytes, 512u);
  EXPECT_EQ(platform.Describe('G').sizeBytes, 512u * 10 + 100);
  EXPECT_EQ(platform.Describe('G').sectorBytes, 0u);  // an image file: not from sysfs
  EXPECT_EQ(platform.Describe('I').model, "");
  EXPECT_EQ(platform.Describe('Q').path, "");
  EXPECT_TRUE(Notes(platform).empty());
}

TEST_F(DriveListTest, LettersStayWithTheirDevicesAcrossRefresh) {
  LinuxPlatform platform = Make();
  fs::remove_all(sys_ / "sdb");
  fs::remove_all(sys_ / "sdb1");
  AddDisk(sys_, "sdc", 1);
  EXPECT_EQ(platform.LogicalDriveRoots().size(), 11u);
  EXPECT_EQ(platform.DriveType("E:\\"), DRIVE_NO_ROOT_DIR);
  EXPECT_EQ(platform.Describe('N').path, Dev("sdc"));  // not the freed E, though a reader
  EXPECT_EQ(platform.Describe('L').path, Dev("sr0"));
  // Listed with the readers, whatever its letter.
  EXPECT_EQ(Paths(platform)[3], Dev("sdc"));

  AddDisk(sys_, "sdb", 1);
  AddDisk(sys_, "sdd", 0);
  platform.LogicalDriveRoots();
  EXPECT_EQ(platform.Describe('E').path, Dev("sdb"));
  EXPECT_EQ(platform.Describe('O').path, Dev("sdd"));
  EXPECT_EQ(platform.DriveType("f:\\"), DRIVE_NO_ROOT_DIR);
}

TEST_F(DriveListTest, RelativeImagePathIsMadeAbsolute) {
  const fs::path before = fs::current_path();
  fs::current_path(tmp_.Path());
  LinuxPlatform platform({"card.img"}, sys_.string(), dev_.string());
  fs::current_path(before);
  EXPECT_EQ(platform.Describe('G').path, image_.string());
}

// The machine of the report: snaps on thirty loop devices, an SD card in the
// built-in reader, a USB reader without a card, and a card image the user
// attached with losetup -r.
class SnappyMachineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteImage(image_, 512 * 64);
    AddDisk(sys_, "nvme0n1", 0, 1000000, "Fast NVMe");
    for (int i = 1; i <= 3; ++i) AddPartition(sys_, "nvme0n1p" + std::to_string(i));
    for (int i = 0; i < 30; ++i) {
      // snapd's old revisions linger as deleted files.
      const std::string snap = "/var/lib/snapd/snaps/core22_" + std::to_string(1000 + i) + ".snap";
      BindLoop(sys_, "loop" + std::to_string(i), i % 3 == 0 ? snap + " (deleted)" : snap, true);
    }
    AddDisk(sys_, "mmcblk0", 0, 3964928);
    AddPartition(sys_, "mmcblk0p1", 3956736);
    AddDisk(sys_, "sdb", 1, 0, "USB3.0 CRW-SD");
    BindLoop(sys_, "loop30", "/home/me/card.img", true);
  }

  LinuxPlatform Make() { return LinuxPlatform({image_.string()}, sys_.string(), "/dev"); }

  TTempDir tmp_;
  fs::path sys_ = tmp_.Path() / "sys";
  fs::path image_ = tmp_.Path() / "dump.img";
};

TEST_F(SnappyMachineTest, ReadersComeFirstAndSnapsAreNotListed) {
  ::testing::internal::CaptureStderr();
  LinuxPlatform platform = Make();
  EXPECT_EQ(Letters(platform), (std::vector<std::string>{
                                   "C: /dev/mmcblk0", "D: /dev/mmcblk0p1", "E: /dev/sdb",
                                   "F: " + image_.string(), "G: /dev/loop30", "H: /dev/nvme0n1",
                                   "I: /dev/nvme0n1p1", "J: /dev/nvme0n1p2", "K: /dev/nvme0n1p3"}));
  EXPECT_EQ(platform.DriveType("E:\\"), DRIVE_REMOVABLE);
  EXPECT_EQ(platform.Describe('E').sizeBytes, 0u);  // listed, and reads as not ready
  EXPECT_TRUE(Notes(platform).empty());
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

TEST_F(SnappyMachineTest, WhenLettersRunShortTheFixedDisksGoWithoutAndSaySo) {
  for (int i = 4; i <= 30; ++i) AddPartition(sys_, "nvme0n1p" + std::to_string(i));
  ::testing::internal::CaptureStderr();
  LinuxPlatform platform = Make();
  const std::vector<std::string> listed = Letters(platform);
  const std::string said = ::testing::internal::GetCapturedStderr();

  // The empty reader slot yields to the rest, yet still finds a letter: W: to
  // Z: are never given to fixed disks.
  std::vector<std::string> expected = {"C: /dev/mmcblk0", "D: /dev/mmcblk0p1",
                                       "W: /dev/sdb",     "E: " + image_.string(),
                                       "F: /dev/loop30",  "G: /dev/nvme0n1"};
  for (int i = 1; i <= 15; ++i) {
    expected.push_back(std::string{static_cast<char>('G' + i)} + ": /dev/nvme0n1p" +
                       std::to_string(i));
  }
  EXPECT_EQ(listed, expected);

  const std::string note =
      "No drive letter left for 15 more drives: /dev/nvme0n1p16, /dev/nvme0n1p17, "
      "/dev/nvme0n1p18, /dev/nvme0n1p19, /dev/nvme0n1p20 and 10 more";
  EXPECT_EQ(said, "fernhollow: " + note + "\n");
  // On the last drive listed, where the missing ones would have been.
  EXPECT_EQ(Notes(platform), (std::map<char, std::string>{{'V', note}}));

  ::testing::internal::CaptureStderr();
  EXPECT_EQ(Letters(platform), expected);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "") << "said again at a Refresh";
}

TEST(DriveList, ReadersArrivingLaterAreNeverTheOnesLeftOut) {
  TTempDir tmp;
  const fs::path sys = tmp.Path() / "sys";
  const fs::path dev = tmp.Path() / "dev";
  for (int i = 0; i < 30; ++i) AddDisk(sys, "nvme" + std::to_string(i) + "n1", 0);
  AddDisk(sys, "sdb", 1, 0);  // a USB reader without a card
  ::testing::internal::CaptureStderr();
  LinuxPlatform platform({}, sys.string(), dev.string());
  const auto letterOf = [&](const std::string& name) {
    return LetterOf(platform, (dev / name).string());
  };
  EXPECT_EQ(letterOf("nvme0n1"), 'C');
  EXPECT_EQ(letterOf("nvme19n1"), 'V');
  EXPECT_EQ(letterOf("nvme20n1"), 0);
  EXPECT_EQ(letterOf("sdb"), 'W');
  std::string said = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(said.find(" 10 more drives: " + (dev / "nvme20n1").string() + ", "), std::string::npos)
      << said;

  // A card in the built-in slot takes the letters kept for readers, while a
  // departed fixed disk keeps its own: the cut among them does not move.
  ::testing::internal::CaptureStderr();
  fs::remove_all(sys / "nvme0n1");
  AddDisk(sys, "mmcblk0", 0, 2048);
  AddPartition(sys, "mmcblk0p1", 2040);
  EXPECT_EQ(letterOf("mmcblk0"), 'X');
  EXPECT_EQ(letterOf("mmcblk0p1"), 'Y');
  EXPECT_EQ(platform.DriveType("C:\\"), DRIVE_NO_ROOT_DIR);
  EXPECT_EQ(letterOf("nvme20n1"), 0);
  EXPECT_EQ(platform.LogicalDriveRoots().front(), "x:\\");  // listed first all the same

  // A card in the USB reader: its partition takes the last free letter.
  WriteText(sys / "sdb" / "size", "4096\n");
  AddPartition(sys, "sdb1", 4000);
  EXPECT_EQ(letterOf("sdb"), 'W');
  EXPECT_EQ(letterOf("sdb1"), 'Z');
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "") << "the same drives still go without";

  // A second reader with a card: the departed disk's letter, then that of the
  // last fixed disk not open.
  WriteImage(dev / "nvme19n1", 512);
  const Handle open = platform.OpenVolume('V', true);
  ASSERT_NE(open, INVALID_HANDLE_VALUE);
  AddDisk(sys, "sdc", 1, 8192);
  AddPartition(sys, "sdc1", 8000);
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(letterOf("sdc"), 'C');
  EXPECT_EQ(letterOf("sdc1"), 'U');
  EXPECT_EQ(letterOf("nvme18n1"), 0);
  EXPECT_EQ(letterOf("nvme19n1"), 'V');
  said = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(said.find(" 11 more drives: " + (dev / "nvme18n1").string() + ", "), std::string::npos)
      << said;

  // The card leaves the first USB reader and a third reader comes: it takes
  // what the card left and the empty slot's letter.
  WriteText(sys / "sdb" / "size", "0\n");
  fs::remove_all(sys / "sdb1");
  AddDisk(sys, "sdd", 1, 8192);
  AddPartition(sys, "sdd1", 8000);
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(letterOf("sdd"), 'Z');
  EXPECT_EQ(letterOf("sdd1"), 'W');
  EXPECT_EQ(letterOf("sdb"), 0);
  said = ::testing::internal::GetCapturedStderr();
  const std::string note = "No drive letter left for 12 more drives: " + (dev / "sdb").string() +
                           ", " + (dev / "nvme18n1").string() + ", " + (dev / "nvme20n1").string() +
                           ", " + (dev / "nvme21n1").string() + ", " + (dev / "nvme22n1").string() +
                           " and 7 more";
  EXPECT_EQ(said, "fernhollow: " + note + "\n");
  EXPECT_EQ(Notes(platform), (std::map<char, std::string>{{'V', note}}));
  platform.CloseHandle(open);
}

TEST(DriveList, LoopsOfSystemImagesAreLeftOutAndAttachedCardsKept) {
  TTempDir tmp;
  const fs::path sys = tmp.Path() / "sys";
  const std::vector<std::tuple<std::string, bool, bool>> loops = {
      // backing file, read-only, listed
      {"/var/lib/snapd/snaps/firefox_4173.snap", true, false},
      {"/var/lib/snapd/snaps/core22_1122.snap (deleted)", true, false},
      {"/var/lib/snapd/seed/snaps/core_1", false, false},
      {"/cdrom/casper/filesystem.squashfs", true, false},
      {"/run/initramfs/live/LiveOS/squashfs.sfs", true, false},
      {"/usr/lib/live/mount/medium/rootfs.img", true, false},
      {"/snap/core/current/img", true, false},
      {"/home/me/card.img", true, true},
      {"/home/me/card.img (deleted)", false, true},
      {"/snapshots/card.img", true, true},
      {"/usr/lib-cards/card.img", true, true},
      {"/usr/lib/card.img", false, true},
      {"/home/me/card.snap.img", true, true},
  };
  std::vector<std::string> expected;
  for (std::size_t i = 0; i < loops.size(); ++i) {
    const auto& [backing, readOnly, listed] = loops[i];
    const std::string name = "loop" + std::to_string(i);
    BindLoop(sys, name, backing, readOnly);
    AddPartition(sys, name + "p1");
    if (listed) expected.insert(expected.end(), {"/dev/" + name, "/dev/" + name + "p1"});
  }
  LinuxPlatform platform({}, sys.string(), "/dev");
  EXPECT_EQ(Paths(platform), expected);
}

TEST(DriveList, PartitionsNestedInTheirDiskAsInRealSysfs) {
  TTempDir tmp;
  const fs::path devices = tmp.Path() / "devices";
  const fs::path sys = tmp.Path() / "class";
  AddDisk(devices, "reader", 1, 64, "Card Reader");
  AddPartition(devices / "reader", "reader-part1");
  BindLoop(devices, "loop3");
  AddPartition(devices / "loop3", "loop3p1");
  AddDisk(devices, "loop4", 0);
  AddPartition(devices / "loop4", "loop4p1");
  AddDisk(devices, "nvme0c0n1", 0);
  WriteText(devices / "nvme0c0n1" / "hidden", "1\n");
  fs::create_directories(sys);
  for (const char* nested : {"reader/reader-part1", "loop3/loop3p1", "loop4/loop4p1"}) {
    fs::create_directory_symlink(devices / nested, sys / fs::path(nested).filename());
  }
  for (const char* disk : {"reader", "loop3", "loop4", "nvme0c0n1"}) {
    fs::create_directory_symlink(devices / disk, sys / disk);
  }
  LinuxPlatform platform({}, sys.string(), "/dev");
  EXPECT_EQ(Paths(platform), (std::vector<std::string>{"/dev/reader", "/dev/reader-part1",
                                                       "/dev/loop3", "/dev/loop3p1"}));
  EXPECT_EQ(platform.DriveType("D:\\"), DRIVE_REMOVABLE);
  EXPECT_EQ(platform.Describe('D').model, "Card Reader");
}

TEST(DriveList, MissingSysfsLeavesTheImages) {
  LinuxPlatform platform({"/srv/card.img"}, "/nonexistent/sys/class/block", "/dev");
  EXPECT_EQ(platform.LogicalDriveRoots(), std::vector<std::string>{"c:\\"});
}

TEST(DriveListNames, NaturalOrder) {
  std::vector<std::string> names = {"sdb",     "loop10",     "sda1",    "mmcblk0p1", "loop2",
                                    "sda",     "mmcblk0",    "sda10",   "sda2",      "nvme0n1p2",
                                    "nvme0n1", "nvme0n1p10", "mmcblk10"};
  std::sort(names.begin(), names.end(), NaturalNameLess);
  EXPECT_EQ(names, (std::vector<std::string>{"loop2", "loop10", "mmcblk0", "mmcblk0p1", "mmcblk10",
                                             "nvme0n1", "nvme0n1p2", "nvme0n1p10", "sda", "sda1",
                                             "sda2", "sda10", "sdb"}));
  EXPECT_FALSE(NaturalNameLess("sda1", "sda1"));
  EXPECT_TRUE(NaturalNameLess("sda1", "sda01"));
  EXPECT_FALSE(NaturalNameLess("sda01", "sda1"));
}

}  // namespace
