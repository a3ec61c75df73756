// SPDX-License-Identifier: GPL-3.0-or-later
#include "diskio/linuxplatform.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <optional>
#include <set>
#include <utility>

namespace {

constexpr std::uint64_t kMaxSectors = 0xFFFFFFFFull;  // sector numbers are 32-bit
constexpr std::uint32_t kMaxSectorsPerTrack = 63;
constexpr std::uint32_t kMaxHeads = 255;

std::uint32_t LargestDivisorUpTo(std::uint64_t n, std::uint32_t limit) {
  for (std::uint32_t d = limit; d > 1; --d) {
    if (n % d == 0) return d;
  }
  return 1;
}

}  // namespace

DISK_GEOMETRY ExactGeometry(std::uint64_t totalSectors, std::uint32_t bytesPerSector) {
  DISK_GEOMETRY geometry{};
  geometry.MediaType = kMediaUnknown;
  geometry.BytesPerSector = bytesPerSector;
  const std::uint64_t total = std::min(totalSectors, kMaxSectors);
  if (total == 0) {
    geometry.TracksPerCylinder = 1;
    geometry.SectorsPerTrack = 1;
    return geometry;
  }
  // Only divisors keep the product exact; a rounded shape would drop the tail of the card.
  geometry.SectorsPerTrack = LargestDivisorUpTo(total, kMaxSectorsPerTrack);
  const std::uint64_t tracks = total / geometry.SectorsPerTrack;
  geometry.TracksPerCylinder = LargestDivisorUpTo(tracks, kMaxHeads);
  geometry.Cylinders = static_cast<std::int64_t>(tracks / geometry.TracksPerCylinder);
  return geometry;
}

LinuxPlatform::LinuxPlatform(std::vector<std::string> imageFiles, std::string sysBlockDir,
                             std::string devDir)
    : drives_(std::move(imageFiles), /*listBlockDevices=*/true, std::move(sysBlockDir),
              std::move(devDir)) {
  Enumerate();
}

LinuxPlatform::LinuxPlatform(std::vector<std::string> sources, TSourcesOnly)
    : drives_(std::move(sources), /*listBlockDevices=*/false, "/sys/class/block", "/dev") {
  Enumerate();
}

LinuxPlatform::~LinuxPlatform() {
  for (const auto& [handle, volume] : handles_) {
    reader_.Closing(static_cast<int>(handle));
    ::close(static_cast<int>(handle));
  }
}

void LinuxPlatform::SetDeviceOpener(DeviceOpener opener) {
  access_.SetOpener(std::move(opener));
}

bool LinuxPlatform::GetVersion(OSVERSIONINFOA& info) {
  // Windows XP: the NT family, so every drive is served through a volume handle.
  info.dwOSVersionInfoSize = sizeof(info);
  info.dwMajorVersion = 5;
  info.dwMinorVersion = 1;
  info.dwBuildNumber = 2600;
  info.dwPlatformId = VER_PLATFORM_WIN32_NT;
  std::memset(info.szCSDVersion, 0, sizeof(info.szCSDVersion));
  return true;
}

void LinuxPlatform::Enumerate() {
  std::set<std::string> openPaths;
  for (const auto& [handle, volume] : handles_) openPaths.insert(volume.read.path);
  access_.KeepOnly(drives_.Refresh(openPaths));
}

std::vector<std::string> LinuxPlatform::LogicalDriveRoots() {
  Enumerate();
  std::vector<std::string> roots;
  for (const TDrive& drive : drives_.Present()) {
    const char lower = static_cast<char>(std::tolower(static_cast<unsigned char>(drive.letter)));
    roots.push_back(std::string{lower} + ":\\");
  }
  return roots;
}

unsigned LinuxPlatform::DriveType(const std::string& root) {
  if (root.empty()) return DRIVE_NO_ROOT_DIR;
  const TDrive* drive = drives_.Find(root[0]);
  return drive ? drive->kind : DRIVE_NO_ROOT_DIR;
}

DriveDescription LinuxPlatform::Describe(char letter) {
  DriveDescription description;
  const TDrive* drive = drives_.Find(letter);
  if (!drive) return description;
  description.path = drive->path;
  description.note = drives_.NoteFor(drive->letter);
  std::string name = drive->name;
  std::string diskName = drive->diskName;
  const std::filesystem::path root(drives_.SysBlockDir());
  // A device node named as an image is described by sysfs too, which any user may read.
  if (name.empty() && !SysfsNamesOfNode(root, drive->path, name, diskName)) {
    description.sizeBytes = BytesAtPath(drive->path);
    if (!IsBlockNode(drive->path)) description.bus = TDriveBus::kImage;
    return description;
  }
  description.model = SysfsModelOf(root, diskName);
  description.bus = SysfsBusOf(root, diskName);
  description.sizeBytes = SysfsBytes(root, name).value_or(0);
  if (const std::optional<TSysfsSize> size = SysfsSizeOf(root, name, diskName)) {
    description.sectorBytes = size->sectorBytes;
  }
  return description;
}

