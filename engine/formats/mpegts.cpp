// SPDX-License-Identifier: GPL-3.0-or-later
// MPEG transport streams: AVCHD's .MTS/.M2TS (192-byte packets, a 4-byte
// time code before each sync byte) and plain .TS (188). A sync byte 0x47 at
// the start of each of the first packets tells them from chance data.
#include <algorithm>
#include <vector>

#include "engine/formats/format.h"

namespace {

constexpr std::size_t kPacketsSeen = 3;
constexpr std::uint8_t kSync = 0x47;

bool SyncEvery(const std::uint8_t* s, std::size_t size, std::size_t first, std::size_t packet) {
  if (size < first + packet * (kPacketsSeen - 1) + 1) return false;
  for (std::size_t i = 0; i < kPacketsSeen; ++i) {
    if (s[first + i * packet] != kSync) return false;
  }
  return true;
}

bool MagicTs(const std::uint8_t* s, std::size_t size) {
  return SyncEvery(s, size, 0, 188);
}

bool MagicMts(const std::uint8_t* s, std::size_t size) {
  return SyncEvery(s, size, 4, 192);
}

// Plain .TS: the sync byte starts the sector.
const char* DetectTs(const TSearchTypes& types, const std::uint8_t* s, std::size_t size) {
  return types.Other && MagicTs(s, size) ? "TS" : nullptr;
}

// AVCHD: a 4-byte time code before each sync byte.
const char* DetectMts(const TSearchTypes& types, const std::uint8_t* s, std::size_t size) {
  return types.Other && MagicMts(s, size) ? "MTS" : nullptr;
}

// Three sync bytes turn up in a camera's other data about once in a few
// thousand megabytes of it; the checked header wants every packet in its
// first 4 KiB (or in all there is, past the first three) to have one.
constexpr std::size_t kCheckedBytes = 4096;

bool SyncThroughout(const std::uint8_t* s, std::size_t available, std::size_t first,
                    std::size_t packet) {
  const std::size_t span = std::min(available, kCheckedBytes);
  for (std::size_t at = first; at < span; at += packet) {
    if (s[at] != kSync) return false;
  }
  return true;
}

const char* CheckTs(const TSearchTypes& types, const std::uint8_t* data, std::size_t available,
                    std::uint64_t) {
  const char* tag = DetectTs(types, data, available);
  return tag != nullptr && SyncThroughout(data, available, 0, 188) ? tag : nullptr;
}

const char* CheckMts(const TSearchTypes& types, const std::uint8_t* data, std::size_t available,
                     std::uint64_t) {
  const char* tag = DetectMts(types, data, available);
  return tag != nullptr && SyncThroughout(data, available, 4, 192) ? tag : nullptr;
}

// The stream ends after the last whole packet of its unbroken run: a sync
// byte at every packet's place, followed across pieces. A packet counts as
// the stream's once its sync byte was seen, so a header in it is a frame.
//
// A piece that ends right where a packet begins is followed by a sector the
// header check takes for a stream of its own; whether it goes on with this
// one shows only in the sync byte ahead, so it is read ahead there and the
// packets found whole vouched for. Packets of 192 bytes meet sector starts
// every third sector, so for them one read looks far ahead at once.
class TPacketEnd final : public TEndFinder {
 public:
  TPacketEnd(std::uint64_t limit, TVolumeBytes* volume, std::size_t packet, std::size_t syncAt,
             std::size_t lookAhead)
      : TEndFinder(limit, volume),
        packet_(packet),
        syncAt_(syncAt),
        lookAhead_(lookAhead),
        next_(syncAt) {}

 private:
  std::size_t Step(const std::uint8_t* data, std::size_t size) override {
    std::size_t used = 1;
    if (At() < next_) {
      used = static_cast<std::size_t>(std::min<std::uint64_t>(next_ - At(), size));
    } else {
      const std::uint64_t start = next_ - syncAt_;  // the packet's first byte
      if (data[0] != kSync || !Fits(start, packet_)) {
        if (start == 0) return GiveUp(), 0;
        return EndAt(start), 0;
      }
      Vouch(next_ + 1);
      next_ += packet_;
      // No whole packet fits after this one: the run ends with the volume.
      if (!Fits(start + packet_, packet_)) return EndAt(start + packet_), used;
    }
    if (used == size) LookAhead(At() + size);
    return used;
  }

  // Proves the packets ahead when the next piece begins one of them.
  void LookAhead(std::uint64_t pieceEnd) {
    if (broken_ || KnownExtent() > pieceEnd || pieceEnd % packet_ != 0) return;
    const std::uint64_t from = std::max<std::uint64_t>(next_, ahead_);  // a sync byte's place
    const std::size_t span =
        static_cast<std::size_t>(std::min<std::uint64_t>(lookAhead_, Limit() - from));
    if (span == 0) return;
    buffer_.resize(span);
    if (!Peek(from, buffer_.data(), span)) {
      broken_ = true;  // unreadable: the packets are proven as they are fed
      return;
    }
    for (std::uint64_t sync = from; sync < from + span; sync += packet_) {
      if (buffer_[sync - from] != kSync || !Fits(sync - syncAt_, packet_)) {
        broken_ = true;
        return;
      }
      Vouch(sync + 1);
      ahead_ = sync + packet_;
    }
  }

  const std::size_t packet_;
  const std::size_t syncAt_;
  const std::size_t lookAhead_;
  std::uint64_t next_;       // where the next packet's sync byte must be
  std::uint64_t ahead_ = 0;  // the first sync byte's place not read ahead
  bool broken_ = false;      // reading ahead found the run's end, or failed
  std::vector<std::uint8_t> buffer_;
};

std::unique_ptr<TEndFinder> MakeMtsFinder(std::string_view, std::uint64_t bytesLeft,
                                          TVolumeBytes* volume) {
  return std::make_unique<TPacketEnd>(bytesLeft, volume, 192, 4, 64 * 1024);
}

std::unique_ptr<TEndFinder> MakeTsFinder(std::string_view, std::uint64_t bytesLeft,
                                         TVolumeBytes* volume) {
  return std::make_unique<TPacketEnd>(bytesLeft, volume, 188, 0, 1);
}

}  // namespace

extern const TFormat kMtsFormat{"m2ts", 4, "\x47", DetectMts, MagicMts, CheckMts, MakeMtsFinder};
extern const TFormat kTsFormat{"ts", 0, "\x47", DetectTs, MagicTs, CheckTs, MakeTsFinder};
