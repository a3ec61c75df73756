// SPDX-License-Identifier: GPL-3.0-or-later
// A damaged card for tests: an image file served read-only by nbdkit, whose
// ddrescue filter answers every read touching a listed sector with EIO;
// nbdfuse shows the export as a file, and that file is attached read-only as
// a loop block device with direct I/O and 512-byte logical blocks. Reads of
// the loop device then fail on exactly the listed sectors, as on a card with
// bad sectors, and the server's log tells how many reads it failed.
//
// Needs root, /dev/fuse, /dev/loop-control and the nbdkit, nbdfuse,
// fusermount3 and losetup programs (Debian: nbdkit libnbd-bin fuse3
// util-linux). Everything it starts is stopped again by the destructor: the
// loop device is detached, the FUSE mount unmounted, nbdfuse and nbdkit gone.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

class TNbdHarness {
 public:
  static constexpr std::uint32_t kSectorBytes = 512;

  // Why this machine cannot run the harness; empty when it can.
  static std::string MissingPrerequisite();

  // Serves image with the sectors in badSectors unreadable; workDir (which
  // must exist) takes the mapfile, the server's log and the mount point.
  // Check Ready() before use.
  TNbdHarness(const std::filesystem::path& image, const std::vector<std::uint32_t>& badSectors,
              const std::filesystem::path& workDir);
  ~TNbdHarness();
  TNbdHarness(const TNbdHarness&) = delete;
  TNbdHarness& operator=(const TNbdHarness&) = delete;

  // The device is attached; otherwise Problem() says what went wrong.
  bool Ready() const { return !device_.empty(); }
  const std::string& Problem() const { return problem_; }

  const std::string& Device() const { return device_; }  // "/dev/loopN"
  const std::filesystem::path& ServedFile() const { return servedFile_; }
  // What the kernel reports for the attached device.
  bool DirectIo() const;
  std::uint32_t LogicalBlockSize() const;

  // Reads answered with an error by the server so far.
  int FailedReads() const;

  // One sector of the device read with O_DIRECT, or nothing when it fails.
  std::optional<std::vector<std::uint8_t>> ReadSectorDirect(std::uint64_t sector) const;

 private:
  bool StartServer(const std::filesystem::path& image);
  bool AttachLoop();
  void DetachLoop();
  void Unmount();
  void StopProcesses();
  std::string SysfsValue(const std::string& relative) const;
  std::string LogTail() const;

  std::filesystem::path workDir_;
  std::filesystem::path mapFile_;
  std::filesystem::path serverLog_;  // nbdkit's log filter
  std::filesystem::path outputLog_;  // nbdfuse's and nbdkit's stdout and stderr
  std::filesystem::path fusePidFile_;
  std::filesystem::path serverPidFile_;
  std::filesystem::path mountPoint_;
  std::filesystem::path servedFile_;
  pid_t fusePid_ = -1;
  bool mounted_ = false;
  std::string device_;
  std::string problem_;
};
