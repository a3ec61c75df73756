// SPDX-License-Identifier: GPL-3.0-or-later
// A file whose first bytes name its own length (BMP, RIFF, RAF): the head is
// collected from the pieces fed, the format proves the length it claims, and
// the end is set at once or never.
#pragma once

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <vector>

#include "engine/endfinder.h"

class TSizedEnd : public TEndFinder {
 public:
  TSizedEnd(std::uint64_t limit, TVolumeBytes* volume) : TEndFinder(limit, volume) {}

 protected:
  static constexpr std::size_t kMaxHead = 256;

  // The bytes of the head wanted, given the have bytes collected so far
  // (at most kMaxHead; asked again until it is no more than have).
  virtual std::size_t HeadSize(const std::uint8_t* head, std::size_t have) const = 0;
  // The file's length once its structure proves it (head: the collected
  // bytes, which may run past the file), else nothing: a claim that fails
  // tells no end and hides nothing.
  virtual std::optional<std::uint64_t> ProvenLength(const std::uint8_t* head, std::size_t size) = 0;

  // size bytes at offset, read ahead through a window so that a chain of
  // small chunks costs one read per window; nullptr when they cannot be read.
  const std::uint8_t* PeekAt(std::uint64_t offset, std::size_t size) {
    if (size > kWindow || !Fits(offset, size)) return nullptr;
    if (offset >= windowAt_ && offset - windowAt_ + size <= windowSize_) {
      return window_.data() + (offset - windowAt_);
    }
    window_.resize(kWindow);
    windowSize_ = static_cast<std::size_t>(std::min<std::uint64_t>(kWindow, Limit() - offset));
    // A window the volume cannot give whole may still hold the few bytes asked.
    if (!Peek(offset, window_.data(), windowSize_)) windowSize_ = size;
    if (!Peek(offset, window_.data(), windowSize_)) {
      windowSize_ = 0;
      return nullptr;
    }
    windowAt_ = offset;
    return window_.data();
  }

 private:
  static constexpr std::size_t kWindow = 4096;

  std::size_t Step(const std::uint8_t* data, std::size_t size) override {
    std::size_t used = 0;
    for (;;) {
      const std::size_t want =
          std::min<std::uint64_t>(std::min(HeadSize(head_.data(), have_), kMaxHead), Limit());
      if (want > have_) {
        const std::size_t take = std::min(want - have_, size - used);
        std::memcpy(head_.data() + have_, data + used, take);
        have_ += take;
        used += take;
        if (have_ < want) return used;  // the rest comes in the next piece
        continue;                       // the head may want more now
      }
      const std::optional<std::uint64_t> length = ProvenLength(head_.data(), have_);
      if (!length || *length == 0 || *length > Limit()) return GiveUp(), used;
      EndAt(*length);
      return used;
    }
  }

  std::array<std::uint8_t, kMaxHead> head_{};
  std::size_t have_ = 0;
  std::vector<std::uint8_t> window_;
  std::uint64_t windowAt_ = 0;
  std::size_t windowSize_ = 0;
};
