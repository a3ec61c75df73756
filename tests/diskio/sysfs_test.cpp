// SPDX-License-Identifier: GPL-3.0-or-later
// Reading sysfs: the drive list and the same-medium check both stand on it.
#include "diskio/sysfs.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <filesystem>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "tests/diskio/fixtures.h"
#include "tests/support/tempdir.h"

namespace fs = std::filesystem;
using namespace diskio_test;

namespace {

TEST(Sysfs, PartitionParentNames) {
  const std::vector<std::pair<std::string, std::string>> parents = {
      {"sda1", "sda"},          {"sdab12", "sdab"},   {"mmcblk0p1", "mmcblk0"},
      {"nvme0n1p2", "nvme0n1"}, {"loop0p1", "loop0"}, {"md127p3", "md127"},
      {"xvda3", "xvda"},        {"sda", ""},          {"", ""}};
  for (const auto& [name, parent] : parents) EXPECT_EQ(PartitionParentName(name), parent) << name;
}

TEST(Sysfs, NumbersAndTexts) {
  TTempDir tmp;
  const std::vector<std::pair<std::string, std::optional<std::uint64_t>>> numbers = {
      {"512\n", 512},
      {" 7 ", 7},
      {"0", 0},
      {"", std::nullopt},
      {"12abc", std::nullopt},
      {"-1", std::nullopt},
      {"99999999999999999999", std::nullopt}};
  for (const auto& [text, value] : numbers) {
    WriteText(tmp.Path() / "size", text);
    EXPECT_EQ(ReadSysfsNumber(tmp.Path() / "size"), value) << text;
  }
  EXPECT_EQ(ReadSysfsNumber(tmp.Path() / "missing"), std::nullopt);
  WriteText(tmp.Path() / "model", "Card Reader   \n");
  EXPECT_EQ(ReadSysfsText(tmp.Path() / "model"), "Card Reader");
  EXPECT_EQ(ReadSysfsText(tmp.Path() / "missing"), "");
  EXPECT_EQ(DeviceNumberText(makedev(179, 8)), "179:8");
}

TEST(Sysfs, LoopBackingFileLeavesTheKernelsRemarkOut) {
  TTempDir tmp;
  const fs::path sys = tmp.Path();
  BindLoop(sys, "loop0", "/home/me/card.img");
  BindLoop(sys, "loop1", "/var/lib/snapd/snaps/core22_1122.snap (deleted)");
  BindLoop(sys, "loop2", "/home/me/my (deleted) card.img");
  AddDisk(sys, "loop3", 0);
  EXPECT_EQ(LoopBackingFile(sys / "loop0"), "/home/me/card.img");
  EXPECT_EQ(LoopBackingFile(sys / "loop1"), "/var/lib/snapd/snaps/core22_1122.snap");
  EXPECT_EQ(LoopBackingFile(sys / "loop2"), "/home/me/my (deleted) card.img");
  EXPECT_EQ(LoopBackingFile(sys / "loop3"), "");
}

// Real sysfs nests partitions in their disk and lists both by links; fake
// trees are flat. Both say which disk a partition belongs to.
TEST(Sysfs, WholeDiskOfAPartition) {
  TTempDir tmp;
  const fs::path devices = tmp.Path() / "devices";
  const fs::path nested = tmp.Path() / "class";
  AddDisk(devices, "reader", 1);
  AddPartition(devices / "reader", "reader-part1");
  AddDisk(devices, "dm-0", 0);
  fs::create_directories(nested);
  fs::create_directory_symlink(devices / "reader", nested / "reader");
  fs::create_directory_symlink(devices / "reader/reader-part1", nested / "reader-part1");
  fs::create_directory_symlink(devices / "dm-0", nested / "dm-0");
  fs::create_directories(devices / "dm-0/slaves");
  fs::create_directory_symlink(devices / "reader/reader-part1", devices / "dm-0/slaves/x");
  EXPECT_EQ(DiskNameOf(nested, "reader-part1"), "reader");
  EXPECT_EQ(DiskNameOf(nested, "reader"), "reader");
  EXPECT_EQ(WholeDiskDir(devices / "reader/reader-part1"), devices / "reader");
  EXPECT_EQ(WholeDiskDir(devices / "reader"), devices / "reader");
  EXPECT_EQ(SlaveDirs(devices / "dm-0"),
            std::vector<fs::path>{fs::canonical(devices / "reader/reader-part1")});
  EXPECT_TRUE(SlaveDirs(devices / "reader").empty());

  const fs::path flat = tmp.Path() / "flat";
  AddDisk(flat, "mmcblk0", 0);
  AddPartition(flat, "mmcblk0p1");
  AddPartition(flat, "sdq1");  // its disk is not listed
  EXPECT_EQ(DiskNameOf(flat, "mmcblk0p1"), "mmcblk0");
  EXPECT_EQ(DiskNameOf(flat, "sdq1"), "sdq1");
  EXPECT_EQ(DiskNameOf(flat, "mmcblk0"), "mmcblk0");
}

TEST(Sysfs, SizeAndSectorSize) {
  TTempDir tmp;
  const fs::path sys = tmp.Path();
  AddDisk(sys, "mmcblk0", 0, 2048, "", 4096);
  AddPartition(sys, "mmcblk0p1", 1024);
  AddDisk(sys, "sdz", 1, 0, "", 0);  // a queue that says nothing
  const std::optional<TSysfsSize> disk = SysfsSizeOf(sys, "mmcblk0", "mmcblk0");
  ASSERT_TRUE(disk);
  EXPECT_EQ(disk->bytes, 2048u * 512);  // `size` counts 512-byte units, not sectors
  EXPECT_EQ(disk->sectorBytes, 4096u);
  const std::optional<TSysfsSize> partition = SysfsSizeOf(sys, "mmcblk0p1", "mmcblk0");
  ASSERT_TRUE(partition);
  EXPECT_EQ(partition->bytes, 1024u * 512);
  EXPECT_EQ(partition->sectorBytes, 4096u);
  EXPECT_FALSE(SysfsSizeOf(sys, "mmcblk0p1", "mmcblk0p1"));  // no queue of its own
  EXPECT_FALSE(SysfsSizeOf(sys, "sdz", "sdz"));
  EXPECT_FALSE(SysfsSizeOf(sys, "gone", "gone"));
  EXPECT_EQ(SysfsBytes(sys, "sdz"), 0u);
  EXPECT_EQ(SysfsBytes(sys, "gone"), std::nullopt);
}

// A device node is found in sysfs by its number, whatever it is called.
TEST(Sysfs, NamesOfADeviceNode) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to make a device node";
  TTempDir tmp;
  const fs::path sys = tmp.Path() / "sys";
  const fs::path node = tmp.Path() / "my-card";
  AddDisk(sys, "mmcblk0", 0);
  AddPartition(sys, "mmcblk0p1");
  WriteText(sys / "mmcblk0" / "dev", "179:0\n");
  WriteText(sys / "mmcblk0p1" / "dev", "179:1\n");
  ASSERT_EQ(::mknod(node.c_str(), S_IFBLK | 0600, makedev(179, 1)), 0);
  std::string name;
  std::string diskName;
  ASSERT_TRUE(SysfsNamesOfNode(sys, node.string(), name, diskName));
  EXPECT_EQ(name, "mmcblk0p1");
  EXPECT_EQ(diskName, "mmcblk0");
  fs::remove(node);
  ASSERT_EQ(::mknod(node.c_str(), S_IFBLK | 0600, makedev(179, 9)), 0);
  EXPECT_FALSE(SysfsNamesOfNode(sys, node.string(), name, diskName));
  WriteText(tmp.Path() / "image", "x");
  EXPECT_FALSE(SysfsNamesOfNode(sys, (tmp.Path() / "image").string(), name, diskName));
}

