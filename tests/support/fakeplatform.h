// SPDX-License-Identifier: GPL-3.0-or-later
// In-memory stand-in for the machine's drives, with faults to inject and
// counters to assert on. Serves both ways of the disk unit: the volume-handle
// way (NT family) and the VWIN32 device of the 95/98/ME family.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "diskio/platform.h"

// What the VWIN32 device answers to Get Device Parameters for one pass.
struct FakeDeviceParams {
  bool callFails = false;  // DeviceIoControl itself returns 0
  bool carry = false;      // the MS-DOS call reports an error
  std::uint8_t deviceType = 5;
  std::uint16_t attributes = 0;
  std::uint16_t cylinders = 0;
  std::uint16_t heads = 0;
  std::uint16_t sectorsPerTrack = 0;
  std::uint16_t bytesPerSector = 512;
  std::uint16_t totalSectors16 = 0;
  std::uint32_t totalSectors32 = 0;
};

struct FakeVolume {
  char letter = 'C';
  unsigned driveType = DRIVE_REMOVABLE;
  std::string path;
  std::string model;
  TDriveBus bus = TDriveBus::kUnknown;
  std::vector<std::uint8_t> data;

  bool failOpen = false;
  bool failGeometry = false;
  std::string readRefusal;  // PrepareToRead fails with this reason
  DISK_GEOMETRY geometry{};

  std::set<std::uint32_t> unreadable;  // sectors whose every read fails
  std::uint64_t describedBytes = 0;    // the size Describe reports, when not that of data

  FakeDeviceParams currentMedium;  // first pass
  FakeDeviceParams deviceDefault;  // second pass
};

class FakePlatform : public DiskPlatform {
 public:
  FakePlatform();  // NT family, no drives

  // Platform family.
  void SetNT(std::uint32_t major = 5, std::uint32_t minor = 1);
  void SetWindows9x(std::uint32_t major, std::uint32_t minor, const std::string& csdVersion = "");
  OSVERSIONINFOA version{};
  bool versionFails = false;
  bool vwin32OpenFails = false;

  // A volume of `sectors` sectors, geometry shaped sectors x 1 x 1, with a
  // media type to match the drive kind.
  FakeVolume& AddVolume(char letter, std::uint32_t sectors, unsigned driveType = DRIVE_REMOVABLE,
                        std::uint32_t bytesPerSector = 512);
  FakeVolume& Volume(char letter);
  void RemoveVolume(char letter);
  bool listFails = false;                       // GetLogicalDriveStrings returns 0
  bool mediumRemoved = false;                   // every read fails from now on
  bool deviceGone = false;                      // every read fails as one of a vanished device does
  std::chrono::microseconds failedReadTime{0};  // what each failed read takes
  std::function<void()> onRead;                 // runs before every volume-handle read
  // The handles open now no longer reach their device (a card taken out).
  void MakeOpenHandlesStale();
  bool vwin32ReadFails = false;  // the VWIN32 read calls themselves fail

  // Counters.
  int queryOpens = 0;
  int readOpens = 0;
  int geometryQueries = 0;
  int closes = 0;
  int vwin32Opens = 0;
  int prepares = 0;
  int OpenHandles() const { return static_cast<int>(handles_.size()); }
  // Every Get Device Parameters call: registers and block as they came in.
  struct DosCall {
    DIOC_REGISTERS regs;
    std::vector<std::uint8_t> block;
  };
  std::vector<DosCall> dosCalls;
  struct ReadCall {
    std::uint64_t offset;
    std::uint32_t size;
    bool uncached = false;
    bool ok = false;
  };
  std::vector<ReadCall> reads;  // every volume-handle read
  struct VWin32Read {
    unsigned controlCode;
    DIOC_REGISTERS regs;
    DISKIO packet;
  };
  std::vector<VWin32Read> vwin32Reads;

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
  bool LastFailureWasGone() override { return lastFailureGone_; }
  bool StillReachesDevice(Handle volume) override { return !staleHandles_.contains(volume); }
  bool PrepareToRead(char letter, std::string& why) override;
  Handle OpenVWin32() override;
  bool VWin32DosIoctl(Handle vwin32, DIOC_REGISTERS& regs, std::uint8_t* block) override;
  bool VWin32Int25(Handle vwin32, DIOC_REGISTERS& regs, const DISKIO& packet,
                   void* buffer) override;
  bool VWin32DriveInfo(Handle vwin32, DIOC_REGISTERS& regs, const DISKIO& packet,
                       void* buffer) override;

 private:
  FakeVolume* Find(char letter);
  bool Read(Handle volume, std::uint64_t offset, void* buffer, std::uint32_t size,
            std::uint32_t& bytesRead, bool uncached);
  bool Readable(const FakeVolume& volume, std::uint64_t offset, std::uint64_t size) const;
  bool ServeVWin32Read(unsigned controlCode, Handle vwin32, DIOC_REGISTERS& regs,
                       const DISKIO& packet, void* buffer);
  std::map<char, FakeVolume> volumes_;  // by upper-case letter
  std::vector<char> order_;             // the order the system lists them in
  std::map<Handle, char> handles_;      // open volume handles and their drive
  Handle nextHandle_ = 100;
  Handle vwin32_ = INVALID_HANDLE_VALUE;
  std::set<Handle> staleHandles_;
  bool lastFailureGone_ = false;
};