Handle LinuxPlatform::OpenVolume(char letter, bool forReading) {
  // An open for reading is the scan's own: failing, for whatever reason, it
  // leaves nothing to read, and the scan ends as on a drive gone. A query of
  // some drive says nothing of the reads.
  if (forReading) lastFailureGone_ = true;
  const TDrive* drive = drives_.Find(letter);
  if (!drive) return INVALID_HANDLE_VALUE;
  TOpenVolume volume;
  volume.kind = drive->kind;
  volume.sysName = drive->name;
  volume.sysDiskName = drive->diskName;
  volume.read.path = drive->path;
  const bool isDevice = TDriveList::IsDevice(*drive);
  // A device node named as an image: its geometry too comes from sysfs.
  if (volume.sysName.empty() && isDevice) {
    SysfsNamesOfNode(drives_.SysBlockDir(), volume.read.path, volume.sysName, volume.sysDiskName);
  }

  // Neither kind of open can write: the card is evidence and must never be
  // changed. The query needs no rights to the device at all, as its geometry
  // comes from sysfs (or, for an image file, from its directory entry); so
  // every user sees every drive's size and sector size.
  std::string why;
  const TOpenedNode opened =
      forReading ? access_.OpenForReading(volume.read.path, isDevice, /*mayAsk=*/false, why)
                 : TDeviceAccess::OpenForQuery(volume.read.path);
  if (opened.fd < 0) return INVALID_HANDLE_VALUE;
  if (forReading) lastFailureGone_ = false;
  volume.read.blockDevice = opened.blockDevice;
  volume.read.node = opened.node;
  volume.read.queryOnly = !forReading;
  TVolumeReader::Opened(opened.fd, volume.read);
  handles_[opened.fd] = std::move(volume);
  return opened.fd;
}

bool LinuxPlatform::PrepareToRead(char letter, std::string& why) {
  why.clear();
  const TDrive* drive = drives_.Find(letter);
  if (!drive) {
    why = "The drive is gone";
    return false;
  }
  const TOpenedNode opened =
      access_.OpenForReading(drive->path, TDriveList::IsDevice(*drive), /*mayAsk=*/true, why);
  if (opened.fd < 0) return false;
  ::close(opened.fd);
  return true;
}

void LinuxPlatform::CloseHandle(Handle handle) {
  const auto it = handles_.find(handle);
  if (it == handles_.end()) return;  // never close a descriptor we did not open
  reader_.Closing(static_cast<int>(handle));
  ::close(static_cast<int>(handle));
  handles_.erase(it);
}

bool LinuxPlatform::QueryGeometry(Handle volume, DISK_GEOMETRY& geometry) {
  const auto it = handles_.find(volume);
  if (it == handles_.end()) return false;
  const TOpenVolume& open = it->second;
  std::uint32_t sectorBytes = 0;
  std::optional<std::uint64_t> bytes;
  if (!open.sysName.empty()) {
    if (const std::optional<TSysfsSize> size =
            SysfsSizeOf(drives_.SysBlockDir(), open.sysName, open.sysDiskName)) {
      bytes = size->bytes;
      sectorBytes = size->sectorBytes;
    }
  } else {
    bytes = BytesOfFd(static_cast<int>(volume), sectorBytes);
  }
  if (!bytes || sectorBytes == 0) return false;
  const std::uint64_t total = *bytes / sectorBytes;
  if (total == 0) return false;  // a reader slot without a card: not ready
  geometry = ExactGeometry(total, sectorBytes);
  geometry.MediaType = open.kind == DRIVE_REMOVABLE ? kMediaRemovable
                       : open.kind == DRIVE_FIXED   ? kMediaFixed
                                                    : kMediaUnknown;
  return true;
}

bool LinuxPlatform::ReadAt(Handle volume, std::uint64_t offset, void* buffer, std::uint32_t size,
                           std::uint32_t& bytesRead) {
  return Read(volume, offset, buffer, size, bytesRead, /*uncached=*/false);
}

bool LinuxPlatform::ReadAtUncached(Handle volume, std::uint64_t offset, void* buffer,
                                   std::uint32_t size, std::uint32_t& bytesRead) {
  return Read(volume, offset, buffer, size, bytesRead, /*uncached=*/true);
}

bool LinuxPlatform::Read(Handle volume, std::uint64_t offset, void* buffer, std::uint32_t size,
                         std::uint32_t& bytesRead, bool uncached) {
  // Only this read's own failure says whether the drive is gone.
  lastFailureGone_ = false;
  bytesRead = 0;
  const auto it = handles_.find(volume);
  if (it == handles_.end()) return false;
  TVolumeReadState& state = it->second.read;
  const TReadOutcome outcome =
      reader_.Read(static_cast<int>(volume), state, offset, buffer, size, bytesRead, uncached);
  if (outcome == TReadOutcome::kGone) {
    lastFailureGone_ = true;
    // The descriptor handed over for a device that went away reaches nothing any more.
    access_.Forget(state.path);
  }
  return outcome == TReadOutcome::kRead;
}

void LinuxPlatform::Prefetch(Handle volume, std::uint64_t offset, std::uint64_t size) {
  const auto it = handles_.find(volume);
  if (it != handles_.end())
    reader_.Prefetch(static_cast<int>(volume), it->second.read, offset, size);
}

bool LinuxPlatform::StillReachesDevice(Handle volume) {
  const auto it = handles_.find(volume);
  if (it == handles_.end()) return false;
  const TVolumeReadState& state = it->second.read;
  return StillReaches(static_cast<int>(volume), state.path, state.node);
}

Handle LinuxPlatform::OpenVWin32() {
  return INVALID_HANDLE_VALUE;
}

bool LinuxPlatform::VWin32DosIoctl(Handle, DIOC_REGISTERS&, std::uint8_t*) {
  return false;
}

bool LinuxPlatform::VWin32Int25(Handle, DIOC_REGISTERS&, const DISKIO&, void*) {
  return false;
}

bool LinuxPlatform::VWin32DriveInfo(Handle, DIOC_REGISTERS&, const DISKIO&, void*) {
  return false;
}