// Which slot or bus a disk hangs on, from where real sysfs places it; a flat
// tree has only the names to go by.
TEST(Sysfs, BusAndModelOfADisk) {
  TTempDir tmp;
  // Folders above the device tree that look like buses say nothing.
  const fs::path sys = tmp.Path() / "usb1" / "ata2" / "sys";
  const fs::path classBlock = sys / "class" / "block";
  const fs::path slot = PlaceDisk(
      sys, "pci0000:00/0000:00:1c.0/0000:02:00.0/rtsx_pci_sdmmc.0/mmc_host/mmc0/mmc0:0001",
      "mmcblk0", 0);
  WriteText(slot / "name", "SD32G\n");
  WriteText(slot / "type", "SD\n");
  const fs::path usbReader = PlaceDisk(
      sys, "pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0/host6/target6:0:0/6:0:0:0", "sdb", 1);
  WriteText(usbReader / "model", "SD/MMC          \n");
  // A reader on USB driven as an SD host: the card is in an SD slot all the same.
  PlaceDisk(sys,
            "pci0000:00/0000:00:14.0/usb1/1-3/1-3:1.0/rtsx_usb_sdmmc.4/mmc_host/mmc1/mmc1:aaaa",
            "mmcblk1", 0);
  const fs::path sata =
      PlaceDisk(sys, "pci0000:00/0000:00:17.0/ata1/host0/target0:0:0/0:0:0:0", "sda", 0);
  WriteText(sata / "model", "Samsung SSD 860\n");
  WriteText(sata / "name", "not a card's name\n");
  const fs::path nvme =
      PlaceDisk(sys, "pci0000:00/0000:00:1d.0/0000:3d:00.0/nvme/nvme0", "nvme0n1", 0);
  WriteText(nvme / "model", "WDC PC SN720\n");
  PlaceDisk(sys, "pci0000:00/0000:00:04.0/virtio1", "vdb", 0);
  PlaceDisk(sys, "virtual", "loop0", 0);
  WriteText(classBlock / "loop0" / "loop" / "backing_file", "/home/ann/card.img (deleted)\n");
  PlaceDisk(sys, "platform/host9/target9:0:0/9:0:0:0", "sdc", 0);

  const std::vector<std::tuple<std::string, TDriveBus, std::string>> expected = {
      {"mmcblk0", TDriveBus::kSdSlot, "SD32G"},
      {"sdb", TDriveBus::kUsb, "SD/MMC"},
      {"mmcblk1", TDriveBus::kSdSlot, ""},
      {"sda", TDriveBus::kSata, "Samsung SSD 860"},
      {"nvme0n1", TDriveBus::kNvme, "WDC PC SN720"},
      {"vdb", TDriveBus::kVirtual, ""},
      {"loop0", TDriveBus::kLoop, "/home/ann/card.img"},
      {"sdc", TDriveBus::kUnknown, ""},
      {"gone", TDriveBus::kUnknown, ""}};
  for (const auto& [name, bus, model] : expected) {
    EXPECT_EQ(SysfsBusOf(classBlock, name), bus) << name;
    EXPECT_EQ(SysfsModelOf(classBlock, name), model) << name;
  }

  const fs::path flat = tmp.Path() / "usb1" / "flat";
  for (const char* name : {"mmcblk2", "nvme1n1", "vda", "sdd", "loop7"}) AddDisk(flat, name, 0);
  EXPECT_EQ(SysfsBusOf(flat, "mmcblk2"), TDriveBus::kSdSlot);
  EXPECT_EQ(SysfsBusOf(flat, "nvme1n1"), TDriveBus::kNvme);
  EXPECT_EQ(SysfsBusOf(flat, "vda"), TDriveBus::kVirtual);
  EXPECT_EQ(SysfsBusOf(flat, "sdd"), TDriveBus::kUnknown);
  EXPECT_EQ(SysfsBusOf(flat, "loop7"), TDriveBus::kLoop);
}

}  // namespace
