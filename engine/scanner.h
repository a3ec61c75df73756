// SPDX-License-Identifier: GPL-3.0-or-later
// The scan's state and steps, shared by scan.cpp (reading, detecting,
// carving, storing) and heldfiles.cpp (photos in two pieces). Nothing else
// includes this: RunScan (scan.h) is the way in.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "engine/endfinder.h"
#include "engine/fragments.h"
#include "engine/headercheck.h"
#include "engine/scan.h"

namespace scanning {

class TScan;

// The volume as the open file's finder sees it: bytes from the file's first
// sector on, read through the scan's own reader.
class TFileBytes final : public TVolumeBytes {
 public:
  explicit TFileBytes(TScan& scan) : scan_(scan) {}
  bool Read(std::uint64_t offset, std::uint8_t* buffer, std::size_t size) override;
  std::uint32_t firstSector = 0;

 private:
  TScan& scan_;
};

class TScan {
 public:
  explicit TScan(TScanHost& host) : host_(host), geometry_(host.DriveGeometry()) {}
  ~TScan() {
    if (CarvedFile >= 0) ::close(CarvedFile);
    for (const THeld& held : held_) ::close(held.fd);
  }

  TScanEnd Run();
  // Reads whole sectors from first on into the caller's memory; a failed
  // read is counted like any other. False when it failed.
  bool ReadAhead(std::uint32_t first, std::uint32_t count, std::uint8_t* buffer);
  std::uint32_t BytesPerSector() const { return geometry_.BytesPerSector; }
  std::uint32_t TotalSectors() const { return geometry_.TotalSectors; }

 private:
  // A JPEG broken off by another file's header (see fragments.h).
  struct THeld {
    int fd = -1;
    std::string name;
    off_t size = 0;     // its first piece, as far as it surely goes
    off_t written = 0;  // what was carved: a gap may begin inside it
    std::uint32_t firstSector = 0;
    int filesBetween = 0;  // whole files found since it was broken off
    // Broken off by empty space or other data rather than by a header: its
    // rest is looked for at the first cluster with data after the gap.
    bool afterGap = false;
    // With a middle piece taken provisionally (a photo in three pieces):
    // its first piece's length, where it is cut back to unless its rest
    // makes it whole; -1 without one.
    off_t surely = -1;
    // A movie broken off inside its mdat (see moviejoin.h), not a photo.
    bool movie = false;
  };

  bool CanStart();
  void ReadChunk();
  std::uint32_t ReadSectorBySector(std::uint32_t count);
  bool CountFailedRead();
  void ProcessChunk(std::uint32_t count);
  bool DetectChecked(const std::uint8_t* sector, std::size_t available);
  bool MayBeginHeader(const std::uint8_t* sector) const;
  std::uint64_t BytesLeft() const;
  void CloseAtItsEnd();
  void OpenCarvedFile(const std::string& tag);
  void FlushRun();
  void WriteSector(const std::uint8_t* sector, std::size_t size);
  void CloseAndStore();
  void StoreCarvedFile(const std::string& name);
  void List(const std::string& path, const std::string& storedName);
  // brokenOff: the open file's own structure broke off, rather than a header
  // of another file coming.
  bool CanHold(bool brokenOff) const;
  void Hold();
  void AfterFileWhileHeld(std::uint32_t endSector);
  void AfterGapWhileHeld(const std::uint8_t* sector);
  std::optional<std::size_t> HeldIndex(std::uint32_t firstSector) const;
  void AfterBreakWhileHeld(std::uint32_t ownFirstSector, off_t ownBytes);
  void ResolveAfterGap(std::uint32_t at);
  // Where the continuation taken ends, if one was.
  std::optional<std::uint32_t> ResolveHeld(std::size_t index, std::uint32_t from);
  std::optional<std::uint32_t> ResolveHeldMovie(THeld& held, std::uint32_t from);
  // Where the rest of a held file is looked for: from `from` on.
  TContinuationSearch SearchFrom(std::uint32_t from);
  bool InsideWholePhoto(std::uint32_t sector, std::uint64_t restBytes);
  // Ends a held file at keep bytes and stores it; then, where a rest was
  // taken, the held ones after it may go on after that rest.
  void EndHeld(THeld& held, off_t keep, std::optional<std::uint32_t> continuedUpTo);
  bool WriteContinuation(const THeld& held, off_t at, const TContinuation& rest);
  std::optional<TContinuation> MiddlePiece(std::span<const std::uint8_t> first, std::uint32_t from,
                                           const TContinuationSearch& search);
  bool Consumed(std::uint32_t sector) const;
  // True when the open photo was held instead (a held one's rest lay in it).
  bool CheckJoinedPhoto();
  std::optional<std::pair<off_t, off_t>> ContinueHeldInside(
      std::span<const std::uint8_t> carved, const std::vector<off_t>& boundaries);
  std::optional<bool> SplitAtHeldRest(std::span<const std::uint8_t> carved,
                                      const std::vector<off_t>& boundaries);
  std::vector<off_t> BoundariesIn(std::uint32_t firstSector, off_t bytes) const;
  void HoldAtHeader();
  // False when the open file could not be stored.
  bool EndOfScan();

