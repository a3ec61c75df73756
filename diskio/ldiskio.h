// SPDX-License-Identifier: GPL-3.0-or-later
// The raw disk access unit: the platform probe, the drive geometry and (later)
// the sector reader, as plain procedures over module-level state. Nothing here
// raises; every operation reports through its result.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "diskio/platform.h"

enum TMediaKind : std::uint16_t {
  mkUnknown = 0,
  mkFloppy = 1,
  mkRemovable = 2,
  mkFixed = 3,
  mkCDROM = 4,
};

struct TDriveGeometry {
  std::uint16_t MediaKind;
  std::uint16_t Removable;
  std::uint32_t Cylinders;
  std::uint32_t Heads;
  std::uint32_t SectorsPerTrack;
  std::uint32_t BytesPerSector;
  std::uint32_t TotalSectors;
};

// Message box flags of the start-up warning.
constexpr unsigned MB_OK = 0x00;
constexpr unsigned MB_ICONWARNING = 0x30;

// How the unit shows its one start-up message; the window side routes it
// through its modal hook. The unit itself knows no window system.
using DiskMessageFn =
    std::function<void(const std::string& caption, const std::string& text, unsigned type)>;

// Binds the unit to a platform and probes it. Runs once before the main window
// is created; the platform must outlive DoneDiskAccess.
void InitDiskAccess(DiskPlatform& platform, DiskMessageFn showMessage = {});

// Closes the unit's handles and lets go of the platform. Registered to run at
// exit; safe to call more than once.
void DoneDiskAccess();

bool IsWinNT();
bool IsFat32Capable();

// Fills the geometry of a drive (1 = A:). False means the drive is not ready;
// the record may then be untouched or partly written.
bool GetDriveGeometry(std::uint8_t drive, TDriveGeometry& geometry);

// Reads count sectors from sector first of a drive (1 = A:) into buffer, which
// must hold count x the drive's bytes per sector. True only when the whole run
// was read; on false the bytes of the failing chunk and all after it are left
// as the caller put them.
bool ReadSectors(std::uint8_t drive, std::uint32_t first, std::uint16_t count, void* buffer);
// The same, for a caller that knows its buffer's size: a read that would not
// fit (the drive's sector size changed under the caller) fails untouched.
bool ReadSectors(std::uint8_t drive, std::uint32_t first, std::uint16_t count, void* buffer,
                 std::size_t bufferBytes);

// Reads like ReadSectors but past every cache, so an unreadable sector fails
// alone and its readable neighbours still come back. For re-reading a run
// that failed; slow for anything else.
bool ReadSectorsUncached(std::uint8_t drive, std::uint32_t first, std::uint16_t count,
                         void* buffer, std::size_t bufferBytes);

// Lets the drive fetch the sectors ahead while the caller processes what it
// has; a hint only.
void PrefetchSectors(std::uint8_t drive, std::uint32_t first, std::uint32_t count);

// Why the last failed read failed.
enum TReadFailure : std::uint8_t {
  rfNone = 0,
  rfBadSector = 1,  // the medium could not deliver those sectors
  rfDriveGone = 2,  // the drive cannot be opened, or its medium or device went away
};
TReadFailure LastReadFailure();

// Closes the cached read handle of a drive when it no longer reaches a
// device (the card was taken out, maybe put back), so the next read opens it
// afresh. True when it did.
bool ReleaseStaleDriveHandle(std::uint8_t drive);

// The three ways, chosen at start-up; called only by ReadSectors.
bool ReadSectorsNT(std::uint8_t drive, std::uint32_t first, std::uint16_t count, void* buffer);
bool ReadSectorsFat32(std::uint8_t drive, std::uint32_t first, std::uint16_t count,
                      void* buffer);
bool ReadSectorsInt25(std::uint8_t drive, std::uint32_t first, std::uint16_t count,
                      void* buffer);

// Makes the cached read handle serve a drive; opens it (and reads its
// geometry) only when the drive changes or the last open failed.
bool OpenDriveHandle(std::uint8_t drive);

// What start-up decided, for diagnostics and tests.
struct TDiskAccessState {
  bool UseNTAccess;
  bool UseFat32Access;
  Handle VWin32Handle;
  Handle VolumeHandle;
  std::uint8_t VolumeDrive;
  TDriveGeometry VolumeGeometry;
  std::uint8_t SectorShift;
};
TDiskAccessState DiskAccessState();
