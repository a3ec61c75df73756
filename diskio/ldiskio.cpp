// SPDX-License-Identifier: GPL-3.0-or-later
#include "diskio/ldiskio.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

DiskPlatform* Platform = nullptr;
DiskMessageFn ShowMessage;

bool UseNTAccess = false;
bool UseFat32Access = false;
Handle VWin32Handle = INVALID_HANDLE_VALUE;
Handle VolumeHandle = INVALID_HANDLE_VALUE;
std::uint8_t VolumeDrive = 0;
TDriveGeometry VolumeGeometry{};
std::uint8_t SectorShift = 0;
TReadFailure LastFailure = rfNone;

// Every volume-handle read passes through here, so a chunk that fails never
// reaches the caller's buffer.
constexpr std::uint32_t kSectorBufferSize = 0x10000;
alignas(4096) std::uint8_t SectorBuffer[kSectorBufferSize];

constexpr std::uint32_t kGetDeviceParams = 0x440D;
constexpr std::uint32_t kDiskCategoryGetParams = 0x0860;
constexpr std::uint32_t kCarryFlag = 1;

char DriveLetter(std::uint8_t drive) {
  return static_cast<char>(drive + 64);
}

bool ReadVersion(OSVERSIONINFOA& info) {
  info.dwOSVersionInfoSize = sizeof(OSVERSIONINFOA);
  return Platform != nullptr && Platform->GetVersion(info);
}

bool IsBlankOrControl(char c) {
  return static_cast<unsigned char>(c) <= ' ';
}

std::uint16_t Word(const std::uint8_t* block, std::size_t offset) {
  return static_cast<std::uint16_t>(block[offset] | (block[offset + 1] << 8));
}

std::uint32_t DWord(const std::uint8_t* block, std::size_t offset) {
  return static_cast<std::uint32_t>(Word(block, offset)) |
         (static_cast<std::uint32_t>(Word(block, offset + 2)) << 16);
}

// Kind of medium from the volume's MEDIA_TYPE. Types the table does not know
// leave MediaKind as the record held it.
void SetKindFromMediaType(std::uint32_t mediaType, TDriveGeometry& geometry) {
  if (mediaType == 0) {
    geometry.MediaKind = mkUnknown;
  } else if ((mediaType >= 1 && mediaType <= 10) || (mediaType >= 13 && mediaType <= 22)) {
    geometry.MediaKind = mkFloppy;
    geometry.Removable = 1;
  } else if (mediaType == kMediaRemovable) {
    geometry.MediaKind = mkRemovable;
    geometry.Removable = 1;
  } else if (mediaType == kMediaFixed) {
    geometry.MediaKind = mkFixed;
  }
}

bool GetDriveGeometryNT(std::uint8_t drive, TDriveGeometry& geometry) {
  const char letter = DriveLetter(drive);
  const Handle query = Platform->OpenVolume(letter, /*forReading=*/false);
  if (query == INVALID_HANDLE_VALUE) return false;

  if (Platform->DriveType(std::string{letter, ':', '\\'}) == DRIVE_CDROM) {
    Platform->CloseHandle(query);
    geometry = TDriveGeometry{};
    geometry.MediaKind = mkCDROM;
    geometry.Removable = 1;
    geometry.BytesPerSector = 2048;
    return true;
  }

  DISK_GEOMETRY answer{};
  const bool ok = Platform->QueryGeometry(query, answer);
  Platform->CloseHandle(query);
  if (!ok) return false;

  geometry.Removable = 0;
  geometry.Cylinders = static_cast<std::uint32_t>(answer.Cylinders);
  geometry.Heads = answer.TracksPerCylinder;
  geometry.SectorsPerTrack = answer.SectorsPerTrack;
  geometry.BytesPerSector = answer.BytesPerSector;
  geometry.TotalSectors = geometry.Cylinders * answer.TracksPerCylinder * answer.SectorsPerTrack;
  SetKindFromMediaType(answer.MediaType, geometry);
  return true;
}

