// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/headercheck.h"

#include "engine/filedet.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <vector>

#include "tests/support/samplecard.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr std::uint64_t kCard = 1ull << 30;

Bytes Of(const char* text, std::size_t size) {
  return Bytes(text, text + size);
}

void PutLe32(Bytes& b, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

void PutBe32(Bytes& b, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (24 - 8 * i));
}

// A sector starting with head, as the scan hands it over.
Bytes Sector(Bytes head) {
  head.resize(std::max<std::size_t>(head.size(), 512), 0);
  return head;
}

TSearchTypes All() {
  return AllSearchTypes();
}

std::string Checked(const Bytes& data, std::uint64_t left = kCard,
                    const TSearchTypes& types = All()) {
  std::string tag;
  return DetectCheckedFileType(types, data.data(), data.size(), left, tag) ? tag : "";
}

// A JPEG without APP0, so its first segment is the quantisation table.
Bytes BareJpeg() {
  Bytes jpeg = EncodeJpeg(64, 48, false, 7);
  jpeg.erase(jpeg.begin() + 2, jpeg.begin() + 4 + (jpeg[4] << 8 | jpeg[5]));
  return jpeg;
}

Bytes WithSegment(Bytes jpeg, std::uint8_t marker, std::size_t payload) {
  Bytes segment{0xFF, marker, static_cast<std::uint8_t>((payload + 2) >> 8),
                static_cast<std::uint8_t>(payload + 2)};
  segment.resize(4 + payload, 0x41);
  jpeg.insert(jpeg.begin() + 2, segment.begin(), segment.end());
  return jpeg;
}

TEST(HeaderCheckTest, RealFilesOfEveryTypeHold) {
  for (const char* type : {"BMP", "GIF", "PNG", "TIF", "WAV", "AVI", "RIFF", "MOV"}) {
    const Bytes file = Sector(SampleFileBytes(type));
    EXPECT_TRUE(HeaderHolds(type, file.data(), file.size(), kCard)) << type;
    EXPECT_EQ(Checked(file), type);
  }
  for (bool exif : {false, true}) {
    for (JpegScans scans : {JpegScans::Baseline, JpegScans::Progressive}) {
      EXPECT_EQ(Checked(EncodeJpeg(64, 48, exif, 3, 90, scans)), "JPG");
    }
  }
}

TEST(HeaderCheckTest, JpegFirstSegmentMayBeAnyTableOrApplicationSegment) {
  std::string tag;
  const Bytes bare = BareJpeg();
  ASSERT_EQ(bare[3], 0xDB);
  EXPECT_FALSE(DetectFileType(All(), bare.data(), bare.size(), tag));
  EXPECT_EQ(Checked(bare), "JPG");
  for (std::uint8_t marker : {0xE2, 0xED, 0xFE, 0xEF}) {
    EXPECT_EQ(Checked(WithSegment(bare, marker, 10)), "JPG") << int{marker};
  }
  // The frame header ends the check, scans after it are not looked at.
  EXPECT_EQ(Checked(Sector({0xFF, 0xD8, 0xFF, 0xC0, 0, 11, 8, 0, 0, 0, 1, 1, 1, 0x11, 0})), "JPG");
}

TEST(HeaderCheckTest, JpegChainFaultsAreRefused) {
  const auto refused = [](Bytes head) { return Checked(Sector(head)).empty(); };
  EXPECT_TRUE(refused({0xFF, 0xD8, 0xFF, 0xE1, 0, 1}));                     // length below 2
  EXPECT_TRUE(refused({0xFF, 0xD8, 0xFF, 0xDA, 0, 8}));                     // scan before frame
  EXPECT_TRUE(refused({0xFF, 0xD8, 0xFF, 0xD8}));                           // second SOI
  EXPECT_TRUE(refused({0xFF, 0xD8, 0xFF, 0x00}));                           // no marker
  EXPECT_TRUE(refused({0xFF, 0xD8, 0xFF, 0xDB, 0, 20}));                    // table too short
  EXPECT_TRUE(refused({0xFF, 0xD8, 0xFF, 0xE0, 0, 4, 1, 2, 0x12, 0xFF}));   // not a marker next
  EXPECT_TRUE(refused({0xFF, 0xD8, 0xFF, 0xC0, 0, 11, 8, 0, 1, 0, 0, 1}));  // zero width
  EXPECT_TRUE(refused({0xFF, 0xD8, 0xFF, 0xC0, 0, 14, 8, 0, 1, 0, 1, 1}));  // length vs components

  // A chain that outruns the bytes at hand holds once its first length is read.
  const Bytes exif = WithSegment(BareJpeg(), 0xE1, 3000);
  EXPECT_TRUE(HeaderHolds("JPG", exif.data(), 512, kCard));
  EXPECT_TRUE(HeaderHolds("JPG", exif.data(), 6, kCard));
  EXPECT_FALSE(HeaderHolds("JPG", exif.data(), 5, kCard));
}

