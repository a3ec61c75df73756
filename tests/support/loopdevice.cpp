// SPDX-License-Identifier: GPL-3.0-or-later
#include "tests/support/loopdevice.h"

#include <sys/stat.h>
#include <unistd.h>

#include "tests/support/shell.h"

namespace fs = std::filesystem;

std::string TLoopDevice::MissingPrerequisite() {
  if (::geteuid() != 0) return "needs root";
  if (::access("/dev/loop-control", R_OK | W_OK) != 0) return "needs /dev/loop-control";
  if (FindProgram("losetup").empty()) return "needs losetup (Debian: util-linux)";
  return {};
}

TLoopDevice::TLoopDevice(const fs::path& image, const std::string& options) {
  std::string output;
  const int status = Run(Quote(FindProgram("losetup")) + " --read-only --find --show " + options +
                             " " + Quote(image.string()),
                         &output);
  output = Trim(output);
  if (status != 0 || output.rfind("/dev/loop", 0) != 0 || output.find('\n') != std::string::npos) {
    problem_ = "losetup failed: " + output;
    return;
  }
  device_ = output;
  SettleUdev();
}

TLoopDevice::~TLoopDevice() {
  if (device_.empty()) return;
  Run(Quote(FindProgram("losetup")) + " --detach " + Quote(device_));
  const std::string sysfs = "/sys/block/" + fs::path(device_).filename().string();
  // Detaching is deferred while someone still holds the device open.
  WaitFor([&] { return Trim(ReadText(sysfs + "/loop/backing_file")).empty(); },
          std::chrono::seconds(5));
}

std::string TLoopDevice::Partition(int n) const {
  const std::string node = device_ + "p" + std::to_string(n);
  struct stat info {};
  const bool there =
      WaitFor([&] { return ::stat(node.c_str(), &info) == 0 && S_ISBLK(info.st_mode); },
              std::chrono::seconds(5));
  return there ? node : std::string();
}
