#include "diskio/ldiskio.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace {

DiskPlatform* Platform = nullptr;
DiskMessageFn ShowMessage;

bool UseNTAccess = false;
bool UseFat32Access = false;
Handle VWin32Handle = INVALID_HANDLE_VALUE;
Handle VolumeHandle = INVALID_HANDLE_VALUE;

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

void DoneDiskAccessAtExit() {
  DoneDiskAccess();
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

TDiskAccessState DiskAccessState() {
  return {UseNTAccess, UseFat32Access, VWin32Handle, VolumeHandle};
}
