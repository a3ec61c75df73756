// SPDX-License-Identifier: GPL-3.0-or-later
#include "tests/support/fakeplatform.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <stdexcept>
#include <thread>

namespace {

char Upper(char c) {
  return static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
}

void PutWord(std::uint8_t* block, std::size_t offset, std::uint16_t value) {
  block[offset] = static_cast<std::uint8_t>(value);
  block[offset + 1] = static_cast<std::uint8_t>(value >> 8);
}

void PutDWord(std::uint8_t* block, std::size_t offset, std::uint32_t value) {
  PutWord(block, offset, static_cast<std::uint16_t>(value));
  PutWord(block, offset + 2, static_cast<std::uint16_t>(value >> 16));
}

}  // namespace

FakePlatform::FakePlatform() {
  SetNT();
}

void FakePlatform::SetNT(std::uint32_t major, std::uint32_t minor) {
  version = OSVERSIONINFOA{};
  version.dwPlatformId = VER_PLATFORM_WIN32_NT;
  version.dwMajorVersion = major;
  version.dwMinorVersion = minor;
}

void FakePlatform::SetWindows9x(std::uint32_t major, std::uint32_t minor,
                                const std::string& csdVersion) {
  version = OSVERSIONINFOA{};
  version.dwPlatformId = VER_PLATFORM_WIN32_WINDOWS;
  version.dwMajorVersion = major;
  version.dwMinorVersion = minor;
  // Windows does not promise a terminating NUL in a full field; the reader copes.
  csdVersion.copy(version.szCSDVersion, sizeof version.szCSDVersion);
}

FakeVolume& FakePlatform::AddVolume(char letter, std::uint32_t sectors, unsigned driveType,
                                    std::uint32_t bytesPerSector) {
  letter = Upper(letter);
  if (volumes_.count(letter) != 0) throw std::logic_error("drive letter used twice");
  FakeVolume& volume = volumes_[letter];
  order_.push_back(letter);
  volume.letter = letter;
  volume.driveType = driveType;
  volume.path = std::string("/dev/fake") + static_cast<char>(std::tolower(letter));
  volume.data.assign(static_cast<std::size_t>(sectors) * bytesPerSector, 0);
  volume.geometry.Cylinders = sectors;
  volume.geometry.TracksPerCylinder = 1;
  volume.geometry.SectorsPerTrack = 1;
  volume.geometry.BytesPerSector = bytesPerSector;
  volume.geometry.MediaType = driveType == DRIVE_FIXED ? kMediaFixed : kMediaRemovable;
  return volume;
}

FakeVolume& FakePlatform::Volume(char letter) {
  FakeVolume* volume = Find(letter);
  if (volume == nullptr) throw std::logic_error("no such fake drive");
  return *volume;
}

void FakePlatform::RemoveVolume(char letter) {
  letter = Upper(letter);
  volumes_.erase(letter);
  order_.erase(std::remove(order_.begin(), order_.end(), letter), order_.end());
}

FakeVolume* FakePlatform::Find(char letter) {
  const auto it = volumes_.find(Upper(letter));
  return it == volumes_.end() ? nullptr : &it->second;
}

bool FakePlatform::GetVersion(OSVERSIONINFOA& info) {
  if (info.dwOSVersionInfoSize != sizeof(OSVERSIONINFOA)) return false;
  if (versionFails) return false;
  info = version;
  info.dwOSVersionInfoSize = sizeof(OSVERSIONINFOA);
  return true;
}

std::vector<std::string> FakePlatform::LogicalDriveRoots() {
  std::vector<std::string> roots;
  if (listFails) return roots;
  // The system reports lower-case roots; the caller must upper-case them.
  for (char letter : order_) roots.push_back({static_cast<char>(std::tolower(letter)), ':', '\\'});
  return roots;
}

unsigned FakePlatform::DriveType(const std::string& root) {
  const FakeVolume* volume = root.empty() ? nullptr : Find(root[0]);
  return volume == nullptr ? DRIVE_NO_ROOT_DIR : volume->driveType;
}