// Two Get Device Parameters calls, current medium then device default; the
// larger answers of the two win.
bool GetDriveGeometryVWin32(std::uint8_t drive, TDriveGeometry& geometry) {
  geometry.TotalSectors = 0;
  geometry.BytesPerSector = 0;

  std::uint8_t block[kDeviceParamsSize] = {};
  bool passOk = false;
  for (int pass = 0; pass < 2; ++pass) {
    block[DeviceParams::SpecialFunctions] = pass == 0 ? 1 : 0;
    DIOC_REGISTERS regs{};
    regs.reg_EAX = kGetDeviceParams;
    regs.reg_EBX = drive;
    regs.reg_ECX = kDiskCategoryGetParams;
    // The device sees the block itself; the register keeps what a 32-bit
    // address would have left there.
    regs.reg_EDX = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(block));
    regs.reg_Flags = kCarryFlag;
    passOk =
        Platform->VWin32DosIoctl(VWin32Handle, regs, block) && (regs.reg_Flags & kCarryFlag) == 0;
    if (!passOk) continue;

    const std::uint32_t product = static_cast<std::uint32_t>(Word(block, DeviceParams::Cylinders)) *
                                  Word(block, DeviceParams::Heads) *
                                  Word(block, DeviceParams::SectorsPerTrack);
    geometry.TotalSectors =
        std::max({geometry.TotalSectors, product,
                  static_cast<std::uint32_t>(Word(block, DeviceParams::TotalSectors16)),
                  DWord(block, DeviceParams::TotalSectors32)});
    geometry.BytesPerSector =
        std::max<std::uint32_t>(geometry.BytesPerSector, Word(block, DeviceParams::BytesPerSector));
  }
  if (!passOk) return false;

  geometry.Removable = 0;
  geometry.Cylinders = Word(block, DeviceParams::Cylinders);
  geometry.Heads = Word(block, DeviceParams::Heads);
  geometry.SectorsPerTrack = Word(block, DeviceParams::SectorsPerTrack);

  const std::uint8_t deviceType = block[DeviceParams::DeviceType];
  const bool notRemovable = (Word(block, DeviceParams::DeviceAttributes) & 1) != 0;
  switch (deviceType) {
    case 0:
    case 1:
    case 2:
    case 3:
    case 4:
    case 7:
    case 8:
      geometry.MediaKind = mkFloppy;
      break;
    case 5:
      geometry.MediaKind = mkFixed;
      break;
    case 6:
    case 9:
      geometry.MediaKind = notRemovable ? mkUnknown : mkRemovable;
      break;
    default:
      break;
  }
  if (!notRemovable) geometry.Removable = 1;
  return true;
}

void DoneDiskAccessAtExit() { DoneDiskAccess(); }

void CloseVolume();
bool ReadVolume(std::uint8_t drive, std::uint32_t first, std::uint16_t count, void* buffer,
                std::size_t bufferBytes, bool uncached);

// log2 of the sector size, rounded to the nearest whole number; 0 for none.
std::uint8_t Log2Rounded(std::uint32_t value) {
  if (value == 0) return 0;
  std::uint8_t shift = 0;
  while (shift < 31 && (std::uint64_t{1} << (shift + 1)) <= value) ++shift;
  // log2(value) rounds up from shift + 0.5, that is from value^2 >= 2 x 4^shift.
  const std::uint64_t low = std::uint64_t{1} << shift;
  const std::uint64_t square = std::uint64_t{value} * value;
  return static_cast<std::uint8_t>(square >= 2 * low * low ? shift + 1 : shift);
}

// The packet's buffer field keeps what a 32-bit address would have left
// there; the device itself is handed the pointer.
std::uint32_t LowAddress(const void* pointer) {
  return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(pointer));
}

DISKIO Packet(std::uint32_t first, std::uint16_t count, void* buffer) {
  DISKIO packet{};
  packet.diStartSector = first;
  packet.diSectors = count;
  packet.diBuffer = LowAddress(buffer);
  return packet;
}

}  // namespace

bool IsWinNT() {
  OSVERSIONINFOA info{};
  return ReadVersion(info) && info.dwPlatformId == VER_PLATFORM_WIN32_NT;
}

bool IsFat32Capable() {
  // A failed call leaves the record zero, so the platform id alone decides.
  OSVERSIONINFOA info{};
  ReadVersion(info);
  if (info.dwPlatformId != VER_PLATFORM_WIN32_WINDOWS) return false;
  if (info.dwMajorVersion >= 4 && info.dwMinorVersion > 0) return true;
  if (info.dwMajorVersion == 4 && info.dwMinorVersion == 0) {
    // Windows 95 OSR2 says so with a "B" in its service-pack text.
    std::string csd(info.szCSDVersion, strnlen(info.szCSDVersion, sizeof info.szCSDVersion));
    const auto first = std::find_if_not(csd.begin(), csd.end(), IsBlankOrControl);
    const auto last = std::find_if_not(csd.rbegin(), csd.rend(), IsBlankOrControl).base();
    return first < last && std::string(first, last) == "B";
  }
  return false;
}

