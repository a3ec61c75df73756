// SPDX-License-Identifier: GPL-3.0-or-later
// A file whose header names its own length (BMP, RIFF): a size field at a
// fixed offset gives the end outright, once the format has proven it.
#pragma once

#include <cstring>

#include "engine/byteorder.h"
#include "engine/endfinder.h"

class TSizedEnd : public TEndFinder {
 public:
  // The size field, little-endian, at fieldAt after the magic; the file is
  // size + extra bytes long and at least least.
  TSizedEnd(std::uint64_t limit, TVolumeBytes* volume, const char* magic, std::size_t fieldAt,
            std::uint32_t extra, std::uint32_t least)
      : TEndFinder(limit, volume), magic_(magic), fieldAt_(fieldAt), extra_(extra), least_(least) {}

 protected:
  // Whether the structure holds up to the claimed length (head: the file's
  // first fieldAt + 4 bytes). A claim that does not hold tells no end and
  // hides nothing.
  virtual bool Proven(const std::uint8_t* /*head*/, std::uint64_t /*length*/) { return true; }

 private:
  std::size_t Step(const std::uint8_t* data, std::size_t size) override {
    std::size_t used = 0;
    const std::uint8_t* head = Gather(data, size, fieldAt_ + 4, used);
    if (head == nullptr) return used;
    const std::uint64_t length = std::uint64_t{Le32(head + fieldAt_)} + extra_;
    if (std::memcmp(head, magic_, std::strlen(magic_)) != 0 || length < least_ ||
        !Fits(0, length) || !Proven(head, length)) {
      return GiveUp(), 0;
    }
    EndAt(length);
    return used;
  }

  const char* magic_;
  std::size_t fieldAt_;
  std::uint32_t extra_;
  std::uint32_t least_;
};
