// SPDX-License-Identifier: GPL-3.0-or-later
// The production platform: reads raw block devices and image files on Linux.
// It reports the NT family, so the unit always takes the volume-handle way;
// the VWIN32 calls exist only to satisfy the port and always fail.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "diskio/platform.h"
#include "diskio/readahead.h"

// A drive shape whose product Cylinders x TracksPerCylinder x SectorsPerTrack
// is exactly totalSectors, so a scan that walks the geometry reaches the last
// sector. Totals above 2^32 - 1 are clamped there, as sector numbers are
// 32-bit. MediaType is left kMediaUnknown for the caller to fill.
DISK_GEOMETRY ExactGeometry(std::uint64_t totalSectors, std::uint32_t bytesPerSector);

// Orders block device names the way people number them: runs of digits
// compare by value, so "loop2" < "loop10" and "sda" < "sda1" < "sdb".
bool NaturalNameLess(std::string_view a, std::string_view b);

// The whole-disk name of a partition name ("sda1" -> "sda", "mmcblk0p1" ->
// "mmcblk0", "nvme0n1p2" -> "nvme0n1"); empty when the name has no partition
// suffix.
std::string PartitionParentName(std::string_view name);

// Opens a device the user has no rights to read by asking someone who has
// (udisks2 and polkit, in the window). Returns a read-only descriptor that the
// caller takes over, or -1 with a reason the user can act on.
using DeviceOpener = std::function<int(const std::string& devicePath, std::string& why)>;

class LinuxPlatform : public DiskPlatform {
 public:
  // Drives are listed, and given letters, card readers and removable devices
  // first, then imageFiles and the loop devices the user attached, then fixed
  // disks and the rest. The directories are parameters so that tests can
  // stand in a fake tree.
  explicit LinuxPlatform(std::vector<std::string> imageFiles,
                         std::string sysBlockDir = "/sys/class/block", std::string devDir = "/dev");
  ~LinuxPlatform() override;

  LinuxPlatform(const LinuxPlatform&) = delete;
  LinuxPlatform& operator=(const LinuxPlatform&) = delete;

  // Asked when a device cannot be opened for reading for lack of rights. The
  // descriptor it hands over serves every later read of that device, so the
  // user is asked once per device until the device goes away. Without one,
  // such devices stay unreadable.
  void SetDeviceOpener(DeviceOpener opener);

  bool GetVersion(OSVERSIONINFOA& info) override;
  std::vector<std::string> LogicalDriveRoots() override;
  unsigned DriveType(const std::string& root) override;
  DriveDescription Describe(char letter) override;
  Handle OpenVolume(char letter, bool forReading) override;
  void CloseHandle(Handle handle) override;
  bool QueryGeometry(Handle volume, DISK_GEOMETRY& geometry) override;
  bool ReadAt(Handle volume, std::uint64_t offset, void* buffer, std::uint32_t size,
              std::uint32_t& bytesRead) override;
  bool ReadAtUncached(Handle volume, std::uint64_t offset, void* buffer, std::uint32_t size,
                      std::uint32_t& bytesRead) override;
  void Prefetch(Handle volume, std::uint64_t offset, std::uint64_t size) override;
  bool LastFailureWasGone() override { return lastFailureGone_; }
  bool StillReachesDevice(Handle volume) override;
  bool PrepareToRead(char letter, std::string& why) override;

  Handle OpenVWin32() override;
  bool VWin32DosIoctl(Handle vwin32, DIOC_REGISTERS& regs, std::uint8_t* block) override;
  bool VWin32Int25(Handle vwin32, DIOC_REGISTERS& regs, const DISKIO& packet,
                   void* buffer) override;
  bool VWin32DriveInfo(Handle vwin32, DIOC_REGISTERS& regs, const DISKIO& packet,
                       void* buffer) override;

 private:
  // Who is served first when letters run short, and listed first.
  enum class Rank { kReader, kImage, kOther };

