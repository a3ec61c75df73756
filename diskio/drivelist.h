// SPDX-License-Identifier: GPL-3.0-or-later
// The drives of the machine and their letters. Drives are the block devices
// sysfs lists (whole disks and partitions) and the image files named on the
// command line. Letters: A and B kept for floppies; card readers and
// removable devices first (each disk with its partitions), then image files
// and the loop devices the user attached, then fixed disks; snaps and other
// system images on loop devices are not listed. A letter stays with its
// device for the whole run.
#pragma once

#include <cstddef>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "diskio/platform.h"

// Orders block device names the way people number them: runs of digits
// compare by value, so "loop2" < "loop10" and "sda" < "sda1" < "sdb".
bool NaturalNameLess(std::string_view a, std::string_view b);

// Who is served first when letters run short, and listed first.
enum class TDriveRank { kReader, kImage, kOther };

struct TDrive {
  char letter = 0;
  std::string path;      // what is opened: device node or image file
  std::string name;      // sysfs name; empty for an image
  std::string diskName;  // the whole disk's sysfs name (itself unless a partition)
  unsigned kind = DRIVE_UNKNOWN;
  TDriveRank rank = TDriveRank::kOther;
  bool empty = false;  // size 0, such as a reader slot without a card
};

class TDriveList {
 public:
  // listBlockDevices: the machine's block devices besides the images.
  TDriveList(std::vector<std::string> imageFiles, bool listBlockDevices, std::string sysBlockDir,
             std::string devDir);

  // Rescans the images and sysfs. Drives open at openPaths keep their
  // letters even when letters run short. Returns every drive path present,
  // with a letter or without.
  std::set<std::string> Refresh(const std::set<std::string>& openPaths);

  // The drives with a letter, in list order.
  const std::vector<TDrive>& Present() const { return present_; }
  const TDrive* Find(char letter) const;
  // Whether a drive is a block device (or a device node named as an image).
  static bool IsDevice(const TDrive& drive);
  // Words for the drives left without a letter, on the drive that carries
  // them; empty for every other drive.
  std::string NoteFor(char letter) const;
  const std::string& SysBlockDir() const { return sysBlockDir_; }

 private:
  struct TClaim {
    char letter = 0;
    TDriveRank rank = TDriveRank::kOther;
  };

  // Every drive present, in list order, each once.
  std::vector<TDrive> FindDrives() const;
  std::vector<TDrive> FindBlockDevices() const;
  unsigned KindOf(const std::string& diskName) const;
  // Gives a letter to each drive of `order` (indexes into found) that has
  // none, recording it in claims; returns how many drives are left without.
  // Short of a letter, a card reader may take that of a fixed disk, but never
  // of one open at openPaths.
  static std::size_t GiveLetters(std::vector<TDrive>& found, const std::vector<std::size_t>& order,
                                 std::map<std::string, TClaim>& claims,
                                 const std::set<std::string>& openPaths);
  // Words the drives left without a letter, for stderr and a tooltip.
  void UpdateNote(const std::vector<std::string>& leftOut);

  std::vector<std::string> imageFiles_;
  bool listBlockDevices_;
  std::string sysBlockDir_;
  std::string devDir_;

  std::vector<TDrive> present_;            // in list order
  std::map<std::string, TClaim> letters_;  // device path -> letter, kept for the whole run
  std::string note_;                       // drives left without a letter; empty when none
  char noteLetter_ = 0;                    // the drive whose description carries the note
};