TEST(HeaderCheckTest, BitmapFieldsMustAgree) {
  const Bytes bmp = SampleFileBytes("BMP");  // 54-byte headers, pixels at 54
  const std::uint32_t size = static_cast<std::uint32_t>(bmp.size());
  const auto holds = [&](std::size_t at, std::uint32_t value, std::uint64_t left = kCard) {
    Bytes b = bmp;
    PutLe32(b, at, value);
    return HeaderHolds("BMP", b.data(), b.size(), left);
  };
  EXPECT_TRUE(holds(2, size));
  EXPECT_TRUE(holds(2, size, size));
  EXPECT_FALSE(holds(2, size, size - 1));  // past the volume's end
  EXPECT_FALSE(holds(2, 53));              // smaller than its headers
  EXPECT_FALSE(holds(6, 1));               // reserved
  EXPECT_FALSE(holds(10, 53));             // pixels inside the headers
  EXPECT_FALSE(holds(10, size));           // pixels past the file
  EXPECT_FALSE(holds(14, 41));             // no such header
  EXPECT_TRUE(holds(14, 12));              // the OS/2 header is shorter still
  EXPECT_FALSE(holds(14, 124));            // its headers would pass the pixels
}

TEST(HeaderCheckTest, TiffMagicAndDirectoryOffset) {
  // A first directory of one entry (ImageWidth), in either byte order.
  const auto withIfd = [](Bytes head, std::size_t at, bool little) {
    const Bytes ifd = little ? Of("\x01\0\0\x01\x03\0\x01\0\0\0\x01\0\0\0\0\0\0\0", 18)
                             : Of("\0\x01\x01\0\0\x03\0\0\0\x01\0\x01\0\0\0\0\0\0", 18);
    head.resize(at, 0);
    head.insert(head.end(), ifd.begin(), ifd.end());
    return head;
  };
  const std::pair<Bytes, const char*> heads[] = {
      {withIfd(Of("II*\0\x08\0\0\0", 8), 8, true), "TIF"},
      {withIfd(Of("MM\0*\0\0\0\x08", 8), 8, false), "TIF"},
      {withIfd(Of("IIRO\x08\0\0\0", 8), 8, true), "ORF"},
      {withIfd(Of("IIRS\x08\0\0\0", 8), 8, true), "ORF"},
      {withIfd(Of("IIU\0\x18\0\0\0", 8), 24, true), "RW2"},
      {withIfd(Of("MMOR\0\0\0\x08", 8), 8, false), "ORF"}};
  for (const auto& [head, name] : heads) EXPECT_EQ(Checked(Sector(head)), name);
  EXPECT_EQ(Checked(Sector(Of("II*\0\x07\0\0\0", 8))), "");     // inside the header
  EXPECT_EQ(Checked(Sector(Of("II*\0\x08\0\0\0", 8)), 8), "");  // past the volume
  EXPECT_EQ(Checked(Sector(Of("MM*\0\0\0\0\x08", 8))), "");     // byte order and magic disagree
  EXPECT_EQ(Checked(Sector(Of("II\0*\x08\0\0\0", 8))), "");
}

