// SPDX-License-Identifier: GPL-3.0-or-later
// PNG: the signature, IHDR first, chunks up to IEND's CRC.
#include <algorithm>
#include <array>
#include <cstring>

#include "engine/byteorder.h"
#include "engine/formats/format.h"

namespace {

constexpr std::uint8_t kSignature[] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};

bool Magic(const std::uint8_t* s, std::size_t size) {
  return size >= 8 && std::memcmp(s, kSignature, 8) == 0;
}

const char* Detect(const TSearchTypes& types, const std::uint8_t* s, std::size_t size) {
  return types.PNG && Magic(s, size) ? "PNG" : nullptr;
}

const char* Check(const TSearchTypes& types, const std::uint8_t* data, std::size_t available,
                  std::uint64_t) {
  if (!types.PNG || available < 24 || std::memcmp(data, kSignature, sizeof kSignature) != 0) {
    return nullptr;
  }
  const std::uint32_t width = Be32(data + 16), height = Be32(data + 20);
  const bool holds = Be32(data + 8) == 13 && std::memcmp(data + 12, "IHDR", 4) == 0 && width != 0 &&
                     height != 0 && width <= 0x7FFFFFFF && height <= 0x7FFFFFFF;
  return holds ? "PNG" : nullptr;
}

// A chunk header: a length below 2^31 and four letters, the third upper
// case (the reserved bit); IEND has no data.
bool IsChunkHeader(const std::uint8_t* head) {
  const auto letter = [](std::uint8_t c) { return (c | 0x20) >= 'a' && (c | 0x20) <= 'z'; };
  const std::uint32_t length = Be32(head);
  return length <= 0x7FFFFFFF && std::all_of(head + 4, head + 8, letter) && (head[6] & 0x20) == 0 &&
         (length == 0 || std::memcmp(head + 4, "IEND", 4) != 0);
}

// PNG: chunks (length, type, data, CRC) from the signature to IEND's CRC. A
// chunk's length is believed only when the next chunk's header stands where
// it claims to end; else the end stays unknown and the claimed bytes hide
// nothing (an IDAT claiming megabytes over the photos after it).
class TPngEnd final : public TEndFinder {
 public:
  TPngEnd(std::uint64_t limit, TVolumeBytes* volume) : TEndFinder(limit, volume) {}

 private:
  std::size_t Step(const std::uint8_t* data, std::size_t size) override {
    std::size_t used = 0;
    const std::uint8_t* head = Gather(data, size, 8, used);
    if (head == nullptr) return used;
    if (!signatureSeen_) {
      if (std::memcmp(head, kSignature, 8) != 0) return GiveUp(), 0;
      signatureSeen_ = true;
      Vouch(8);
      return used;
    }
    if (!IsChunkHeader(head)) return GiveUp(), 0;
    const std::uint64_t from = At() + used;  // the chunk's data
    const std::uint64_t next = from + Be32(head) + 4;
    if (std::memcmp(head + 4, "IEND", 4) == 0) {
      EndAt(next);
      return used;
    }
    // The next header, from this piece when it is in it, else from the volume.
    std::array<std::uint8_t, 8> after{};
    if (next + 8 <= At() + size) {
      std::memcpy(after.data(), data + (next - At()), 8);
    } else if (!Fits(next, 12) || !Peek(next, after.data(), 8)) {
      return GiveUp(), 0;
    }
    if (!IsChunkHeader(after.data())) return GiveUp(), 0;
    SkipTo(next);
    return used;
  }

  bool signatureSeen_ = false;
};

std::unique_ptr<TEndFinder> MakeFinder(std::string_view, std::uint64_t bytesLeft,
                                       TVolumeBytes* volume) {
  return std::make_unique<TPngEnd>(bytesLeft, volume);
}

}  // namespace

extern const TFormat kPngFormat{"png", 0, "\x89", Detect, Magic, Check, MakeFinder};
