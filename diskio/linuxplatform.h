// SPDX-License-Identifier: GPL-3.0-or-later
// The production platform: reads raw block devices and image files on Linux.
// It reports the NT family, so the unit always takes the volume-handle way;
// the VWIN32 calls exist only to satisfy the port and always fail. It puts
// together the drive list (drivelist.h), access to the devices
// (deviceaccess.h), what sysfs says of them (sysfs.h) and the reads
// (volumereader.h).
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "diskio/deviceaccess.h"  // DeviceOpener
#include "diskio/drivelist.h"     // NaturalNameLess
#include "diskio/platform.h"
#include "diskio/sysfs.h"  // PartitionParentName
#include "diskio/volumereader.h"

// A drive shape whose product Cylinders x TracksPerCylinder x SectorsPerTrack
// is exactly totalSectors, so a scan that walks the geometry reaches the last
// sector. Totals above 2^32 - 1 are clamped there, as sector numbers are
// 32-bit. MediaType is left kMediaUnknown for the caller to fill.
DISK_GEOMETRY ExactGeometry(std::uint64_t totalSectors, std::uint32_t bytesPerSector);

class LinuxPlatform : public DiskPlatform {
 public:
  // Drives are listed, and given letters, card readers and removable devices
  // first, then imageFiles and the loop devices the user attached, then fixed
  // disks and the rest. The directories are parameters so that tests can
  // stand in a fake tree.
  explicit LinuxPlatform(std::vector<std::string> imageFiles,
                         std::string sysBlockDir = "/sys/class/block", std::string devDir = "/dev");
  // For the batch front ends: only the sources named are listed (the first is
  // C:), yet a device among them is described by the real sysfs, as any
  // device is, so its size and sector size are known to every caller.
  struct TSourcesOnly {};
  LinuxPlatform(std::vector<std::string> sources, TSourcesOnly);
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
  struct TOpenVolume {
    unsigned kind = DRIVE_UNKNOWN;
    // Where the geometry of a device comes from; empty for an image file.
    std::string sysName;
    std::string sysDiskName;
    TVolumeReadState read;
  };

  bool Read(Handle volume, std::uint64_t offset, void* buffer, std::uint32_t size,
            std::uint32_t& bytesRead, bool uncached);
  // Rescans the drives; access goes with a device that went away.
  void Enumerate();

  TDriveList drives_;
  TDeviceAccess access_;
  TVolumeReader reader_;
  std::map<Handle, TOpenVolume> handles_;
  bool lastFailureGone_ = false;  // of the last read, or of the last open for reading
};