void InitDiskAccess(DiskPlatform& platform, DiskMessageFn showMessage) {
  if (Platform != nullptr) DoneDiskAccess();
  Platform = &platform;
  ShowMessage = std::move(showMessage);

  VWin32Handle = INVALID_HANDLE_VALUE;
  VolumeHandle = INVALID_HANDLE_VALUE;
  VolumeDrive = 0;
  VolumeGeometry = TDriveGeometry{};
  SectorShift = 0;
  UseFat32Access = IsFat32Capable();
  UseNTAccess = IsWinNT();

  static const bool registered = std::atexit(DoneDiskAccessAtExit) == 0;
  (void)registered;

  if (!UseNTAccess) {
    VWin32Handle = Platform->OpenVWin32();
    if (VWin32Handle == INVALID_HANDLE_VALUE && ShowMessage) {
      ShowMessage("Error", "Error loading \"VWIN32.VXD (INT25/26)\"", MB_ICONWARNING | MB_OK);
    }
  }
}

void DoneDiskAccess() {
  if (Platform == nullptr) return;
  if (!UseNTAccess) {
    if (VWin32Handle != INVALID_HANDLE_VALUE) Platform->CloseHandle(VWin32Handle);
  } else if (VolumeHandle != INVALID_HANDLE_VALUE) {
    Platform->CloseHandle(VolumeHandle);
  }
  VWin32Handle = INVALID_HANDLE_VALUE;
  VolumeHandle = INVALID_HANDLE_VALUE;
  Platform = nullptr;
  ShowMessage = nullptr;
}

bool GetDriveGeometry(std::uint8_t drive, TDriveGeometry& geometry) {
  if (Platform == nullptr) return false;
  return UseNTAccess ? GetDriveGeometryNT(drive, geometry)
                     : GetDriveGeometryVWin32(drive, geometry);
}

bool ReadSectors(std::uint8_t drive, std::uint32_t first, std::uint16_t count, void* buffer) {
  return ReadSectors(drive, first, count, buffer, SIZE_MAX);
}

bool ReadSectors(std::uint8_t drive, std::uint32_t first, std::uint16_t count, void* buffer,
                 std::size_t bufferBytes) {
  LastFailure = rfNone;
  if (Platform == nullptr) return false;
  bool read = false;
  if (UseNTAccess) {
    read = ReadVolume(drive, first, count, buffer, bufferBytes, /*uncached=*/false);
  } else {
    read = UseFat32Access ? ReadSectorsFat32(drive, first, count, buffer)
                          : ReadSectorsInt25(drive, first, count, buffer);
    if (!read) LastFailure = rfBadSector;
  }
  return read;
}

bool ReadSectorsUncached(std::uint8_t drive, std::uint32_t first, std::uint16_t count,
                         void* buffer, std::size_t bufferBytes) {
  // The MS-DOS calls keep no cache of their own to bypass.
  if (Platform == nullptr || !UseNTAccess) return ReadSectors(drive, first, count, buffer, bufferBytes);
  LastFailure = rfNone;
  return ReadVolume(drive, first, count, buffer, bufferBytes, /*uncached=*/true);
}

void PrefetchSectors(std::uint8_t drive, std::uint32_t first, std::uint32_t count) {
  if (Platform == nullptr || !UseNTAccess || count == 0) return;
  if (VolumeHandle == INVALID_HANDLE_VALUE || VolumeDrive != drive) return;
  const std::uint64_t bytesPerSector = VolumeGeometry.BytesPerSector;
  if (bytesPerSector == 0) return;
  Platform->Prefetch(VolumeHandle, first * bytesPerSector, count * bytesPerSector);
}

TReadFailure LastReadFailure() {
  return LastFailure;
}

bool ReleaseStaleDriveHandle(std::uint8_t drive) {
  if (Platform == nullptr || !UseNTAccess) return false;
  if (VolumeHandle == INVALID_HANDLE_VALUE || VolumeDrive != drive) return false;
  if (Platform->StillReachesDevice(VolumeHandle)) return false;
  CloseVolume();
  return true;
}

bool OpenDriveHandle(std::uint8_t drive) {
  if (VolumeHandle != INVALID_HANDLE_VALUE && VolumeDrive == drive) return true;
  if (VolumeHandle != INVALID_HANDLE_VALUE) Platform->CloseHandle(VolumeHandle);

  VolumeHandle = Platform->OpenVolume(DriveLetter(drive), /*forReading=*/true);
  VolumeDrive = drive;
  // Mend: a failed query must not leave another drive's sector size behind,
  // which would size this drive's reads wrongly (and overrun the caller's
  // buffer when that drive's sectors were larger). With none, reads fail.
  if (!GetDriveGeometry(drive, VolumeGeometry)) VolumeGeometry = TDriveGeometry{};
  SectorShift = Log2Rounded(VolumeGeometry.BytesPerSector);
  return VolumeHandle != INVALID_HANDLE_VALUE;
}

