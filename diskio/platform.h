// SPDX-License-Identifier: GPL-3.0-or-later
// The platform port of the disk unit. The unit's procedures were defined on a
// handful of Windows calls; each operation here stands for one of them, so the
// algorithms keep their shape and every way (volume handle, VWIN32) can be
// exercised on any machine through a fake.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

using Handle = std::intptr_t;
constexpr Handle INVALID_HANDLE_VALUE = -1;

constexpr std::uint32_t VER_PLATFORM_WIN32_WINDOWS = 1;
constexpr std::uint32_t VER_PLATFORM_WIN32_NT = 2;

// Drive kinds, Windows' numbering.
constexpr unsigned DRIVE_UNKNOWN = 0;
constexpr unsigned DRIVE_NO_ROOT_DIR = 1;
constexpr unsigned DRIVE_REMOVABLE = 2;
constexpr unsigned DRIVE_FIXED = 3;
constexpr unsigned DRIVE_REMOTE = 4;
constexpr unsigned DRIVE_CDROM = 5;
constexpr unsigned DRIVE_RAMDISK = 6;

// MEDIA_TYPE values the unit tells apart.
constexpr std::uint32_t kMediaUnknown = 0;
constexpr std::uint32_t kMediaRemovable = 11;
constexpr std::uint32_t kMediaFixed = 12;

struct OSVERSIONINFOA {
  std::uint32_t dwOSVersionInfoSize;
  std::uint32_t dwMajorVersion;
  std::uint32_t dwMinorVersion;
  std::uint32_t dwBuildNumber;
  std::uint32_t dwPlatformId;
  char szCSDVersion[128];
};
static_assert(sizeof(OSVERSIONINFOA) == 148);

struct DISK_GEOMETRY {
  std::int64_t Cylinders;
  std::uint32_t MediaType;
  std::uint32_t TracksPerCylinder;
  std::uint32_t SectorsPerTrack;
  std::uint32_t BytesPerSector;
};

struct DIOC_REGISTERS {
  std::uint32_t reg_EBX;
  std::uint32_t reg_EDX;
  std::uint32_t reg_ECX;
  std::uint32_t reg_EAX;
  std::uint32_t reg_EDI;
  std::uint32_t reg_ESI;
  std::uint32_t reg_Flags;
};
static_assert(sizeof(DIOC_REGISTERS) == 28);

// MS-DOS disk-transfer packet of INT 25h and INT 21h 7305h.
#pragma pack(push, 1)
struct DISKIO {
  std::uint32_t diStartSector;
  std::uint16_t diSectors;
  std::uint32_t diBuffer;
};
#pragma pack(pop)
static_assert(sizeof(DISKIO) == 10);

// The Get Device Parameters block: the fixed part with its embedded BIOS
// parameter block, no track layout. Members are read at these byte offsets.
constexpr std::size_t kDeviceParamsSize = 38;
namespace DeviceParams {
constexpr std::size_t SpecialFunctions = 0;
constexpr std::size_t DeviceType = 1;
constexpr std::size_t DeviceAttributes = 2;
constexpr std::size_t Cylinders = 4;
constexpr std::size_t BytesPerSector = 7;
constexpr std::size_t TotalSectors16 = 15;
constexpr std::size_t SectorsPerTrack = 20;
constexpr std::size_t Heads = 22;
constexpr std::size_t TotalSectors32 = 28;
}  // namespace DeviceParams

// VWIN32 control codes.
constexpr unsigned VWIN32_DIOC_DOS_IOCTL = 1;
constexpr unsigned VWIN32_DIOC_DOS_INT25 = 2;
constexpr unsigned VWIN32_DIOC_DOS_DRIVEINFO = 6;

// What a drive hangs on, as the user knows it: the slot or bus of its reader,
// or an image file.
enum class TDriveBus { kUnknown, kSdSlot, kUsb, kNvme, kSata, kLoop, kVirtual, kImage };

