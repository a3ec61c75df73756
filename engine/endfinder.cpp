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

namespace {

// JPEG: marker segments are passed over by their lengths, so whatever their
// payload holds (an Exif thumbnail with its own EOI) cannot end the file;
// entropy-coded data is searched for the first real marker. Progressive and
// multi-scan files go back to segments between scans, up to EOI.
class TJpegEnd final : public TEndFinder {
 public:
  explicit TJpegEnd(std::uint64_t limit) : TEndFinder(limit) {}

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

// BMP and RIFF: the header's size field gives the end outright.
class TSizedEnd final : public TEndFinder {
 public:
  // The size field, little-endian, at fieldAt; the file is size + extra bytes
  // long and at least least.
  TSizedEnd(std::uint64_t limit, const char* magic, std::size_t fieldAt, std::uint32_t extra,
            std::uint32_t least)
      : TEndFinder(limit), magic_(magic), fieldAt_(fieldAt), extra_(extra), least_(least) {}

 private:
  std::size_t Step(const std::uint8_t* data, std::size_t size) override {
    std::size_t used = 0;
    const std::uint8_t* head = Gather(data, size, fieldAt_ + 4, used);
    if (head == nullptr) return used;
    const std::uint64_t length = std::uint64_t{Le32(head + fieldAt_)} + extra_;
    if (std::memcmp(head, magic_, std::strlen(magic_)) != 0 || length < least_) return GiveUp(), 0;
    EndAt(length);
    return used;
  }

  const char* magic_;
  std::size_t fieldAt_;
  std::uint32_t extra_;
  std::uint32_t least_;
};

// PNG: chunks (length, type, data, CRC) from the signature to IEND's CRC.
class TPngEnd final : public TEndFinder {
 public:
  explicit TPngEnd(std::uint64_t limit) : TEndFinder(limit) {}

 private:
  std::size_t Step(const std::uint8_t* data, std::size_t size) override {
    std::size_t used = 0;
    const std::uint8_t* head = Gather(data, size, 8, used);
    if (head == nullptr) return used;
    if (!signatureSeen_) {
      static constexpr std::uint8_t kSignature[] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
      if (std::memcmp(head, kSignature, 8) != 0) return GiveUp(), 0;
      signatureSeen_ = true;
      Vouch(8);
      return used;
    }
    const std::uint32_t length = Be32(head);
    const auto letter = [](std::uint8_t c) { return (c | 0x20) >= 'a' && (c | 0x20) <= 'z'; };
    if (length > 0x7FFFFFFF || !std::all_of(head + 4, head + 8, letter)) return GiveUp(), 0;
    const std::uint64_t from = At() + used;
    if (!Fits(from, std::uint64_t{length} + 4)) return GiveUp(), 0;
    if (std::memcmp(head + 4, "IEND", 4) == 0) {
      EndAt(from + length + 4);
    } else {
      SkipTo(from + length + 4);
    }
    return used;
  }

  bool signatureSeen_ = false;
};

// GIF: header, screen descriptor and colour table, then extension and image
// blocks with their sub-blocks, up to the trailer.
class TGifEnd final : public TEndFinder {
 public:
  explicit TGifEnd(std::uint64_t limit) : TEndFinder(limit) {}

 private:
  enum class EState { Header, Block, Label, Image, CodeSize, SubBlock };

