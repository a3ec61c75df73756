// SPDX-License-Identifier: GPL-3.0-or-later
// RIFF files: WAVE sound, AVI movies and any other form. Three rows of the
// registry, tried in this order, so a form whose own box is off falls to the
// "other RIFF" box.
#include <algorithm>
#include <cstring>

#include "engine/byteorder.h"
#include "engine/formats/format.h"
#include "engine/formats/sizedend.h"
#include "engine/signature.h"

namespace {

bool IsRiff(const std::uint8_t* s, std::size_t size) {
  return size >= 12 && MatchSignature(s, kRiffSignature);
}

// A chunk's four-character code: printable ASCII, as every writer makes it.
bool IsFourCc(const std::uint8_t* id) {
  return std::all_of(id, id + 4, [](std::uint8_t c) { return c >= 0x20 && c <= 0x7E; });
}

bool RiffHolds(const std::uint8_t* data, std::size_t available, std::uint64_t bytesLeft) {
  if (available < 12 || std::memcmp(data, "RIFF", 4) != 0 || !IsFourCc(data + 8)) return false;
  const std::uint32_t size = Le32(data + 4);
  return size >= 4 && std::uint64_t{size} + 8 <= bytesLeft;
}

const char* DetectWave(const TSearchTypes& types, const std::uint8_t* s, std::size_t size) {
  return types.WAV && IsRiff(s, size) && MatchSignature(s + 8, kWaveSignature) ? "WAV" : nullptr;
}

const char* DetectAvi(const TSearchTypes& types, const std::uint8_t* s, std::size_t size) {
  return types.AVI && IsRiff(s, size) && MatchSignature(s + 8, kAviSignature) ? "AVI" : nullptr;
}

const char* DetectOther(const TSearchTypes& types, const std::uint8_t* s, std::size_t size) {
  return types.RIFF && IsRiff(s, size) ? "RIFF" : nullptr;
}

bool Magic(const std::uint8_t* s, std::size_t size) {
  return size >= 12 && std::memcmp(s, "RIFF", 4) == 0;
}

const char* CheckWave(const TSearchTypes& types, const std::uint8_t* data, std::size_t available,
                      std::uint64_t bytesLeft) {
  return DetectWave(types, data, available) && RiffHolds(data, available, bytesLeft) ? "WAV"
                                                                                     : nullptr;
}

const char* CheckAvi(const TSearchTypes& types, const std::uint8_t* data, std::size_t available,
                     std::uint64_t bytesLeft) {
  return DetectAvi(types, data, available) && RiffHolds(data, available, bytesLeft) ? "AVI"
                                                                                    : nullptr;
}

// Any other form; a WebP still is named for what it is.
const char* CheckOther(const TSearchTypes& types, const std::uint8_t* data, std::size_t available,
                       std::uint64_t bytesLeft) {
  if (!DetectOther(types, data, available) || !RiffHolds(data, available, bytesLeft)) {
    return nullptr;
  }
  return std::memcmp(data + 8, "WEBP", 4) == 0 ? "WEBP" : "RIFF";
}

// The RIFF size names the end only once the chunks inside tile it exactly:
// each chunk's header is read where the one before claims to end, up to the
// size's end. An AVI over 1 GB (OpenDML) goes on in "AVIX" RIFFs, each right
// after the one before; the file ends after the last whose chunks hold.
class TRiffEnd final : public TSizedEnd {
 public:
  TRiffEnd(std::uint64_t limit, TVolumeBytes* volume) : TSizedEnd(limit, volume) {}

 private:
  static constexpr std::uint32_t kMaxChunks = 100000;
  static constexpr std::uint32_t kMaxExtensions = 10000;

  std::size_t HeadSize(const std::uint8_t*, std::size_t) const override { return 12; }

  std::optional<std::uint64_t> ProvenLength(const std::uint8_t* head, std::size_t have) override {
    if (have < 12 || std::memcmp(head, "RIFF", 4) != 0) return std::nullopt;
    std::uint64_t end = 8 + std::uint64_t{Le32(head + 4)};
    if (!ChunksTile(12, end)) return std::nullopt;
    if (std::memcmp(head + 8, "AVI ", 4) != 0) return end;
    for (std::uint32_t i = 0; i < kMaxExtensions; ++i) {
      const std::uint8_t* next = PeekAt(end, 12);
      if (next == nullptr || std::memcmp(next, "RIFF", 4) != 0 ||
          std::memcmp(next + 8, "AVIX", 4) != 0) {
        break;
      }
      const std::uint64_t nextEnd = end + 8 + Le32(next + 4);
      if (!ChunksTile(end + 12, nextEnd)) break;
      end = nextEnd;
    }
    return end;
  }

  // Whether the chunks from `from` end exactly at `end` (a last chunk of odd
  // size may lack its pad byte), all within the volume.
  bool ChunksTile(std::uint64_t from, std::uint64_t end) {
    if (end < from || !Fits(0, end)) return false;
    std::uint64_t at = from;
    for (std::uint32_t count = 0; at < end && count < kMaxChunks; ++count) {
      if (end - at < 8) return false;
      const std::uint8_t* chunk = PeekAt(at, 8);
      if (chunk == nullptr || !IsFourCc(chunk)) return false;
      const std::uint32_t size = Le32(chunk + 4);
      at += 8 + std::uint64_t{size};
      if (at == end) return true;
      at += size & 1;
    }
    return at == end;
  }
};

std::unique_ptr<TEndFinder> MakeFinder(std::string_view, std::uint64_t bytesLeft,
                                       TVolumeBytes* volume) {
  return std::make_unique<TRiffEnd>(bytesLeft, volume);
}

}  // namespace

extern const TFormat kWaveFormat{"wave", 0, "R", DetectWave, Magic, CheckWave, MakeFinder};
extern const TFormat kAviFormat{"avi", 0, "R", DetectAvi, Magic, CheckAvi, MakeFinder};
extern const TFormat kRiffFormat{"riff", 0, "R", DetectOther, Magic, CheckOther, MakeFinder};
