// SPDX-License-Identifier: GPL-3.0-or-later
// JPEG: SOI and a chain of marker segments up to the frame header; the end
// is the EOI after the last scan.
#include <cstring>

#include "engine/byteorder.h"
#include "engine/formats/format.h"

namespace {

const char* Detect(const TSearchTypes& types, const std::uint8_t* s, std::size_t size) {
  const bool jpeg =
      size >= 4 && s[0] == 0xFF && s[1] == 0xD8 && s[2] == 0xFF && (s[3] == 0xE0 || s[3] == 0xE1);
  return types.JPG && jpeg ? "JPG" : nullptr;
}

// --- JPEG: a chain of marker segments from SOI to the frame header.

bool IsFrameMarker(std::uint8_t marker) {
  return marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
}

// The shortest length a segment that may come before the frame header can
// have; 0 for a marker that cannot come there.
std::uint32_t LeastSegmentLength(std::uint8_t marker) {
  if (IsFrameMarker(marker)) return 8 + 3;  // one component
  if (marker >= 0xE0 && marker <= 0xEF) return 2;
  switch (marker) {
    case 0xC4:
      return 2 + 1 + 16;  // one table's class and code counts
    case 0xCC:
      return 2 + 2;  // one arithmetic conditioning entry
    case 0xDB:
      return 2 + 1 + 64;  // one 8-bit table
    case 0xDD:
      return 4;
    case 0xFE:
      return 2;
    default:
      return 0;
  }
}

// The frame header's fields after its length; those past the available bytes
// cannot be held against it.
bool FrameHolds(const std::uint8_t* fields, std::uint32_t length, std::size_t available) {
  if (available < 6) return true;
  const std::uint32_t precision = fields[0], width = Be16(fields + 3), components = fields[5];
  return precision >= 2 && precision <= 16 && width != 0 && components != 0 &&
         length == 8 + 3 * components;
}

// SOI, then segments with sane lengths up to a frame header. A chain that
// runs past the available bytes is taken once the first segment's marker and
// length were read and all seen was valid: an Exif segment often outgrows the
// sectors left in a read, and refusing it would lose the photo.
bool JpegHolds(const std::uint8_t* data, std::size_t available) {
  if (available < 4 || data[0] != 0xFF || data[1] != 0xD8 || data[2] != 0xFF) return false;
  bool lengthRead = false;
  std::size_t at = 2;  // a marker's first byte
  for (;;) {
    if (at >= available) return lengthRead;
    if (data[at] != 0xFF) return false;
    while (at + 1 < available && data[at + 1] == 0xFF) ++at;  // fill bytes
    if (at + 1 >= available) return lengthRead;
    const std::uint8_t marker = data[at + 1];
    const std::uint32_t least = LeastSegmentLength(marker);
    if (least == 0) return false;  // also a scan before any frame
    if (at + 3 >= available) return lengthRead;
    const std::uint32_t length = Be16(data + at + 2);
    if (length < least || (marker == 0xDD && length != least)) return false;
    lengthRead = true;
    if (IsFrameMarker(marker)) return FrameHolds(data + at + 4, length, available - (at + 4));
    at += 2 + length;
  }
}

bool Magic(const std::uint8_t* s, std::size_t size) {
  return size >= 3 && s[0] == 0xFF && s[1] == 0xD8 && s[2] == 0xFF;
}

const char* Check(const TSearchTypes& types, const std::uint8_t* data, std::size_t available,
                  std::uint64_t) {
  return types.JPG && JpegHolds(data, available) ? "JPG" : nullptr;
}

// JPEG: marker segments are passed over by their lengths, so whatever their
// payload holds (an Exif thumbnail with its own EOI) cannot end the file;
// entropy-coded data is searched for the first real marker. Progressive and
// multi-scan files go back to segments between scans, up to EOI.
class TJpegEnd final : public TEndFinder {
 public:
  TJpegEnd(std::uint64_t limit, TVolumeBytes* volume) : TEndFinder(limit, volume) {}

 private:
  enum class EState { Start, Marker, Code, Length, Entropy, EntropyFF };

  std::size_t Step(const std::uint8_t* data, std::size_t size) override {
    switch (state_) {
      case EState::Start: {
        std::size_t used = 0;
        const std::uint8_t* soi = Gather(data, size, 2, used);
        if (soi == nullptr) return used;
        if (soi[0] != 0xFF || soi[1] != 0xD8) return GiveUp(), 0;
        state_ = EState::Marker;
        return used;
      }
      case EState::Marker:
        if (data[0] != 0xFF) return GiveUp(), 0;
        state_ = EState::Code;
        return 1;
      case EState::Code:
        if (data[0] != 0xFF) OnMarker(data[0]);  // FF FF: fill before a marker
        return 1;
      case EState::Length: {
        std::size_t used = 0;
        const std::uint8_t* length = Gather(data, size, 2, used);
        if (length == nullptr) return used;
        const std::uint32_t bytes = Be16(length);
        if (bytes < 2) return GiveUp(), 0;
        SkipTo(At() + used + bytes - 2);
        state_ = marker_ == 0xDA ? EState::Entropy : EState::Marker;
        return used;
      }
      case EState::Entropy: {
        const auto* ff = static_cast<const std::uint8_t*>(std::memchr(data, 0xFF, size));
        const std::size_t used = ff == nullptr ? size : static_cast<std::size_t>(ff - data);
        Vouch(At() + used);
        if (ff != nullptr) state_ = EState::EntropyFF;
        return ff == nullptr ? used : used + 1;
      }
      case EState::EntropyFF: {
        const std::uint8_t code = data[0];
        // Stuffed zero and restart markers belong to the scan; FF FF is fill.
        if (code == 0x00 || (code >= 0xD0 && code <= 0xD7)) {
          state_ = EState::Entropy;
          Vouch(At() + 1);
        } else if (code != 0xFF) {
          OnMarker(code);
        }
        return 1;
      }
    }
    GiveUp();  // unreachable; never loop without progress
    return 0;
  }

  void OnMarker(std::uint8_t code) {
    const bool frame = code >= 0xC0 && code <= 0xCF && code != 0xC4 && code != 0xC8 && code != 0xCC;
    frameSeen_ = frameSeen_ || frame;
    if (code == 0xD9) {
      // An EOI before any scan ends nothing a viewer could show.
      if (!scanSeen_) return GiveUp();
      return EndAt(At() + 1);
    }
    if (code == 0xDA) {
      if (!frameSeen_) return GiveUp();
      scanSeen_ = true;
    } else if ((code >= 0xD0 && code <= 0xD7) || code == 0x01) {
      state_ = EState::Marker;  // no length follows
      return;
    } else if (!(frame || code == 0xC4 || code == 0xCC || (code >= 0xDB && code <= 0xDF) ||
                 (code >= 0xE0 && code <= 0xEF) || code == 0xFE)) {
      return GiveUp();  // SOI, reserved and extension markers have no place here
    }
    marker_ = code;
    state_ = EState::Length;
  }

  EState state_ = EState::Start;
  std::uint8_t marker_ = 0;
  bool frameSeen_ = false;
  bool scanSeen_ = false;
};

std::unique_ptr<TEndFinder> MakeFinder(std::string_view, std::uint64_t bytesLeft,
                                       TVolumeBytes* volume) {
  return std::make_unique<TJpegEnd>(bytesLeft, volume);
}

}  // namespace

extern const TFormat kJpegFormat{"jpeg", 0, "\xFF", Detect, Magic, Check, MakeFinder};