DriveDescription FakePlatform::Describe(char letter) {
  const FakeVolume* volume = Find(letter);
  if (volume == nullptr) return {};
  return {volume->path,
          volume->model,
          volume->describedBytes != 0 ? volume->describedBytes : volume->data.size(),
          {},
          volume->geometry.BytesPerSector,
          volume->bus};
}

Handle FakePlatform::OpenVolume(char letter, bool forReading) {
  ++(forReading ? readOpens : queryOpens);
  const FakeVolume* volume = Find(letter);
  if (volume == nullptr || volume->failOpen) {
    lastFailureGone_ = true;
    return INVALID_HANDLE_VALUE;
  }
  const Handle handle = nextHandle_++;
  handles_[handle] = volume->letter;
  return handle;
}

void FakePlatform::CloseHandle(Handle handle) {
  ++closes;
  if (handle == vwin32_) {
    vwin32_ = INVALID_HANDLE_VALUE;
    return;
  }
  if (handles_.erase(handle) == 0) throw std::logic_error("closing a handle that is not open");
  staleHandles_.erase(handle);
}

bool FakePlatform::PrepareToRead(char letter, std::string& why) {
  ++prepares;
  const FakeVolume* volume = Find(letter);
  if (volume == nullptr) return false;
  why = volume->readRefusal;
  return why.empty();
}

bool FakePlatform::QueryGeometry(Handle volume, DISK_GEOMETRY& geometry) {
  ++geometryQueries;
  const auto it = handles_.find(volume);
  if (it == handles_.end()) return false;
  const FakeVolume* drive = Find(it->second);
  if (drive == nullptr || drive->failGeometry) return false;
  geometry = drive->geometry;
  return true;
}

bool FakePlatform::Readable(const FakeVolume& volume, std::uint64_t offset,
                            std::uint64_t size) const {
  if (mediumRemoved || deviceGone) return false;
  const std::uint64_t sectorSize = std::max<std::uint32_t>(volume.geometry.BytesPerSector, 1);
  const auto from = offset / sectorSize;
  const auto to = size == 0 ? from : (offset + size - 1) / sectorSize;
  const auto bad = volume.unreadable.lower_bound(static_cast<std::uint32_t>(from));
  return bad == volume.unreadable.end() || *bad > to;
}

void FakePlatform::MakeOpenHandlesStale() {
  for (const auto& [handle, letter] : handles_) staleHandles_.insert(handle);
}

bool FakePlatform::ReadAt(Handle volume, std::uint64_t offset, void* buffer, std::uint32_t size,
                          std::uint32_t& bytesRead) {
  return Read(volume, offset, buffer, size, bytesRead, /*uncached=*/false);
}

bool FakePlatform::ReadAtUncached(Handle volume, std::uint64_t offset, void* buffer,
                                  std::uint32_t size, std::uint32_t& bytesRead) {
  return Read(volume, offset, buffer, size, bytesRead, /*uncached=*/true);
}

bool FakePlatform::Read(Handle volume, std::uint64_t offset, void* buffer, std::uint32_t size,
                        std::uint32_t& bytesRead, bool uncached) {
  bytesRead = 0;
  lastFailureGone_ = false;  // each read answers for itself, as a real drive's does
  if (onRead) onRead();
  reads.push_back({offset, size, uncached, false});
  const auto it = handles_.find(volume);
  if (it == handles_.end()) return false;
  const FakeVolume* drive = Find(it->second);
  if (drive == nullptr || staleHandles_.contains(volume) || !Readable(*drive, offset, size)) {
    lastFailureGone_ = deviceGone || staleHandles_.contains(volume);
    if (failedReadTime.count() > 0) std::this_thread::sleep_for(failedReadTime);
    return false;
  }
  reads.back().ok = true;
  if (offset >= drive->data.size()) return true;
  const std::uint64_t available = drive->data.size() - offset;
  bytesRead = static_cast<std::uint32_t>(std::min<std::uint64_t>(size, available));
  std::memcpy(buffer, drive->data.data() + offset, bytesRead);
  return true;
}

