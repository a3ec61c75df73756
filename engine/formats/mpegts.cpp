// SPDX-License-Identifier: GPL-3.0-or-later
// MPEG transport streams: AVCHD's .MTS/.M2TS (192-byte packets, a 4-byte
// time code before each sync byte) and plain .TS (188). A sync byte 0x47 at
// the start of each of the first packets tells them from chance data.
#include "engine/formats/format.h"

namespace {

constexpr std::size_t kPacketsSeen = 3;

bool SyncEvery(const std::uint8_t* s, std::size_t size, std::size_t first, std::size_t packet) {
  if (size < first + packet * (kPacketsSeen - 1) + 1) return false;
  for (std::size_t i = 0; i < kPacketsSeen; ++i) {
    if (s[first + i * packet] != 0x47) return false;
  }
  return true;
}

// Plain .TS: the sync byte starts the sector.
const char* DetectTs(const TSearchTypes& types, const std::uint8_t* s, std::size_t size) {
  return types.Other && SyncEvery(s, size, 0, 188) ? "TS" : nullptr;
}

// AVCHD: a 4-byte time code before each sync byte.
const char* DetectMts(const TSearchTypes& types, const std::uint8_t* s, std::size_t size) {
  return types.Other && SyncEvery(s, size, 4, 192) ? "MTS" : nullptr;
}

bool MagicTs(const std::uint8_t* s, std::size_t size) {
  return SyncEvery(s, size, 0, 188);
}

bool MagicMts(const std::uint8_t* s, std::size_t size) {
  return SyncEvery(s, size, 4, 192);
}

const char* CheckTs(const TSearchTypes& types, const std::uint8_t* data, std::size_t available,
                    std::uint64_t) {
  return DetectTs(types, data, available);
}

const char* CheckMts(const TSearchTypes& types, const std::uint8_t* data, std::size_t available,
                     std::uint64_t) {
  return DetectMts(types, data, available);
}

}  // namespace

extern const TFormat kMtsFormat{"m2ts", 4, "\x47", DetectMts, MagicMts, CheckMts, nullptr};
extern const TFormat kTsFormat{"ts", 0, "\x47", DetectTs, MagicTs, CheckTs, nullptr};
