// SPDX-License-Identifier: GPL-3.0-or-later
// JPEG: SOI and a chain of marker segments up to the frame header; the end
// is the EOI after the last scan, or past what cameras and phones append to
// the first image (MPF images, a motion photo's movie, Samsung's trailer)
// once that has been proven.
#include <algorithm>
#include <bit>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/byteorder.h"
#include "engine/formats/format.h"
#include "engine/formats/registry.h"

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

// --- What cameras and phones append after the first image.

constexpr std::string_view kXmpSignature{"http://ns.adobe.com/xap/1.0/\0", 29};
constexpr std::string_view kMpfSignature{"MPF\0", 4};
constexpr std::string_view kSefVideo{"MotionPhoto_Data"};
// How far past a known point a trailer's next piece is looked for.
constexpr std::size_t kSearchWindow = 64 * 1024;
constexpr std::uint32_t kMaxImages = 32, kMaxIfdFields = 64, kMaxBlocks = 32;
constexpr int kMaxBoxes = 4096, kMaxItems = 16;

// An XMP property's value, written as an attribute (ns:name="v") or an
// element (<ns:name>v</ns:name>); empty when absent. Plain string search:
// the writers of motion photos use these two forms only.
std::string_view XmpValue(std::string_view xmp, std::string_view localName) {
  for (std::size_t at = xmp.find(localName); at != std::string_view::npos;
       at = xmp.find(localName, at + 1)) {
    if (at == 0 || xmp[at - 1] != ':') continue;
    std::size_t p = at + localName.size();
    while (p < xmp.size() && (xmp[p] == ' ' || xmp[p] == '\n' || xmp[p] == '\r')) ++p;
    if (p >= xmp.size()) break;
    std::size_t from = p + 1, to = std::string_view::npos;
    if (xmp[p] == '=') {
      while (from < xmp.size() && xmp[from] == ' ') ++from;
      if (from >= xmp.size() || (xmp[from] != '"' && xmp[from] != '\'')) continue;
      to = xmp.find(xmp[from], from + 1);
      ++from;
    } else if (xmp[p] == '>') {
      to = xmp.find('<', from);
    } else {
      continue;  // a longer name that ends the same way
    }
    if (to == std::string_view::npos) break;
    return xmp.substr(from, to - from);
  }
  return {};
}

std::optional<std::uint64_t> XmpNumber(std::string_view text) {
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  if (text.empty() || text.size() > 12) return std::nullopt;
  std::uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
  }
  return value;
}

struct TContainerItem {
  std::string_view semantic;
  std::optional<std::uint64_t> length, padding;
};

// Google's container directory, in file order, the primary image first.
std::vector<TContainerItem> ContainerItems(std::string_view xmp) {
  constexpr std::string_view kItem{"<Container:Item"};
  std::vector<TContainerItem> items;
  std::size_t at = xmp.find(kItem);
  while (at != std::string_view::npos && items.size() < kMaxItems) {
    const std::size_t next = xmp.find(kItem, at + kItem.size());
    const std::string_view item = xmp.substr(at, next == std::string_view::npos ? next : next - at);
    items.push_back({XmpValue(item, "Semantic"), XmpNumber(XmpValue(item, "Length")),
                     XmpNumber(XmpValue(item, "Padding"))});
    at = next;
  }
  return items;
}

bool IsBoxType(const std::uint8_t* type) {
  return std::all_of(type, type + 4, [](std::uint8_t c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == ' ' ||
           c == 0xA9;
  });
}

// JPEG: marker segments are passed over by their lengths, so whatever their
// payload holds (an Exif thumbnail with its own EOI) cannot end the file;
// entropy-coded data is searched for the first real marker. Progressive and
// multi-scan files go back to segments between scans, up to EOI. At the first
// image's EOI, what the header announced after it is proven by reading ahead.
class TJpegEnd final : public TEndFinder {
 public:
  TJpegEnd(std::uint64_t limit, TVolumeBytes* volume) : TEndFinder(limit, volume) {}

