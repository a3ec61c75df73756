// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/formats/isobmffindex.h"

#include <cstring>

#include "engine/byteorder.h"

namespace {

// Calls visit(type, body, size) for each box in [data, data + size); false
// when the boxes do not tile the range exactly (or visit says so). A box of
// size 0 runs to the range's end; four zero bytes at the end are QuickTime's
// terminator.
template <typename Visit>
bool EachBox(const std::uint8_t* data, std::size_t size, Visit visit) {
  std::size_t at = 0;
  while (at < size) {
    const std::size_t left = size - at;
    if (left < 8) return left == 4 && Be32(data + at) == 0;
    std::uint64_t box = Be32(data + at);
    std::size_t header = 8;
    if (box == 1) {
      if (left < 16) return false;
      box = Be64(data + at + 8);
      header = 16;
    } else if (box == 0) {
      box = left;
    }
    if (box < header || box > left) return false;
    if (!visit(data + at + 4, data + at + header, static_cast<std::size_t>(box - header))) {
      return false;
    }
    at += static_cast<std::size_t>(box);
  }
  return true;
}

bool Is(const std::uint8_t* type, const char* text) {
  return std::memcmp(type, text, 4) == 0;
}

// One track's sample table: chunk offsets (stco/co64), samples per chunk
// (stsc) and sample sizes (stsz) give each chunk's bytes.
struct TSampleTable {
  const std::uint8_t* offsets = nullptr;  // entries
  std::uint32_t chunks = 0;
  bool wide = false;                   // co64
  const std::uint8_t* runs = nullptr;  // stsc entries
  std::uint32_t runCount = 0;
  const std::uint8_t* sizes = nullptr;  // stsz entries, or nullptr when uniform
  std::uint32_t sampleSize = 0;
  std::uint32_t samples = 0;
  bool sized = false;
  bool holds = true;
  TMediaChunk::TKind kind = TMediaChunk::TKind::kOther;  // of the first sample entry

  // A full box's entry table: count at 4, entries of width bytes from 8.
  static const std::uint8_t* Table(const std::uint8_t* body, std::size_t size, std::size_t width,
                                   std::size_t countAt, std::uint32_t& count) {
    if (size < countAt + 4) return nullptr;
    count = Be32(body + countAt);
    if (count > (size - countAt - 4) / width) return nullptr;
    return body + countAt + 4;
  }

  void Take(const std::uint8_t* type, const std::uint8_t* body, std::size_t size) {
    if (Is(type, "stco") || Is(type, "co64")) {
      wide = Is(type, "co64");
      offsets = Table(body, size, wide ? 8 : 4, 4, chunks);
      holds = holds && offsets != nullptr;
    } else if (Is(type, "stsc")) {
      runs = Table(body, size, 12, 4, runCount);
      holds = holds && runs != nullptr;
    } else if (Is(type, "stsd")) {
      // version and flags, the entry count, then the first entry's size and type
      if (size < 16) return;
      const std::uint8_t* entry = body + 12;
      if (Is(entry, "avc1") || Is(entry, "avc3") || Is(entry, "hvc1") || Is(entry, "hev1")) {
        kind = TMediaChunk::TKind::kNalUnits;
      } else if (Is(entry, "jpeg") || Is(entry, "mjpa")) {
        kind = TMediaChunk::TKind::kJpeg;
      }
    } else if (Is(type, "stsz")) {
      if (size < 12) return void(holds = false);
      sampleSize = Be32(body + 4);
      samples = Be32(body + 8);
      if (sampleSize == 0) {
        sizes = Table(body, size, 4, 8, samples);
        holds = holds && sizes != nullptr;
      }
      sized = true;
    }
  }

