// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/fragments.h"

#include <algorithm>
#include <bit>
#include <numeric>
#include <vector>

#include "engine/jpegjoin.h"

namespace {

constexpr std::uint32_t kMaxClusterSectors = 256;
constexpr std::uint32_t kDefaultClusterSectors = 64;
// A wrong candidate is turned down within a few kilobytes; this bounds the
// work of a search in the worst case.
constexpr std::size_t kMaxCandidates = 1000;

// The continuation's bytes from its first sector on, read a block at a time.
class TVolumeSource final : public TJoinSource {
 public:
  TVolumeSource(const TContinuationSearch& search, std::uint32_t first)
      : search_(search), first_(first) {}

  std::size_t Read(std::uint64_t offset, std::uint8_t* buffer, std::size_t size) override {
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

 private:
  // Makes the block around sector the loaded one.
  bool Load(std::uint32_t sector) {
    if (!block_.empty() && sector >= blockFirst_ &&
        sector < blockFirst_ + block_.size() / search_.bytesPerSector) {
      return true;
    }
    constexpr std::uint32_t kBlockSectors = 128;
    const std::uint32_t count = std::min(kBlockSectors, search_.totalSectors - sector);
    block_.resize(std::size_t{count} * search_.bytesPerSector);
    if (!search_.read(sector, count, block_.data())) {
      block_.clear();
      return false;
    }
    blockFirst_ = sector;
    return true;
  }

  const TContinuationSearch& search_;
  const std::uint32_t first_;
  std::vector<std::uint8_t> block_;
  std::uint32_t blockFirst_ = 0;
};

}  // namespace

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

std::optional<TContinuation> FindContinuation(std::span<const std::uint8_t> firstPiece,
                                              const TContinuationSearch& search) {
  if (search.from >= search.totalSectors || !search.read) return std::nullopt;
  std::vector<std::uint32_t> candidates{search.from};
  const std::uint32_t end =
      search.from + std::min(search.boundSectors, search.totalSectors - search.from);
  for (std::uint32_t sector = search.clusters.NextBoundary(search.from + 1);
       sector < end && candidates.size() < kMaxCandidates;
       sector = search.clusters.NextBoundary(sector + 1)) {
    candidates.push_back(sector);
  }
  std::optional<TContinuation> found;
  std::vector<std::uint8_t> head(search.bytesPerSector);
  for (const std::uint32_t sector : candidates) {
    if (search.taken && search.taken(sector)) continue;
    if (!search.read(sector, 1, head.data())) continue;
    if (search.isHeader && search.isHeader(head.data())) continue;
    TVolumeSource source(search, sector);
    const std::optional<std::uint64_t> rest = ValidJoin(firstPiece, source, search.maxRest);
    if (!rest) continue;
    if (found) return std::nullopt;  // two places make it whole: take neither
    found = TContinuation{sector, *rest};
  }
  return found;
}
