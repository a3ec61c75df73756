// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/endfinder.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <vector>

#include "engine/formats/registry.h"
#include "engine/headercheck.h"
#include "tests/engine/formats/formattest.h"
#include "tests/support/samplecard.h"
#include "tests/support/tempdir.h"

namespace {

using formattest::Noise;

using Bytes = std::vector<std::uint8_t>;
constexpr std::uint64_t kCard = 1ull << 30;

Bytes Join(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

void PutBe32(Bytes& b, std::uint32_t v) {
  for (int s = 24; s >= 0; s -= 8) b.push_back(static_cast<std::uint8_t>(v >> s));
}

Bytes Atom(const char* type, std::uint32_t size, std::uint8_t fill = 0x11) {
  Bytes b;
  PutBe32(b, size);
  b.insert(b.end(), type, type + 4);
  b.resize(std::max<std::size_t>(size, 8), fill);
  return b;
}

// The finder of the format that makes files of this tag; nullptr for none.
std::unique_ptr<TEndFinder> FinderFor(const std::string& tag, std::uint64_t left,
                                      TVolumeBytes* volume = nullptr) {
  const std::string name = tag == "JPG"   ? "jpeg"
                           : tag == "WAV" ? "wave"
                           : tag == "MOV" ? "isobmff"
                           : tag == "TIF" ? "tiff"
                                          : std::string(tag.size(), ' ');
  for (const TFormat* format : Formats()) {
    std::string lower = tag;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if ((name == format->name || lower == format->name) && format->finder != nullptr) {
      return format->finder(tag, left, volume);
    }
  }
  return nullptr;
}

// Feeds bytes in pieces of the given size, each in a buffer of its own size
// so that a read past it is caught; the file's length where the end was
// told, or nothing.
std::optional<std::uint64_t> EndBy(const std::string& tag, const Bytes& bytes, std::size_t piece,
                                   std::uint64_t left = kCard) {
  // Sizes are believed only once the bytes they claim are read, as the scan
  // reads the card for them.
  formattest::TBytesVolume volume(bytes);
  const auto finder = FinderFor(tag, left, &volume);
  for (std::size_t at = 0; at < bytes.size(); at += piece) {
    const Bytes part(
        bytes.begin() + static_cast<std::ptrdiff_t>(at),
        bytes.begin() + static_cast<std::ptrdiff_t>(std::min(at + piece, bytes.size())));
    const auto belongs = finder->Feed(part.data(), part.size());
    if (!belongs) continue;
    const std::uint64_t size = *finder->FileSize();
    EXPECT_EQ(at + *belongs, std::max<std::uint64_t>(at, size)) << tag;
    EXPECT_GE(finder->KnownExtent(), size);
    EXPECT_EQ(finder->Feed(part.data(), part.size()), 0u) << "after the end";
    return size;
  }
  EXPECT_FALSE(finder->FileSize());
  return std::nullopt;
}

void ExpectEndsAt(const std::string& tag, const Bytes& file, const Bytes& tail) {
  for (std::size_t piece : {512, 1, 7, 4096}) {
    EXPECT_EQ(EndBy(tag, Join(file, tail), piece), file.size()) << tag << " in " << piece;
  }
}

// An Exif segment holding a thumbnail, a complete JPEG of its own, placed to
// begin a sector as it may on a card.
Bytes WithThumbnail(const Bytes& photo, const Bytes& thumbnail) {
  Bytes app1{0xFF, 0xE1, 0, 0, 'E', 'x', 'i', 'f', 0, 0};
  app1.resize(512 - 2, 0);
  app1.insert(app1.end(), thumbnail.begin(), thumbnail.end());
  app1[2] = static_cast<std::uint8_t>((app1.size() - 2) >> 8);
  app1[3] = static_cast<std::uint8_t>(app1.size() - 2);
  Bytes jpeg = photo;
  jpeg.insert(jpeg.begin() + 2, app1.begin(), app1.end());
  return jpeg;
}

bool Holds(const Bytes& b, std::initializer_list<std::uint8_t> pattern) {
  return std::search(b.begin(), b.end(), pattern.begin(), pattern.end()) != b.end();
}

TEST(EndFinderTest, JpegEndsAtTheEoiOfItsLastScan) {
  const Bytes thumbnail = EncodeJpeg(32, 24, false, 2);
  const Bytes exif = WithThumbnail(EncodeJpeg(200, 150, true, 3), thumbnail);
  const Bytes restarts = EncodeJpeg(200, 150, false, 4, 90, JpegScans::Baseline, 1);
  ASSERT_TRUE(Holds(restarts, {0xFF, 0xD0}) && Holds(restarts, {0xFF, 0xD7}));
  ASSERT_TRUE(Holds(restarts, {0xFF, 0x00}));  // stuffed bytes
  for (const Bytes& jpeg :
       {exif, restarts, EncodeJpeg(200, 150, false, 5, 90, JpegScans::Progressive),
        EncodeJpeg(48, 32, false, 6, 90, JpegScans::EveryBit)}) {
    ExpectEndsAt("JPG", jpeg, Noise(3000, 1));
    ExpectEndsAt("JPG", jpeg, Bytes(1024, 0xFF));  // erased flash
  }

  // The thumbnail's header starts a sector, but inside the photo's extent.
  const auto finder = FinderFor("JPG", kCard);
  EXPECT_FALSE(finder->Feed(exif.data(), 512));
  std::string tag;
  EXPECT_TRUE(DetectCheckedFileType({}, exif.data() + 512, 512, kCard, tag));
  EXPECT_GE(finder->KnownExtent(), 512 + thumbnail.size());
}

TEST(EndFinderTest, OtherTypesEndWhereTheirStructureSays) {
  // A GIF with colour tables and extensions whose bytes look like blocks.
  const Bytes gif{'G',  'I',  'F',  '8', '9', 'a',  2,    0,    2,    0,    0x81, 0,    0,
                  0x3B, 0x21, 0x2C, 0,   0,   0,    0,    0,    0,    0x3B, 0x3B, 0x3B, 0x21,
                  0xFF, 0x0B, 'N',  'E', 'T', 'S',  'C',  'A',  'P',  'E',  '2',  '.',  '0',
                  3,    1,    0,    0,   0,   0x21, 0xF9, 4,    0,    0,    0,    0,    0,
                  0x2C, 0,    0,    0,   0,   2,    0,    2,    0,    0x80, 0x3B, 0x3B, 0x3B,
                  0x21, 0x21, 0x21, 2,   3,   0x3B, 0x2C, 0x21, 0,    0x2C, 0,    0,    0,
                  0,    1,    0,    1,   0,   0,    2,    1,    0x3B, 0,    0x3B};
  ExpectEndsAt("GIF", gif, Noise(600, 2));
  for (const char* type : {"BMP", "GIF", "PNG", "WAV", "AVI", "RIFF"}) {
    ExpectEndsAt(type, SampleFileBytes(type), Noise(2000, 3));
  }
  // A movie of ISO media atoms, one with a 64-bit size, then free space; its
  // moov last, whose own atoms fill it exactly.
  Bytes big = Atom("mdat", 1);
  for (int i = 0; i < 7; ++i) big.push_back(0);
  big.push_back(40);
  big.resize(40, 0x22);
  const Bytes moov = Join(Bytes{0, 0, 0x02, 0xBC, 'm', 'o', 'o', 'v'}, Atom("mvhd", 692));
  const Bytes movie = Join(Join(Join(Atom("ftyp", 20), Atom("free", 8)), big), moov);
  ExpectEndsAt("MOV", movie, Bytes(512, 0));

  EXPECT_EQ(FinderFor("XYZ", kCard), nullptr);
}

TEST(EndFinderTest, MovieEndSeenInTheNextPieceIsExact) {
  // The chain breaks at 508: only the piece after shows it. Nothing can be
  // read ahead here, so nothing is vouched before it was seen.
  const Bytes movie =
      Join(Atom("mdat", 400), Join(Bytes{0, 0, 0, 108, 'm', 'o', 'o', 'v'}, Atom("mvhd", 100)));
  const Bytes card = Join(movie, Bytes(1024, 0));
  const auto finder = FinderFor("MOV", kCard);
  EXPECT_FALSE(finder->Feed(card.data(), 512));
  EXPECT_EQ(finder->KnownExtent(), 0u);
  EXPECT_EQ(finder->Feed(card.data() + 512, 512), 0u);
  EXPECT_EQ(finder->FileSize(), 508u);
}

TEST(EndFinderTest, NoEndWhenUnsure) {
  // Truncated files, and those followed by what cannot be told from them.
  const Bytes jpeg = EncodeJpeg(200, 150, true, 8);
  // A photo without its end, then empty space: it ends, cut, at the first
  // whole sector of zeros rather than run across the gap.
  const std::uint64_t cut = jpeg.size() - 2;
  EXPECT_EQ(EndBy("JPG", Join(Bytes(jpeg.begin(), jpeg.end() - 2), Bytes(8192, 0)), 512),
            (cut + 511) / 512 * 512);
  // One sector of zeros is what a damaged card's unreadable sector reads as:
  // the photo goes on over it.
  Bytes damaged = jpeg;
  std::fill(damaged.end() - 1536, damaged.end() - 1024, 0);
  EXPECT_EQ(EndBy("JPG", Join(damaged, Bytes(512, 0x11)), 512), jpeg.size());
  for (const char* type : {"BMP", "GIF", "PNG", "WAV", "MOV"}) {
    const Bytes file = SampleFileBytes(type);
    EXPECT_FALSE(EndBy(type, Bytes(file.begin(), file.end() - 1), 512)) << type;
    EXPECT_FALSE(EndBy(type, file, 512, file.size() - 1)) << type << " past the volume";
  }
  // A movie chain that breaks before both its index and its data were seen.
  EXPECT_FALSE(EndBy("MOV", Join(Join(Atom("ftyp", 16), Atom("moov", 64)), Noise(512, 4)), 512));
  EXPECT_FALSE(EndBy("MOV", Join(Join(Atom("moov", 64), Atom("mdat", 0)), Bytes(512, 0)), 512));
  Bytes png = SampleFileBytes("PNG");
  png[33] = 0x80;  // the first data chunk's length
  EXPECT_FALSE(EndBy("PNG", png, 512));
  // An EOI in the tables before any scan, and a JPEG thumbnail read alone
  // with its start cut off.
  EXPECT_FALSE(EndBy("JPG", Bytes{0xFF, 0xD8, 0xFF, 0xFE, 0, 2, 0xFF, 0xD9}, 1));
  EXPECT_FALSE(EndBy("JPG", Bytes(jpeg.begin() + 2, jpeg.end()), 512));
}

// The sample card's files, read as the scan reads them: the checked detector
// finds exactly their first sectors, and each end finder its file's size.
TEST(EndFinderTest, SampleCardFilesAreFoundAndEndExactly) {
  TTempDir scratch;
  SampleCardOptions options;
  options.bytes = 2 << 20;
  const auto files = WriteSampleCard((scratch.Path() / "card.img").string(), options);
  const Bytes card = ReadBytes(scratch.Path() / "card.img");
  const TSearchTypes all = AllSearchTypes();
  std::size_t next = 0;
  for (std::size_t at = 0; at < card.size(); at += 512) {
    std::string tag;
    if (!DetectCheckedFileType(all, card.data() + at, card.size() - at, card.size() - at, tag)) {
      continue;
    }
    ASSERT_LT(next, files.size()) << at;
    const SampleFile& file = files[next++];
    ASSERT_EQ(std::uint64_t{file.firstSector} * 512, at);
    EXPECT_EQ(tag, file.type);
    const std::size_t upTo = std::min<std::size_t>(card.size(), at + file.size + 4096);
    const Bytes rest(card.begin() + static_cast<std::ptrdiff_t>(at),
                     card.begin() + static_cast<std::ptrdiff_t>(upTo));
    EXPECT_EQ(EndBy(tag, rest, 512, card.size() - at), file.size) << tag << " at " << at;
  }
  EXPECT_EQ(next, files.size());
}

TEST(EndFinderTest, GarbageIsSurvived) {
  for (const char* type : {"JPG", "BMP", "GIF", "PNG", "WAV", "MOV"}) {
    for (std::uint32_t seed = 0; seed < 8; ++seed) {
      Bytes bytes = Noise(8192, seed);
      // A sane start, so the walk gets into the garbage.
      const Bytes start = std::string(type) == "JPG" ? Bytes{0xFF, 0xD8} : SampleFileBytes(type);
      std::copy(start.begin(), start.begin() + std::min<std::ptrdiff_t>(12, start.size()),
                bytes.begin());
      for (std::size_t piece : {1, 13, 512}) {
        const auto size = EndBy(type, bytes, piece, 6000);
        EXPECT_LE(size.value_or(0), 6000u);
      }
    }
  }
}

}  // namespace