// What a drive is, for the user: Linux has no drive letters of its own, so the
// drive list says which device or image file stands behind each letter.
struct DriveDescription {
  std::string path;  // device node or image file
  // Empty where the system has none; for a loop device, the file it reads.
  std::string model;
  std::uint64_t sizeBytes = 0;
  // A remark for the user, such as drives left without a letter; usually empty.
  // Initialised so that brace lists without it stay warning-free.
  std::string note{};
  // Logical sector size where the system tells it without opening the
  // device (sysfs); 0 where unknown.
  std::uint32_t sectorBytes = 0;
  TDriveBus bus = TDriveBus::kUnknown;
};

class DiskPlatform {
 public:
  virtual ~DiskPlatform() = default;

  // GetVersionExA. Returns false when the record could not be filled.
  virtual bool GetVersion(OSVERSIONINFOA& info) = 0;

  // GetLogicalDriveStringsA: the root of every logical drive ("c:\"), in the
  // system's order. An empty list stands for the call's failure.
  virtual std::vector<std::string> LogicalDriveRoots() = 0;

  // GetDriveTypeA on a root ("E:\").
  virtual unsigned DriveType(const std::string& root) = 0;

  // Not a Windows call: the device or file behind a drive letter.
  virtual DriveDescription Describe(char letter) = 0;

  // CreateFileA on "\\.\E:". forReading distinguishes the query open (access
  // 0) from the read open (GENERIC_READ); neither can ever write.
  virtual Handle OpenVolume(char letter, bool forReading) = 0;

  // CloseHandle.
  virtual void CloseHandle(Handle handle) = 0;

  // DeviceIoControl with IOCTL_DISK_GET_DRIVE_GEOMETRY.
  virtual bool QueryGeometry(Handle volume, DISK_GEOMETRY& geometry) = 0;

  // SetFilePointer to a 64-bit offset, then ReadFile of size bytes. Returns
  // false when positioning or the read failed; bytesRead may be short at the
  // end of the volume.
  virtual bool ReadAt(Handle volume, std::uint64_t offset, void* buffer, std::uint32_t size,
                      std::uint32_t& bytesRead) = 0;

  // Not Windows calls, though they stand in for what its volume handles did
  // by themselves (uncached reads of single sectors, GetLastError after a
  // failure, a handle that dies with its medium):

  // A read that bypasses every cache, so an unreadable sector fails alone
  // rather than with the cache page around it. Image files read as ReadAt.
  virtual bool ReadAtUncached(Handle volume, std::uint64_t offset, void* buffer, std::uint32_t size,
                              std::uint32_t& bytesRead) {
    return ReadAt(volume, offset, buffer, size, bytesRead);
  }

  // Asks for a range to be fetched into the cache while the caller works.
  virtual void Prefetch(Handle /*volume*/, std::uint64_t /*offset*/, std::uint64_t /*size*/) {}

  // Whether the last read (ReadAt, ReadAtUncached) failed because the medium
  // or the device is gone, as opposed to an unreadable sector; false after a
  // read that succeeded or came back short. A failed OpenVolume for reading
  // counts as gone until the next read; a failed query open says nothing.
  virtual bool LastFailureWasGone() { return false; }

  // Whether an open volume handle still reaches the device it was opened on
  // (not so once the card was taken out, even if it was put back since).
  virtual bool StillReachesDevice(Handle /*volume*/) { return true; }

  // Makes sure the drive can be read, asking for access now where the user
  // has none of their own, so that a password prompt comes when the user picks
  // the drive rather than in the middle of a scan. False with a reason the
  // user can act on.
  virtual bool PrepareToRead(char /*letter*/, std::string& /*why*/) { return true; }

  // CreateFileA on "\\.\vwin32".
  virtual Handle OpenVWin32() = 0;

  // DeviceIoControl on the VWIN32 device. A 64-bit process cannot put an
  // address in a 32-bit register, so what reg_EDX (the parameter block) or
  // reg_EBX (the transfer packet) would point at travels beside the registers.
  virtual bool VWin32DosIoctl(Handle vwin32, DIOC_REGISTERS& regs, std::uint8_t* block) = 0;
  virtual bool VWin32Int25(Handle vwin32, DIOC_REGISTERS& regs, const DISKIO& packet,
                           void* buffer) = 0;
  virtual bool VWin32DriveInfo(Handle vwin32, DIOC_REGISTERS& regs, const DISKIO& packet,
                               void* buffer) = 0;
};
