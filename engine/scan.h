// SPDX-License-Identifier: GPL-3.0-or-later
// The scan: reads the selected volume from its first sector to its last and
// carves every file whose header starts a sector into the destination folder,
// storing each one compressed as soon as it is complete.
#pragma once

#include <cstdint>
#include <string>

#include "compress/zlibtool.h"
#include "diskio/ldiskio.h"
#include "engine/filedet.h"

// Why a scan ended.
enum class TScanEnd {
  Completed,          // read to the volume's last sector
  Cancelled,          // the user (or a signal) stopped it
  DriveGone,          // the drive could no longer be read
  DestinationFailed,  // a file could not be created, written or stored
  NotStarted,         // no destination, an unusable sector size, no memory
};

// How a search ended, for the line that says so.
struct TScanOutcome {
  TScanEnd end = TScanEnd::NotStarted;
  // The first sector not read: the volume's size when the scan read to its end.
  std::uint32_t sector = 0;
  std::uint32_t totalSectors = 0;
  std::int32_t found = 0;  // files made, as "Images found" counts them
};

// What the scan needs of the window: the settings it reads, what it shows and
// asks, and where it reports each stored file. The window's side decides how
// often it repaints and pumps its events; the scan tells it everything.
class TScanHost {
 public:
  virtual ~TScanHost() = default;

  // Read at the start of a scan.
  virtual std::uint8_t DriveNumber() = 0;
  virtual const TDriveGeometry& DriveGeometry() = 0;
  virtual std::string FilenamePrefix() = 0;
  virtual int RetryCount() = 0;
  virtual int SectorsAtOnce() = 0;
  // Read anew at every use: the start, and every store.
  virtual std::string DestinationText() = 0;
  // Kept current by the window; read at every sector.
  virtual const TSearchTypes& SearchTypes() = 0;
  // "Check headers and cut files at their end"; read at every sector.
  virtual bool CheckFiles() { return false; }
  // Read before every chunk.
  virtual bool CancelRequested() = 0;
  virtual void ClearCancelRequest() = 0;
  virtual TZlibTool& Compressor() = 0;

  // Status "Searching for images...", results emptied, recover buttons off.
  virtual void SearchStarting() = 0;
  // Start and drive list off, Cancel on, read errors "0", drive "busy", the
  // busy clip playing.
  virtual void ScanningStarted() = 0;
  // Process pending window events now.
  virtual void Pump() = 0;
  // Once per sector, before it is processed.
  virtual void SectorReached(std::uint32_t sector, std::uint32_t totalSectors) = 0;
  // Before each single-sector read while a failed run is read again one
  // sector at a time: a host that shows progress does so on its usual
  // throttle, or the window stands still for the whole run's re-read.
  virtual void ReadingSector(std::uint32_t /*sector*/) {}
  // The files created so far: a header whose file could not be created, or
  // whose name the user would not let be replaced, is not counted.
  virtual void FoundCountChanged(std::int32_t found) = 0;
  virtual void ReadErrorsChanged(std::int32_t errors) = 0;
  // "&Ja" (true) or "&Nein" (false).
  virtual bool ConfirmOverwrite(const std::string& text) = 0;
  virtual void Warn(const std::string& text) = 0;
  // A stored file's name as listed, and its full path as it was written
  // (the destination text may have changed since the scan began); the
  // recover-all button comes on with it.
  virtual void FileStored(const std::string& storedName, const std::string& storedPath) = 0;
  // Drive "ready", clip stopped and hidden, Start and the drive list on,
  // Cancel off, progress 0, current sector empty.
  virtual void ScanningEnded() = 0;
  // Status "Ready", and how the search ended.
  virtual void SearchEnded(const TScanOutcome& outcome) = 0;
};

// The read buffer's size, which also bounds the sectors read at once.
constexpr std::uint32_t kScanBufferSize = 2048000;

// Progress bar position 0..100 for a sector, halves to the even neighbour.
int ProgressPosition(std::uint32_t sector, std::uint32_t totalSectors);

// Opens a carved file for writing: created where the name was free, emptied
// where the user agreed to replace it; never through a symbolic link, so a
// link planted in a shared folder cannot aim the write at another file.
// -1 (errno set) on failure.
int CreateCarvedFile(const std::string& name, bool replace);

// Sector numbers are 32-bit: whether a drive has more sectors than they can
// name, and how far they reach ("2 TiB" of 512-byte sectors, "16 TiB" of 4096).
bool BeyondSectorNumbers(std::uint64_t sizeBytes, std::uint32_t bytesPerSector);
std::string SectorNumberLimitText(std::uint32_t bytesPerSector);

// Runs a whole scan; returns when it has ended, and why.
TScanEnd RunScan(TScanHost& host);