Handle FakePlatform::OpenVWin32() {
  ++vwin32Opens;
  if (vwin32OpenFails) return INVALID_HANDLE_VALUE;
  vwin32_ = 7;
  return vwin32_;
}

bool FakePlatform::VWin32DosIoctl(Handle vwin32, DIOC_REGISTERS& regs, std::uint8_t* block) {
  dosCalls.push_back({regs, std::vector<std::uint8_t>(block, block + kDeviceParamsSize)});
  if (vwin32 == INVALID_HANDLE_VALUE || vwin32 != vwin32_) return false;
  const FakeVolume* volume = regs.reg_EBX >= 1 && regs.reg_EBX <= 26
                                 ? Find(static_cast<char>(regs.reg_EBX + 64))
                                 : nullptr;
  // Anything but Get Device Parameters of a present drive comes back with carry.
  if (regs.reg_EAX != 0x440D || regs.reg_ECX != 0x0860 || volume == nullptr) {
    regs.reg_Flags |= 1;
    return true;
  }
  const FakeDeviceParams& answer =
      block[DeviceParams::SpecialFunctions] == 1 ? volume->currentMedium : volume->deviceDefault;
  if (answer.callFails) return false;
  if (answer.carry) {
    regs.reg_Flags |= 1;
    return true;
  }
  block[DeviceParams::DeviceType] = answer.deviceType;
  PutWord(block, DeviceParams::DeviceAttributes, answer.attributes);
  PutWord(block, DeviceParams::Cylinders, answer.cylinders);
  PutWord(block, DeviceParams::BytesPerSector, answer.bytesPerSector);
  PutWord(block, DeviceParams::TotalSectors16, answer.totalSectors16);
  PutWord(block, DeviceParams::SectorsPerTrack, answer.sectorsPerTrack);
  PutWord(block, DeviceParams::Heads, answer.heads);
  PutDWord(block, DeviceParams::TotalSectors32, answer.totalSectors32);
  regs.reg_Flags &= ~1u;
  return true;
}

bool FakePlatform::ServeVWin32Read(unsigned controlCode, Handle vwin32, DIOC_REGISTERS& regs,
                                   const DISKIO& packet, void* buffer) {
  vwin32Reads.push_back({controlCode, regs, packet});
  if (vwin32 == INVALID_HANDLE_VALUE || vwin32 != vwin32_ || vwin32ReadFails) return false;
  // The MS-DOS calls answer wrong registers with carry, as a real one would.
  const bool int25 = controlCode == VWIN32_DIOC_DOS_INT25;
  const bool registersOk =
      int25 ? regs.reg_ECX == 0xFFFF
            : regs.reg_EAX == 0x7305 && regs.reg_ECX == 0xFFFFFFFF && regs.reg_ESI == 0;
  const std::uint32_t drive = int25 ? regs.reg_EAX + 1 : regs.reg_EDX;
  const FakeVolume* volume =
      drive >= 1 && drive <= 26 ? Find(static_cast<char>(drive + 64)) : nullptr;
  if (!registersOk || volume == nullptr) {
    regs.reg_Flags |= 1;
    return true;
  }
  const std::uint64_t sectorSize = volume->geometry.BytesPerSector;
  const std::uint64_t offset = packet.diStartSector * sectorSize;
  const std::uint64_t size = packet.diSectors * sectorSize;
  if (offset + size > volume->data.size() || !Readable(*volume, offset, size)) {
    regs.reg_Flags |= 1;
    return true;
  }
  std::memcpy(buffer, volume->data.data() + offset, size);
  regs.reg_Flags &= ~1u;
  return true;
}

bool FakePlatform::VWin32Int25(Handle vwin32, DIOC_REGISTERS& regs, const DISKIO& packet,
                               void* buffer) {
  return ServeVWin32Read(VWIN32_DIOC_DOS_INT25, vwin32, regs, packet, buffer);
}

bool FakePlatform::VWin32DriveInfo(Handle vwin32, DIOC_REGISTERS& regs, const DISKIO& packet,
                                   void* buffer) {
  return ServeVWin32Read(VWIN32_DIOC_DOS_DRIVEINFO, vwin32, regs, packet, buffer);
}