bool ReadSectorsNT(std::uint8_t drive, std::uint32_t first, std::uint16_t count, void* buffer) {
  return ReadVolume(drive, first, count, buffer, SIZE_MAX, /*uncached=*/false);
}

namespace {

void CloseVolume() {
  Platform->CloseHandle(VolumeHandle);
  VolumeHandle = INVALID_HANDLE_VALUE;
}

bool ReadVolume(std::uint8_t drive, std::uint32_t first, std::uint16_t count, void* buffer,
                std::size_t bufferBytes, bool uncached) {
  // A drive that cannot be opened, or whose sector size is unknown, cannot
  // be read at all: that is a drive gone, not a bad sector.
  LastFailure = rfDriveGone;
  if (!OpenDriveHandle(drive)) return false;

  // Without a known sector size there is nothing to position or size chunks
  // by, and a sector larger than the transfer buffer cannot pass through it.
  const std::uint32_t bytesPerSector = VolumeGeometry.BytesPerSector;
  if (bytesPerSector == 0 || bytesPerSector > kSectorBufferSize) return false;
  if (std::uint64_t{count} * bytesPerSector > bufferBytes) return false;
  LastFailure = rfNone;

  // Drives with sectors above 512 bytes go in chunks of fewer than 128 sectors,
  // so a chunk always fits the buffer. The offset is first x the sector size,
  // which equals first << SectorShift for the power-of-two sizes drives report
  // and stays right for any other.
  const std::uint32_t chunkMax =
      std::min(bytesPerSector * 128, kSectorBufferSize / bytesPerSector * bytesPerSector);
  std::uint64_t offset = std::uint64_t{first} * bytesPerSector;
  std::uint32_t remaining = std::uint32_t{count} * bytesPerSector;
  auto* out = static_cast<std::uint8_t*>(buffer);
  for (;;) {
    const std::uint32_t chunk = std::min(remaining, chunkMax);
    std::uint32_t bytesRead = 0;
    const bool ok =
        (uncached ? Platform->ReadAtUncached(VolumeHandle, offset, SectorBuffer, chunk, bytesRead)
                  : Platform->ReadAt(VolumeHandle, offset, SectorBuffer, chunk, bytesRead)) &&
        bytesRead == chunk;
    if (ok && chunk != 0) std::memcpy(out, SectorBuffer, chunk);
    out += chunk;
    offset += chunk;
    remaining -= chunk;
    if (!ok) {
      LastFailure = rfBadSector;
      // Mend: a handle whose medium has gone can never read again, and holding
      // it keeps the vanished device busy; let go of it, so the next read (a
      // card put back) opens the drive afresh.
      if (Platform->LastFailureWasGone()) {
        LastFailure = rfDriveGone;
        CloseVolume();
      }
      return false;
    }
    if (remaining == 0) return true;
  }
}

}  // namespace

// A run of no sectors is read at once: the MS-DOS calls have no meaning for it.
bool ReadSectorsInt25(std::uint8_t drive, std::uint32_t first, std::uint16_t count,
                      void* buffer) {
  if (count == 0) return true;
  const DISKIO packet = Packet(first, count, buffer);
  DIOC_REGISTERS regs{};
  regs.reg_EAX = static_cast<std::uint32_t>(drive) - 1;
  regs.reg_EBX = LowAddress(&packet);
  regs.reg_ECX = 0xFFFF;
  return Platform->VWin32Int25(VWin32Handle, regs, packet, buffer) &&
         (regs.reg_Flags & kCarryFlag) == 0;
}

bool ReadSectorsFat32(std::uint8_t drive, std::uint32_t first, std::uint16_t count,
                      void* buffer) {
  if (count == 0) return true;
  const DISKIO packet = Packet(first, count, buffer);
  DIOC_REGISTERS regs{};
  regs.reg_EAX = 0x7305;
  regs.reg_EBX = LowAddress(&packet);
  regs.reg_ECX = 0xFFFFFFFF;
  regs.reg_EDX = drive;
  regs.reg_ESI = 0;
  return Platform->VWin32DriveInfo(VWin32Handle, regs, packet, buffer) &&
         (regs.reg_Flags & kCarryFlag) == 0;
}

TDiskAccessState DiskAccessState() {
  return {UseNTAccess, UseFat32Access, VWin32Handle, VolumeHandle,
          VolumeDrive, VolumeGeometry, SectorShift};
}
