// SPDX-License-Identifier: GPL-3.0-or-later
// GIF: header, screen descriptor, blocks up to the trailer.
#include <cstring>

#include "engine/byteorder.h"
#include "engine/formats/format.h"

namespace {

const char* Detect(const TSearchTypes& types, const std::uint8_t* s, std::size_t size) {
  const bool gif = size >= 6 && s[0] == 'G' && s[1] == 'I' && s[2] == 'F' && s[3] == '8' &&
                   (s[4] == '9' || s[4] == '7') && s[5] == 'a';
  return types.GIF && gif ? "GIF" : nullptr;
}

bool Magic(const std::uint8_t* s, std::size_t size) {
  return size >= 4 && std::memcmp(s, "GIF8", 4) == 0;
}

const char* Check(const TSearchTypes& types, const std::uint8_t* data, std::size_t available,
                  std::uint64_t) {
  const bool holds = available >= 10 &&
                     (std::memcmp(data, "GIF87a", 6) == 0 || std::memcmp(data, "GIF89a", 6) == 0) &&
                     Le16(data + 6) != 0 && Le16(data + 8) != 0;
  return types.GIF && holds ? "GIF" : nullptr;
}

// GIF: header, screen descriptor and colour table, then extension and image
// blocks with their sub-blocks, up to the trailer.
class TGifEnd final : public TEndFinder {
 public:
  TGifEnd(std::uint64_t limit, TVolumeBytes* volume) : TEndFinder(limit, volume) {}

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

std::unique_ptr<TEndFinder> MakeFinder(std::string_view, std::uint64_t bytesLeft,
                                       TVolumeBytes* volume) {
  return std::make_unique<TGifEnd>(bytesLeft, volume);
}

}  // namespace

extern const TFormat kGifFormat{"gif", 0, "G", Detect, Magic, Check, MakeFinder};
