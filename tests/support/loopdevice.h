// SPDX-License-Identifier: GPL-3.0-or-later
// An image file attached read-only as a loop block device for the life of
// the object, as a card in a reader is a block device: the whole disk, and
// its partitions when the image holds a partition table. Needs root,
// /dev/loop-control and losetup; Ready() says whether it worked.
#pragma once

#include <filesystem>
#include <string>

class TLoopDevice {
 public:
  // Why this machine cannot attach loop devices; empty when it can.
  static std::string MissingPrerequisite();

  // options go to losetup as they are ("--sector-size 4096", "--partscan").
  TLoopDevice(const std::filesystem::path& image, const std::string& options = {});
  ~TLoopDevice();
  TLoopDevice(const TLoopDevice&) = delete;
  TLoopDevice& operator=(const TLoopDevice&) = delete;

  bool Ready() const { return !device_.empty(); }
  const std::string& Problem() const { return problem_; }
  const std::string& Device() const { return device_; }  // "/dev/loopN"
  // The node of partition n ("/dev/loopNp1"), once it is there; empty if it never comes.
  std::string Partition(int n) const;

 private:
  std::string device_;
  std::string problem_;
};
