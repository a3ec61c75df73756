// SPDX-License-Identifier: GPL-3.0-or-later
// Windows bitmaps: "BM", the file size, the pixel data offset, an info
// header of a known length.
#include <algorithm>
#include <cstdlib>
#include <iterator>

#include "engine/byteorder.h"
#include "engine/formats/format.h"
#include "engine/formats/sizedend.h"

namespace {

bool Magic(const std::uint8_t* s, std::size_t size) {
  return size >= 2 && s[0] == 'B' && s[1] == 'M';
}

const char* Detect(const TSearchTypes& types, const std::uint8_t* s, std::size_t size) {
  return types.BMP && Magic(s, size) ? "BMP" : nullptr;
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

constexpr std::uint32_t kCoreHeader = 12;
constexpr std::uint32_t kV5Header = 124;
enum : std::uint32_t {
  kRgb = 0,
  kRle8 = 1,
  kRle4 = 2,
  kBitFields = 3,
  kJpeg = 4,
  kPng = 5,
  kAlphaBitFields = 6
};

// The size field is believed only when the header's own picture agrees with
// it: the pixel data (as biSizeImage says, or as width, height and depth
// make it for uncompressed rows padded to 4 bytes) and a V5 header's ICC
// profile end no later than the size field and not far before it.
class TBmpEnd final : public TSizedEnd {
 public:
  TBmpEnd(std::uint64_t limit, TVolumeBytes* volume) : TSizedEnd(limit, volume) {}

 private:
  std::size_t HeadSize(const std::uint8_t* head, std::size_t have) const override {
    if (have < 18) return 18;
    return 14 + std::min(Le32(head + 14), kV5Header);
  }

  std::optional<std::uint64_t> ProvenLength(const std::uint8_t* head, std::size_t have) override {
    const std::uint32_t dib = Le32(head + 14);
    if (have < 14 + dib) return std::nullopt;
    const std::uint64_t size = Le32(head + 2), pixels = Le32(head + 10);
    std::uint64_t width = 0, height = 0;
    std::uint32_t planes = 0, depth = 0, compression = kRgb, imageSize = 0;
    if (dib == kCoreHeader) {
      width = Le16(head + 18), height = Le16(head + 20);
      planes = Le16(head + 22), depth = Le16(head + 24);
    } else if (dib >= 40) {
      const auto signedHeight = static_cast<std::int32_t>(Le32(head + 22));
      width = static_cast<std::int32_t>(Le32(head + 18)) > 0 ? Le32(head + 18) : 0;
      // A negative height is a top-down picture.
      height = static_cast<std::uint64_t>(std::abs(std::int64_t{signedHeight}));
      planes = Le16(head + 26), depth = Le16(head + 28);
      compression = Le32(head + 30), imageSize = Le32(head + 34);
    }
    static constexpr std::uint32_t kDepths[] = {1, 2, 4, 8, 16, 24, 32};
    if (width == 0 || height == 0 || planes != 1 ||
        std::find(std::begin(kDepths), std::end(kDepths), depth) == std::end(kDepths)) {
      return std::nullopt;
    }
    const std::uint64_t row = (width * depth + 31) / 32 * 4;
    std::uint64_t image = imageSize;
    if (compression == kRgb || compression == kBitFields || compression == kAlphaBitFields) {
      // Some writers leave biSizeImage 0, others count a little padding in.
      image = std::max<std::uint64_t>(row * height, imageSize);
    } else if (imageSize == 0 || (compression != kRle8 && compression != kRle4 &&
                                  compression != kJpeg && compression != kPng)) {
      return std::nullopt;  // compressed data without its length, or unknown
    }
    std::uint64_t end = pixels + image;
    if (dib == kV5Header && Le32(head + 14 + 56) == 0x4D424544 /* embedded profile */) {
      const std::uint64_t profileEnd = 14ull + Le32(head + 14 + 112) + Le32(head + 14 + 116);
      end = std::max(end, profileEnd);
    }
    // Writers pad the file by a few bytes at most: a row and 4 bytes.
    const bool agrees = end <= size && size - end <= row + 4;
    return agrees ? std::optional<std::uint64_t>(size) : std::nullopt;
  }
};

std::unique_ptr<TEndFinder> MakeFinder(std::string_view, std::uint64_t bytesLeft,
                                       TVolumeBytes* volume) {
  return std::make_unique<TBmpEnd>(bytesLeft, volume);
}

}  // namespace

extern const TFormat kBmpFormat{"bmp", 0, "B", Detect, Magic, Check, MakeFinder};
