// SPDX-License-Identifier: GPL-3.0-or-later
// Fujifilm RAF: a 16-byte magic, then a directory of the JPEG preview and
// the raw data by offset and length.
#include <cstring>

#include "engine/formats/format.h"

namespace {

constexpr char kMagic[] = "FUJIFILMCCD-RAW ";

const char* Detect(const TSearchTypes& types, const std::uint8_t* s, std::size_t size) {
  return types.Other && size >= 16 && std::memcmp(s, kMagic, 16) == 0 ? "RAF" : nullptr;
}

bool Magic(const std::uint8_t* s, std::size_t size) {
  return size >= 16 && std::memcmp(s, kMagic, 16) == 0;
}

const char* Check(const TSearchTypes& types, const std::uint8_t* data, std::size_t available,
                  std::uint64_t) {
  return Detect(types, data, available);
}

}  // namespace

extern const TFormat kRafFormat{"raf", 0, "F", Detect, Magic, Check, nullptr};