  std::size_t Step(const std::uint8_t* data, std::size_t size) override {
    std::size_t used = 1;
    const std::uint8_t byte = data[0];
    switch (state_) {
      case EState::Header: {
        const std::uint8_t* head = Gather(data, size, 13, used);
        if (head == nullptr) return used;
        if (std::memcmp(head, "GIF87a", 6) != 0 && std::memcmp(head, "GIF89a", 6) != 0) {
          return GiveUp(), 0;
        }
        state_ = EState::Block;
        SkipColourTable(head[10], At() + used);
        return used;
      }
      case EState::Block:
        if (byte == 0x3B) return EndAt(At() + 1), 1;
        if (byte != 0x21 && byte != 0x2C) return GiveUp(), 0;
        state_ = byte == 0x21 ? EState::Label : EState::Image;
        break;
      case EState::Label:
        state_ = EState::SubBlock;
        break;
      case EState::Image: {
        // The descriptor after its separator: position, size and flags.
        const std::uint8_t* descriptor = Gather(data, size, 9, used);
        if (descriptor == nullptr) return used;
        state_ = EState::CodeSize;
        SkipColourTable(descriptor[8], At() + used);
        return used;
      }
      case EState::CodeSize:
        if (byte < 1 || byte > 11) return GiveUp(), 0;
        state_ = EState::SubBlock;
        break;
      case EState::SubBlock:
        if (byte == 0) {
          state_ = EState::Block;
        } else {
          SkipTo(At() + 1 + byte);
        }
        break;
    }
    Vouch(At() + used);
    return used;
  }

  void SkipColourTable(std::uint8_t flags, std::uint64_t from) {
    SkipTo((flags & 0x80) != 0 ? from + (3u << ((flags & 7) + 1)) : from);
  }

  EState state_ = EState::Header;
};

// MOV and other ISO media files: a chain of top-level atoms. The first header
// that cannot be an atom (a type not four printable characters, a size below
// its header or past the volume) ends the file, but only once a movie's
// essentials, "moov" and "mdat", have been seen: until then the break is more
// likely damage than the end, and no end is told.
class TMovieEnd final : public TEndFinder {
 public:
  explicit TMovieEnd(std::uint64_t limit) : TEndFinder(limit) {}

 private:
  std::size_t Step(const std::uint8_t* data, std::size_t size) override {
    std::size_t used = 0;
    const std::uint8_t* field = Gather(data, size, 8, used);
    if (field == nullptr) return used;
    if (extended_) {
      extended_ = false;
      Atom(Be64(field), 16);
      return used;
    }
    const auto printable = [](std::uint8_t c) { return c >= 0x20 && c <= 0x7E; };
    if (!std::all_of(field + 4, field + 8, printable)) return Break(), used;
    std::memcpy(type_, field + 4, 4);
    const std::uint32_t atom = Be32(field);
    if (atom == 1) {
      extended_ = true;  // a 64-bit size follows
    } else if (atom == 0) {
      GiveUp();  // runs to the file's end, which is what is sought
    } else {
      Atom(atom, 8);
    }
    return used;
  }

  void Atom(std::uint64_t size, std::uint64_t header) {
    if (size < header || !Fits(next_, size)) return Break();
    moovSeen_ = moovSeen_ || std::memcmp(type_, "moov", 4) == 0;
    mdatSeen_ = mdatSeen_ || std::memcmp(type_, "mdat", 4) == 0;
    next_ += size;
    SkipTo(next_);
  }

  void Break() {
    if (moovSeen_ && mdatSeen_) return EndAt(next_);
    GiveUp();
  }

  std::uint64_t next_ = 0;  // where the next top-level atom starts
  char type_[4] = {};
  bool extended_ = false;
  bool moovSeen_ = false;
  bool mdatSeen_ = false;
};

}  // namespace

std::unique_ptr<TEndFinder> TEndFinder::For(const std::string& tag,
                                            std::uint64_t bytesLeftOfVolume) {
  const std::uint64_t limit = bytesLeftOfVolume;
  if (tag == "JPG") return std::make_unique<TJpegEnd>(limit);
  if (tag == "BMP") return std::make_unique<TSizedEnd>(limit, "BM", 2, 0, 14 + 12);
  if (tag == "WAV" || tag == "AVI" || tag == "RIFF") {
    return std::make_unique<TSizedEnd>(limit, "RIFF", 4, 8, 12);
  }
  if (tag == "PNG") return std::make_unique<TPngEnd>(limit);
  if (tag == "GIF") return std::make_unique<TGifEnd>(limit);
  if (tag == "MOV") return std::make_unique<TMovieEnd>(limit);
  return nullptr;
}
