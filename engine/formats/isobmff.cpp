// SPDX-License-Identifier: GPL-3.0-or-later
// ISO base media files: QuickTime and MP4 movies (the MOV box) and the
// stills of the same container, HEIF/AVIF and Canon CR3 (the Other box). A
// chain of top-level boxes.
#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <string_view>
#include <vector>

#include "engine/byteorder.h"
#include "engine/formats/format.h"
#include "engine/formats/isobmffindex.h"
#include "engine/signature.h"

namespace {

bool IsOneOf(const std::uint8_t* data, std::initializer_list<std::string_view> texts) {
  for (std::string_view text : texts) {
    if (std::memcmp(data, text.data(), text.size()) == 0) return true;
  }
  return false;
}

// A movie's real extension by one of its brands; nullptr for a brand that
// names no movie. "3gp"/"3g2" and "M4V" are prefixes of their brand families.
const char* MovieTag(const std::uint8_t* brand) {
  if (IsOneOf(brand, {"qt  "})) return "MOV";
  if (IsOneOf(brand, {"M4V ", "M4VH", "M4VP"})) return "M4V";
  if (IsOneOf(brand, {"3gp"})) return "3GP";
  if (IsOneOf(brand, {"3g2"})) return "3G2";
  if (IsOneOf(brand, {"isom", "iso2", "iso3", "iso4", "iso5", "iso6", "mp41", "mp42", "avc1",
                      "XAVC", "MSNV", "F4V ", "mp71", "dash"})) {
    return "MP4";
  }
  return nullptr;
}

// Stills are no movies, whatever else they claim to be compatible with.
const char* StillTag(const std::uint8_t* brand) {
  if (IsOneOf(brand, {"crx "})) return "CR3";
  if (IsOneOf(brand, {"avif", "avis"})) return "AVIF";
  if (IsOneOf(brand, {"heic", "heix", "heim", "heis", "hevc", "hevx", "mif1", "msf1"})) {
    return "HEIC";
  }
  return nullptr;
}

// An ftyp that fits: major brand, minor version, compatible brands in fours.
bool FileTypeHolds(const std::uint8_t* data, std::uint64_t bytesLeft) {
  const std::uint32_t size = Be32(data);
  return std::memcmp(data + 4, "ftyp", 4) == 0 && size >= 16 && size % 4 == 0 && size <= bytesLeft;
}

// The movie a header begins, named by its brand: a first moov (an old
// QuickTime), or an ftyp whose major or first compatible movie brand says.
const char* MovieHeader(const std::uint8_t* data, std::size_t available, std::uint64_t bytesLeft) {
  if (std::memcmp(data + 4, "moov", 4) == 0) {
    const std::uint32_t size = Be32(data);
    const std::uint64_t atom = size == 1 ? Be64(data + 8) : size;
    return atom >= (size == 1 ? 16u : 8u) && atom <= bytesLeft ? "MOV" : nullptr;
  }
  if (!FileTypeHolds(data, bytesLeft) || StillTag(data + 8) != nullptr) return nullptr;
  if (const char* tag = MovieTag(data + 8)) return tag;
  const std::size_t end = std::min<std::size_t>(Be32(data), available);
  for (std::size_t at = 16; at + 4 <= end; at += 4) {
    if (const char* tag = MovieTag(data + at)) return tag;
  }
  return nullptr;
}

const char* Detect(const TSearchTypes& types, const std::uint8_t* s, std::size_t size) {
  if (size < 8) return nullptr;
  if (types.MOV && MatchSignature(s + 4, kQuickTimeSignature)) return "MOV";
  if (types.Other && size >= 12 && std::memcmp(s + 4, "ftyp", 4) == 0) return StillTag(s + 8);
  return nullptr;
}

bool Magic(const std::uint8_t* s, std::size_t size) {
  return size >= 16 && (std::memcmp(s + 4, "moov", 4) == 0 || std::memcmp(s + 4, "ftyp", 4) == 0);
}

const char* Check(const TSearchTypes& types, const std::uint8_t* data, std::size_t available,
                  std::uint64_t bytesLeft) {
  if (available < 16 || (data[4] != 'm' && data[4] != 'f')) return nullptr;
  if (types.MOV) {
    if (const char* tag = MovieHeader(data, available, bytesLeft)) return tag;
  }
  if (types.Other && FileTypeHolds(data, bytesLeft)) return StillTag(data + 8);
  return nullptr;
}

// --- The end: a chain of top-level boxes, each size proven before it counts.

enum class EKind { Movie, Still };

// A box held at its header: where it starts, where its body starts and where
// it claims to end (open: size 0, it runs to the file's end).
struct TBox {
  std::uint64_t start = 0;
  std::uint64_t body = 0;
  std::uint64_t end = 0;
  char type[4] = {};
  bool open = false;
  bool Is(const char* text) const { return std::memcmp(type, text, 4) == 0; }
};

// A sample table (moov) or item locations (meta) bigger than this is not
// read; such a file tells no end.
constexpr std::uint64_t kMaxIndexBytes = 16 << 20;

// A top-level box's claim counts only once proven: at its claimed end the
// next box header follows (read ahead with Peek), or the box is the last and
// the file is complete there -- a movie's moov and mdat seen and its sample
// tables pointing inside the mdat, a still's item locations inside it. The
// last mdat ends where the data the index points at ends, whatever its size
// field says. Where nothing can be read ahead, the chain is walked as fed
// and nothing is vouched before it was seen.
class TMediaEnd final : public TEndFinder {
 public:
  TMediaEnd(EKind kind, std::uint64_t limit, TVolumeBytes* volume)
      : TEndFinder(limit, volume), kind_(kind) {}

