#include "diskio/linuxplatform.h"

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
#include <thread>

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
             std::uint64_t sectors = 1000, const std::string& model = "") {
  WriteText(sys / name / "removable", std::to_string(removable) + "\n");
  WriteText(sys / name / "size", std::to_string(sectors) + "\n");
  if (!model.empty()) WriteText(sys / name / "device" / "model", model + "\n");
}

void AddPartition(const fs::path& sys, const std::string& name, std::uint64_t sectors = 900) {
  WriteText(sys / name / "partition", "1\n");
  WriteText(sys / name / "size", std::to_string(sectors) + "\n");
}

void BindLoop(const fs::path& sys, const std::string& name) {
  AddDisk(sys, name, 0);
  WriteText(sys / name / "loop" / "backing_file", "/srv/card.img\n");
}

// What stands behind each listed drive, in list order.
std::vector<std::string> Paths(LinuxPlatform& platform) {
  std::vector<std::string> paths;
  for (const std::string& root : platform.LogicalDriveRoots()) {
    paths.push_back(platform.Describe(root[0]).path);
  }
  return paths;
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

TEST_F(LinuxPlatformTest, ListsImagesFirstThenDevicesInNaturalOrder) {
  LinuxPlatform platform = Make();
  EXPECT_EQ(platform.LogicalDriveRoots(),
            (std::vector<std::string>{"c:\\", "a:\\", "d:\\", "e:\\", "f:\\", "g:\\", "h:\\",
                                      "i:\\", "j:\\", "k:\\", "l:\\", "m:\\"}));
  EXPECT_EQ(Paths(platform),
            (std::vector<std::string>{image_.string(), Dev("fd0"), Dev("loop0"), Dev("mmcblk0"),
                                      Dev("mmcblk0p1"), Dev("nbd0"), Dev("sda"), Dev("sda1"),
                                      Dev("sdb"), Dev("sdb1"), Dev("sr0"), Dev("zram0")}));
}

TEST_F(LinuxPlatformTest, KindsFollowTheDeviceFamilyAndRemovableFlag) {
  LinuxPlatform platform = Make();
  const std::vector<std::pair<std::string, unsigned>> expected = {
      {"C:\\", DRIVE_REMOVABLE},   {"a:\\", DRIVE_REMOVABLE},   {"D:\\", DRIVE_REMOVABLE},
      {"e:\\", DRIVE_REMOVABLE},   {"F:\\", DRIVE_REMOVABLE},   {"G:\\", DRIVE_UNKNOWN},
      {"h:\\", DRIVE_FIXED},       {"I:\\", DRIVE_FIXED},       {"J:\\", DRIVE_REMOVABLE},
      {"K:\\", DRIVE_REMOVABLE},   {"L:\\", DRIVE_CDROM},       {"m:\\", DRIVE_RAMDISK},
      {"N:\\", DRIVE_NO_ROOT_DIR}, {"B:\\", DRIVE_NO_ROOT_DIR}, {"", DRIVE_NO_ROOT_DIR}};
  for (const auto& [root, kind] : expected) EXPECT_EQ(platform.DriveType(root), kind) << root;
}

TEST_F(LinuxPlatformTest, DescribeGivesModelOfTheDiskAndSize) {
  LinuxPlatform platform = Make();
  const DriveDescription sda = platform.Describe('H');
  EXPECT_EQ(sda.model, "Samsung SSD");
  EXPECT_EQ(sda.sizeBytes, 1000u * 512);
  const DriveDescription sda1 = platform.Describe('i');
  EXPECT_EQ(sda1.path, Dev("sda1"));
  EXPECT_EQ(sda1.model, "Samsung SSD");
  EXPECT_EQ(sda1.sizeBytes, 900u * 512);
  EXPECT_EQ(platform.Describe('C').sizeBytes, 512u * 10 + 100);
  EXPECT_EQ(platform.Describe('G').model, "");
  EXPECT_EQ(platform.Describe('Q').path, "");
}

TEST_F(LinuxPlatformTest, LettersStayWithTheirDevicesAcrossRefresh) {
  LinuxPlatform platform = Make();
  fs::remove_all(sys_ / "sdb");
  fs::remove_all(sys_ / "sdb1");
  AddDisk(sys_, "sdc", 1);
  EXPECT_EQ(platform.LogicalDriveRoots().size(), 11u);
  EXPECT_EQ(platform.DriveType("J:\\"), DRIVE_NO_ROOT_DIR);
  EXPECT_EQ(platform.Describe('N').path, Dev("sdc"));  // not the freed J
  EXPECT_EQ(platform.Describe('L').path, Dev("sr0"));

  AddDisk(sys_, "sdb", 1);
  AddDisk(sys_, "sdd", 0);
  platform.LogicalDriveRoots();
  EXPECT_EQ(platform.Describe('J').path, Dev("sdb"));
  EXPECT_EQ(platform.Describe('O').path, Dev("sdd"));
  EXPECT_EQ(platform.DriveType("k:\\"), DRIVE_NO_ROOT_DIR);
}

TEST_F(LinuxPlatformTest, RelativeImagePathIsMadeAbsolute) {
  const fs::path before = fs::current_path();
  fs::current_path(tmp_.path());
  LinuxPlatform platform({"card.img"}, sys_.string(), dev_.string());
  fs::current_path(before);
  EXPECT_EQ(platform.Describe('C').path, image_.string());
}

TEST(LinuxPlatformDrives, OnlyTwentyFourLettersBeyondTheFloppies) {
  TempDir tmp;
  const fs::path sys = tmp.path() / "sys";
  AddDisk(sys, "fd0", 1);
  for (int i = 0; i < 30; ++i) AddDisk(sys, "nvme" + std::to_string(i) + "n1", 0);
  LinuxPlatform platform({"/srv/one.img", "/srv/two.img"}, sys.string(), "/dev");
  const std::vector<std::string> roots = platform.LogicalDriveRoots();
  ASSERT_EQ(roots.size(), 25u);
  EXPECT_EQ(roots[0], "c:\\");
  EXPECT_EQ(roots[1], "d:\\");
  EXPECT_EQ(roots[2], "a:\\");
  EXPECT_EQ(platform.Describe('Z').path, "/dev/nvme21n1");

  // A departed device keeps its letter, so the cut does not move.
  fs::remove_all(sys / "nvme0n1");
  EXPECT_EQ(platform.LogicalDriveRoots().size(), 24u);
  EXPECT_EQ(platform.DriveType("E:\\"), DRIVE_NO_ROOT_DIR);
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
  EXPECT_EQ(Paths(platform), (std::vector<std::string>{"/dev/loop3", "/dev/loop3p1", "/dev/reader",
                                                       "/dev/reader-part1"}));
  EXPECT_EQ(platform.DriveType("F:\\"), DRIVE_REMOVABLE);
  EXPECT_EQ(platform.Describe('F').model, "Card Reader");
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
    const Handle volume = platform.OpenVolume('C', false);
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
           {'H', kMediaFixed}, {'J', kMediaRemovable}, {'M', kMediaUnknown}}) {
    const Handle volume = platform.OpenVolume(letter, true);
    DISK_GEOMETRY g{};
    ASSERT_TRUE(platform.QueryGeometry(volume, g)) << letter;
    EXPECT_EQ(g.MediaType, media) << letter;
    platform.CloseHandle(volume);
  }
  EXPECT_EQ(platform.OpenVolume('K', true), INVALID_HANDLE_VALUE);  // no node for sdb1
  EXPECT_EQ(platform.OpenVolume('Y', true), INVALID_HANDLE_VALUE);
}

TEST_F(LinuxPlatformTest, ReadsStopShortAtTheEnd) {
  LinuxPlatform platform = Make();
  const Handle volume = platform.OpenVolume('c', true);
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
    const Handle volume = platform.OpenVolume('C', forReading);
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

}  // namespace
