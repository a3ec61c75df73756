// SPDX-License-Identifier: GPL-3.0-or-later
// TIFF and the raw files built on it. The unticked scan knows "II" and "MM";
// checked, the first directory's offset must lie inside the volume. No end
// is told yet: a TIFF runs to the next header.
#include <cstring>

#include "engine/byteorder.h"
#include "engine/formats/format.h"

namespace {

const char* Detect(const TSearchTypes& types, const std::uint8_t* s, std::size_t size) {
  return types.TIF && size >= 2 && s[1] == s[0] ? "TIF" : nullptr;
}

bool TiffHolds(const std::uint8_t* data, std::size_t available, std::uint64_t bytesLeft) {
  if (available < 8) return false;
  const auto is = [data](const char* magic) { return std::memcmp(data, magic, 4) == 0; };
  // TIFF, Olympus ORF and Panasonic RW2 (their own magic, a TIFF directory).
  const bool little = is("II*\0") || is("IIRO") || is("IIRS") || is("IIU\0");
  const bool big = is("MM\0*") || is("MMOR");
  if (!little && !big) return false;
  const std::uint32_t directory = little ? Le32(data + 4) : Be32(data + 4);
  return directory >= 8 && directory < bytesLeft;
}

bool Magic(const std::uint8_t* s, std::size_t size) {
  return size >= 2 && s[1] == s[0] && (s[0] == 'I' || s[0] == 'M');
}

const char* Check(const TSearchTypes& types, const std::uint8_t* data, std::size_t available,
                  std::uint64_t bytesLeft) {
  return types.TIF && TiffHolds(data, available, bytesLeft) ? "TIF" : nullptr;
}

}  // namespace

extern const TFormat kTiffFormat{"tiff", 0, "IM", Detect, Magic, Check, nullptr};
