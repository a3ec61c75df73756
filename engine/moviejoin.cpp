// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/moviejoin.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "engine/byteorder.h"
#include "engine/formats/isobmffindex.h"

namespace {

constexpr std::uint64_t kMostMoov = 64ull << 20;
// Enough chunks after the joint to place it to the byte, and a bound on
// the reads a candidate can cost.
constexpr std::size_t kMostChunksChecked = 16;
constexpr std::size_t kMostUnitsPerChunk = 4096;

struct TCutMdat {
  std::uint64_t dataStart = 0;  // in the whole file
  std::uint64_t end = 0;        // where the moov must begin
};

// The first piece's top-level boxes up to an mdat that runs past its end.
std::optional<TCutMdat> CutMdat(const TMoviePiece& first) {
  std::uint64_t at = 0;
  std::uint8_t head[16];
  for (int boxes = 0; boxes < 64 && at + 8 <= first.size; ++boxes) {
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(16, first.size - at));
    if (!first.read(at, head, want)) return std::nullopt;
    std::uint64_t size = Be32(head);
    std::uint64_t header = 8;
    if (size == 1) {
      if (want < 16) return std::nullopt;
      size = Be64(head + 8);
      header = 16;
    }
    // A size of 0 runs to the file's end: nothing says where the moov is.
    if (size < header || at > UINT64_MAX - size) return std::nullopt;
    if (at + size > first.size) {
      if (std::memcmp(head + 4, "mdat", 4) != 0) return std::nullopt;
      return TCutMdat{at + header, at + size};
    }
    at += size;
  }
  return std::nullopt;
}

// The whole file as it would be with the rest at `sector`: the first piece,
// then the volume from there on, read 8 sectors at a time.
class TJoinedMovie {
 public:
  TJoinedMovie(const TMoviePiece& first, const TContinuationSearch& search, std::uint32_t sector)
      : first_(first), rest_(search, sector, 8) {}

  bool Read(std::uint64_t offset, std::uint8_t* buffer, std::size_t size) {
    if (offset < first_.size) {
      const std::size_t take =
          static_cast<std::size_t>(std::min<std::uint64_t>(size, first_.size - offset));
      if (!first_.read(offset, buffer, take)) return false;
      offset += take;
      buffer += take;
      size -= take;
    }
    return size == 0 || rest_.Read(offset - first_.size, buffer, size) == size;
  }

 private:
  const TMoviePiece& first_;
  TVolumeSource rest_;
};

// Whether a chunk's bytes are what its track says they are.
bool ChunkHolds(TJoinedMovie& movie, const TMediaChunk& chunk) {
  std::uint8_t bytes[5];
  if (chunk.kind == TMediaChunk::TKind::kJpeg) {
    return chunk.bytes >= 2 && movie.Read(chunk.offset, bytes, 2) && bytes[0] == 0xFF &&
           bytes[1] == 0xD8;
  }
  // NAL units, each after its 4-byte length, run exactly to the chunk's end;
  // the unit's first bit (forbidden_zero_bit) is 0.
  const std::uint64_t end = chunk.offset + chunk.bytes;
  std::uint64_t at = chunk.offset;
  for (std::size_t units = 0; at < end; ++units) {
    if (units == kMostUnitsPerChunk || end - at < 5 || !movie.Read(at, bytes, 5)) return false;
    const std::uint64_t length = Be32(bytes);
    if (length == 0 || length > end - at - 4 || (bytes[4] & 0x80) != 0) return false;
    at += 4 + length;
  }
  return at == end;
}

// Whether the rest at `sector` makes the movie whole; its length if so.
std::optional<std::uint64_t> RestAt(const TMoviePiece& first, const TContinuationSearch& search,
                                    const TCutMdat& mdat, std::uint32_t sector) {
  TJoinedMovie movie(first, search, sector);
  std::uint8_t head[16];
  if (!movie.Read(mdat.end, head, 16) || std::memcmp(head + 4, "moov", 4) != 0) {
    return std::nullopt;
  }
  std::uint64_t size = Be32(head);
  std::uint64_t header = 8;
  if (size == 1) {
    size = Be64(head + 8);
    header = 16;
  }
  if (size <= header || size > kMostMoov) return std::nullopt;
  std::vector<std::uint8_t> body(static_cast<std::size_t>(size - header));
  if (!movie.Read(mdat.end + header, body.data(), body.size())) return std::nullopt;
  std::vector<TMediaChunk> chunks;
  TMediaIndex index;
  index.chunks = &chunks;
  if (!ReadMovieIndex(body.data(), body.size(), index) || !index.holds || !index.any ||
      index.lowest < mdat.dataStart || index.furthest > mdat.end) {
    return std::nullopt;
  }
  // The chunks that reach past the joint, in file order: their bytes must
  // be where the tables say, the first of them placing the joint exactly.
  std::sort(chunks.begin(), chunks.end(),
            [](const TMediaChunk& a, const TMediaChunk& b) { return a.offset < b.offset; });
  std::size_t checked = 0;
  for (const TMediaChunk& chunk : chunks) {
    if (checked == kMostChunksChecked) break;
    if (chunk.kind == TMediaChunk::TKind::kOther || chunk.offset + chunk.bytes <= first.size) {
      continue;
    }
    if (!ChunkHolds(movie, chunk)) return std::nullopt;
    ++checked;
  }
  if (checked == 0) return std::nullopt;  // nothing after the joint could be checked
  return mdat.end + size - first.size;
}

}  // namespace

std::optional<TContinuation> FindMovieRest(const TMoviePiece& first,
                                           const TContinuationSearch& search) {
  if (search.from >= search.totalSectors || !search.read || !first.read) return std::nullopt;
  const std::optional<TCutMdat> mdat = CutMdat(first);
  if (!mdat) return std::nullopt;
  const std::uint32_t bound = std::max(search.boundSectors, search.wideBoundSectors);
  const std::uint32_t end = search.from + std::min(bound, search.totalSectors - search.from);
  std::optional<TContinuation> found;
  for (std::uint32_t sector = search.from; sector < end;
       sector = search.clusters.NextBoundary(sector + 1)) {
    if (search.taken && search.taken(sector)) continue;
    const std::optional<std::uint64_t> rest = RestAt(first, search, *mdat, sector);
    if (!rest) continue;
    if (found) return std::nullopt;  // two places make it whole: take neither
    found = TContinuation{sector, *rest};
  }
  return found;
}