  struct Drive {
    char letter = 0;
    std::string path;      // what is opened: device node or image file
    std::string name;      // sysfs name; empty for an image
    std::string diskName;  // the whole disk's sysfs name (itself unless a partition)
    unsigned kind = DRIVE_UNKNOWN;
    Rank rank = Rank::kOther;
    bool empty = false;  // size 0, such as a reader slot without a card
  };

  struct Claim {
    char letter = 0;
    Rank rank = Rank::kOther;
  };

  struct OpenVolumeState {
    unsigned kind = DRIVE_UNKNOWN;
    bool advised = false;
    bool blockDevice = false;
    bool direct = false;     // opened for direct I/O
    bool queryOnly = false;  // an O_PATH handle: geometry, never data
    std::string path;
    // Where the geometry of a device comes from; empty for an image file.
    std::string sysName;
    std::string sysDiskName;
    // The node the handle was opened through: a card taken out and put back
    // comes back under a new node, which the old handle never reaches.
    std::uint64_t nodeDevice = 0;
    std::uint64_t nodeInode = 0;
  };

  // A descriptor handed over by the opener, kept for later read opens.
  struct Grant {
    int fd = -1;
    std::uint64_t nodeDevice = 0;  // the node it was granted for
    std::uint64_t nodeInode = 0;
  };

  // A read-only descriptor of path: opened directly, or a copy of the one the
  // opener handed over (then *granted names it). mayAsk lets the opener be
  // asked again after it refused.
  int OpenForReading(const std::string& path, bool isDevice, bool mayAsk, std::string& why,
                     const Grant** granted);
  const Grant* AskOpener(const std::string& path, std::string& why);
  // The grant for path while it still reaches the device it was given for.
  const Grant* LiveGrant(const std::string& path);
  void DropGrant(const std::string& path);
  // The sysfs names (the device's, its whole disk's) of a device node.
  bool SysfsNamesOf(const std::string& path, std::string& name, std::string& diskName) const;
  bool SysfsGeometry(const OpenVolumeState& state, std::uint64_t& bytes,
                     std::uint32_t& sectorBytes) const;

  // Reads through an open handle, with or without the cache.
  bool Read(Handle volume, std::uint64_t offset, void* buffer, std::uint32_t size,
            std::uint32_t& bytesRead, bool uncached);
  // After a failed read: is the medium or device gone, or is it a bad sector?
  bool FailureMeansGone(int error, const OpenVolumeState& state) const;

  // Rescans the images and sysfs.
  void Enumerate();
  // Every drive present, in list order, each once.
  std::vector<Drive> FindDrives() const;
  std::vector<Drive> FindBlockDevices() const;
  unsigned KindOf(const std::string& diskName) const;
  // Gives a letter to each drive of `order` (indexes into found) that has
  // none, recording it in claims; returns how many drives are left without.
  // Short of a letter, a card reader may take that of a fixed disk, but never
  // of one open at openPaths.
  static std::size_t GiveLetters(std::vector<Drive>& found, const std::vector<std::size_t>& order,
                                 std::map<std::string, Claim>& claims,
                                 const std::set<std::string>& openPaths);
  // Words the drives left without a letter, for stderr and a tooltip.
  void UpdateNote(const std::vector<std::string>& leftOut);
  const Drive* FindDrive(char letter) const;
  bool IsDevice(const Drive& drive) const;

  std::vector<std::string> imageFiles_;
  std::string sysBlockDir_;
  std::string devDir_;

  std::vector<Drive> present_;            // in list order
  std::map<std::string, Claim> letters_;  // device path -> letter, kept for the whole run
  std::string note_;                      // drives left without a letter; empty when none
  char noteLetter_ = 0;                   // the drive whose description carries the note
  std::map<Handle, OpenVolumeState> handles_;
  DeviceOpener opener_;
  std::map<std::string, Grant> grants_;         // device path -> descriptor handed over
  std::map<std::string, std::string> refused_;  // device path -> the opener's last refusal
  bool lastFailureGone_ = false;
  std::unique_ptr<std::uint8_t, void (*)(void*)> bounce_{nullptr, std::free};  // direct reads
  std::size_t bounceSize_ = 0;
  TReadAhead readAhead_;
};