 private:
  enum class EHeader { Valid, Invalid, Unreadable };

  std::size_t Step(const std::uint8_t* data, std::size_t size) override {
    if (inBody_) return Body(data, size);
    std::size_t used = 0;
    const std::uint8_t* field = Gather(data, size, 8, used);
    if (field == nullptr) return used;
    if (extended_) {
      extended_ = false;
      const std::uint64_t large = Be64(field);
      OnHeader(large >= 16 && Fits(head_.start, large) ? Boxed(large, 16) : nullptr);
      return used;
    }
    head_ = TBox{};
    head_.start = At() + used - 8;
    std::memcpy(head_.type, field + 4, 4);
    const std::uint32_t box = Be32(field);
    if (!Printable(field + 4) || (head_.start != 0 && !Continues(field + 4))) {
      OnHeader(nullptr);
    } else if (box == 1) {
      extended_ = true;
    } else if (box == 0) {
      head_.open = true;
      head_.body = head_.start + 8;
      OnHeader(&head_);
    } else {
      OnHeader(box >= 8 && Fits(head_.start, box) ? Boxed(box, 8) : nullptr);
    }
    return used;
  }

  static bool Printable(const std::uint8_t* type) {
    return std::all_of(type, type + 4, [](std::uint8_t c) { return c >= 0x20 && c <= 0x7E; });
  }

  const TBox* Boxed(std::uint64_t size, std::uint64_t header) {
    head_.body = head_.start + header;
    head_.end = head_.start + size;
    return &head_;
  }

  // Whether a box of this type may follow the boxes so far: a second ftyp,
  // moov or meta begins the next file.
  bool Continues(const std::uint8_t* type) const {
    return std::memcmp(type, "ftyp", 4) != 0 && !(moovSeen_ && std::memcmp(type, "moov", 4) == 0) &&
           !(metaSeen_ && std::memcmp(type, "meta", 4) == 0);
  }

  // Reads the header at offset ahead of the feed.
  EHeader PeekHeader(std::uint64_t offset) const {
    std::uint8_t h[16];
    if (!Peek(offset, h, 8)) return EHeader::Unreadable;
    if (!Printable(h + 4) || !Continues(h + 4)) return EHeader::Invalid;
    const std::uint32_t box = Be32(h);
    if (box == 0) return EHeader::Valid;
    if (box != 1) return box >= 8 && Fits(offset, box) ? EHeader::Valid : EHeader::Invalid;
    if (!Fits(offset, 16)) return EHeader::Invalid;
    if (!Peek(offset + 8, h + 8, 8)) return EHeader::Unreadable;
    const std::uint64_t large = Be64(h + 8);
    return large >= 16 && Fits(offset, large) ? EHeader::Valid : EHeader::Invalid;
  }

  static bool IsIndex(const TBox& box) { return box.Is("moov") || box.Is("meta"); }

  // A header read from the feed (nullptr: none can begin here).
  void OnHeader(const TBox* box) {
    if (pending_) {
      pending_ = false;
      if (box == nullptr) return LastBox(last_);
      Proven(last_);
    }
    if (box == nullptr) return head_.start == 0 ? GiveUp() : Fallback(head_.start);
    last_ = *box;
    if (last_.open) return OpenBox(last_);
    // The index is read ahead when it can be, else gathered as fed.
    bool indexRead = !IsIndex(last_);
    if (!indexRead) {
      const std::uint64_t bytes = last_.end - last_.body;
      if (bytes > kMaxIndexBytes) {
        index_.holds = false;
        indexRead = true;
      } else {
        content_.resize(static_cast<std::size_t>(bytes));
        indexRead = Peek(last_.body, content_.data(), content_.size());
        if (indexRead) ReadIndex();
      }
    }
    if (!Fits(last_.end, 8)) {
      if (indexRead) return LastBox(last_);
      return Pass(true);
    }
    switch (PeekHeader(last_.end)) {
      case EHeader::Valid:
        if (!indexRead) return Vouch(last_.end), Pass(true);
        Proven(last_);
        return SkipTo(last_.end);
      case EHeader::Invalid:
        if (indexRead) return LastBox(last_);
        return Pass(true);
      case EHeader::Unreadable:
        return Pass(!indexRead);
    }
  }