TEST(HeaderCheckTest, GifPngAndRiffFields) {
  EXPECT_EQ(Checked(Sector(Of("GIF87a\1\0\1\0", 10))), "GIF");
  EXPECT_EQ(Checked(Sector(Of("GIF89a\0\0\1\0", 10))), "");
  EXPECT_EQ(Checked(Sector(Of("GIF89a\1\0\0\0", 10))), "");

  const Bytes png = SampleFileBytes("PNG");
  for (auto [at, value] : {std::pair<std::size_t, std::uint32_t>{8, 12},
                           {12, 0x49484458},
                           {16, 0},
                           {20, 0},
                           {16, 0x80000000}}) {
    Bytes b = png;
    PutBe32(b, at, value);
    EXPECT_EQ(Checked(b), "") << at;
  }

  Bytes wave = SampleFileBytes("WAV");
  const std::uint64_t size = wave.size();  // the size field says exactly this
  EXPECT_EQ(Checked(wave, size), "WAV");
  EXPECT_EQ(Checked(wave, size - 1), "");  // the file would pass the volume's end
  PutLe32(wave, 4, 3);
  EXPECT_EQ(Checked(wave), "");
}

TEST(HeaderCheckTest, MoviesByTheirFirstAtom) {
  const auto atom = [](std::uint32_t size, const char* type, Bytes rest = {}) {
    Bytes b(8);
    PutBe32(b, 0, size);
    std::memcpy(b.data() + 4, type, 4);
    b.insert(b.end(), rest.begin(), rest.end());
    return Sector(b);
  };
  EXPECT_EQ(Checked(atom(8, "moov")), "MOV");
  EXPECT_EQ(Checked(atom(7, "moov")), "");
  EXPECT_EQ(Checked(atom(0, "moov")), "");
  EXPECT_EQ(Checked(atom(513, "moov"), 512), "");                         // past the volume
  EXPECT_EQ(Checked(atom(1, "moov", {0, 0, 0, 0, 0, 0, 0, 16})), "MOV");  // 64-bit size
  EXPECT_EQ(Checked(atom(1, "moov", {0, 0, 0, 0, 0, 0, 0, 15})), "");
  EXPECT_EQ(Checked(atom(64, "mdat")), "");

  const auto ftyp = [&](const char* brands, std::uint32_t size = 0) {
    const std::size_t n = std::strlen(brands);
    return atom(size ? size : static_cast<std::uint32_t>(8 + n), "ftyp", Of(brands, n));
  };
  // Named by the brand.
  const std::pair<const char*, const char*> named[] = {{"qt  \0\0\0\0", "MOV"},
                                                       {"mp42\0\0\0\0", "MP4"},
                                                       {"3gp5\0\0\0\0", "3GP"},
                                                       {"XAVC\0\0\0\0", "MP4"}};
  for (const auto& [movie, name] : named) {
    EXPECT_EQ(Checked(atom(16, "ftyp", Of(movie, 8))), name) << movie;
  }
  EXPECT_EQ(Checked(ftyp("abcd0000xyzwmp41")), "MP4");   // a compatible movie brand
  EXPECT_EQ(Checked(ftyp("abcd0000xyzwmp41", 12)), "");  // shorter than major and minor
  EXPECT_EQ(Checked(ftyp("abcd0000xyzwmp41", 26)), "");  // brands come in fours
  EXPECT_EQ(Checked(ftyp("abcd0000xyzw")), "");
  // Still pictures in the same container, whatever they are compatible with,
  // are no movies: the box of the other camera files finds them.
  const std::pair<const char*, const char*> stills[] = {
      {"heic0000mif1heic", "HEIC"}, {"avif0000avifmif1", "AVIF"}, {"crx 0001crx isom", "CR3"}};
  TSearchTypes movies = AllSearchTypes(false);
  movies.MOV = true;
  for (const auto& [still, tag] : stills) {
    EXPECT_EQ(Checked(ftyp(still)), tag) << still;
    EXPECT_EQ(Checked(ftyp(still), kCard, movies), "") << still;
  }
}

