// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/endfinder.h"

#include <algorithm>
#include <cstring>

#include "engine/byteorder.h"

std::optional<std::size_t> TEndFinder::Feed(const std::uint8_t* data, std::size_t size) {
  const std::uint64_t start = fed_;
  fed_ += size;
  std::size_t i = 0;
  while (!end_ && !lost_ && i < size) {
    at_ = start + i;
    if (at_ < skipTo_) {
      i += static_cast<std::size_t>(std::min<std::uint64_t>(skipTo_ - at_, size - i));
      continue;
    }
    i += Step(data + i, size - i);
  }
  if (!end_ || *end_ > fed_) return std::nullopt;
  return static_cast<std::size_t>(*end_ > start ? *end_ - start : 0);
}

std::optional<std::uint64_t> TEndFinder::FileSize() const {
  if (!end_ || *end_ > fed_) return std::nullopt;
  return end_;
}

const std::uint8_t* TEndFinder::Gather(const std::uint8_t* data, std::size_t size, std::size_t want,
                                       std::size_t& used) {
  if (have_ == 0 && size >= want) {
    used = want;
    return data;
  }
  used = std::min(want - have_, size);
  std::memcpy(field_.data() + have_, data, used);
  have_ += used;
  if (have_ < want) return nullptr;
  have_ = 0;
  return field_.data();
}

bool TEndFinder::Fits(std::uint64_t from, std::uint64_t length) const {
  return from <= limit_ && length <= limit_ - from;
}

void TEndFinder::SkipTo(std::uint64_t offset) {
  if (offset > limit_) return GiveUp();
  skipTo_ = offset;
  Vouch(offset);
}

void TEndFinder::Vouch(std::uint64_t offset) {
  known_ = std::max(known_, offset);
}

void TEndFinder::EndAt(std::uint64_t offset) {
  if (offset > limit_) return GiveUp();
  end_ = offset;
  Vouch(offset);
}

bool TEndFinder::Peek(std::uint64_t offset, std::uint8_t* buffer, std::size_t size) const {
  return volume_ != nullptr && Fits(offset, size) && volume_->Read(offset, buffer, size);
}
