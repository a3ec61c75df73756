// SPDX-License-Identifier: GPL-3.0-or-later
// Whether a destination folder lies on the medium being searched. Writing
// there would overwrite the very sectors that hold the deleted photos, and the
// scan would find its own output again.
#pragma once

#include <string>

// Where the system describes its block devices, mounts and processes. Tests
// stand in fake trees.
struct TMediumPaths {
  std::string sysDevBlock = "/sys/dev/block";      // MAJ:MIN -> the device's sysfs directory
  std::string sysClassBlock = "/sys/class/block";  // name -> the device's sysfs directory
  std::string mountInfo = "/proc/self/mountinfo";
  std::string devDir = "/dev";
  std::string procDir = "/proc";  // FUSE daemons and the files they hold open
};

// searchedPath is the device node or image file behind the searched drive
// (DriveDescription::path). True when anything written below destinationFolder
// (or below its nearest existing ancestor, when it does not exist yet) would
// land on that medium:
//  - the destination's file system lives on the searched disk, any partition
//    of it, or a device stacked on it (device-mapper, md: sysfs `slaves`);
//  - its file system is mounted from the searched image file, or from the
//    image behind a searched loop device, by a loop device or by FUSE;
//  - its file system lives in an image file that itself lies on the
//    searched disk (a loop device's backing file, a FUSE daemon's image).
// A file system without a block device (FUSE, btrfs subvolumes) is found in
// mountinfo by its device number; its mount source names the device or the
// image. FUSE drivers that name no path there (fusefat says "fusefat") are
// traced to their daemon, which holds the device or image open.
// Writing beside a searched image file, on the disk that holds it, is fine:
// the image is only read.
// Whatever cannot be resolved (no sysfs, a mount source that names nothing,
// a daemon owned by another user) counts as not the same medium: this guards
// against an accident and must never stop a scan it cannot judge.
bool DestinationOnSearchedMedium(const std::string& destinationFolder,
                                 const std::string& searchedPath, const TMediumPaths& paths = {});
