// SPDX-License-Identifier: GPL-3.0-or-later
#include "diskio/linuxplatform.h"

#include <sys/stat.h>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <thread>
#include <tuple>

#include "diskio/ldiskio.h"
#include "tests/support/norights.h"

namespace fs = std::filesystem;

namespace {

class TempDir {
 public:
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "fernhollow-XXXXXX").string();
    if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~TempDir() {
    std::error_code error;
    fs::remove_all(path_, error);
  }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

void WriteText(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

std::uint8_t PatternByte(std::uint64_t offset) {
  return static_cast<std::uint8_t>((offset >> 9) * 31 + offset);
}

void WriteImage(const fs::path& path, std::uint64_t bytes) {
  std::string data(bytes, '\0');
  for (std::uint64_t i = 0; i < bytes; ++i) data[i] = static_cast<char>(PatternByte(i));
  WriteText(path, data);
}

void AddDisk(const fs::path& sys, const std::string& name, int removable,
             std::uint64_t sectors = 1000, const std::string& model = "",
             std::uint32_t sectorBytes = 512) {
  WriteText(sys / name / "removable", std::to_string(removable) + "\n");
  WriteText(sys / name / "size", std::to_string(sectors) + "\n");
  WriteText(sys / name / "queue" / "logical_block_size", std::to_string(sectorBytes) + "\n");
  if (!model.empty()) WriteText(sys / name / "device" / "model", model + "\n");
}

void AddPartition(const fs::path& sys, const std::string& name, std::uint64_t sectors = 900) {
  WriteText(sys / name / "partition", "1\n");
  WriteText(sys / name / "size", std::to_string(sectors) + "\n");
}

void BindLoop(const fs::path& sys, const std::string& name,
              const std::string& backing = "/srv/card.img", bool readOnly = false) {
  AddDisk(sys, name, 0);
  WriteText(sys / name / "loop" / "backing_file", backing + "\n");
  WriteText(sys / name / "ro", readOnly ? "1\n" : "0\n");
}

// What stands behind each listed drive, in list order.
std::vector<std::string> Paths(LinuxPlatform& platform) {
  std::vector<std::string> paths;
  for (const std::string& root : platform.LogicalDriveRoots()) {
    paths.push_back(platform.Describe(root[0]).path);
  }
  return paths;
}

// Each listed drive as "X: path", in list order.
std::vector<std::string> Letters(LinuxPlatform& platform) {
  std::vector<std::string> listed;
  for (const std::string& root : platform.LogicalDriveRoots()) {
    const char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(root[0])));
    listed.push_back(std::string{letter} + ": " + platform.Describe(letter).path);
  }
  return listed;
}

char LetterOf(LinuxPlatform& platform, const std::string& path) {
  for (const std::string& root : platform.LogicalDriveRoots()) {
    if (platform.Describe(root[0]).path == path) return root[0];
  }
  return 0;
}

// The drive letters whose description carries a note, with the note.
std::map<char, std::string> Notes(LinuxPlatform& platform) {
  std::map<char, std::string> notes;
  for (char letter = 'A'; letter <= 'Z'; ++letter) {
    const std::string note = platform.Describe(letter).note;
    if (!note.empty()) notes[letter] = note;
  }
  return notes;
}

class LinuxPlatformTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(tmp_.path().empty());
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

  TempDir tmp_;
  fs::path sys_ = tmp_.path() / "sys";
  fs::path dev_ = tmp_.path() / "dev";
  fs::path image_ = tmp_.path() / "card.img";
};

TEST_F(LinuxPlatformTest, ListsReadersThenImagesThenTheRest) {
  LinuxPlatform platform = Make();
  EXPECT_EQ(
      Letters(platform),
      (std::vector<std::string>{
          "A: " + Dev("fd0"), "C: " + Dev("mmcblk0"), "D: " + Dev("mmcblk0p1"), "E: " + Dev("sdb"),
          "F: " + Dev("sdb1"), "G: " + image_.string(), "H: " + Dev("loop0"), "I: " + Dev("nbd0"),
          "J: " + Dev("sda"), "K: " + Dev("sda1"), "L: " + Dev("sr0"), "M: " + Dev("zram0")}));
  EXPECT_EQ(platform.LogicalDriveRoots().front(), "a:\\");
}

