// SPDX-License-Identifier: GPL-3.0-or-later
// Whether a JPEG split in two pieces is whole again when its first piece is
// followed by a candidate continuation: the entropy-coded data must decode
// without a single complaint across the joint, restart markers must keep
// their sequence, and the image must end with its last MCU right at an EOI
// (after Garfinkel, "Carving contiguous and fragmented files with fast object
// validation", DFRWS 2007). Decoding goes through libjpeg.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

// The continuation's bytes, read on demand from its first byte.
class TJoinSource {
 public:
  virtual ~TJoinSource() = default;
  // Up to size bytes at offset from the continuation's start; the count
  // read, 0 at its end or where nothing more can be read.
  virtual std::size_t Read(std::uint64_t offset, std::uint8_t* buffer, std::size_t size) = 0;
};

// The length of the continuation (up to and including the EOI) that makes
// first + continuation one whole JPEG, or nothing when it does not. At most
// limit bytes of the continuation are read. A wrong continuation is turned
// down at its first complaint: within a few kilobytes for noise or where
// restart markers are, only at the image's end for a shifted continuation
// without them. The rest of a look-alike photo, or a sector more or less in a
// progressive file's last (lowest-bit) scan, can decode cleanly: callers
// take a joint only when exactly one candidate passes.
std::optional<std::uint64_t> ValidJoin(std::span<const std::uint8_t> first, TJoinSource& rest,
                                       std::uint64_t limit);

// Whether bytes hold one whole JPEG that decodes without a complaint, its
// EOI as their last two bytes.
bool JpegDecodesWhole(std::span<const std::uint8_t> bytes);

// Where the first image of bytes ends (after its EOI) when it decodes whole;
// what follows (an MPF image, a motion photo's video) is not looked at.
std::optional<std::uint64_t> JpegDecodedLength(std::span<const std::uint8_t> bytes);

// Whether bytes can be the start of a JPEG: they decode without a complaint
// up to their end (or hold a whole one).
bool JpegPrefixDecodes(std::span<const std::uint8_t> bytes);
