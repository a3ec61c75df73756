// SPDX-License-Identifier: GPL-3.0-or-later
// Length-prefixed byte signatures and their comparison.
#pragma once

#include <cstdint>

// A length byte followed by that many characters.
constexpr unsigned char kRiffSignature[] = {4, 'R', 'I', 'F', 'F'};
constexpr unsigned char kWaveSignature[] = {4, 'W', 'A', 'V', 'E'};
constexpr unsigned char kAviSignature[] = {4, 'A', 'V', 'I', ' '};
constexpr unsigned char kQuickTimeSignature[] = {4, 'm', 'o', 'o', 'v'};

// True when the first n bytes at data equal the signature's n characters, n
// being its length byte; a signature of length 0 matches anything. The caller
// guarantees that n bytes can be read.
inline bool MatchSignature(const std::uint8_t* data, const unsigned char* signature) {
  const unsigned length = signature[0];
  for (unsigned i = 0; i < length; ++i) {
    if (data[i] != signature[i + 1]) return false;
  }
  return true;
}
