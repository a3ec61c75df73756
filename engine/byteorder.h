// SPDX-License-Identifier: GPL-3.0-or-later
// Reading little- and big-endian integers from raw bytes; the caller makes
// sure the bytes are there.
#pragma once

#include <cstdint>

inline std::uint32_t Le16(const std::uint8_t* p) {
  return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8;
}

inline std::uint32_t Le32(const std::uint8_t* p) {
  return Le16(p) | Le16(p + 2) << 16;
}

inline std::uint32_t Be16(const std::uint8_t* p) {
  return std::uint32_t{p[0]} << 8 | p[1];
}

inline std::uint32_t Be32(const std::uint8_t* p) {
  return Be16(p) << 16 | Be16(p + 2);
}

inline std::uint64_t Be64(const std::uint8_t* p) {
  return std::uint64_t{Be32(p)} << 32 | Be32(p + 4);
}
