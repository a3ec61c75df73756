// SPDX-License-Identifier: GPL-3.0-or-later
// What sysfs says about block devices: their numbers and texts, which disk a
// partition belongs to, which file a loop device reads, how large a device is.
// Reading these needs no rights to the device itself. The drive list and the
// same-medium check both read them here, so the two never disagree.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "diskio/platform.h"  // TDriveBus

// The whole-disk name of a partition name ("sda1" -> "sda", "mmcblk0p1" ->
// "mmcblk0", "nvme0n1p2" -> "nvme0n1"); empty when the name has no partition
// suffix.
std::string PartitionParentName(std::string_view name);

// "MAJ:MIN", as a device's `dev` file and /sys/dev/block name a device number.
std::string DeviceNumberText(dev_t device);

// A file holding one whole number (`size`, `removable`); nothing when it is
// missing or holds anything else.
std::optional<std::uint64_t> ReadSysfsNumber(const std::filesystem::path& path);

// A file's text without surrounding blanks; empty when it cannot be read.
std::string ReadSysfsText(const std::filesystem::path& path);

// The file a loop device (its sysfs directory) reads; empty when none is
// attached. The kernel adds " (deleted)" once the file is gone, as it is for
// snaps replaced by a refresh; that is dropped, leaving the path.
std::string LoopBackingFile(const std::filesystem::path& deviceDir);

// The device's sysfs directory for a device number (through /sys/dev/block),
// links resolved; nothing when sysfs does not know the number.
std::optional<std::filesystem::path> DeviceDirOf(const std::filesystem::path& sysDevBlock,
                                                 dev_t device);

// The whole disk's directory: in real sysfs a partition's directory lies
// inside its disk's. deviceDir has its links resolved.
std::filesystem::path WholeDiskDir(const std::filesystem::path& deviceDir);

// The devices a stacked device (device-mapper, md) is built on, links resolved.
std::vector<std::filesystem::path> SlaveDirs(const std::filesystem::path& deviceDir);

// The name of the whole disk that the device `name` of sysBlockDir
// (/sys/class/block) belongs to; name itself for a whole disk. A flat fake
// tree falls back to the partition naming rules.
std::string DiskNameOf(const std::filesystem::path& sysBlockDir, const std::string& name);

// The names in sysBlockDir of a device node: the device's and its whole
// disk's, matched by device number. False for anything but a block device
// sysfs does not list.
bool SysfsNamesOfNode(const std::filesystem::path& sysBlockDir, const std::string& nodePath,
                      std::string& name, std::string& diskName);

// A device's size in bytes: sysfs `size` counts 512-byte units whatever the
// sector size. Nothing when sysfs does not say.
std::optional<std::uint64_t> SysfsBytes(const std::filesystem::path& sysBlockDir,
                                        const std::string& name);

// A device's size and logical sector size. A partition has no queue of its
// own, so the sector size is its whole disk's.
struct TSysfsSize {
  std::uint64_t bytes = 0;
  std::uint32_t sectorBytes = 0;
};
std::optional<TSysfsSize> SysfsSizeOf(const std::filesystem::path& sysBlockDir,
                                      const std::string& name, const std::string& diskName);

// What a whole disk hangs on. Real sysfs places a device under its bus or
// slot (.../usb2/..., .../mmc_host/..., .../nvme/..., .../ata1/...); where a
// tree says nothing of that, the name still tells SD cards, NVMe, virtual
// disks and loop devices.
TDriveBus SysfsBusOf(const std::filesystem::path& sysBlockDir, const std::string& diskName);

// What to call a whole disk: its device's model, the product name an SD or
// MMC card gives instead, or the file a loop device reads. Empty where sysfs
// says none.
std::string SysfsModelOf(const std::filesystem::path& sysBlockDir, const std::string& diskName);
