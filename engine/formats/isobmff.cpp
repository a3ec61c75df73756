// SPDX-License-Identifier: GPL-3.0-or-later
// ISO base media files: QuickTime and MP4 movies (the MOV box) and the
// stills of the same container, HEIF/AVIF and Canon CR3 (the Other box). A
// chain of top-level atoms.
#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <string_view>

#include "engine/byteorder.h"
#include "engine/formats/format.h"
#include "engine/signature.h"

namespace {

bool IsOneOf(const std::uint8_t* data, std::initializer_list<std::string_view> texts) {
  for (std::string_view text : texts) {
    if (std::memcmp(data, text.data(), text.size()) == 0) return true;
  }
  return false;
}

// Brands of ISO media files that hold a movie, and of those that hold still
// pictures (HEIF, AVIF, Canon CR3), which are not movies whatever else they
// claim to be compatible with.
bool IsMovieBrand(const std::uint8_t* brand) {
  return IsOneOf(brand, {"qt  ", "isom", "iso2", "iso3", "iso4", "iso5", "iso6", "mp41", "mp42",
                         "avc1", "XAVC", "M4V", "3gp", "3g2"});
}

bool IsStillBrand(const std::uint8_t* brand) {
  return IsOneOf(brand, {"heic", "heix", "heim", "heis", "hevc", "hevx", "mif1", "msf1", "avif",
                         "avis", "crx "});
}

bool MovieHolds(const std::uint8_t* data, std::size_t available, std::uint64_t bytesLeft) {
  if (available < 16) return false;
  const std::uint32_t size = Be32(data);
  if (std::memcmp(data + 4, "moov", 4) == 0) {
    const std::uint64_t atom = size == 1 ? Be64(data + 8) : size;
    return atom >= (size == 1 ? 16u : 8u) && atom <= bytesLeft;
  }
  if (std::memcmp(data + 4, "ftyp", 4) != 0 || size < 16 || size % 4 != 0 || size > bytesLeft)
    return false;
  if (IsStillBrand(data + 8)) return false;
  if (IsMovieBrand(data + 8)) return true;
  const std::size_t end = std::min<std::size_t>(size, available);
  for (std::size_t at = 16; at + 4 <= end; at += 4) {
    if (IsMovieBrand(data + at)) return true;
  }
  return false;
}

// The still's tag by its major brand; nullptr for none.
const char* StillTag(const std::uint8_t* brand) {
  if (IsOneOf(brand, {"crx "})) return "CR3";
  if (IsOneOf(brand, {"avif", "avis"})) return "AVIF";
  if (IsOneOf(brand, {"heic", "heix", "heim", "heis", "hevc", "hevx", "mif1", "msf1"})) {
    return "HEIC";
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
  if (types.MOV && MovieHolds(data, available, bytesLeft)) return "MOV";
  if (types.Other && std::memcmp(data + 4, "ftyp", 4) == 0) {
    const std::uint32_t size = Be32(data);
    if (size >= 16 && size % 4 == 0 && size <= bytesLeft) return StillTag(data + 8);
  }
  return nullptr;
}

// MOV and other ISO media files: a chain of top-level atoms. The first header
// that cannot be an atom (a type not four printable characters, a size below
// its header or past the volume) ends the file, but only once a movie's
// essentials, "moov" and "mdat", have been seen: until then the break is more
// likely damage than the end, and no end is told.
class TMovieEnd final : public TEndFinder {
 public:
  TMovieEnd(std::uint64_t limit, TVolumeBytes* volume) : TEndFinder(limit, volume) {}

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

std::unique_ptr<TEndFinder> MakeFinder(std::string_view ext, std::uint64_t bytesLeft,
                                       TVolumeBytes* volume) {
  if (ext != "MOV") return nullptr;
  return std::make_unique<TMovieEnd>(bytesLeft, volume);
}

}  // namespace

extern const TFormat kIsoMediaFormat{"isobmff", 4, "mf", Detect, Magic, Check, MakeFinder};
