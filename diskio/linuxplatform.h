// The production platform: reads raw block devices and image files on Linux.
// It reports the NT family, so the unit always takes the volume-handle way;
// the VWIN32 calls exist only to satisfy the port and always fail.
#pragma once

#include <cstdint>
#include <cstdlib>
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
    bool direct = false;  // opened for direct I/O
    std::string path;
    // The node the handle was opened through: a card taken out and put back
    // comes back under a new node, which the old handle never reaches.
    std::uint64_t nodeDevice = 0;
    std::uint64_t nodeInode = 0;
  };

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

  std::vector<std::string> imageFiles_;
  std::string sysBlockDir_;
  std::string devDir_;

  std::vector<Drive> present_;            // in list order
  std::map<std::string, Claim> letters_;  // device path -> letter, kept for the whole run
  std::string note_;                      // drives left without a letter; empty when none
  char noteLetter_ = 0;                   // the drive whose description carries the note
  std::map<Handle, OpenVolumeState> handles_;
  bool lastFailureGone_ = false;
  std::unique_ptr<std::uint8_t, void (*)(void*)> bounce_{nullptr, std::free};  // direct reads
  std::size_t bounceSize_ = 0;
  TReadAhead readAhead_;
};
