// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/formats/registry.h"

#include <array>

// One row per format, in the order the scan tests them. The unticked scan's
// answers follow this order: the formats before the movies begin with bytes
// of their own, so at most one of them can match a sector; the movies'
// test looks at bytes 4 to 7 of any sector, and the other camera files come
// last.
extern const TFormat kJpegFormat;
extern const TFormat kBmpFormat;
extern const TFormat kGifFormat;
extern const TFormat kTiffFormat;
extern const TFormat kPngFormat;
extern const TFormat kWaveFormat;
extern const TFormat kAviFormat;
extern const TFormat kRiffFormat;
extern const TFormat kIsoMediaFormat;
extern const TFormat kRafFormat;
extern const TFormat kMtsFormat;
extern const TFormat kTsFormat;

namespace {

const std::array<const TFormat*, 12> kFormats{
    &kJpegFormat, &kBmpFormat,  &kGifFormat,      &kTiffFormat, &kPngFormat, &kWaveFormat,
    &kAviFormat,  &kRiffFormat, &kIsoMediaFormat, &kRafFormat,  &kMtsFormat, &kTsFormat};
static_assert(kFormats.size() <= 32, "CandidateFormats has a bit per format");

// For each key offset and byte value, the formats it picks.
struct TKeys {
  std::array<std::uint32_t, 256> at0{};
  std::array<std::uint32_t, 256> at4{};
  TKeys() {
    for (std::size_t i = 0; i < kFormats.size(); ++i) {
      for (char byte : kFormats[i]->keyBytes) {
        auto& table = kFormats[i]->keyOffset == 0 ? at0 : at4;
        table[static_cast<std::uint8_t>(byte)] |= std::uint32_t{1} << i;
      }
    }
  }
};

// The rows are constants, so this table is made before anything can ask.
const TKeys kKeys;

}  // namespace

std::span<const TFormat* const> Formats() {
  return kFormats;
}

std::uint32_t CandidateFormats(const std::uint8_t* sector, std::size_t size) {
  if (size == 0) return 0;
  return kKeys.at0[sector[0]] | (size > 4 ? kKeys.at4[sector[4]] : 0);
}
