// SPDX-License-Identifier: GPL-3.0-or-later
// Fujifilm RAF: a 16-byte magic, then a big-endian directory of the parts
// by offset and length: the JPEG preview (at 84), the raw header (92), the
// raw data (100), and in files with a longer header a second raw header and
// raw data (120, 128). The file ends with the furthest part.
#include <algorithm>
#include <array>
#include <cstring>

#include "engine/byteorder.h"
#include "engine/formats/format.h"
#include "engine/formats/sizedend.h"

namespace {

constexpr char kMagic[] = "FUJIFILMCCD-RAW ";
constexpr std::size_t kJpegEntry = 84;
// The directory's end in the oldest files; no part begins before it.
constexpr std::uint32_t kShortHeader = 108;

bool Magic(const std::uint8_t* s, std::size_t size) {
  return size >= 16 && std::memcmp(s, kMagic, 16) == 0;
}

const char* Detect(const TSearchTypes& types, const std::uint8_t* s, std::size_t size) {
  return types.Other && Magic(s, size) ? "RAF" : nullptr;
}

// The magic and a preview past the directory, starting FF D8 FF when that
// is at hand.
const char* Check(const TSearchTypes& types, const std::uint8_t* data, std::size_t available,
                  std::uint64_t) {
  if (!Detect(types, data, available) || available < kShortHeader) return nullptr;
  const std::uint32_t jpegAt = Be32(data + kJpegEntry), jpegLength = Be32(data + kJpegEntry + 4);
  if (jpegAt < kShortHeader || jpegLength < 4) return nullptr;
  const bool jpeg = available < std::uint64_t{jpegAt} + 3 ||
                    (data[jpegAt] == 0xFF && data[jpegAt + 1] == 0xD8 && data[jpegAt + 2] == 0xFF);
  return jpeg ? "RAF" : nullptr;
}

struct TPart {
  std::uint64_t at = 0, length = 0;
};

// The end is the furthest part's, once the directory holds: the parts lie
// within the volume one after another without overlapping, the preview
// starts a JPEG and the raw header's records fill no more than its length.
class TRafEnd final : public TSizedEnd {
 public:
  TRafEnd(std::uint64_t limit, TVolumeBytes* volume) : TSizedEnd(limit, volume) {}

 private:
  static constexpr std::size_t kEntries[] = {84, 92, 100, 120, 128};

  std::size_t HeadSize(const std::uint8_t*, std::size_t) const override { return 136; }

  std::optional<std::uint64_t> ProvenLength(const std::uint8_t* head, std::size_t have) override {
    if (have < 136 || std::memcmp(head, kMagic, 16) != 0) return std::nullopt;
    const std::uint32_t jpegAt = Be32(head + kJpegEntry);
    std::array<TPart, std::size(kEntries)> parts{};
    std::size_t count = 0;
    for (std::size_t entry : kEntries) {
      if (entry + 8 > std::max(jpegAt, kShortHeader)) break;  // a header too short to hold it
      const TPart part{Be32(head + entry), Be32(head + entry + 4)};
      if (part.at == 0 && part.length == 0) continue;
      if (part.at < kShortHeader || part.length == 0 || !Fits(part.at, part.length)) {
        return std::nullopt;
      }
      parts[count++] = part;
    }
    if (count == 0 || Be32(head + kJpegEntry + 4) == 0) return std::nullopt;
    std::sort(parts.begin(), parts.begin() + static_cast<std::ptrdiff_t>(count),
              [](const TPart& a, const TPart& b) { return a.at < b.at; });
    for (std::size_t i = 1; i < count; ++i) {
      if (parts[i - 1].at + parts[i - 1].length > parts[i].at) return std::nullopt;
    }
    const std::uint8_t* soi = PeekAt(jpegAt, 3);
    if (soi == nullptr || soi[0] != 0xFF || soi[1] != 0xD8 || soi[2] != 0xFF) return std::nullopt;
    if (!RecordsHold(Be32(head + 92), Be32(head + 96))) return std::nullopt;
    return parts[count - 1].at + parts[count - 1].length;
  }

  // The raw header: a count, then records of a tag, a length and the data.
  bool RecordsHold(std::uint64_t at, std::uint64_t length) {
    if (at == 0) return true;
    const std::uint8_t* count = PeekAt(at, 4);
    if (count == nullptr || length < 4) return false;
    const std::uint32_t records = Be32(count);
    if (records == 0 || records > 255) return false;
    std::uint64_t used = 4;
    for (std::uint32_t i = 0; i < records; ++i) {
      const std::uint8_t* record = used + 4 <= length ? PeekAt(at + used, 4) : nullptr;
      if (record == nullptr) return false;
      used += 4 + Be16(record + 2);
    }
    return used <= length;
  }
};

std::unique_ptr<TEndFinder> MakeFinder(std::string_view, std::uint64_t bytesLeft,
                                       TVolumeBytes* volume) {
  return std::make_unique<TRafEnd>(bytesLeft, volume);
}

}  // namespace

extern const TFormat kRafFormat{"raf", 0, "F", Detect, Magic, Check, MakeFinder};
