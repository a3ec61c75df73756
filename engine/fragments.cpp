// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/fragments.h"

#include <algorithm>
#include <bit>
#include <numeric>
#include <vector>

#include "engine/jpegjoin.h"
#include "engine/sequentialjpeg.h"

namespace {

constexpr std::uint32_t kMaxClusterSectors = 256;
constexpr std::uint32_t kDefaultClusterSectors = 64;
// A wrong candidate is turned down within a few kilobytes; this bounds the
// work of a search in the worst case.
constexpr std::size_t kMaxCandidates = 1000;
// What a candidate is quickly judged on: one read, then more, in two steps,
// for those that pass it.
constexpr std::uint32_t kQuickSectors = 8;
constexpr std::uint32_t kLongerSectors = 128;


}  // namespace

std::size_t TVolumeSource::Read(std::uint64_t offset, std::uint8_t* buffer, std::size_t size) {
  const std::uint32_t sectorBytes = search_.bytesPerSector;
  std::size_t done = 0;
  while (done < size) {
    const std::uint64_t at = offset + done;
    const std::uint64_t sector = first_ + at / sectorBytes;
    if (sector >= search_.totalSectors) break;
    if (!Load(static_cast<std::uint32_t>(sector))) break;
    const std::uint64_t blockStart = std::uint64_t{blockFirst_ - first_} * sectorBytes;
    const std::size_t from = static_cast<std::size_t>(at - blockStart);
    const std::size_t take = std::min(size - done, block_.size() - from);
    std::copy_n(block_.begin() + static_cast<std::ptrdiff_t>(from), take, buffer + done);
    done += take;
  }
  return done;
}

bool TVolumeSource::Load(std::uint32_t sector) {
  if (!block_.empty() && sector >= blockFirst_ &&
      sector < blockFirst_ + block_.size() / search_.bytesPerSector) {
    return true;
  }
  const std::uint32_t count = std::min(blockSectors_, search_.totalSectors - sector);
  block_.resize(std::size_t{count} * search_.bytesPerSector);
  if (!search_.read(sector, count, block_.data())) {
    block_.clear();
    return false;
  }
  blockFirst_ = sector;
  return true;
}

void TClusterGuess::HeaderAt(std::uint32_t sector) {
  if (!first_) {
    first_ = sector;
    return;
  }
  const std::uint32_t distance = sector > *first_ ? sector - *first_ : *first_ - sector;
  gcd_ = std::gcd(gcd_, distance);
}

std::uint32_t TClusterGuess::ClusterSectors() const {
  if (gcd_ == 0) return kDefaultClusterSectors;
  return std::min(kMaxClusterSectors, std::uint32_t{1} << std::countr_zero(gcd_));
}

std::uint32_t TClusterGuess::NextBoundary(std::uint32_t sector) const {
  const std::uint32_t cluster = ClusterSectors();
  const std::uint32_t residue = first_ ? *first_ % cluster : 0;
  const std::uint32_t into = (sector + cluster - residue) % cluster;
  return into == 0 ? sector : sector + (cluster - into);
}

std::vector<std::int64_t> TClusterGuess::BoundariesIn(std::uint32_t firstSector,
                                                      std::int64_t bytes,
                                                      std::uint32_t bytesPerSector) const {
  std::vector<std::int64_t> boundaries;
  for (std::uint32_t sector = NextBoundary(firstSector + 1);
       static_cast<std::int64_t>(sector - firstSector) * bytesPerSector < bytes;
       sector = NextBoundary(sector + 1)) {
    boundaries.push_back(static_cast<std::int64_t>(sector - firstSector) * bytesPerSector);
  }
  return boundaries;
}

bool AllZero(std::span<const std::uint8_t> bytes) {
  return std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == 0; });
}

std::optional<TContinuation> FindContinuation(std::span<const std::uint8_t> firstPiece,
                                              const TContinuationSearch& search,
                                              bool* ambiguous) {
  if (search.from >= search.totalSectors || !search.read) return std::nullopt;
  // Where a sequential JPEG's first piece leaves its decoder: worth the
  // decode only for the many candidates of a wide search.
  const std::optional<TSequentialJpeg> quick = search.wideBoundSectors > search.boundSectors
                                                   ? TSequentialJpeg::Parse(firstPiece)
                                                   : std::nullopt;
  TSequentialJpeg::TState stood;
  if (quick) {
    stood = quick->Start();
    // Its own first piece complains: nothing can make it whole.
    if (quick->Run(stood, firstPiece, {}) == TSequentialJpeg::TStep::kComplaint) return std::nullopt;
  }
  const std::uint32_t bound =
      quick ? std::max(search.boundSectors, search.wideBoundSectors) : search.boundSectors;
  std::vector<std::uint32_t> candidates{search.from};
  const std::uint32_t end = search.from + std::min(bound, search.totalSectors - search.from);
  for (std::uint32_t sector = search.clusters.NextBoundary(search.from + 1);
       sector < end && candidates.size() < kMaxCandidates;
       sector = search.clusters.NextBoundary(sector + 1)) {
    candidates.push_back(sector);
  }
  std::optional<TContinuation> found;
  std::vector<std::uint8_t> head(std::size_t{kLongerSectors} * search.bytesPerSector);
  // Whether the candidate's first sectors go on from where the first piece
  // stood without a complaint.
  std::uint32_t have = 0;  // sectors of the candidate in head
  const auto passes = [&](std::uint32_t sector, std::uint32_t count) {
    count = std::min(count, search.totalSectors - sector);
    if (count > have) {
      if (!search.read(sector + have, count - have,
                       head.data() + std::size_t{have} * search.bytesPerSector)) {
        return false;
      }
      have = count;
    }
    TSequentialJpeg::TState state = stood;
    const std::span<const std::uint8_t> window(head.data(),
                                               std::size_t{count} * search.bytesPerSector);
    const TSequentialJpeg::TStep step = quick->Run(state, firstPiece, window);
    if (step != TSequentialJpeg::TStep::kOutOfBytes) return step == TSequentialJpeg::TStep::kEnd;
    // Zero bytes decode as a flat picture; a whole sector of them before
    // the end is empty space, not a photo's data.
    for (std::size_t at = 0; at < window.size(); at += search.bytesPerSector) {
      if (AllZero(window.subspan(at, search.bytesPerSector))) return false;
    }
    return true;
  };
  for (const std::uint32_t sector : candidates) {
    if (search.taken && search.taken(sector)) continue;
    have = 0;
    if (quick && (!passes(sector, kQuickSectors) || !passes(sector, 4 * kQuickSectors) ||
                  !passes(sector, kLongerSectors))) {
      continue;
    }
    if (have == 0 && !search.read(sector, 1, head.data())) continue;
    if (search.isHeader && search.isHeader(head.data())) continue;
    TVolumeSource source(search, sector);
    const std::optional<std::uint64_t> rest = ValidJoin(firstPiece, source, search.maxRest);
    if (!rest || (search.ownedByAnother && search.ownedByAnother(sector, *rest))) continue;
    if (found) {  // two places make it whole: take neither
      if (ambiguous != nullptr) *ambiguous = true;
      return std::nullopt;
    }
    found = TContinuation{sector, *rest};
  }
  return found;
}