TEST(DetectCheckedFileTypeTest, BoxesAndOrderAreTheDetectors) {
  const std::vector<Bytes> samples{EncodeJpeg(16, 16, true, 1), SampleFileBytes("BMP"),
                                   SampleFileBytes("GIF"),      SampleFileBytes("TIF"),
                                   SampleFileBytes("PNG"),      SampleFileBytes("WAV"),
                                   SampleFileBytes("AVI"),      SampleFileBytes("MOV")};
  for (bool TSearchTypes::*box : {&TSearchTypes::JPG, &TSearchTypes::BMP, &TSearchTypes::GIF,
                                  &TSearchTypes::TIF, &TSearchTypes::PNG, &TSearchTypes::WAV,
                                  &TSearchTypes::AVI, &TSearchTypes::RIFF, &TSearchTypes::MOV}) {
    TSearchTypes one = AllSearchTypes(false);
    one.*box = true;
    int found = 0;
    for (const Bytes& sample : samples) found += Checked(sample, kCard, one).empty() ? 0 : 1;
    EXPECT_EQ(found, box == &TSearchTypes::RIFF ? 2 : 1);
  }
  // A RIFF whose boxes are clear, or whose size does not fit, passes on to
  // the movie test.
  const Bytes riffMoov = Sector(Of("RIFFmoovWAVE", 12));
  TSearchTypes movies = AllSearchTypes(false);
  movies.MOV = true;
  EXPECT_EQ(Checked(riffMoov, 2 * kCard, movies), "MOV");
  EXPECT_EQ(Checked(riffMoov, kCard, movies), "");  // "RIFF" as an atom size passes the end
  movies.WAV = true;
  EXPECT_EQ(Checked(riffMoov, 2 * kCard, movies), "WAV");
  EXPECT_EQ(Checked(riffMoov, kCard, movies), "");

  std::string tag = "GIF";
  const Bytes zeros(512, 0);
  EXPECT_FALSE(DetectCheckedFileType(All(), zeros.data(), zeros.size(), kCard, tag));
  EXPECT_EQ(tag, "GIF");
  EXPECT_FALSE(DetectCheckedFileType(All(), zeros.data(), 0, kCard, tag));
}

// Sectors inside a photo whose first bytes happen to read "BM", "II" or "MM"
// are what the plain detector mistakes for headers most often.
TEST(DetectCheckedFileTypeTest, PhotoDataIsNoHeader) {
  const Bytes jpeg = EncodeJpeg(640, 480, false, 11);
  ASSERT_GT(jpeg.size(), 40u * 512);
  int sectors = 0;
  for (std::size_t at = 512; at + 512 <= jpeg.size(); at += 512, ++sectors) {
    for (const char* start : {"", "BM", "II", "MM"}) {
      Bytes sector(jpeg.begin() + static_cast<std::ptrdiff_t>(at),
                   jpeg.begin() + static_cast<std::ptrdiff_t>(at + 512));
      std::memcpy(sector.data(), start, std::strlen(start));
      EXPECT_EQ(Checked(sector), "") << at << start;
    }
  }
  EXPECT_GT(sectors, 40);
}

// The checked detector runs on every sector of the card: what starts no header
// must cost no more than the plain detector's first-byte test.
TEST(DetectCheckedFileTypeTest, SectorsWithoutHeadersFailFast) {
  std::vector<Bytes> sectors(4096, Bytes(512));
  std::uint32_t x = 12345;
  for (std::size_t i = 0; i < sectors.size(); ++i) {
    for (auto& byte : sectors[i]) {
      x = x * 1664525 + 1013904223;
      byte = i % 8 == 0 ? 0xFF : i % 8 == 1 ? 0 : static_cast<std::uint8_t>(x >> 24);
    }
  }
  const auto timeOf = [&](auto detect) {
    auto best = std::chrono::steady_clock::duration::max();
    for (int round = 0; round < 5; ++round) {
      const auto start = std::chrono::steady_clock::now();
      int found = 0;
      for (const Bytes& s : sectors) found += detect(s) ? 1 : 0;
      best = std::min(best, std::chrono::steady_clock::now() - start);
      EXPECT_EQ(found, 0);
    }
    return best;
  };
  std::string tag;
  const auto plain =
      timeOf([&](const Bytes& s) { return DetectFileType(All(), s.data(), 512, tag); });
  const auto checked = timeOf(
      [&](const Bytes& s) { return DetectCheckedFileType(All(), s.data(), 512, kCard, tag); });
  EXPECT_LT(checked, plain * 4 + std::chrono::milliseconds(2));
}

}  // namespace