 private:
  enum class EState { Start, Marker, Code, Length, Payload, Entropy, EntropyFF };

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
        const std::uint64_t payloadAt = At() + used;
        if (!scanSeen_ && (marker_ == 0xE1 || marker_ == 0xE2) && bytes > 2) {
          // The first image's XMP or MPF index may announce what follows it.
          if (!Fits(payloadAt, bytes - 2)) return GiveUp(), 0;
          Vouch(payloadAt + bytes - 2);
          segment_.clear();
          payloadLeft_ = bytes - 2;
          payloadAt_ = payloadAt;
          state_ = EState::Payload;
          return used;
        }
        SkipTo(payloadAt + bytes - 2);
        state_ = marker_ == 0xDA ? EState::Entropy : EState::Marker;
        if (marker_ == 0xDA) lastRestartEnd_ = payloadAt + bytes - 2;
        return used;
      }
      case EState::Payload: {
        const std::size_t used = std::min<std::size_t>(size, payloadLeft_);
        segment_.insert(segment_.end(), data, data + used);
        payloadLeft_ -= used;
        if (payloadLeft_ == 0) {
          KeepSegment();
          state_ = EState::Marker;
        }
        return used;
      }
      case EState::Entropy: {
        const auto* ff = static_cast<const std::uint8_t*>(std::memchr(data, 0xFF, size));
        const std::size_t used = ff == nullptr ? size : static_cast<std::size_t>(ff - data);
        if (ZeroSectorIn(data, used)) return 0;
        Vouch(At() + used);
        if (ff != nullptr) {
          state_ = EState::EntropyFF;
          zeroFrom_.reset();
        }
        return ff == nullptr ? used : used + 1;
      }
      case EState::EntropyFF: {
        const std::uint8_t code = data[0];
        // Stuffed zero and restart markers belong to the scan; FF FF is fill.
        if (code >= 0xD0 && code <= 0xD7) {
          // Restart markers count 0 to 7 and round again from each scan's
          // start: one out of turn is another photo's data after a piece
          // of this one, which then ends after its last restart in turn.
          if (code != 0xD0 + nextRestart_) return BreakOffAt(lastRestartEnd_), 0;
          nextRestart_ = (nextRestart_ + 1) % 8;
          lastRestartEnd_ = At() + 1;
        }
        if (code == 0x00 || (code >= 0xD0 && code <= 0xD7)) {
          state_ = EState::Entropy;
          Vouch(At() + 1);
          // A piece ending in FF followed by empty space: the zero taken as
          // stuffing is where the empty space begins.
          if (code == 0x00) zeroFrom_ = At();
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
      return EndAt(ExtrasEnd(At() + 1));
    }
    if (code == 0xDA) {
      nextRestart_ = 0;
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

  // Keeps the first XMP packet and the first MPF index; other APP1/APP2
  // segments (Exif, ICC profiles) tell nothing about the file's end.
  void KeepSegment() {
    const std::string_view bytes(reinterpret_cast<const char*>(segment_.data()), segment_.size());
    if (xmp_.empty() && bytes.starts_with(kXmpSignature)) {
      xmp_.assign(bytes.substr(kXmpSignature.size()));
    } else if (mpf_.empty() && marker_ == 0xE2 && bytes.starts_with(kMpfSignature)) {
      mpf_.assign(segment_.begin() + kMpfSignature.size(), segment_.end());
      mpfAt_ = payloadAt_ + kMpfSignature.size();
    }
    segment_.clear();
  }

  // The file's end, given the first image's: past the MPF images, then past
  // a motion photo's movie or Samsung's trailer, as far as each is proven.
  std::uint64_t ExtrasEnd(std::uint64_t firstEnd) {
    const std::uint64_t imagesEnd = MpfEnd(firstEnd);
    if (const auto end = GoogleEnd(firstEnd, imagesEnd)) return *end;
    if (const auto end = SamsungEnd(imagesEnd)) return *end;
    return imagesEnd;
  }

  // The end of the furthest image the MPF index lists, when every listed
  // image begins where its offset says and ends where its size says; else
  // firstEnd. Offsets count from the index's TIFF header.
  std::uint64_t MpfEnd(std::uint64_t firstEnd) {
    const std::size_t n = mpf_.size();
    if (n < 8) return firstEnd;
    const std::uint8_t* t = mpf_.data();
    const bool le = std::memcmp(t, "II*\0", 4) == 0;
    if (!le && std::memcmp(t, "MM\0*", 4) != 0) return firstEnd;
    const auto u16 = [&](std::size_t at) { return le ? Le16(t + at) : Be16(t + at); };
    const auto u32 = [&](std::size_t at) { return le ? Le32(t + at) : Be32(t + at); };
    const std::uint32_t ifd = u32(4);
    if (ifd > n || n - ifd < 2) return firstEnd;
    const std::uint32_t fields = u16(ifd);
    if (fields > kMaxIfdFields || n - ifd - 2 < std::size_t{fields} * 12) return firstEnd;
    std::uint32_t images = 0, entriesAt = 0, entriesBytes = 0;
    for (std::uint32_t i = 0; i < fields; ++i) {
      const std::size_t f = ifd + 2 + std::size_t{i} * 12;
      if (u16(f) == 0xB001 && u16(f + 2) == 4 && u32(f + 4) == 1) images = u32(f + 8);
      if (u16(f) == 0xB002 && u16(f + 2) == 7) entriesBytes = u32(f + 4), entriesAt = u32(f + 8);
    }
    const std::uint32_t count = entriesBytes / 16;
    if (entriesBytes % 16 != 0 || count < 2 || count > kMaxImages ||
        (images != 0 && images != count) || entriesAt > n || n - entriesAt < entriesBytes) {
      return firstEnd;
    }
    std::uint64_t end = firstEnd;
    for (std::uint32_t i = 0; i < count; ++i) {
      const std::size_t e = entriesAt + std::size_t{i} * 16;
      const std::uint32_t size = u32(e + 4), offset = u32(e + 8);
      if (offset == 0) continue;  // the first image
      const std::uint64_t at = mpfAt_ + offset;
      if (at < firstEnd || !ImageHolds(at, size)) return firstEnd;
      end = std::max(end, at + size);
    }
    return end;
  }

  // SOI where the image begins and EOI where its size ends it; zeros that
  // pad it to its size are allowed.
  bool ImageHolds(std::uint64_t at, std::uint32_t size) const {
    constexpr std::size_t kTail = 32;
    std::uint8_t head[3], tail[kTail];
    const std::size_t tailSize = std::min<std::size_t>(size, kTail);
    if (size < 8 || !Peek(at, head, 3) || head[0] != 0xFF || head[1] != 0xD8 || head[2] != 0xFF ||
        !Peek(at + size - tailSize, tail, tailSize)) {
      return false;
    }
    std::size_t last = tailSize;
    while (last > 0 && tail[last - 1] == 0) --last;
    return last >= 2 && tail[last - 2] == 0xFF && tail[last - 1] == 0xD9;
  }

  // Walks an MP4's top-level boxes from start, ftyp first, up to stopAt or
  // the first place that holds no box: where the chain stops, or nothing when
  // it is no movie (no ftyp first, no moov).
  std::optional<std::uint64_t> Mp4Chain(std::uint64_t start, std::uint64_t stopAt) const {
    std::uint64_t at = start;
    bool moov = false;
    for (int boxes = 0; boxes < kMaxBoxes && at < stopAt; ++boxes) {
      std::uint8_t h[16];
      if (!Peek(at, h, 8) || !IsBoxType(h + 4)) break;
      if (boxes == 0 && std::memcmp(h + 4, "ftyp", 4) != 0) return std::nullopt;
      std::uint64_t size = Be32(h);
      if (size == 1 && Peek(at + 8, h + 8, 8)) size = Be64(h + 8);
      if (size < 8 || (Be32(h) == 1 && size < 16) || !Fits(at, size)) break;
      moov = moov || std::memcmp(h + 4, "moov", 4) == 0;
      at += size;
    }
    if (!moov) return std::nullopt;
    return at;
  }

  // Whether a movie of exactly length bytes begins at start. Its last box
  // (the media data, as a rule) shows no structure at its end, so a movie cut
  // short by another file would still chain to the XMP's length: it holds
  // only when no other file's header begins at a sector inside it.
  bool MovieHolds(std::uint64_t start, std::uint64_t length) const {
    return length > 0 && Fits(start, length) && Mp4Chain(start, start + length) == start + length &&
           NoHeaderInside(start, start + length);
  }

  bool NoHeaderInside(std::uint64_t from, std::uint64_t to) const {
    constexpr std::uint64_t kSector =
        512;  // files begin on sector starts, which are multiples of it
    constexpr std::uint64_t kStride = 256 * 1024;
    const TSearchTypes every = AllSearchTypes();
    for (std::uint64_t at = (from / kSector + 1) * kSector; at < to; at += kStride) {
      const std::uint64_t end = std::min(to, at + kStride);
      window_.resize(
          static_cast<std::size_t>(std::min<std::uint64_t>(end - at + kCheckWindow, Limit() - at)));
      if (!Peek(at, window_.data(), window_.size())) return false;
      for (std::uint64_t sector = at; sector < end; sector += kSector) {
        const std::uint8_t* bytes = window_.data() + (sector - at);
        const std::size_t available = window_.size() - static_cast<std::size_t>(sector - at);
        if (available < kSector) break;  // a sector's part at the volume's end begins nothing
        for (std::uint32_t picked = CandidateFormats(bytes, kSector); picked != 0;
             picked &= picked - 1) {
          const TFormat* format = Formats()[static_cast<std::size_t>(std::countr_zero(picked))];
          if (format->magic(bytes, kSector) &&
              format->check(every, bytes, available, Limit() - sector) != nullptr) {
            return false;
          }
        }
      }
    }
    return true;
  }

  // Google's motion photo: the XMP's container directory gives the movie's
  // length and, by the items before it, its place; the older MicroVideoOffset
  // is the movie's length, the movie coming right after the images.
  std::optional<std::uint64_t> GoogleEnd(std::uint64_t firstEnd, std::uint64_t imagesEnd) const {
    if (xmp_.empty()) return std::nullopt;
    const std::vector<TContainerItem> items = ContainerItems(xmp_);
    std::uint64_t start = firstEnd;
    for (std::size_t i = 0; i < items.size(); ++i) {
      const TContainerItem& item = items[i];
      if (i == 0) {  // the primary image, whose length its own EOI tells
        start += item.padding.value_or(0);
        continue;
      }
      if (!item.length || !Fits(start, *item.length)) break;
      if (item.semantic == "MotionPhoto") {
        if (MovieHolds(start, *item.length)) return start + *item.length;
        break;
      }
      start += *item.length + item.padding.value_or(0);
    }
    const auto offset = XmpNumber(XmpValue(xmp_, "MicroVideoOffset"));
    if (offset && MovieHolds(imagesEnd, *offset)) return imagesEnd + *offset;
    return std::nullopt;
  }

  struct TSefBlock {
    std::uint64_t at = 0, dataAt = 0;
    std::uint32_t type = 0;
    std::string name;
  };

  // A block of Samsung's trailer: 00 00, its type, its name's length and name.
  std::optional<TSefBlock> SefBlock(std::uint64_t at) const {
    std::uint8_t h[8];
    char name[64];
    if (!Peek(at, h, 8) || h[0] != 0 || h[1] != 0) return std::nullopt;
    const std::uint32_t nameSize = Le32(h + 4);
    if (nameSize == 0 || nameSize > sizeof name ||
        !Peek(at + 8, reinterpret_cast<std::uint8_t*>(name), nameSize)) {
      return std::nullopt;
    }
    const bool named = std::all_of(name, name + nameSize, [](char c) {
      return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
    });
    if (!named) return std::nullopt;
    return TSefBlock{at, at + 8 + nameSize, Le16(h + 2), std::string(name, nameSize)};
  }

  // Where text first occurs in the window of bytes from from.
  std::optional<std::uint64_t> Find(std::uint64_t from, std::string_view text) const {
    if (from >= Limit()) return std::nullopt;
    window_.resize(
        static_cast<std::size_t>(std::min<std::uint64_t>(kSearchWindow, Limit() - from)));
    if (!Peek(from, window_.data(), window_.size())) return std::nullopt;
    const std::string_view bytes(reinterpret_cast<const char*>(window_.data()), window_.size());
    const std::size_t at = bytes.find(text);
    if (at == std::string_view::npos) return std::nullopt;
    return from + at;
  }

  // Samsung's trailer: blocks after the images (the motion photo's movie in
  // "MotionPhoto_Data"), then the directory "SEFH", its length and "SEFT".
  // It holds when the directory's blocks fill the bytes from the images' end
  // to SEFH exactly and the movie ends where its block does.
  std::optional<std::uint64_t> SamsungEnd(std::uint64_t imagesEnd) const {
    const std::optional<TSefBlock> first = SefBlock(imagesEnd);
    if (!first) return std::nullopt;
    std::optional<TSefBlock> video = first;
    if (first->name != kSefVideo) {
      const auto name = Find(imagesEnd, kSefVideo);
      video = name && *name >= imagesEnd + 8 ? SefBlock(*name - 8) : std::nullopt;
      if (video && video->name != kSefVideo) video.reset();
    }
    std::uint64_t from = imagesEnd, videoEnd = 0;
    if (video) {
      const auto end = Mp4Chain(video->dataAt, Limit());
      if (!end) return std::nullopt;
      from = videoEnd = *end;
    }
    const auto sefh = Find(from, "SEFH");
    if (!sefh) return std::nullopt;
    return SefDirectoryEnd(*sefh, imagesEnd, video ? video->at : 0, videoEnd);
  }

  std::optional<std::uint64_t> SefDirectoryEnd(std::uint64_t sefh, std::uint64_t imagesEnd,
                                               std::uint64_t videoAt,
                                               std::uint64_t videoEnd) const {
    std::uint8_t h[12];
    if (!Peek(sefh, h, 12)) return std::nullopt;
    const std::uint32_t count = Le32(h + 8);
    if (count == 0 || count > kMaxBlocks) return std::nullopt;
    const std::uint32_t dirLength = 12 + 12 * count;
    std::vector<std::uint8_t> dir(dirLength + 8);
    if (!Peek(sefh, dir.data(), dir.size()) || Le32(&dir[dirLength]) != dirLength ||
        std::memcmp(&dir[dirLength + 4], "SEFT", 4) != 0) {
      return std::nullopt;
    }
    std::vector<std::pair<std::uint64_t, std::uint64_t>> blocks;
    for (std::uint32_t i = 0; i < count; ++i) {
      const std::uint8_t* e = &dir[12 + std::size_t{i} * 12];
      const std::uint32_t back = Le32(e + 4), length = Le32(e + 8);
      if (back > sefh - imagesEnd || length > back) return std::nullopt;
      const auto block = SefBlock(sefh - back);
      if (!block || block->type != Le16(e + 2)) return std::nullopt;
      blocks.emplace_back(sefh - back, sefh - back + length);
    }
    std::sort(blocks.begin(), blocks.end());
    std::uint64_t at = imagesEnd;
    bool videoListed = videoEnd == 0;
    for (const auto& [from, to] : blocks) {
      if (from != at) return std::nullopt;
      videoListed = videoListed || (from == videoAt && to == videoEnd);
      at = to;
    }
    if (at != sefh || !videoListed) return std::nullopt;
    return sefh + dirLength + 8;
  }

  // An encoder never writes a whole sector of zero bytes into a scan: such a
  // sector is empty space after a piece of the photo (the rest lies
  // elsewhere), so the photo ends at that sector, cut, rather than run
  // across the gap into whatever follows. Tracks the run of zero bytes in
  // the scan's data; true when the photo ended there.
  bool ZeroSectorIn(const std::uint8_t* data, std::size_t size) {
    constexpr std::uint64_t kSector = 512;
    // Eight sectors: a cluster of empty space is at least that, while an
    // unreadable sector of a damaged card, passed on as zeros, is one.
    constexpr std::uint64_t kEmptyRun = 8 * kSector;
    if (size == 0) return false;
    std::size_t firstNonZero = 0;
    while (firstNonZero < size && data[firstNonZero] == 0) ++firstNonZero;
    const std::uint64_t runFrom = zeroFrom_.value_or(At());
    const std::uint64_t runEnd = At() + firstNonZero;
    const std::uint64_t boundary = (runFrom + kSector - 1) / kSector * kSector;
    if (firstNonZero > 0 && boundary + kEmptyRun <= runEnd) {
      BreakOffAt(boundary);
      return true;
    }
    if (firstNonZero == size) {
      zeroFrom_ = runFrom;
      return false;
    }
    std::size_t lastNonZero = size - 1;
    while (data[lastNonZero] == 0) --lastNonZero;
    zeroFrom_.reset();
    if (lastNonZero + 1 < size) zeroFrom_ = At() + lastNonZero + 1;
    return false;
  }

  EState state_ = EState::Start;
  std::optional<std::uint64_t> zeroFrom_;  // where the current run of zeros began
  int nextRestart_ = 0;                    // the restart marker due next in the scan
  std::uint64_t lastRestartEnd_ = 0;       // after the last one in turn, or the scan's start
  std::uint8_t marker_ = 0;
  bool frameSeen_ = false;
  bool scanSeen_ = false;
  std::size_t payloadLeft_ = 0;
  std::uint64_t payloadAt_ = 0;
  std::vector<std::uint8_t> segment_;
  std::string xmp_;
  std::vector<std::uint8_t> mpf_;  // from the index's TIFF header on
  std::uint64_t mpfAt_ = 0;        // where that header lies in the file
  mutable std::vector<std::uint8_t> window_;
};

std::unique_ptr<TEndFinder> MakeFinder(std::string_view, std::uint64_t bytesLeft,
                                       TVolumeBytes* volume) {
  return std::make_unique<TJpegEnd>(bytesLeft, volume);
}

}  // namespace

extern const TFormat kJpegFormat{"jpeg", 0, "\xFF", Detect, Magic, Check, MakeFinder};
