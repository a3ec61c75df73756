// SPDX-License-Identifier: GPL-3.0-or-later
// RIFF files: WAVE sound, AVI movies and any other form. Three rows of the
// registry, tried in this order, so a form whose own box is off falls to the
// "other RIFF" box.
#include <cstring>

#include "engine/byteorder.h"
#include "engine/formats/format.h"
#include "engine/formats/sizedend.h"
#include "engine/signature.h"

namespace {

bool IsRiff(const std::uint8_t* s, std::size_t size) {
  return size >= 12 && MatchSignature(s, kRiffSignature);
}

bool RiffHolds(const std::uint8_t* data, std::size_t available, std::uint64_t bytesLeft) {
  if (available < 12 || std::memcmp(data, "RIFF", 4) != 0) return false;
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

const char* CheckOther(const TSearchTypes& types, const std::uint8_t* data, std::size_t available,
                       std::uint64_t bytesLeft) {
  return DetectOther(types, data, available) && RiffHolds(data, available, bytesLeft) ? "RIFF"
                                                                                      : nullptr;
}

std::unique_ptr<TEndFinder> MakeFinder(std::string_view, std::uint64_t bytesLeft,
                                       TVolumeBytes* volume) {
  return std::make_unique<TSizedEnd>(bytesLeft, volume, "RIFF", 4, 8, 12);
}

}  // namespace

extern const TFormat kWaveFormat{"wave", 0, "R", DetectWave, Magic, CheckWave, MakeFinder};
extern const TFormat kAviFormat{"avi", 0, "R", DetectAvi, Magic, CheckAvi, MakeFinder};
extern const TFormat kRiffFormat{"riff", 0, "R", DetectOther, Magic, CheckOther, MakeFinder};