  // Adds every chunk's extent to index. Bounded by the table sizes: one step
  // per chunk and one per listed sample.
  bool AddTo(TMediaIndex& index) const {
    if (!holds) return false;
    if (chunks == 0) return true;
    if (!sized) return false;  // offsets without sizes prove nothing
    std::uint32_t run = 0;
    std::uint64_t perChunk = 1;  // without stsc, a sample per chunk
    std::uint64_t sample = 0;
    for (std::uint32_t chunk = 1; chunk <= chunks; ++chunk) {
      while (run < runCount && Be32(runs + std::size_t{run} * 12) <= chunk) {
        perChunk = Be32(runs + std::size_t{run} * 12 + 4);
        ++run;
      }
      if (perChunk > samples - sample) return false;
      std::uint64_t bytes = 0;
      if (sizes == nullptr) {
        bytes = perChunk * sampleSize;
      } else {
        for (std::uint64_t i = 0; i < perChunk; ++i) {
          bytes += Be32(sizes + static_cast<std::size_t>(sample + i) * 4);
        }
      }
      sample += perChunk;
      const std::size_t at = std::size_t{chunk - 1} * (wide ? 8 : 4);
      const std::uint64_t offset = wide ? Be64(offsets + at) : Be32(offsets + at);
      if (bytes != 0 && !index.Add(offset, bytes)) return false;
      if (bytes != 0 && index.chunks != nullptr) index.chunks->push_back({offset, bytes, kind});
    }
    return true;
  }
};

bool ReadStbl(const std::uint8_t* body, std::size_t size, TMediaIndex& index) {
  TSampleTable table;
  const bool tiles =
      EachBox(body, size, [&](const std::uint8_t* type, const std::uint8_t* b, std::size_t n) {
        table.Take(type, b, n);
        return true;
      });
  return tiles && table.AddTo(index);
}

// Descends moov > trak > mdia > minf > stbl only: a fixed depth, so a box
// nested in itself costs no more than its bytes.
bool ReadContainer(const std::uint8_t* body, std::size_t size, int level, TMediaIndex& index) {
  static const char* const kPath[] = {"trak", "mdia", "minf", "stbl"};
  return EachBox(body, size, [&](const std::uint8_t* type, const std::uint8_t* b, std::size_t n) {
    if (!Is(type, kPath[level])) return true;
    return level == 3 ? ReadStbl(b, n, index) : ReadContainer(b, n, level + 1, index);
  });
}

// Reads an unsigned field of width 0, 4 or 8 bytes at p, moving p on.
bool Field(const std::uint8_t*& p, const std::uint8_t* end, unsigned width, std::uint64_t& value) {
  if (static_cast<std::size_t>(end - p) < width) return false;
  value = width == 8 ? Be64(p) : width == 4 ? Be32(p) : width == 2 ? Be16(p) : 0;
  p += width;
  return width == 0 || width == 2 || width == 4 || width == 8;
}

// Item locations: each item's extents in the file (construction method 0);
// those in idat or in other items lie inside boxes already read.
bool ReadIloc(const std::uint8_t* body, std::size_t size, TMediaIndex& index) {
  if (size < 8) return false;
  const std::uint8_t* p = body;
  const std::uint8_t* const end = body + size;
  const unsigned version = p[0];
  if (version > 2) return false;
  const unsigned offsetSize = p[4] >> 4, lengthSize = p[4] & 15, baseSize = p[5] >> 4;
  const unsigned indexSize = version >= 1 ? p[5] & 15 : 0;
  p += 6;
  std::uint64_t items = 0;
  if (!Field(p, end, version < 2 ? 2 : 4, items)) return false;
  for (std::uint64_t item = 0; item < items; ++item) {
    std::uint64_t id = 0, method = 0, reference = 0, base = 0, extents = 0;
    if (!Field(p, end, version < 2 ? 2 : 4, id)) return false;
    if (version >= 1) {
      if (!Field(p, end, 2, method)) return false;
      method &= 15;
    }
    if (!Field(p, end, 2, reference) || !Field(p, end, baseSize, base) ||
        !Field(p, end, 2, extents)) {
      return false;
    }
    for (std::uint64_t e = 0; e < extents; ++e) {
      std::uint64_t extentIndex = 0, offset = 0, length = 0;
      if (!Field(p, end, indexSize, extentIndex) || !Field(p, end, offsetSize, offset) ||
          !Field(p, end, lengthSize, length)) {
        return false;
      }
      if (method != 0 || reference != 0) continue;
      // A length of 0 means "to the file's end", which is what is sought.
      if (length == 0 || offset > UINT64_MAX - base || !index.Add(base + offset, length)) {
        return false;
      }
    }
  }
  return true;
}

}  // namespace

bool TMediaIndex::Add(std::uint64_t offset, std::uint64_t length) {
  if (offset > UINT64_MAX - length) return holds = false;
  any = true;
  if (offset < lowest) lowest = offset;
  if (offset + length > furthest) furthest = offset + length;
  return true;
}

bool ReadMovieIndex(const std::uint8_t* body, std::size_t size, TMediaIndex& index) {
  const bool read = ReadContainer(body, size, 0, index);
  index.holds = index.holds && read;
  return read;
}

bool ReadStillIndex(const std::uint8_t* body, std::size_t size, TMediaIndex& index) {
  const bool read =
      size >= 4 && EachBox(body + 4, size - 4,
                           [&](const std::uint8_t* type, const std::uint8_t* b, std::size_t n) {
                             return !Is(type, "iloc") || ReadIloc(b, n, index);
                           });
  index.holds = index.holds && read;
  return read;
}
