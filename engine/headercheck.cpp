// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/headercheck.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <initializer_list>
#include <iterator>
#include <string_view>

#include "engine/byteorder.h"
#include "engine/signature.h"

namespace {

// Compares all of a literal's characters, embedded zeros included.
template <std::size_t N>
bool Is(const std::uint8_t* data, const char (&text)[N]) {
  return std::memcmp(data, text, N - 1) == 0;
}

bool IsOneOf(const std::uint8_t* data, std::initializer_list<std::string_view> texts) {
  for (std::string_view text : texts) {
    if (std::memcmp(data, text.data(), text.size()) == 0) return true;
  }
  return false;
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

// --- The others: fixed fields near the start.

bool BmpHolds(const std::uint8_t* data, std::size_t available, std::uint64_t bytesLeft) {
  if (available < 18 || data[0] != 'B' || data[1] != 'M') return false;
  const std::uint32_t size = Le32(data + 2), pixels = Le32(data + 10), dib = Le32(data + 14);
  static constexpr std::uint32_t kDibSizes[] = {12, 40, 52, 56, 64, 108, 124};
  if (std::find(std::begin(kDibSizes), std::end(kDibSizes), dib) == std::end(kDibSizes)) {
    return false;
  }
  const std::uint32_t headers = 14 + dib;
  return Le32(data + 6) == 0 && size >= headers && size <= bytesLeft && pixels >= headers &&
         pixels < size;
}

bool TiffHolds(const std::uint8_t* data, std::size_t available, std::uint64_t bytesLeft) {
  if (available < 8) return false;
  // TIFF, Olympus ORF and Panasonic RW2 (their own magic, a TIFF directory).
  const bool little =
      Is(data, "II*\0") || Is(data, "IIRO") || Is(data, "IIRS") || Is(data, "IIU\0");
  const bool big = Is(data, "MM\0*") || Is(data, "MMOR");
  if (!little && !big) return false;
  const std::uint32_t directory = little ? Le32(data + 4) : Be32(data + 4);
  return directory >= 8 && directory < bytesLeft;
}

bool GifHolds(const std::uint8_t* data, std::size_t available) {
  return available >= 10 && (Is(data, "GIF87a") || Is(data, "GIF89a")) && Le16(data + 6) != 0 &&
         Le16(data + 8) != 0;
}

bool PngHolds(const std::uint8_t* data, std::size_t available) {
  static constexpr std::uint8_t kSignature[] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
  if (available < 24 || std::memcmp(data, kSignature, sizeof kSignature) != 0) return false;
  const std::uint32_t width = Be32(data + 16), height = Be32(data + 20);
  return Be32(data + 8) == 13 && Is(data + 12, "IHDR") && width != 0 && height != 0 &&
         width <= 0x7FFFFFFF && height <= 0x7FFFFFFF;
}

bool RiffHolds(const std::uint8_t* data, std::size_t available, std::uint64_t bytesLeft) {
  if (available < 12 || !MatchSignature(data, kRiffSignature)) return false;
  const std::uint32_t size = Le32(data + 4);
  return size >= 4 && std::uint64_t{size} + 8 <= bytesLeft;
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
  if (MatchSignature(data + 4, kQuickTimeSignature)) {
    const std::uint64_t atom = size == 1 ? Be64(data + 8) : size;
    return atom >= (size == 1 ? 16u : 8u) && atom <= bytesLeft;
  }
  if (!Is(data + 4, "ftyp") || size < 16 || size % 4 != 0 || size > bytesLeft) return false;
  if (IsStillBrand(data + 8)) return false;
  if (IsMovieBrand(data + 8)) return true;
  const std::size_t end = std::min<std::size_t>(size, available);
  for (std::size_t at = 16; at + 4 <= end; at += 4) {
    if (IsMovieBrand(data + at)) return true;
  }
  return false;
}

// The RIFF test's answer by form type and check box, as DetectFileType gives it.
const char* RiffTag(const TSearchTypes& types, const std::uint8_t* data) {
  if (types.WAV && MatchSignature(data + 8, kWaveSignature)) return "WAV";
  if (types.AVI && MatchSignature(data + 8, kAviSignature)) return "AVI";
  if (types.RIFF) return "RIFF";
  return nullptr;
}

bool Found(std::string& tag, const char* type) {
  tag = type;
  return true;
}

}  // namespace

bool HeaderHolds(const std::string& tag, const std::uint8_t* data, std::size_t available,
                 std::uint64_t bytesLeftOfVolume) {
  if (tag == "JPG") return JpegHolds(data, available);
  if (tag == "BMP") return BmpHolds(data, available, bytesLeftOfVolume);
  if (tag == "GIF") return GifHolds(data, available);
  if (tag == "TIF") return TiffHolds(data, available, bytesLeftOfVolume);
  if (tag == "PNG") return PngHolds(data, available);
  if (tag == "MOV") return MovieHolds(data, available, bytesLeftOfVolume);
  if (!RiffHolds(data, available, bytesLeftOfVolume)) return false;
  if (tag == "WAV") return MatchSignature(data + 8, kWaveSignature);
  if (tag == "AVI") return MatchSignature(data + 8, kAviSignature);
  return tag == "RIFF";
}

bool DetectCheckedFileType(const TSearchTypes& types, const std::uint8_t* data,
                           std::size_t available, std::uint64_t bytesLeftOfVolume,
                           std::string& tag) {
  try {
    const std::uint64_t left = bytesLeftOfVolume;
    if (available == 0) return false;
    // As in DetectFileType: the first byte picks the one test that can match.
    switch (data[0]) {
      case 0xFF:
        if (types.JPG && JpegHolds(data, available)) return Found(tag, "JPG");
        break;
      case 'B':
        if (types.BMP && BmpHolds(data, available, left)) return Found(tag, "BMP");
        break;
      case 'G':
        if (types.GIF && GifHolds(data, available)) return Found(tag, "GIF");
        break;
      case 'I':
      case 'M':
        if (types.TIF && TiffHolds(data, available, left)) return Found(tag, "TIF");
        break;
      case 0x89:
        if (types.PNG && PngHolds(data, available)) return Found(tag, "PNG");
        break;
      case 'R':
        if (RiffHolds(data, available, left)) {
          if (const char* riff = RiffTag(types, data)) return Found(tag, riff);
        }
        break;
      default:
        break;
    }
    if (types.MOV && available >= 8 && (data[4] == 'm' || data[4] == 'f') &&
        MovieHolds(data, available, left)) {
      return Found(tag, "MOV");
    }
  } catch (const std::exception&) {
    // A failing check counts as a sector without a header; the scan goes on.
  }
  return false;
}