  // Walks the body as fed (gathering the index when it was not read ahead)
  // and judges the box at the header after it.
  void Pass(bool gather) {
    pending_ = true;
    inBody_ = true;
    gather_ = gather && IsIndex(last_);
    content_.clear();
  }

  std::size_t Body(const std::uint8_t* data, std::size_t size) {
    const std::size_t used =
        static_cast<std::size_t>(std::min<std::uint64_t>(size, last_.end - At()));
    if (gather_) content_.insert(content_.end(), data, data + used);
    if (At() + used < last_.end) return used;
    inBody_ = false;
    if (gather_) ReadIndex();
    gather_ = false;
    // Too near the volume's end for another header: the box is the last.
    if (!Fits(last_.end, 8)) {
      pending_ = false;
      LastBox(last_);
    }
    return used;
  }

  // The moov's sample tables or the meta's item locations, from content_.
  void ReadIndex() {
    const bool moov = last_.Is("moov");
    (moov ? moovSeen_ : metaSeen_) = true;
    lastIndexHolds_ = moov ? ReadMovieIndex(content_.data(), content_.size(), index_)
                           : ReadStillIndex(content_.data(), content_.size(), index_);
    content_.clear();
    content_.shrink_to_fit();
  }

  // A box whose claim was proven (by the header after it, or by the index).
  void Proven(const TBox& box) {
    if (!box.Is("mdat")) return;
    if (!mdatSeen_) firstMdat_ = box.body;
    mdatSeen_ = true;
    lastMdatEnd_ = std::max(lastMdatEnd_, box.end);
  }

  // Whether the file up to the boxes proven so far is complete: its index
  // read, and all the data it points at inside the mdat boxes.
  bool Complete() const {
    if (!index_.holds || !(kind_ == EKind::Movie ? moovSeen_ : metaSeen_)) return false;
    if (index_.any) {
      return mdatSeen_ && index_.lowest >= firstMdat_ && index_.furthest <= lastMdatEnd_;
    }
    return kind_ == EKind::Still || mdatSeen_;
  }

  // The last mdat ends where the data the index points at ends, if that lies
  // inside what it claims: a recording cut short may claim far more.
  bool EndsInside(const TBox& mdat, std::uint64_t claimedEnd) {
    if (!index_.holds || !index_.any || index_.furthest <= mdat.body ||
        index_.furthest > claimedEnd) {
      return false;
    }
    const std::uint64_t firstMdat = firstMdat_, lastMdatEnd = lastMdatEnd_;
    const bool mdatSeen = mdatSeen_;
    TBox proven = mdat;
    proven.end = index_.furthest;
    Proven(proven);
    if (Complete()) return EndAt(index_.furthest), true;
    firstMdat_ = firstMdat, lastMdatEnd_ = lastMdatEnd, mdatSeen_ = mdatSeen;
    return false;
  }

  // No box follows this one: its claim holds only if the file is whole there.
  void LastBox(const TBox& box) {
    if (box.Is("mdat")) {
      if (!EndsInside(box, box.end)) Fallback(box.start);
      return;
    }
    if (IsIndex(box) && lastIndexHolds_ && Complete()) return EndAt(box.end);
    Fallback(box.start);
  }

  // A box that runs to the file's end: only an index that ends inside it
  // tells where.
  void OpenBox(const TBox& box) {
    if (box.Is("mdat")) {
      if (!EndsInside(box, Limit())) GiveUp();
      return;
    }
    Fallback(box.start);
  }

  // The structure broke at offset: the file ends there if it was whole.
  void Fallback(std::uint64_t offset) {
    if (Complete()) return EndAt(offset);
    GiveUp();
  }

  const EKind kind_;
  TBox head_;  // the header being read
  TBox last_;  // the last box whose header held
  bool extended_ = false;
  bool pending_ = false;  // last_ awaits the header after it
  bool inBody_ = false;
  bool gather_ = false;
  std::vector<std::uint8_t> content_;
  TMediaIndex index_;
  bool moovSeen_ = false;
  bool metaSeen_ = false;
  bool lastIndexHolds_ = false;
  bool mdatSeen_ = false;
  std::uint64_t firstMdat_ = 0;
  std::uint64_t lastMdatEnd_ = 0;
};

std::unique_ptr<TEndFinder> MakeFinder(std::string_view ext, std::uint64_t bytesLeft,
                                       TVolumeBytes* volume) {
  for (std::string_view movie : {"MOV", "MP4", "M4V", "3GP", "3G2", "CR3"}) {
    if (ext == movie) return std::make_unique<TMediaEnd>(EKind::Movie, bytesLeft, volume);
  }
  if (ext == "HEIC" || ext == "AVIF") {
    return std::make_unique<TMediaEnd>(EKind::Still, bytesLeft, volume);
  }
  return nullptr;
}

}  // namespace

extern const TFormat kIsoMediaFormat{"isobmff", 4, "mf", Detect, Magic, Check, MakeFinder};