  TScanHost& host_;
  const TDriveGeometry& geometry_;

  std::string DestPath;
  std::string NamePrefix;
  std::int32_t RetryLimit = 0;
  std::uint16_t ChunkSectors = 1;
  std::unique_ptr<std::uint8_t[]> ScanBuffer;
  std::uint32_t CurrentSector = 0;
  std::int32_t FoundCount = 0;    // headers that opened a file: numbers the names
  std::int32_t CreatedCount = 0;  // files actually created: what is shown as found
  std::int32_t ReadErrorCount = 0;
  std::int32_t NameOffset = 0;
  bool FileOpen = false;
  int CarvedFile = -1;
  std::string CarvedName;
  bool FileError = false;

  std::string tag_;
  bool driveGone_ = false;    // reads ended because the drive cannot be read any more
  bool writeWarned_ = false;  // the open file's write failure was shown in this chunk
  // With checked headers: the header found, and the open file's finder,
  // which follows its structure to its end.
  TFoundHeader found_;
  std::unique_ptr<TEndFinder> finder_;
  TFileBytes fileBytes_{*this};
  const TFormat* openFormat_ = nullptr;  // the open file's, with checked headers
  // A JPEG broken off by another file's header, waiting for its continuation
  // (see fragments.h); the files stored meanwhile are listed after it, so the
  // list keeps the order in which the headers were found.
  std::vector<THeld> held_;  // two at most
  // Once a photo was found in pieces, the card is taken to hold others: each
  // photo that ends is then decoded whole, as its end can lie past another
  // photo's data that looks like its own.
  bool fragmentsSeen_ = false;
  std::int32_t errorsAtOpen_ = 0;  // read errors before the open file began
  off_t spanned_ = 0;              // the open file's carved length before a cut
  // Files in the order their headers were found, listed once stored: a held
  // file keeps those after it off the list until it is done.
  struct TListed {
    std::string path;
    std::string name;  // as listed, once stored
  };
  std::deque<TListed> listing_;
  TClusterGuess clusters_;
  // Sectors taken as a held file's continuation, [first, end): no header
  // starts there and no other file takes them.
  std::vector<std::pair<std::uint32_t, std::uint32_t>> consumed_;
  // A header check near a chunk's end sees the sectors after it too, so its
  // answer never depends on how many sectors are read at once.
  std::vector<std::uint8_t> window_;
  // Sectors of the open file not yet written: one run inside ScanBuffer, so
  // a file gets one write per run of its sectors rather than one per sector.
  const std::uint8_t* runStart_ = nullptr;
  std::size_t runBytes_ = 0;
  off_t fileOffset_ = 0;
};

}  // namespace scanning