TEST_F(LinuxPlatformTest, KindsFollowTheDeviceFamilyAndRemovableFlag) {
  LinuxPlatform platform = Make();
  const std::vector<std::pair<std::string, unsigned>> expected = {
      {"a:\\", DRIVE_REMOVABLE},   {"C:\\", DRIVE_REMOVABLE},   {"d:\\", DRIVE_REMOVABLE},
      {"E:\\", DRIVE_REMOVABLE},   {"f:\\", DRIVE_REMOVABLE},   {"G:\\", DRIVE_REMOVABLE},
      {"h:\\", DRIVE_REMOVABLE},   {"I:\\", DRIVE_UNKNOWN},     {"j:\\", DRIVE_FIXED},
      {"K:\\", DRIVE_FIXED},       {"L:\\", DRIVE_CDROM},       {"m:\\", DRIVE_RAMDISK},
      {"N:\\", DRIVE_NO_ROOT_DIR}, {"B:\\", DRIVE_NO_ROOT_DIR}, {"", DRIVE_NO_ROOT_DIR}};
  for (const auto& [root, kind] : expected) EXPECT_EQ(platform.DriveType(root), kind) << root;
}

TEST_F(LinuxPlatformTest, DescribeGivesModelOfTheDiskAndSize) {
  LinuxPlatform platform = Make();
  const DriveDescription sda = platform.Describe('J');
  EXPECT_EQ(sda.model, "Samsung SSD");
  EXPECT_EQ(sda.sizeBytes, 1000u * 512);
  const DriveDescription sda1 = platform.Describe('k');
  EXPECT_EQ(sda1.path, Dev("sda1"));
  EXPECT_EQ(sda1.model, "Samsung SSD");
  EXPECT_EQ(sda1.sizeBytes, 900u * 512);
  EXPECT_EQ(platform.Describe('G').sizeBytes, 512u * 10 + 100);
  EXPECT_EQ(platform.Describe('I').model, "");
  EXPECT_EQ(platform.Describe('Q').path, "");
  EXPECT_TRUE(Notes(platform).empty());
}

