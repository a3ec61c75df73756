// SPDX-License-Identifier: GPL-3.0-or-later
// Helpers for the tests of the format modules: a volume in memory, the
// format by its name, and an end finder fed in pieces of any size.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/formats/format.h"
#include "engine/formats/registry.h"

namespace formattest {

using Bytes = std::vector<std::uint8_t>;

// The volume from a file's first byte on, in memory; counts the reads.
class TBytesVolume final : public TVolumeBytes {
 public:
  explicit TBytesVolume(const Bytes& bytes) : bytes_(bytes) {}
  bool Read(std::uint64_t offset, std::uint8_t* buffer, std::size_t size) override {
    ++reads;
    if (offset > bytes_.size() || size > bytes_.size() - offset) return false;
    std::memcpy(buffer, bytes_.data() + offset, size);
    return true;
  }
  int reads = 0;

 private:
  const Bytes& bytes_;
};

inline const TFormat& FormatNamed(std::string_view name) {
  for (const TFormat* format : Formats()) {
    if (format->name == name) return *format;
  }
  ADD_FAILURE() << "no format " << name;
  return *Formats().front();
}

// The format's check on the first bytes of volume (at most kCheckWindow, as
// the scan gives them), with every box ticked unless types say otherwise.
inline std::string Checked(const TFormat& format, const Bytes& volume,
                           const TSearchTypes& types = AllSearchTypes()) {
  const std::size_t available = std::min(volume.size(), kCheckWindow);
  const char* ext = format.check(types, volume.data(), available, volume.size());
  return ext == nullptr ? "" : ext;
}

struct TEnd {
  std::optional<std::uint64_t> size;  // where the end was told
  std::uint64_t knownExtent = 0;      // KnownExtent when it was told, or at the volume's end
};

// Feeds volume (a file and whatever follows it on the card) to the format's
// finder for ext, in pieces of piece bytes, each in a buffer of its own so a
// read past it is caught, until the end is told.
inline TEnd EndOf(const TFormat& format, std::string_view ext, const Bytes& volume,
                  std::size_t piece) {
  TBytesVolume bytes(volume);
  const auto finder = format.finder(ext, volume.size(), &bytes);
  TEnd end;
  if (!finder) return end;
  for (std::size_t at = 0; at < volume.size(); at += piece) {
    const Bytes part(
        volume.begin() + static_cast<std::ptrdiff_t>(at),
        volume.begin() + static_cast<std::ptrdiff_t>(std::min(at + piece, volume.size())));
    const auto belongs = finder->Feed(part.data(), part.size());
    end.knownExtent = finder->KnownExtent();
    if (!belongs) continue;
    end.size = finder->FileSize();
    EXPECT_TRUE(end.size.has_value());
    if (end.size) {
      EXPECT_EQ(at + *belongs, std::max<std::uint64_t>(at, *end.size));
    }
    return end;
  }
  return end;
}

// The same end, whatever the pieces: 1, 7, 512 and 4096 bytes at a time.
inline std::optional<std::uint64_t> EndInAnyPieces(const TFormat& format, std::string_view ext,
                                                   const Bytes& volume) {
  const TEnd first = EndOf(format, ext, volume, 1);
  for (std::size_t piece : {7, 512, 4096}) {
    const TEnd other = EndOf(format, ext, volume, piece);
    EXPECT_EQ(other.size, first.size) << "pieces of " << piece;
  }
  return first.size;
}

// Old data: pseudo-random bytes.
inline Bytes Noise(std::size_t size, std::uint32_t seed) {
  Bytes b(size);
  for (auto& byte : b) {
    seed = seed * 1664525 + 1013904223;
    byte = static_cast<std::uint8_t>(seed >> 24);
  }
  return b;
}

inline Bytes Join(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

}  // namespace formattest
