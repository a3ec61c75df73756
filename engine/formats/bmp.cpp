// SPDX-License-Identifier: GPL-3.0-or-later
// Windows bitmaps: "BM", the file size, the pixel data offset, an info
// header of a known length.
#include <algorithm>
#include <iterator>

#include "engine/byteorder.h"
#include "engine/formats/format.h"
#include "engine/formats/sizedend.h"

namespace {

const char* Detect(const TSearchTypes& types, const std::uint8_t* s, std::size_t size) {
  return types.BMP && size >= 2 && s[0] == 'B' && s[1] == 'M' ? "BMP" : nullptr;
}

bool Magic(const std::uint8_t* s, std::size_t size) {
  return size >= 2 && s[0] == 'B' && s[1] == 'M';
}

const char* Check(const TSearchTypes& types, const std::uint8_t* data, std::size_t available,
                  std::uint64_t bytesLeft) {
  if (!types.BMP || available < 18 || data[0] != 'B' || data[1] != 'M') return nullptr;
  const std::uint32_t size = Le32(data + 2), pixels = Le32(data + 10), dib = Le32(data + 14);
  static constexpr std::uint32_t kDibSizes[] = {12, 40, 52, 56, 64, 108, 124};
  if (std::find(std::begin(kDibSizes), std::end(kDibSizes), dib) == std::end(kDibSizes)) {
    return nullptr;
  }
  const std::uint32_t headers = 14 + dib;
  const bool holds = Le32(data + 6) == 0 && size >= headers && size <= bytesLeft &&
                     pixels >= headers && pixels < size;
  return holds ? "BMP" : nullptr;
}

std::unique_ptr<TEndFinder> MakeFinder(std::string_view, std::uint64_t bytesLeft,
                                       TVolumeBytes* volume) {
  return std::make_unique<TSizedEnd>(bytesLeft, volume, "BM", 2, 0, 14 + 12);
}

}  // namespace

extern const TFormat kBmpFormat{"bmp", 0, "B", Detect, Magic, Check, MakeFinder};