TEST_F(LinuxPlatformTest, LettersStayWithTheirDevicesAcrossRefresh) {
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

TEST_F(LinuxPlatformTest, RelativeImagePathIsMadeAbsolute) {
  const fs::path before = fs::current_path();
  fs::current_path(tmp_.path());
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
    ASSERT_FALSE(tmp_.path().empty());
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

  TempDir tmp_;
  fs::path sys_ = tmp_.path() / "sys";
  fs::path image_ = tmp_.path() / "dump.img";
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

TEST(LinuxPlatformDrives, ReadersArrivingLaterAreNeverTheOnesLeftOut) {
  TempDir tmp;
  const fs::path sys = tmp.path() / "sys";
  const fs::path dev = tmp.path() / "dev";
  for (int i = 0; i < 30; ++i) AddDisk(sys, "nvme" + std::to_string(i) + "n1", 0);
  AddDisk(sys, "sdb", 1, 0);  // a USB reader without a card
  ::testing::internal::CaptureStderr();
  LinuxPlatform platform({}, sys.string(), dev.string());
  const auto letterOf = [&](const std::string& name) {
    return LetterOf(platform, (dev / name).string());
  };
  EXPECT_EQ(letterOf("nvme0n1"), 'c');
  EXPECT_EQ(letterOf("nvme19n1"), 'v');
  EXPECT_EQ(letterOf("nvme20n1"), 0);
  EXPECT_EQ(letterOf("sdb"), 'w');
  std::string said = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(said.find(" 10 more drives: " + (dev / "nvme20n1").string() + ", "), std::string::npos)
      << said;

  // A card in the built-in slot takes the letters kept for readers, while a
  // departed fixed disk keeps its own: the cut among them does not move.
  ::testing::internal::CaptureStderr();
  fs::remove_all(sys / "nvme0n1");
  AddDisk(sys, "mmcblk0", 0, 2048);
  AddPartition(sys, "mmcblk0p1", 2040);
  EXPECT_EQ(letterOf("mmcblk0"), 'x');
  EXPECT_EQ(letterOf("mmcblk0p1"), 'y');
  EXPECT_EQ(platform.DriveType("C:\\"), DRIVE_NO_ROOT_DIR);
  EXPECT_EQ(letterOf("nvme20n1"), 0);
  EXPECT_EQ(platform.LogicalDriveRoots().front(), "x:\\");  // listed first all the same

  // A card in the USB reader: its partition takes the last free letter.
  WriteText(sys / "sdb" / "size", "4096\n");
  AddPartition(sys, "sdb1", 4000);
  EXPECT_EQ(letterOf("sdb"), 'w');
  EXPECT_EQ(letterOf("sdb1"), 'z');
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "") << "the same drives still go without";

  // A second reader with a card: the departed disk's letter, then that of the
  // last fixed disk not open.
  WriteImage(dev / "nvme19n1", 512);
  const Handle open = platform.OpenVolume('V', true);
  ASSERT_NE(open, INVALID_HANDLE_VALUE);
  AddDisk(sys, "sdc", 1, 8192);
  AddPartition(sys, "sdc1", 8000);
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(letterOf("sdc"), 'c');
  EXPECT_EQ(letterOf("sdc1"), 'u');
  EXPECT_EQ(letterOf("nvme18n1"), 0);
  EXPECT_EQ(letterOf("nvme19n1"), 'v');
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
  EXPECT_EQ(letterOf("sdd"), 'z');
  EXPECT_EQ(letterOf("sdd1"), 'w');
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

TEST(LinuxPlatformDrives, LoopsOfSystemImagesAreLeftOutAndAttachedCardsKept) {
  TempDir tmp;
  const fs::path sys = tmp.path() / "sys";
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

TEST(LinuxPlatformDrives, PartitionsNestedInTheirDiskAsInRealSysfs) {
  TempDir tmp;
  const fs::path devices = tmp.path() / "devices";
  const fs::path sys = tmp.path() / "class";
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

TEST(LinuxPlatformDrives, MissingSysfsLeavesTheImages) {
  LinuxPlatform platform({"/srv/card.img"}, "/nonexistent/sys/class/block", "/dev");
  EXPECT_EQ(platform.LogicalDriveRoots(), std::vector<std::string>{"c:\\"});
}

TEST(LinuxPlatformNames, NaturalOrderAndPartitionParents) {
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

  const std::vector<std::pair<std::string, std::string>> parents = {
      {"sda1", "sda"},          {"sdab12", "sdab"},   {"mmcblk0p1", "mmcblk0"},
      {"nvme0n1p2", "nvme0n1"}, {"loop0p1", "loop0"}, {"md127p3", "md127"},
      {"xvda3", "xvda"},        {"sda", ""},          {"", ""}};
  for (const auto& [name, parent] : parents) EXPECT_EQ(PartitionParentName(name), parent) << name;
}

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

TEST_F(LinuxPlatformTest, ImageGeometryFloorsToWholeSectors) {
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

TEST_F(LinuxPlatformTest, MediaTypeFollowsTheDriveKind) {
  for (const char* node : {"sda", "sdb", "zram0"}) WriteImage(dev_ / node, 512 * 8);
  LinuxPlatform platform = Make();
  for (const auto& [letter, media] : std::vector<std::pair<char, std::uint32_t>>{
           {'J', kMediaFixed}, {'E', kMediaRemovable}, {'M', kMediaUnknown}}) {
    const Handle volume = platform.OpenVolume(letter, true);
    DISK_GEOMETRY g{};
    ASSERT_TRUE(platform.QueryGeometry(volume, g)) << letter;
    EXPECT_EQ(g.MediaType, media) << letter;
    platform.CloseHandle(volume);
  }
  EXPECT_EQ(platform.OpenVolume('F', true), INVALID_HANDLE_VALUE);  // no node for sdb1
  EXPECT_EQ(platform.OpenVolume('Y', true), INVALID_HANDLE_VALUE);
}

TEST_F(LinuxPlatformTest, ReadsStopShortAtTheEnd) {
  LinuxPlatform platform = Make();
  const Handle volume = platform.OpenVolume(LetterOf(platform, image_.string()), true);
  ASSERT_NE(volume, INVALID_HANDLE_VALUE);
  const std::uint64_t size = 512 * 10 + 100;
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

TEST_F(LinuxPlatformTest, VolumesAreOpenedReadOnly) {
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

// Detaches the loop device whatever the test's outcome.
class LoopAttachment {
 public:
  explicit LoopAttachment(const fs::path& image) {
    const std::string command = "losetup --read-only --find --show '" + image.string() + "'";
    if (FILE* out = ::popen(command.c_str(), "r")) {
      char line[256] = {};
      if (std::fgets(line, sizeof(line), out) != nullptr) device_ = line;
      ::pclose(out);
    }
    while (!device_.empty() && std::isspace(static_cast<unsigned char>(device_.back()))) {
      device_.pop_back();
    }
  }
  ~LoopAttachment() {
    if (device_.empty()) return;
    const int status = std::system(("losetup -d '" + device_ + "'").c_str());
    static_cast<void>(status);
  }
  const std::string& device() const { return device_; }

 private:
  std::string device_;
};

TEST(LinuxPlatformLoopDevice, ReadOnlyLoopIsARemovableDriveOfExactSize) {
  if (::geteuid() != 0 || ::access("/dev/loop-control", R_OK | W_OK) != 0 ||
      std::system("losetup --version > /dev/null 2>&1") != 0) {
    GTEST_SKIP() << "needs root, /dev/loop-control and losetup";
  }
  TempDir tmp;
  const fs::path image = tmp.path() / "card.img";
  const std::uint64_t bytes = 3 * 1024 * 1024 + 7 * 512;
  WriteImage(image, bytes);
  LoopAttachment loop(image);
  if (loop.device().empty()) GTEST_SKIP() << "losetup could not attach an image here";
  const fs::path backing =
      fs::path("/sys/class/block") / fs::path(loop.device()).filename() / "loop" / "backing_file";
  for (int i = 0; i < 100 && !fs::exists(backing); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }

  LinuxPlatform platform({});
  std::string root;
  for (const std::string& candidate : platform.LogicalDriveRoots()) {
    if (platform.Describe(candidate[0]).path == loop.device()) root = candidate;
  }
  ASSERT_FALSE(root.empty()) << loop.device() << " not listed";
  EXPECT_EQ(platform.DriveType(root), DRIVE_REMOVABLE);
  EXPECT_EQ(platform.Describe(root[0]).sizeBytes, bytes);

  const Handle volume = platform.OpenVolume(root[0], true);
  ASSERT_NE(volume, INVALID_HANDLE_VALUE);
  DISK_GEOMETRY g{};
  ASSERT_TRUE(platform.QueryGeometry(volume, g));
  EXPECT_EQ(static_cast<std::uint64_t>(g.Cylinders) * g.TracksPerCylinder * g.SectorsPerTrack,
            bytes / 512);
  EXPECT_EQ(g.BytesPerSector, 512u);
  EXPECT_EQ(g.MediaType, kMediaRemovable);
  std::vector<std::uint8_t> last(1024);
  std::uint32_t got = 0;
  ASSERT_TRUE(platform.ReadAt(volume, bytes - 512, last.data(), 1024, got));
  ASSERT_EQ(got, 512u);
  for (std::uint32_t i = 0; i < got; ++i) ASSERT_EQ(last[i], PatternByte(bytes - 512 + i)) << i;
  platform.CloseHandle(volume);
}

// A card reader whose nodes the test user may not open, as /dev/mmcblk0 is
// for a user outside the disk group: the drive panel must still know the
// card, and reading asks the opener, once.
class LinuxPlatformAccessTest : public ::testing::Test {
 protected:
  static constexpr std::uint64_t kCardBytes = 1 << 20;

  void SetUp() override {
    ASSERT_FALSE(tmp_.path().empty());
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
    if (!TWithoutFileRights::Denied(tmp_.path() / "scratch")) {
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

  char LetterOf(LinuxPlatform& platform, const std::string& node) {
    for (const std::string& root : platform.LogicalDriveRoots()) {
      if (platform.Describe(root[0]).path == (dev_ / node).string()) {
        return static_cast<char>(std::toupper(static_cast<unsigned char>(root[0])));
      }
    }
    return 0;
  }

  static std::uint8_t Drive(char letter) { return static_cast<std::uint8_t>(letter - 64); }

  // The disk unit works on the platform until the end of the scope.
  struct BoundUnit {
    explicit BoundUnit(LinuxPlatform& platform) { InitDiskAccess(platform); }
    ~BoundUnit() { DoneDiskAccess(); }
  };

  TempDir tmp_;
  fs::path sys_ = tmp_.path() / "sys";
  fs::path dev_ = tmp_.path() / "dev";
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
  ASSERT_TRUE(GetDriveGeometry(Drive(LetterOf(platform, "mmcblk0")), geometry));
  EXPECT_EQ(geometry.BytesPerSector, 4096u);
  EXPECT_EQ(geometry.TotalSectors, kCardBytes / 4096);
  EXPECT_EQ(geometry.MediaKind, mkRemovable);
  // A partition has its disk's sector size.
  ASSERT_TRUE(GetDriveGeometry(Drive(LetterOf(platform, "mmcblk0p1")), geometry));
  EXPECT_EQ(geometry.BytesPerSector, 4096u);
  EXPECT_EQ(geometry.TotalSectors, kCardBytes / 2 / 4096);
  // An empty slot stays not ready, and a device without a node is not there.
  EXPECT_FALSE(GetDriveGeometry(Drive(LetterOf(platform, "sdz")), geometry));
  fs::remove(dev_ / "mmcblk0p1");
  EXPECT_FALSE(GetDriveGeometry(Drive(LetterOf(platform, "mmcblk0p1")), geometry));
  EXPECT_TRUE(asked_.empty());

  // The query handle reads nothing.
  const Handle query = platform.OpenVolume(LetterOf(platform, "mmcblk0"), false);
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
  const char letter = LetterOf(platform, "mmcblk0");
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
  const char letter = LetterOf(platform, "mmcblk0");
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
  const char letter = LetterOf(platform, "mmcblk0");
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
  const char letter = LetterOf(platform, "mmcblk0");
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
  const fs::path image = tmp_.path() / "card.img";
  WriteImage(image, 4096);
  LinuxPlatform platform({image.string()}, sys_.string(), dev_.string());
  HandOver(platform, card_);
  std::string why;
  EXPECT_TRUE(platform.PrepareToRead(LetterOf(platform, "mmcblk0"), why)) << why;
  char imageLetter = 0;  // after the card reader, which comes first
  for (const std::string& root : platform.LogicalDriveRoots()) {
    if (platform.Describe(root[0]).path == image.string()) imageLetter = root[0];
  }
  ASSERT_NE(imageLetter, 0);
  EXPECT_TRUE(platform.PrepareToRead(imageLetter, why)) << why;
  // An image file is nobody else's to open: its own error is the reason.
  fs::permissions(image, fs::perms::none);
  EXPECT_FALSE(platform.PrepareToRead(imageLetter, why));
  EXPECT_EQ(why, "Cannot open " + image.string() + ": Permission denied");
  EXPECT_TRUE(asked_.empty());
}

}  // namespace
