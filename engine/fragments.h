// SPDX-License-Identifier: GPL-3.0-or-later
// Photos in two pieces. A camera's file system gives a new file the first
// free clusters, so a photo may lie in two pieces around another file or
// old data. The scan holds a JPEG whose structure is broken off by another
// file's header, and afterwards looks for the one place where its data goes
// on: right after the file that interrupted it, or further on at a cluster
// boundary. A joint is taken only when exactly one candidate makes the
// photo decode whole: a wrong joint is worse than a cut file.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "engine/jpegjoin.h"

// The card's cluster size and offset, guessed from where file headers lie:
// every file starts a cluster, so the sectors of the headers seen share the
// largest power of two (up to 256 sectors) that divides their distances.
class TClusterGuess {
 public:
  void HeaderAt(std::uint32_t sector);
  // Sectors per cluster; 64 (32 KiB of 512-byte sectors) until two headers tell.
  std::uint32_t ClusterSectors() const;
  // The first cluster boundary at or after sector.
  std::uint32_t NextBoundary(std::uint32_t sector) const;
  // The cluster boundaries after a file's first sector and before `bytes`
  // into it, as offsets into the file.
  std::vector<std::int64_t> BoundariesIn(std::uint32_t firstSector, std::int64_t bytes,
                                         std::uint32_t bytesPerSector) const;

 private:
  std::optional<std::uint32_t> first_;
  std::uint32_t gcd_ = 0;
};

// Whether bytes are all zero: a sector of them is empty space.
bool AllZero(std::span<const std::uint8_t> bytes);

struct TContinuation {
  std::uint32_t sector = 0;  // where the rest of the file begins
  std::uint64_t bytes = 0;   // its length, up to and including the EOI
};

struct TContinuationSearch {
  std::uint32_t bytesPerSector = 512;
  std::uint32_t totalSectors = 0;
  std::uint32_t from = 0;  // the first sector a continuation may begin at
  TClusterGuess clusters;
  // How far past `from` a continuation is looked for, in sectors; for a
  // sequential JPEG, whose candidates are judged quickly, wideBoundSectors.
  std::uint32_t boundSectors = 0;
  std::uint32_t wideBoundSectors = 0;
  std::uint64_t maxRest = 64ull << 20;  // the most a continuation may hold
  // Reads sectors of the volume (counted as the scan's reads); false on failure.
  std::function<bool(std::uint32_t first, std::uint32_t count, std::uint8_t* buffer)> read;
  // Whether a sector is already another file's continuation.
  std::function<bool(std::uint32_t sector)> taken;
  // Whether a sector begins a header the scan would take (no continuation can start there).
  std::function<bool(const std::uint8_t* sector)> isHeader;
  // Whether a sector lies inside another photo that is whole from its own
  // header on: a look-alike's rest there can decode cleanly after the first
  // piece, but it is that photo's.
  // restBytes: the length the candidate's rest would have.
  std::function<bool(std::uint32_t sector, std::uint64_t restBytes)> ownedByAnother;
};

// The volume's bytes from one sector on, read through search.read a block
// at a time, the last block kept.
class TVolumeSource final : public TJoinSource {
 public:
  TVolumeSource(const TContinuationSearch& search, std::uint32_t first,
                std::uint32_t blockSectors = 128)
      : search_(search), first_(first), blockSectors_(blockSectors) {}
  std::size_t Read(std::uint64_t offset, std::uint8_t* buffer, std::size_t size) override;

 private:
  bool Load(std::uint32_t sector);  // makes the block around sector the loaded one

  const TContinuationSearch& search_;
  const std::uint32_t first_;
  const std::uint32_t blockSectors_;
  std::vector<std::uint8_t> block_;
  std::uint32_t blockFirst_ = 0;
};

// The one continuation of the JPEG whose first piece is given: candidates
// are `from` itself, then every cluster boundary after it within the bound.
// Nothing when none, or more than one, makes the photo whole. Each candidate
// of a sequential JPEG is first decoded for a few kilobytes from where its
// first piece stood (a wrong one rarely lasts that long), reading one block
// of 8 sectors, and only what passes is decoded whole.
// ambiguous, where given, is set when more than one candidate made it whole.
std::optional<TContinuation> FindContinuation(std::span<const std::uint8_t> firstPiece,
                                              const TContinuationSearch& search,
                                              bool* ambiguous = nullptr);
